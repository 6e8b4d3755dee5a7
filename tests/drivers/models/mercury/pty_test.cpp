// The driver over a real pseudo-terminal and the serial connector, with a
// table-driven meter on the master side.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "mercury_test_util.h"
#include "transport/rs_connector.h"

using namespace mercury_test;

namespace {

const char* kOpen = "01 01 01 01 01 01 01 01";

// Answers frames that arrive on the master side of a pty. A frame ends when
// the line has been quiet for 15 ms, as a meter's receiver would decide.
class PtyMeter {
 public:
  explicit PtyMeter(TableMeter meter) : meter_(std::move(meter)) {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    path_ = name;
    struct termios tio;
    tcgetattr(master_, &tio);
    cfmakeraw(&tio);
    tcsetattr(master_, TCSANOW, &tio);
    thread_ = std::thread([this] { run(); });
  }
  ~PtyMeter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  const std::string& path() const { return path_; }
  int count(const std::string& cmd) {
    std::lock_guard<std::mutex> lock(mutex_);
    return meter_.count(cmd);
  }
  void setDrop(std::function<bool(const std::string&)> drop) {
    std::lock_guard<std::mutex> lock(mutex_);
    meter_.drop = std::move(drop);
  }

  std::atomic<int> byte_gap_us{0};     // pause between the bytes of a reply
  std::atomic<int> reply_delay_ms{0};  // pause before a reply
  std::atomic<int> late_replies{0};    // this many replies come after reply_delay_ms
  std::atomic<int> frames{0};

 private:
  void run() {
    Bytes frame;
    while (!stop_) {
      struct pollfd p = {master_, POLLIN, 0};
      int r = poll(&p, 1, 15);
      if (r > 0 && (p.revents & POLLIN)) {
        uint8_t buf[512];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) frame.insert(frame.end(), buf, buf + n);
        continue;
      }
      if (frame.empty()) continue;
      ScriptedConnector::Reply reply;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reply = meter_.answer(frame);
      }
      frame.clear();
      ++frames;
      if (reply.silent) continue;
      if (late_replies > 0) {
        --late_replies;
        std::this_thread::sleep_for(std::chrono::milliseconds(reply_delay_ms));
      }
      for (uint8_t b : reply.bytes) {
        if (write(master_, &b, 1) != 1) break;
        if (byte_gap_us) std::this_thread::sleep_for(std::chrono::microseconds(byte_gap_us));
      }
    }
  }

  TableMeter meter_;
  std::mutex mutex_;
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TableMeter meterTable() {
  TableMeter m(0x23, kOpen);
  m.set("08 12", "11 00 00 04 05 00");  // no tariff clock: the short system sequence
  m.set("08 03", "02 01 05");
  m.set("08 00", "0C 22 38 4E 0F 06 15");
  m.set("08 02", "00 01 00 28");
  m.set("08 11 11", "00 98 59");
  m.set("08 11 12", "00 10 5A");
  m.set("08 11 13", "00 00 5A");
  m.set("08 11 21", "00 88 13");
  m.set("08 11 23", "00 88 13");
  m.set("08 11 40", "00 88 13");
  for (const char* p : {"00", "01", "02", "03", "04", "05", "06", "07"})
    m.set(std::string("08 11 ") + p, "00 40 E2");
  for (const char* p : {"30", "31", "32", "33"}) m.set(std::string("08 11 ") + p, "00 52 03");
  m.set("08 0A", "00 00 00 00 00 00");
  m.set("05 00 00", "00 00 39 30 FF FF FF FF 00 00 10 00 00 00 00 00");
  m.set("05 00 01", "00 00 39 20 FF FF FF FF 00 00 00 00 00 00 00 00");
  return m;
}

struct PtyRig {
  explicit PtyRig(TableMeter table = meterTable())
      : root(),
        env("MTR_ROOT", root.path().c_str()),
        meter(std::move(table)),
        driver("mercury230", {{"net_address", "35"}}, "12345678", "111111") {
    line = std::make_shared<CRSConnector>(
        SettingsMap{{"name", meter.path()}, {"speed", "9600"}, {"data", "8"}, {"parity", "N"}});
    line->SetTimeout(300);
    driver.connect(line);
  }
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env;
  PtyMeter meter;
  TestDriver driver;
  std::shared_ptr<CRSConnector> line;
};

long long msSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t)
      .count();
}

}  // namespace

TEST(MercuryPty, SessionOverARealLine) {
  PtyRig rig;
  ASSERT_FALSE(rig.meter.path().empty());
  ASSERT_GE(rig.line->fd(), 0);
  // The line is raw 9600 8N1 as asked.
  struct termios tio = rig.line->requestedSettings();
  EXPECT_EQ(B9600, cfgetospeed(&tio));
  EXPECT_EQ(CS8, tio.c_cflag & CSIZE);
  EXPECT_FALSE(tio.c_lflag & ICANON);

  EXPECT_TRUE(rig.driver.init());
  MeasuredValueList sys = rig.driver.get_all_system_values();
  EXPECT_EQ("12345678", find(sys, 10, 74)->value);
  EXPECT_EQ("mercury230", find(sys, 10, 72)->value);
  MeasuredValueList cur = rig.driver.get_all_curtime_cur_integ_values();
  ASSERT_NE(nullptr, find(cur, 0, 39));
  EXPECT_EQ("229.36", find(cur, 0, 39)->value);
  EXPECT_EQ("5.000", find(cur, 0, 42)->value);
  EXPECT_EQ("0.57920", find(cur, 0, 31)->value);
  EXPECT_EQ("12.345", find(cur, 0, 50)->value);
  // A refused request yields nothing; its short status reply waits out the time-out.
  EXPECT_EQ(nullptr, find(cur, 0, 43));
  EXPECT_EQ(1, rig.meter.count("08 11 22"));
}

TEST(MercuryPty, SlowLineIsGatheredByteByByte) {
  PtyRig rig;
  rig.meter.byte_gap_us = 3000;  // slower than 9600 baud, below the time-out
  EXPECT_TRUE(rig.driver.init());
  rig.driver.get_all_system_values();
  MeasuredValueList cur = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ("12.345", find(cur, 0, 50)->value);
  EXPECT_EQ(1, rig.meter.count("05 00 00"));
}

TEST(MercuryPty, LateReplyIsNotTakenForTheNextOne) {
  PtyRig rig;
  EXPECT_TRUE(rig.driver.init());
  rig.driver.get_all_system_values();  // opens the channel
  CmtrMercury23XRequets::MeterState st;
  CmtrMercury23XRequets::VoltageRequest phase_a(&st, 1), phase_b(&st, 2);
  phase_a.setConnector(rig.driver.lowLevel());
  phase_b.setConnector(rig.driver.lowLevel());
  // Phase A's reply comes after the read time-out and lies in the input queue
  // when phase B is asked: a frame of the same length and a good CRC.
  rig.meter.reply_delay_ms = 450;
  rig.meter.late_replies = 1;
  MeasuredValueList values;
  EXPECT_THROW(phase_a.sendRequest(values), CWrongPacketException);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  phase_b.sendRequest(values);
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ(40u, values.front().param_code);
  EXPECT_EQ("230.56", values.front().value);
}

TEST(MercuryPty, SilentMeterFailsInitAfterThreeTimeouts) {
  PtyRig rig;
  rig.meter.setDrop([](const std::string&) { return true; });
  auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(rig.driver.init(), CDisconnectException);
  long long ms = msSince(start);
  EXPECT_GE(ms, 3 * 300 - 50);
  EXPECT_LT(ms, 3 * 300 + 1500);
  EXPECT_EQ(3, rig.meter.frames.load());
}

TEST(MercuryPty, LostRequestIsRetriedOnTheLine) {
  PtyRig rig;
  int drops = 0;
  rig.meter.setDrop([&](const std::string& cmd) { return cmd == "08 11 11" && drops++ < 2; });
  EXPECT_TRUE(rig.driver.init());
  rig.driver.get_all_system_values();
  MeasuredValueList cur = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ("229.36", find(cur, 0, 39)->value);
  EXPECT_EQ(3, rig.meter.count("08 11 11"));
  EXPECT_EQ(2000, rig.driver.fake_clock.nowMs() - 1710498030LL * 1000);
}
