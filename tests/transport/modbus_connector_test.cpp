#include "transport/modbus_connector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <thread>

#include "base/crc.h"
#include "transport/transport_support.h"

namespace {

using transport_test::Clock;
using transport_test::LedProbe;
using transport_test::ModbusSlave;
using transport_test::msSince;
using transport_test::Pty;
using transport_test::SocatPair;
using transport_test::TestLog;

constexpr int kSlave = 5;

std::vector<uint8_t> withCrc(std::vector<uint8_t> frame) {
  uint16_t crc = mtr::crc16_modbus(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

// A Modbus connector on one end of a socat pair, a libmodbus slave on the other.
class ModbusPeerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLog::get().setLevel(6);  // keep libmodbus's own frame printing off
    ASSERT_TRUE(pair.ready());
    slave.reset(new ModbusSlave(pair.b(), kSlave));
    ASSERT_TRUE(slave->ready());
    conn.reset(new CModbusConnectorItself({{"protocol", "modbus"}, {"name", pair.a()}}));
    ASSERT_NE(nullptr, conn->context());
    conn->SetTimeout(500);
  }
  void TearDown() override {
    conn.reset();
    slave.reset();
  }

  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  SocatPair pair;
  std::unique_ptr<ModbusSlave> slave;
  std::unique_ptr<CModbusConnectorItself> conn;
};

TEST_F(ModbusPeerTest, RegisterOperations) {
  uint16_t regs[8] = {};
  ASSERT_EQ(3, conn->ReadRegisters(kSlave, 10, 3, regs, false));
  EXPECT_EQ(10, regs[0]);
  EXPECT_EQ(12, regs[2]);

  ASSERT_EQ(4, conn->ReadInputRegisters(kSlave, 0, 4, regs, false));
  EXPECT_EQ(1000, regs[0]);
  EXPECT_EQ(1003, regs[3]);

  ASSERT_EQ(1, conn->WriteRegister(kSlave, 20, 0xBEEF, false));
  EXPECT_EQ(0xBEEF, slave->holding(20));

  const uint16_t many[3] = {0x0102, 0xFFFF, 0};
  ASSERT_EQ(3, conn->WriteRegisters(kSlave, 30, 3, many, false));
  EXPECT_EQ(0x0102, slave->holding(30));
  EXPECT_EQ(0xFFFF, slave->holding(31));
  EXPECT_EQ(0, slave->holding(32));

  const uint16_t pair_values[2] = {7, 8};
  ASSERT_EQ(4, conn->WriteAndReadRegisters(kSlave, 40, 2, pair_values, 39, 4, regs, false));
  EXPECT_EQ((std::vector<uint16_t>{39, 7, 8, 42}), std::vector<uint16_t>(regs, regs + 4));

  uint8_t id[MODBUS_MAX_PDU_LENGTH] = {};
  int32_t n = conn->ReportSlaveId(kSlave, sizeof id, id, false);
  ASSERT_GE(n, 5);
  EXPECT_EQ(0xFF, id[1]);  // run indicator on
  EXPECT_EQ("LMB", std::string(reinterpret_cast<char*>(id + 2), 3));

  // Raw request: read one holding register at 2; the confirmation replaces it.
  uint8_t raw[MODBUS_RTU_MAX_ADU_LENGTH] = {kSlave, 0x03, 0x00, 0x02, 0x00, 0x01};
  ASSERT_EQ(7, conn->SendRawRequest(kSlave, raw, 6, false));
  EXPECT_EQ(withCrc({kSlave, 0x03, 0x02, 0x00, 0x02}), std::vector<uint8_t>(raw, raw + 7));

  EXPECT_EQ(0, slave->errors());
}

TEST_F(ModbusPeerTest, SelectedSlaveSticksUntilAnotherIsChosen) {
  EXPECT_EQ(1, modbus_get_slave(conn->context()));  // as opened
  uint16_t reg = 0;
  ASSERT_EQ(1, conn->ReadRegisters(kSlave, 1, 1, &reg, false));
  EXPECT_EQ(kSlave, modbus_get_slave(conn->context()));
  EXPECT_EQ(0, conn->FlushBuffer());
  EXPECT_EQ(kSlave, modbus_get_slave(conn->context()));
  conn->SetTimeout(1234);
  EXPECT_EQ(kSlave, modbus_get_slave(conn->context()));

  // An address libmodbus refuses leaves the selection alone and fails at once.
  EXPECT_EQ(-1, conn->ReadRegisters(300, 3, 1, &reg, false));
  EXPECT_EQ(kSlave, modbus_get_slave(conn->context()));
  ASSERT_EQ(1, conn->ReadRegisters(kSlave, 3, 1, &reg, false));
  EXPECT_EQ(3, reg);

  // Nobody answers as slave 7. (Last: the peer then takes our next frame for
  // slave 7's answer and drops it, as a slave on a shared bus does.)
  conn->SetTimeout(100);
  int before = slave->requests();
  auto t0 = Clock::now();
  EXPECT_EQ(-1, conn->ReadRegisters(7, 1, 1, &reg, false));
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_LT(msSince(t0), 1500);
  EXPECT_EQ(7, modbus_get_slave(conn->context()));
  EXPECT_EQ(before, slave->requests());
}

TEST_F(ModbusPeerTest, ExceptionAnswersGiveMinusOne) {
  uint16_t regs[8] = {};
  const uint16_t src[2] = {1, 2};
  struct Case {
    const char* what;
    std::function<int32_t()> op;
  } cases[] = {
      {"read past the map", [&] { return conn->ReadRegisters(kSlave, 98, 5, regs, false); }},
      {"write past the map", [&] { return conn->WriteRegister(kSlave, 500, 1, false); }},
      {"write several past the map",
       [&] { return conn->WriteRegisters(kSlave, 99, 2, src, false); }},
      {"write-and-read past the map",
       [&] { return conn->WriteAndReadRegisters(kSlave, 10, 2, src, 99, 2, regs, false); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto t0 = Clock::now();
    EXPECT_EQ(-1, c.op());
    EXPECT_EQ(EMBXILADD, errno);
    EXPECT_LT(msSince(t0), 400);  // an answer, not a timeout
  }
  // The line is still in step afterwards.
  EXPECT_EQ(1, conn->ReadRegisters(kSlave, 0, 1, regs, false));
  EXPECT_EQ(0, slave->errors());
}

TEST_F(ModbusPeerTest, ConcurrentTransactionsNeverInterleave) {
  constexpr int kThreads = 4, kRounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  auto t0 = Clock::now();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        uint16_t value = static_cast<uint16_t>(t * 1000 + i);
        uint16_t back[2] = {};
        if (conn->WriteRegister(kSlave, 50 + t, value, false) != 1) ++failures;
        if (conn->ReadRegisters(kSlave, 50 + t, 1, back, false) != 1 || back[0] != value)
          ++failures;
        const uint16_t w[1] = {static_cast<uint16_t>(value + 1)};
        if (conn->WriteAndReadRegisters(kSlave, 60 + t, 1, w, 60 + t, 1, back, false) != 1 ||
            back[0] != value + 1)
          ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  printf("%d Modbus transactions from %d threads in %.0f ms\n", kThreads * kRounds * 3, kThreads,
         msSince(t0));
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, slave->errors());
  EXPECT_EQ(kThreads * kRounds * 3, slave->requests());
}

TEST_F(ModbusPeerTest, LedRules) {
  conn.reset();
  LedProbe leds;  // outlives the LEDs that write into it
  std::unique_ptr<CModbusConnectorItself> conn(
      new CModbusConnectorItself(SettingsMap{{"name", pair.a()}}));
  conn->SetTimeout(500);
  uint16_t regs[4];
  struct Case {
    const char* what;
    std::function<int32_t()> op;
    bool ok;
    int transmit, receive;
  } cases[] = {
      {"read, no flash", [&] { return conn->ReadRegisters(kSlave, 0, 1, regs, false); }, true, 0,
       0},
      {"read", [&] { return conn->ReadRegisters(kSlave, 0, 1, regs, true); }, true, 1, 1},
      {"failed read", [&] { return conn->ReadRegisters(kSlave, 99, 4, regs, true); }, false, 1, 0},
      {"write one", [&] { return conn->WriteRegister(kSlave, 1, 1, true); }, true, 1, 0},
      {"write several", [&] { return conn->WriteRegisters(kSlave, 1, 2, regs, true); }, true, 1, 0},
      {"write and read",
       [&] { return conn->WriteAndReadRegisters(kSlave, 1, 1, regs, 1, 1, regs, true); }, true, 1,
       1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int a0 = LedProbe::flashes(leds.transmit()), b0 = LedProbe::flashes(leds.receive());
    int32_t r = c.op();
    EXPECT_EQ(c.ok, r > 0) << r;
    // One flash lasts 150 ms; give it time to show and to end.
    std::this_thread::sleep_for(std::chrono::milliseconds(220));
    EXPECT_EQ(c.transmit, LedProbe::flashes(leds.transmit()) - a0);
    EXPECT_EQ(c.receive, LedProbe::flashes(leds.receive()) - b0);
  }
}

TEST(ModbusConnector, SetTimeoutSetsByteAndResponseTimeouts) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  TestLog::get().setLevel(6);
  Pty pty;
  CModbusConnectorItself conn({{"name", pty.slavePath()}, {"timeout", "1000"}});
  ASSERT_NE(nullptr, conn.context());
  struct Case {
    uint32_t ms;  // 0: as opened
    uint32_t byte_s, byte_us, resp_s, resp_us;
  } cases[] = {
      {0, 60, 0, 120, 0},
      {1500, 1, 500000, 3, 0},
      {999, 0, 999000, 1, 998000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ms);
    if (c.ms) conn.SetTimeout(c.ms);
    uint32_t s = 0, us = 0;
    ASSERT_EQ(0, modbus_get_byte_timeout(conn.context(), &s, &us));
    EXPECT_EQ(c.byte_s, s);
    EXPECT_EQ(c.byte_us, us);
    ASSERT_EQ(0, modbus_get_response_timeout(conn.context(), &s, &us));
    EXPECT_EQ(c.resp_s, s);
    EXPECT_EQ(c.resp_us, us);
  }
}

// Requests as they appear on the wire, and hand-made answers, with the CRCs of
// the protocol's own worked examples.
TEST(ModbusConnector, WireBytes) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  TestLog::get().setLevel(6);
  Pty pty;
  CModbusConnectorItself conn(SettingsMap{{"name", pty.slavePath()}});
  ASSERT_NE(nullptr, conn.context());
  conn.SetTimeout(500);

  int32_t result = 0;
  uint16_t regs[3] = {};
  std::thread master([&] { result = conn.ReadRegisters(0x11, 0x006B, 3, regs, false); });
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}),
            pty.receive(8, 1000));
  pty.send(withCrc({0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40}));
  master.join();
  EXPECT_EQ(3, result);
  EXPECT_EQ((std::vector<uint16_t>{0xAE41, 0x5652, 0x4340}), std::vector<uint16_t>(regs, regs + 3));

  master = std::thread([&] { result = conn.WriteRegister(0x11, 0x0001, 0x0003, false); });
  std::vector<uint8_t> req = pty.receive(8, 1000);
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x06, 0x00, 0x01, 0x00, 0x03, 0x9A, 0x9B}), req);
  pty.send(req);  // a single write is answered by its echo
  master.join();
  EXPECT_EQ(1, result);

  const uint16_t two[2] = {0x000A, 0x0102};
  master = std::thread([&] { result = conn.WriteRegisters(0x11, 0x0001, 2, two, false); });
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02,
                                  0xC6, 0xF0}),
            pty.receive(13, 1000));
  pty.send(withCrc({0x11, 0x10, 0x00, 0x01, 0x00, 0x02}));
  master.join();
  EXPECT_EQ(2, result);

  // An answer with a broken CRC is a failure.
  master = std::thread([&] { result = conn.ReadRegisters(0x11, 0x006B, 1, regs, false); });
  EXPECT_EQ(8u, pty.receive(8, 1000).size());
  std::vector<uint8_t> bad = withCrc({0x11, 0x03, 0x02, 0x00, 0x01});
  bad.back() ^= 0x01;
  pty.send(bad);
  master.join();
  EXPECT_EQ(-1, result);
}

TEST(ModbusConnector, ByteStreamOperationsLeaveTheLineAlone) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  TestLog::get().setLevel(6);
  Pty pty;
  CModbusConnectorItself conn(SettingsMap{{"name", pty.slavePath()}});
  ASSERT_NE(nullptr, conn.context());
  pty.send(std::string("pending"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint8_t buf[16] = {1, 2, 3};
  auto t0 = Clock::now();
  EXPECT_EQ(-1, conn.WriteBuffer(buf, 3, true));
  EXPECT_EQ(-1, conn.ReadBuffer(buf, sizeof buf, true));
  EXPECT_EQ(-1, conn.ReadBufferCycle(buf, sizeof buf, true, 1000));
  EXPECT_EQ(-1, conn.DrainBuffer());
  EXPECT_LT(msSince(t0), 50);
  conn.close_device();
  EXPECT_NE(nullptr, conn.context());
  EXPECT_TRUE(pty.receive(1, 100).empty());  // nothing was written
  // and what was pending is still there to be read
  uint8_t got[16];
  EXPECT_EQ(7, read(modbus_get_socket(conn.context()), got, sizeof got));
}

struct ModbusLineCase {
  SettingsMap params;
  int baud;
  speed_t speed;
  int data_bits;
  tcflag_t size;
  char parity;
  int stop_bits;
};

TEST(ModbusConnector, LineSettingsReachTheDevice) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  TestLog::get().setLevel(6);
  Pty pty;
  const ModbusLineCase cases[] = {
      {{}, 9600, B9600, 8, CS8, 'N', 1},
      {{{"parity", "E"}}, 9600, B9600, 8, CS8, 'E', 1},
      {{{"parity", "O"}}, 9600, B9600, 8, CS8, 'O', 1},
      {{{"parity", "e"}}, 9600, B9600, 8, CS8, 'N', 1},
      {{{"stop", "2"}}, 9600, B9600, 8, CS8, 'N', 2},
      {{{"stop", "1.5"}}, 9600, B9600, 8, CS8, 'N', 1},
      {{{"data", "7"}, {"speed", "115200"}}, 115200, B115200, 7, CS7, 'N', 1},
  };
  const bool format_kept = transport_test::ptyKeepsCharacterFormat();
  for (const auto& c : cases) {
    std::string what;
    for (const auto& kv : c.params) what += kv.first + "=" + kv.second + " ";
    SCOPED_TRACE(what);
    SettingsMap params = c.params;
    params["name"] = pty.slavePath();
    CModbusConnectorItself conn(params);
    ASSERT_NE(nullptr, conn.context());
    ModbusLine line = conn.line();
    EXPECT_EQ(c.baud, line.baud);
    EXPECT_EQ(c.parity, line.parity);
    EXPECT_EQ(c.data_bits, line.data_bits);
    EXPECT_EQ(c.stop_bits, line.stop_bits);
    struct termios t {};
    ASSERT_EQ(0, tcgetattr(modbus_get_socket(conn.context()), &t));
    EXPECT_EQ(c.speed, cfgetospeed(&t));
    EXPECT_EQ(c.stop_bits == 2, (t.c_cflag & CSTOPB) != 0);
    if (format_kept) {
      EXPECT_EQ(c.size, t.c_cflag & CSIZE);
      EXPECT_EQ(c.parity != 'N', (t.c_cflag & PARENB) != 0);
      EXPECT_EQ(c.parity == 'O', (t.c_cflag & PARODD) != 0);
    }
    EXPECT_EQ(60000u, conn.timeout());
  }
}

TEST(ModbusConnector, OpenFailuresAreLoggedAndEveryOperationFails) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  TestLog::get().setLevel(6);
  Pty pty;
  struct Case {
    SettingsMap params;
    std::string line;
  } cases[] = {
      {{{"name", "/nonexistent/ttyM"}},
       "Crit: CModbusConnectorItself::open_device - Connection failed. Unable to open device "
       "/nonexistent/ttyM."},
      {{{"name", pty.slavePath()}, {"speed", "abc"}},
       "Crit: CModbusConnectorItself::open_device - Unable to allocate libmodbus context and"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    size_t mark = TestLog::get().mark();
    CModbusConnectorItself conn(c.params);
    EXPECT_NE(std::string::npos, TestLog::get().since(mark).find(c.line));
    EXPECT_EQ(nullptr, conn.context());
    uint16_t regs[2] = {};
    uint8_t bytes[MODBUS_RTU_MAX_ADU_LENGTH] = {1, 3, 0, 0, 0, 1};
    EXPECT_EQ(-1, conn.ReadRegisters(1, 0, 1, regs, true));
    EXPECT_EQ(-1, conn.ReadInputRegisters(1, 0, 1, regs, true));
    EXPECT_EQ(-1, conn.WriteRegister(1, 0, 1, true));
    EXPECT_EQ(-1, conn.WriteRegisters(1, 0, 1, regs, true));
    EXPECT_EQ(-1, conn.WriteAndReadRegisters(1, 0, 1, regs, 0, 1, regs, true));
    EXPECT_EQ(-1, conn.ReportSlaveId(1, sizeof bytes, bytes, true));
    EXPECT_EQ(-1, conn.SendRawRequest(1, bytes, 6, true));
    EXPECT_EQ(-1, conn.FlushBuffer());
    conn.SetTimeout(1500);  // harmless without a context
  }
  // The line that failed can be opened later by the same connector.
  CModbusConnectorItself conn(SettingsMap{{"name", root / "later"}});
  EXPECT_EQ(nullptr, conn.context());
  ASSERT_EQ(0, symlink(pty.slavePath().c_str(), (root / "later").c_str()));
  EXPECT_TRUE(conn.open_device());
  EXPECT_NE(nullptr, conn.context());
  EXPECT_TRUE(conn.open_device());  // a second open replaces the context
  EXPECT_NE(nullptr, conn.context());
}

// libmodbus prints its frames on standard output in debug mode.
std::string stdoutOfOpening(int level, const std::string& device) {
  mtr_test::TempDir dir;
  std::string path = dir / "stdout";
  fflush(stdout);
  int saved = dup(1);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 1);
  close(fd);
  TestLog::get().setLevel(level);
  {
    CModbusConnectorItself conn(SettingsMap{{"name", device}});
    conn.FlushBuffer();
  }
  fflush(stdout);
  dup2(saved, 1);
  close(saved);
  TestLog::get().setLevel(6);
  return mtr_test::readFile(path);
}

TEST(ModbusConnector, DebugModeFollowsTheLogLevel) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  Pty pty;
  EXPECT_NE(std::string::npos, stdoutOfOpening(7, pty.slavePath()).find(pty.slavePath()));
  EXPECT_EQ("", stdoutOfOpening(6, pty.slavePath()));
}

}  // namespace
