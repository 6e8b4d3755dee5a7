// ModBus through the real UART connector over a socat pty pair, answered by a
// libmodbus RTU slave (an independent implementation) or by a raw peer.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocols/modbus.h"
#include "protocols/modbus/modbus_test_support.h"
#include "support/test_support.h"

using modbus_test::Bytes;
using modbus_test::hex;

namespace {

constexpr int kSlaveId = 1;
constexpr int kHoldingStart = 0x0010;
constexpr int kHoldingCount = 16;
constexpr int kInputStart = 0x0100;
constexpr int kInputCount = 8;

// Two linked pseudo-terminals: the meter side at a(), the daemon side at b().
class PtyPair {
 public:
  PtyPair() {
    a_ = dir_ / "A";
    b_ = dir_ / "B";
    socat_ = std::make_unique<mtr_test::Child>(
        std::vector<std::string>{"/usr/bin/socat", "-d", "-d", "pty,raw,echo=0,link=" + a_,
                                 "pty,raw,echo=0,link=" + b_},
        dir_ / "socat.out", dir_ / "socat.err");
    ready_ = mtr_test::waitFor([&] { return mtr_test::exists(a_) && mtr_test::exists(b_); }, 5000);
  }
  ~PtyPair() {
    socat_->kill(SIGTERM);
    socat_->wait(2000);
  }
  bool ready() const { return ready_; }
  const std::string& a() const { return a_; }
  const std::string& b() const { return b_; }

 private:
  mtr_test::TempDir dir_;
  std::string a_, b_;
  std::unique_ptr<mtr_test::Child> socat_;
  bool ready_ = false;
};

// A libmodbus RTU slave serving a register mapping from its own thread.
class RtuSlave {
 public:
  explicit RtuSlave(const std::string& path) {
    ctx_ = modbus_new_rtu(path.c_str(), 9600, 'N', 8, 1);
    if (!ctx_) return;
    modbus_set_slave(ctx_, kSlaveId);
    if (modbus_connect(ctx_) != 0) return;
    // Short waits so the thread notices the stop flag.
    modbus_set_indication_timeout(ctx_, 0, 100000);
    map_ = modbus_mapping_new_start_address(0, 0, 0, 0, kHoldingStart, kHoldingCount, kInputStart,
                                            kInputCount);
    if (!map_) return;
    for (int i = 0; i < kHoldingCount; ++i) map_->tab_registers[i] = 0x1000 + i;
    for (int i = 0; i < kInputCount; ++i) map_->tab_input_registers[i] = 0xA000 + i;
    thread_ = std::thread([this] { serve(); });
    ok_ = true;
  }
  ~RtuSlave() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (map_) modbus_mapping_free(map_);
    if (ctx_) {
      modbus_close(ctx_);
      modbus_free(ctx_);
    }
  }
  bool ok() const { return ok_; }
  uint16_t holding(int index) {
    std::lock_guard<std::mutex> lock(mutex_);
    return map_->tab_registers[index];
  }
  int requests() const { return requests_.load(); }

 private:
  void serve() {
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stop_) {
      int rc = modbus_receive(ctx_, query);
      if (rc <= 0) continue;  // timeout, not for us, or a bad frame
      ++requests_;
      std::lock_guard<std::mutex> lock(mutex_);
      modbus_reply(ctx_, query, rc, map_);
    }
  }

  modbus_t* ctx_ = nullptr;
  modbus_mapping_t* map_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  bool ok_ = false;
};

// A peer that answers every request with one fixed frame and records what it got.
class RawPeer {
 public:
  RawPeer(const std::string& path, Bytes answer) : answer_(std::move(answer)) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
    if (fd_ < 0) return;
    struct termios tio;
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    thread_ = std::thread([this] { serve(); });
  }
  ~RawPeer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  std::vector<Bytes> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  void serve() {
    Bytes pending;
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      int r = poll(&p, 1, 20);
      if (r > 0) {
        uint8_t buf[256];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n > 0) pending.insert(pending.end(), buf, buf + n);
        continue;
      }
      // A quiet gap ends the request, as on an RTU line.
      if (r == 0 && !pending.empty()) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          requests_.push_back(pending);
        }
        pending.clear();
        if (!answer_.empty() && write(fd_, answer_.data(), answer_.size()) < 0) return;
      }
    }
  }

  int fd_ = -1;
  Bytes answer_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<Bytes> requests_;
};

class RealPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    modbus_test::clearLog();
    ASSERT_TRUE(pty.ready()) << "socat did not make the pty pair";
  }

  std::unique_ptr<ModBus> meter() {
    conn.reset(CreateConnector({{"name", pty.b()}, {"speed", "9600"}}));
    return std::make_unique<ModBus>(conn, modbus_test::meterSettings(kSlaveId));
  }

  static uint16_t reg(const uint8_t* answer, int index) {
    return static_cast<uint16_t>(answer[3 + 2 * index] << 8 | answer[4 + 2 * index]);
  }

  int count(const std::string& needle) {
    return mtr_test::countLinesContaining(modbus_test::logText(), needle);
  }

  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  PtyPair pty;
  std::shared_ptr<CConnector> conn;
};

TEST_F(RealPeer, ReadsAndWritesRegistersOfALibmodbusSlave) {
  RtuSlave slave(pty.a());
  ASSERT_TRUE(slave.ok()) << modbus_strerror(errno);
  auto m = meter();
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;

  // Holding registers 0x0012..0x0014.
  const uint32_t rd[] = {0x0012, 3};
  ASSERT_TRUE(m->SendRequest("hold", 3, rd, 2, answer, len));
  ASSERT_EQ(11u, len);
  EXPECT_EQ(6, answer[2]);
  EXPECT_EQ(0x1002, reg(answer, 0));
  EXPECT_EQ(0x1003, reg(answer, 1));
  EXPECT_EQ(0x1004, reg(answer, 2));
  EXPECT_EQ(0u, m->LastError());

  // Every input register in one answer.
  const uint32_t in[] = {kInputStart, kInputCount};
  ASSERT_TRUE(m->SendRequest("inp", 4, in, 2, answer, len));
  ASSERT_EQ(5u + 2 * kInputCount, len);
  for (int i = 0; i < kInputCount; ++i) EXPECT_EQ(0xA000 + i, reg(answer, i)) << i;

  // Two registers written; the slave echoes start and count in 8 bytes.
  const uint32_t wr[] = {0x0015, 2, 4, 0xBEEF, 0x0102};
  ASSERT_TRUE(m->SendRequest("wr", 16, wr, 5, answer, len));
  EXPECT_EQ(8u, len);
  EXPECT_EQ("01 10 00 15 00 02", hex(Bytes(answer, answer + 6)));
  EXPECT_EQ(0xBEEF, slave.holding(5));
  EXPECT_EQ(0x0102, slave.holding(6));
  EXPECT_EQ(0x1007, slave.holding(7));

  // And read back.
  const uint32_t back[] = {0x0014, 4};
  ASSERT_TRUE(m->SendRequest("back", 3, back, 2, answer, len));
  EXPECT_EQ(0x1004, reg(answer, 0));
  EXPECT_EQ(0xBEEF, reg(answer, 1));
  EXPECT_EQ(0x0102, reg(answer, 2));
  EXPECT_EQ(0x1007, reg(answer, 3));

  // Report slave id: byte count, id, run indicator, then the library's text.
  ASSERT_TRUE(m->SendRequest("sid", 17, nullptr, 0, answer, len));
  ASSERT_EQ(answer[2] + 5u, len);
  EXPECT_EQ(0xFF, answer[4]);
  std::string text(reinterpret_cast<char*>(answer + 5), answer[2] - 2);
  EXPECT_EQ(std::string("LMB") + LIBMODBUS_VERSION_STRING, text);

  EXPECT_EQ(5, slave.requests());
  EXPECT_EQ(0, count("ATTEMPT FAILED"));
}

TEST_F(RealPeer, RegistersOutsideTheMappingGiveAnExceptionAnswer) {
  RtuSlave slave(pty.a());
  ASSERT_TRUE(slave.ok()) << modbus_strerror(errno);
  auto m = meter();
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;

  const uint32_t beyond[] = {kHoldingStart + kHoldingCount - 1, 2};
  ASSERT_TRUE(m->SendRequest("beyond", 3, beyond, 2, answer, len));
  EXPECT_EQ(5u, len);
  EXPECT_EQ(0x0203u, m->LastError());
  EXPECT_EQ(0x83, answer[1]);

  const uint32_t below[] = {0x0000, 1};
  ASSERT_TRUE(m->SendRequest("below", 4, below, 2, answer, len));
  EXPECT_EQ(0x0204u, m->LastError());

  const uint32_t wr[] = {0x0400, 1, 2, 0x1234};
  ASSERT_TRUE(m->SendRequest("wrout", 16, wr, 4, answer, len));
  EXPECT_EQ(5u, len);
  EXPECT_EQ(0x0210u, m->LastError());

  EXPECT_EQ(3, count("ERROR RESPONSE RECEIVED !!!"));
  EXPECT_EQ(0, count("ATTEMPT FAILED"));
}

TEST_F(RealPeer, AnswerFromAnotherAddressFailsThreeTimesInRealTime) {
  // Worked out by hand: address 2 answering a read of two registers.
  RawPeer peer(pty.a(), {0x02, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x69, 0x60});
  ASSERT_TRUE(peer.ok());
  auto m = meter();
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  const uint32_t p[] = {0x0010, 2};
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(m->SendRequest("rd", 3, p, 2, answer, len));
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
  // Three times 100 ms after the write and 1 s after the failure.
  EXPECT_GE(ms, 3300);
  EXPECT_LT(ms, 4500);
  std::vector<Bytes> got = peer.requests();
  ASSERT_EQ(3u, got.size());
  for (const Bytes& r : got) EXPECT_EQ("01 03 00 10 00 02 C5 CE", hex(r));
  EXPECT_EQ(3, count("WRONG NET ADDR !!! WANT 0x01, BUT GOT 0x02"));
  EXPECT_EQ(1, count("3 ATTEMPT FAILED !!!"));
  EXPECT_EQ(1, count("CAN'T SEND !!!"));
  RecordProperty("other_address_ms", std::to_string(ms));
}

TEST_F(RealPeer, SilentMeterCostsThreeHeaderTimeoutsAndPauses) {
  RawPeer peer(pty.a(), {});
  ASSERT_TRUE(peer.ok());
  auto m = meter();
  conn->SetTimeout(300);
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  const uint32_t p[] = {0x0010, 2};
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(m->SendRequest("rd", 3, p, 2, answer, len));
  long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now() - start)
                                  .count());
  // Each attempt: 100 ms, one header byte timeout of 300 ms, 1 s pause.
  EXPECT_GE(ms, 4200);
  EXPECT_LT(ms, 5500);
  EXPECT_EQ(3u, peer.requests().size());
  EXPECT_EQ(3, count("CAN'T READ STANDART HEADER !!! WHANT 5 BYTES, BUT GOT 0"));
  RecordProperty("silent_ms", std::to_string(ms));
}

}  // namespace
