#include "transport/rs_connector.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "transport/modbus_connector.h"
#include "transport/transport_support.h"

namespace {

using transport_test::Clock;
using transport_test::LedProbe;
using transport_test::msSince;
using transport_test::Pty;
using transport_test::TestLog;

class RsConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestLog::get().setLevel(7);
    ASSERT_FALSE(pty.slavePath().empty());
  }
  std::unique_ptr<CRSConnector> open(SettingsMap params = {}) {
    params["name"] = pty.slavePath();
    return std::make_unique<CRSConnector>(params);
  }
  // Settings as the line really has them after the connector configured it.
  struct termios settingsOf(const CRSConnector& c) {
    struct termios t {};
    EXPECT_EQ(0, tcgetattr(c.fd(), &t));
    return t;
  }

  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  Pty pty;
};

struct LineCase {
  SettingsMap params;
  speed_t speed;
  tcflag_t size;
  bool parity;
  bool odd;
  bool two_stop;
};

TEST_F(RsConnectorTest, LineSettingsAsAppliedToTheDevice) {
  const LineCase cases[] = {
      {{}, B9600, CS8, false, false, false},
      {{{"speed", "115200"}}, B115200, CS8, false, false, false},
      {{{"speed", "300"}}, B300, CS8, false, false, false},
      {{{"speed", "4000000"}}, B4000000, CS8, false, false, false},
      {{{"speed", "14400"}}, B9600, CS8, false, false, false},
      {{{"speed", "abc"}}, B9600, CS8, false, false, false},
      {{{"speed", ""}}, B9600, CS8, false, false, false},
      {{{"speed", "-9600"}}, B9600, CS8, false, false, false},
      {{{"speed", "19200baud"}}, B19200, CS8, false, false, false},
      {{{"data", "7"}}, B9600, CS7, false, false, false},
      {{{"data", "5"}}, B9600, CS5, false, false, false},
      {{{"data", "6"}}, B9600, CS6, false, false, false},
      {{{"data", "9"}}, B9600, CS8, false, false, false},
      {{{"data", ""}}, B9600, CS8, false, false, false},
      {{{"parity", "E"}}, B9600, CS8, true, false, false},
      {{{"parity", "O"}}, B9600, CS8, true, true, false},
      {{{"parity", "N"}}, B9600, CS8, false, false, false},
      {{{"parity", "e"}}, B9600, CS8, false, false, false},
      {{{"stop", "2"}}, B9600, CS8, false, false, true},
      {{{"stop", "1.5"}}, B9600, CS8, false, false, false},
      {{{"stop", "1"}}, B9600, CS8, false, false, false},
      {{{"timeout", "1000"}}, B9600, CS8, false, false, false},  // VTIME stays 50
      {{{"speed", "2400"}, {"data", "7"}, {"parity", "E"}, {"stop", "2"}},
       B2400,
       CS7,
       true,
       false,
       true},
  };
  const bool format_kept = transport_test::ptyKeepsCharacterFormat();
  for (const auto& c : cases) {
    std::string what;
    for (const auto& kv : c.params) what += kv.first + "=" + kv.second + " ";
    SCOPED_TRACE(what);
    auto conn = open(c.params);
    ASSERT_GT(conn->fd(), 0);
    struct termios t = settingsOf(*conn);
    EXPECT_EQ(c.speed, cfgetispeed(&t));
    EXPECT_EQ(c.speed, cfgetospeed(&t));
    EXPECT_EQ(c.two_stop, (t.c_cflag & CSTOPB) != 0);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP));
    EXPECT_EQ(0u, t.c_oflag & OPOST);
    EXPECT_EQ(0, t.c_cc[VMIN]);
    EXPECT_EQ(50, t.c_cc[VTIME]);
    EXPECT_EQ(5000u, conn->timeout());

    struct termios asked = conn->requestedSettings();
    EXPECT_EQ(t.c_cflag & (CBAUD | CSTOPB), asked.c_cflag & (CBAUD | CSTOPB));
    const struct termios& format = format_kept ? t : asked;
    EXPECT_EQ(c.size, format.c_cflag & CSIZE);
    EXPECT_EQ(c.parity, (format.c_cflag & PARENB) != 0);
    EXPECT_EQ(c.odd, (format.c_cflag & PARODD) != 0);
  }
}

TEST_F(RsConnectorTest, WriteBufferPutsExactBytesOnTheLine) {
  auto conn = open();
  const uint8_t frame[] = {0x00, 0x01, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0xFF, 0x03, 0x1C};
  EXPECT_EQ(10, conn->WriteBuffer(frame, sizeof frame, false));
  EXPECT_EQ(std::vector<uint8_t>(frame, frame + sizeof frame), pty.receive(10, 500));
  EXPECT_EQ(0, conn->DrainBuffer());
}

TEST_F(RsConnectorTest, ReadBufferReturnsTheFirstChunk) {
  auto conn = open();
  pty.send(std::vector<uint8_t>{0x06, 0x00, 0x0D, 0x0A, 0x11});
  uint8_t buf[100] = {};
  auto t0 = Clock::now();
  ASSERT_EQ(5, conn->ReadBuffer(buf, sizeof buf, false));
  EXPECT_LT(msSince(t0), 1000);  // did not wait for the other 95 bytes
  EXPECT_EQ(std::vector<uint8_t>({0x06, 0x00, 0x0D, 0x0A, 0x11}),
            std::vector<uint8_t>(buf, buf + 5));
}

TEST_F(RsConnectorTest, ReadBufferTimesOutWithItsLogLine) {
  auto conn = open();
  conn->SetTimeout(150);
  size_t mark = TestLog::get().mark();
  uint8_t buf[10];
  auto t0 = Clock::now();
  EXPECT_EQ(-1, conn->ReadBuffer(buf, sizeof buf, true));
  double ms = msSince(t0);
  EXPECT_GE(ms, 145);
  EXPECT_LT(ms, 1000);
  EXPECT_NE(std::string::npos,
            TestLog::get().since(mark).find(
                "Err: CRSConnector::ReadBuffer - Timeout receiving data. 0 - 0"));
}

TEST_F(RsConnectorTest, ReadBufferCycleGathersChunksAcrossSilences) {
  auto conn = open();
  std::vector<uint8_t> sent(200);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<uint8_t>(i * 7 + 3);
  // Four chunks 100 ms apart: longer in total than the 250 ms timeout, but no
  // single silence is.
  std::thread writer([&] {
    for (int c = 0; c < 4; ++c) {
      if (c) std::this_thread::sleep_for(std::chrono::milliseconds(100));
      pty.send(std::vector<uint8_t>(sent.begin() + c * 50, sent.begin() + (c + 1) * 50));
    }
  });
  uint8_t buf[200] = {};
  auto t0 = Clock::now();
  int32_t n = conn->ReadBufferCycle(buf, 200, false, 250);
  double ms = msSince(t0);
  writer.join();
  ASSERT_EQ(200, n);
  EXPECT_EQ(sent, std::vector<uint8_t>(buf, buf + 200));
  EXPECT_GE(ms, 280);
  EXPECT_LT(ms, 1500);
}

TEST_F(RsConnectorTest, ReadBufferCycleReturnsPartialCountAfterOneTimeout) {
  auto conn = open();
  size_t mark = TestLog::get().mark();
  std::thread writer([&] {
    pty.send(std::string(60, 'a'));
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    pty.send(std::string(60, 'b'));
  });
  uint8_t buf[200] = {};
  auto t0 = Clock::now();
  int32_t n = conn->ReadBufferCycle(buf, 200, false, 300);
  double ms = msSince(t0);
  writer.join();
  EXPECT_EQ(120, n);
  EXPECT_EQ(std::string(60, 'a') + std::string(60, 'b'),
            std::string(reinterpret_cast<char*>(buf), 120));
  // Last chunk at ~80 ms, then exactly one further timeout.
  EXPECT_GE(ms, 370);
  EXPECT_LT(ms, 1200);
  EXPECT_EQ(
      1, mtr_test::countLinesContaining(TestLog::get().since(mark),
                                        "CRSConnector::ReadBufferCycle - Timeout receiving data."));
}

TEST_F(RsConnectorTest, ReadBufferCycleZeroTimeoutMeansConnectorTimeout) {
  auto conn = open();
  uint8_t buf[10];
  for (uint32_t timeout : {120u, 450u}) {
    SCOPED_TRACE(timeout);
    conn->SetTimeout(timeout);
    auto t0 = Clock::now();
    EXPECT_EQ(-1, conn->ReadBufferCycle(buf, sizeof buf, false, 0));
    double ms = msSince(t0);
    EXPECT_GE(ms, timeout - 5.0);
    EXPECT_LT(ms, timeout + 400.0);
  }
}

TEST_F(RsConnectorTest, ReadWakesAsSoonAsDataArrives) {
  auto conn = open();
  std::vector<double> latencies;
  for (int i = 0; i < 30; ++i) {
    std::atomic<bool> waiting{false};
    Clock::time_point returned;
    int32_t got = 0;
    std::thread reader([&] {
      uint8_t b[8];
      waiting = true;
      got = conn->ReadBuffer(b, sizeof b, false);
      returned = Clock::now();
    });
    while (!waiting) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // reader is in its wait
    auto sent = Clock::now();
    pty.send(std::string("x"));
    reader.join();
    ASSERT_EQ(1, got);
    latencies.push_back(std::chrono::duration<double, std::milli>(returned - sent).count());
  }
  std::sort(latencies.begin(), latencies.end());
  double median = latencies[latencies.size() / 2];
  RecordProperty("median_wake_us", static_cast<int>(median * 1000));
  printf("read wake latency: median %.3f ms, max %.3f ms\n", median, latencies.back());
  EXPECT_LT(median, 1.0);
}

TEST_F(RsConnectorTest, FlushDiscardsPendingInput) {
  auto conn = open();
  conn->SetTimeout(150);
  pty.send(std::string("stale answer"));
  // Let the bytes reach the line discipline before discarding them.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(0, conn->FlushBuffer());
  uint8_t buf[32];
  EXPECT_EQ(-1, conn->ReadBuffer(buf, sizeof buf, false));
  pty.send(std::string("fresh"));
  EXPECT_EQ(5, conn->ReadBuffer(buf, sizeof buf, false));
}

TEST_F(RsConnectorTest, LedsFlashForTrafficOnlyWhenAsked) {
  LedProbe leds;
  auto conn = open();
  uint8_t buf[8] = {'p', 'i', 'n', 'g'};
  ASSERT_EQ(4, conn->WriteBuffer(buf, 4, false));
  pty.send(std::string("pong"));
  ASSERT_EQ(4, conn->ReadBuffer(buf, sizeof buf, false));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(0, LedProbe::flashes(leds.transmit()));
  EXPECT_EQ(0, LedProbe::flashes(leds.receive()));

  ASSERT_EQ(4, conn->WriteBuffer(buf, 4, true));
  EXPECT_TRUE(
      mtr_test::waitFor([&] { return leds.transmit().find("01") != std::string::npos; }, 1000, 2));
  EXPECT_TRUE(mtr_test::waitFor([&] { return leds.transmit() == "010"; }, 1000, 5));
  EXPECT_EQ("0", leds.receive());

  pty.send(std::string("pong"));
  ASSERT_EQ(4, conn->ReadBufferCycle(buf, 4, true, 500));
  EXPECT_TRUE(mtr_test::waitFor([&] { return leds.receive() == "010"; }, 1000, 5));
  EXPECT_EQ("010", leds.transmit());

  conn.reset();  // both left dark
  EXPECT_EQ("0100", leds.transmit());
  EXPECT_EQ("0100", leds.receive());
}

TEST_F(RsConnectorTest, UnopenableDeviceFailsThroughResults) {
  std::string link = root / "ttyLater";
  size_t mark = TestLog::get().mark();
  CRSConnector conn(SettingsMap{{"name", link}});
  std::string log = TestLog::get().since(mark);
  EXPECT_NE(std::string::npos,
            log.find("Crit: CRSConnector::open_device - Unable open device " + link + "."));
  EXPECT_EQ(-1, conn.fd());

  const uint8_t byte = 0x55;
  EXPECT_LT(conn.WriteBuffer(&byte, 1, true), 0);
  conn.SetTimeout(100);
  uint8_t buf[4];
  auto t0 = Clock::now();
  EXPECT_EQ(-1, conn.ReadBuffer(buf, sizeof buf, true));
  EXPECT_GE(msSince(t0), 95);
  t0 = Clock::now();
  EXPECT_EQ(-1, conn.ReadBufferCycle(buf, sizeof buf, true, 0));
  EXPECT_GE(msSince(t0), 95);
  EXPECT_NE(0, conn.FlushBuffer());
  EXPECT_NE(0, conn.DrainBuffer());
  conn.close_device();
  conn.close_device();
  EXPECT_FALSE(conn.open_device());

  // Once the device is there, the same connector opens it.
  ASSERT_EQ(0, symlink(pty.slavePath().c_str(), link.c_str()));
  ASSERT_TRUE(conn.open_device());
  EXPECT_GT(conn.fd(), 0);
  EXPECT_EQ(1, conn.WriteBuffer(&byte, 1, false));
  EXPECT_EQ(std::vector<uint8_t>{0x55}, pty.receive(1, 500));
}

TEST_F(RsConnectorTest, CloseTwiceThenReopen) {
  auto conn = open({{"speed", "57600"}});
  int before = conn->fd();
  ASSERT_GT(before, 0);
  conn->close_device();
  EXPECT_EQ(-1, conn->fd());
  EXPECT_EQ(-1, fcntl(before, F_GETFD));  // really closed
  conn->close_device();
  EXPECT_EQ(-1, conn->fd());

  ASSERT_TRUE(conn->open_device());
  ASSERT_GT(conn->fd(), 0);
  struct termios t = settingsOf(*conn);
  EXPECT_EQ(B57600, cfgetospeed(&t));
  pty.send(std::string("ok"));
  uint8_t buf[4];
  EXPECT_EQ(2, conn->ReadBufferCycle(buf, 2, false, 500));

  // Opening an open line replaces its descriptor instead of leaking it.
  int open_fd = conn->fd();
  ASSERT_TRUE(conn->open_device());
  if (conn->fd() != open_fd) {
    EXPECT_EQ(-1, fcntl(open_fd, F_GETFD));
  }
}

TEST_F(RsConnectorTest, HangUpEndsAGatheringReadAtOnce) {
  auto conn = open();
  pty.send(std::string("abc"));
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  pty.closeMaster();
  uint8_t buf[16];
  auto t0 = Clock::now();
  int32_t n = conn->ReadBufferCycle(buf, sizeof buf, false, 3000);
  EXPECT_LT(msSince(t0), 1000);  // neither waits the timeout nor spins forever
  EXPECT_TRUE(n == -1 || n == 3) << n;
}

TEST(RsConnectorDefaults, NoNameMeansFirstSerialPort) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  TestLog::get().setLevel(7);
  size_t mark = TestLog::get().mark();
  CRSConnector conn(SettingsMap{{"speed", "9600"}});
  EXPECT_EQ("/dev/ttyS1", conn.devicePath());
  EXPECT_EQ(5000u, conn.timeout());
  if (access("/dev/ttyS1", F_OK) != 0) {
    EXPECT_NE(std::string::npos, TestLog::get().since(mark).find("Unable open device /dev/ttyS1."));
  }
}

TEST(ConnectorFactory, ProtocolSelectsTheConnectorKind) {
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
  Pty pty;
  TestLog::get().setLevel(7);
  struct Case {
    const char* protocol;  // null: no entry
    bool modbus;
  } cases[] = {
      {"modbus", true}, {"Modbus", false}, {"rs485", false}, {"", false}, {nullptr, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.protocol ? c.protocol : "(none)");
    SettingsMap params{{"name", pty.slavePath()}};
    if (c.protocol) params["protocol"] = c.protocol;
    size_t mark = TestLog::get().mark();
    std::unique_ptr<CConnector> conn(CreateConnector(params));
    ASSERT_TRUE(conn);
    std::string log = TestLog::get().since(mark);
    if (c.modbus) {
      auto* m = dynamic_cast<CModbusConnectorItself*>(conn.get());
      ASSERT_NE(nullptr, m);
      EXPECT_NE(nullptr, m->context());
      EXPECT_NE(std::string::npos,
                log.find("Debug: The CConnector is created in the \"Modbus\" mode."));
    } else {
      auto* r = dynamic_cast<CRSConnector*>(conn.get());
      ASSERT_NE(nullptr, r);
      EXPECT_GT(r->fd(), 0);
      EXPECT_NE(std::string::npos, log.find("Debug: The CConnector is created in as simple UART."));
    }
    EXPECT_EQ(params, conn->portParams());
  }
}

}  // namespace
