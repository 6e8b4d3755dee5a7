#include "transport/rs_connector.h"

#include <fcntl.h>

#include <functional>

#include "transport/modbus_connector.h"
#include "transport/serial_peers.h"

namespace {

using peers::Bytes;

class RsConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override { peers::logLevel(7); }
  std::unique_ptr<CRSConnector> open(SettingsMap params = {}) {
    params["name"] = pty.path();
    return std::make_unique<CRSConnector>(params);
  }
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  peers::Pty pty;
};

TEST_F(RsConnectorTest, LineSettingsAsAppliedToTheDevice) {
  struct Case {
    SettingsMap params;
    speed_t speed;
    tcflag_t format;
  } cases[] = {
      {{}, B9600, CS8},
      {{{"speed", "115200"}}, B115200, CS8},
      {{{"speed", "14400"}}, B9600, CS8},
      {{{"data", "7"}}, B9600, CS7},
      {{{"data", "9"}}, B9600, CS8},
      {{{"parity", "E"}}, B9600, CS8 | PARENB},
      {{{"parity", "O"}}, B9600, CS8 | PARENB | PARODD},
      {{{"parity", "e"}}, B9600, CS8},
      {{{"stop", "2"}}, B9600, CS8 | CSTOPB},
      {{{"stop", "1.5"}}, B9600, CS8},
      {{{"timeout", "1000"}}, B9600, CS8},
  };
  const tcflag_t kAsked = CSIZE | PARENB | PARODD;  // a pty forces CS8 without parity
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.params));
    auto conn = open(c.params);
    struct termios t {};
    struct termios asked = conn->requestedSettings();
    ASSERT_EQ(0, tcgetattr(conn->fd(), &t));
    EXPECT_EQ(c.format, (asked.c_cflag & kAsked) | (t.c_cflag & CSTOPB));
    EXPECT_EQ(t.c_cflag & ~kAsked, asked.c_cflag & ~kAsked);
    EXPECT_EQ(std::make_tuple(c.speed, c.speed, 0, 50, 5000u),
              std::make_tuple(cfgetispeed(&t), cfgetospeed(&t), int(t.c_cc[VMIN]),
                              int(t.c_cc[VTIME]), conn->timeout()));
    EXPECT_EQ(tcflag_t(CREAD | CLOCAL), t.c_cflag & (CREAD | CLOCAL | CRTSCTS));
    EXPECT_EQ(0u, (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) | (t.c_oflag & OPOST) |
                      (t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | ISTRIP)));
  }
}

// ReadBuffer returns the first chunk; ReadBufferCycle gathers chunks, its
// timeout bounding each silence rather than the whole read.
TEST_F(RsConnectorTest, ReadTimeouts) {
  const std::string cycle_line = "Err: CRSConnector::ReadBufferCycle - Timeout receiving data.";
  struct Case {
    bool cycle;
    int chunks, size, gap_ms;
    uint32_t timeout_arg, conn_timeout;
    int32_t want;
    double min_ms, max_ms;
    std::string line;
  } cases[] = {
      {false, 1, 5, 0, 0, 5000, 5, 0, 2500, ""},
      {false, 0, 0, 0, 0, 150, -1, 145, 2500,
       "Err: CRSConnector::ReadBuffer - Timeout receiving data. 0 - 0"},
      // Gaps well inside the timeout, adding up to more than it.
      {true, 4, 50, 200, 500, 5000, 200, 595, 3500, ""},
      {true, 2, 60, 100, 500, 5000, 120, 595, 3000, cycle_line},  // then one further timeout
      {true, 0, 0, 0, 0, 350, -1, 345, 2500, cycle_line},         // 0: the connector timeout
  };
  auto conn = open();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.cycle ? "cycle " : "single ") << c.want);
    conn->SetTimeout(c.conn_timeout);
    Bytes sent(size_t(c.chunks * c.size));
    for (size_t i = 0; i < sent.size(); ++i) sent[i] = uint8_t(i * 7 + 3);  // LF and XON too
    peers::LogSince log;
    peers::Stopwatch sw;  // before the writer, whose gaps are the lower bounds
    std::thread writer([&] {
      for (int k = 0; k < c.chunks; ++k) {
        if (k) std::this_thread::sleep_for(std::chrono::milliseconds(c.gap_ms));
        pty.send(Bytes(sent.begin() + k * c.size, sent.begin() + (k + 1) * c.size));
      }
    });
    uint8_t buf[200] = {};
    EXPECT_EQ(c.want, c.cycle ? conn->ReadBufferCycle(buf, 200, false, c.timeout_arg)
                              : conn->ReadBuffer(buf, 200, false));
    double ms = sw.ms();
    writer.join();
    EXPECT_EQ(sent, Bytes(buf, buf + sent.size()));
    EXPECT_GE(ms, c.min_ms);
    EXPECT_LT(ms, c.max_ms);
    EXPECT_EQ(c.line.empty() ? 0 : 1,
              log.count(c.line.empty() ? "Timeout receiving data." : c.line));
  }
}

// "A" flashes for what is sent, "B" for what is received, each for 150 ms.
// Writes put the exact bytes on the line.
TEST_F(RsConnectorTest, ActivityLedsAndExactWrites) {
  peers::Leds leds(root.path());
  auto conn = open();
  conn->SetTimeout(100);
  const Bytes out = {0x00, 0x01, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0xFF, 0x03, 0x1C};
  uint8_t in[8];
  struct Case {
    const char* what;
    std::function<int32_t()> op;
    int32_t want;
    size_t send, receive;  // flashes so far
  } cases[] = {
      {"write", [&] { return conn->WriteBuffer(out.data(), 10, false); }, 10, 0, 0},
      {"read", [&] { return pty.send("abc"), conn->ReadBuffer(in, 8, false); }, 3, 0, 0},
      {"silence", [&] { return conn->ReadBuffer(in, 8, true); }, -1, 0, 0},
      {"silence, gathering", [&] { return conn->ReadBufferCycle(in, 3, true, 0); }, -1, 0, 0},
      {"write, flashing", [&] { return conn->WriteBuffer(out.data(), 10, true); }, 10, 1, 0},
      {"read, flashing", [&] { return pty.send("abc"), conn->ReadBuffer(in, 8, true); }, 3, 1, 1},
      {"gathering, flashing",
       [&] { return pty.send("abc"), conn->ReadBufferCycle(in, 3, true, 0); }, 3, 1, 2},
  };
  size_t flashes = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    peers::Stopwatch sw;
    EXPECT_EQ(c.want, c.op());
    EXPECT_TRUE(leds.show(c.send, c.receive));
    if (c.send + c.receive == flashes) continue;
    flashes = c.send + c.receive;
    EXPECT_GE(sw.ms(), 150);
    EXPECT_LT(sw.ms(), 1500);
  }
  EXPECT_EQ(0, conn->DrainBuffer());
  Bytes twice = out;
  twice.insert(twice.end(), out.begin(), out.end());
  EXPECT_EQ(twice, pty.receive(20, 500));
}

TEST_F(RsConnectorTest, MissingDeviceFailsThroughResultsUntilItIsBack) {
  const std::string link = root / "ttyUSB0";
  const std::string unable = "Crit: CRSConnector::open_device - Unable open device " + link + ".";
  const std::string back = "Notice: CRSConnector::open_device - Device " + link + " is back.";
  peers::LogSince log;
  CRSConnector conn(SettingsMap{{"name", link}, {"speed", "57600"}});
  EXPECT_EQ(1, log.count(unable));
  EXPECT_EQ(-1, conn.fd());
  const uint8_t byte = 0x55;
  EXPECT_LT(conn.WriteBuffer(&byte, 1, true), 0);
  conn.SetTimeout(100);
  uint8_t buf[4];
  peers::Stopwatch sw;
  EXPECT_EQ(-1, conn.ReadBuffer(buf, sizeof buf, true));
  EXPECT_EQ(-1, conn.ReadBufferCycle(buf, sizeof buf, true, 0));
  EXPECT_GE(sw.ms(), 195);  // each read waits its timeout
  conn.close_device();
  EXPECT_FALSE(conn.open_device());
  EXPECT_EQ(2, log.count(unable));
  // Once the device is there the next write opens it, with its settings.
  ASSERT_EQ(0, symlink(pty.path().c_str(), link.c_str()));
  EXPECT_EQ(1, conn.WriteBuffer(&byte, 1, false));
  EXPECT_EQ(1, log.count(back));
  struct termios t {};
  ASSERT_EQ(0, tcgetattr(conn.fd(), &t));
  EXPECT_EQ(B57600, cfgetospeed(&t));
  int fd = conn.fd();
  conn.close_device();
  EXPECT_EQ(-1, fcntl(fd, F_GETFD));  // really closed
  conn.close_device();
  EXPECT_TRUE(conn.open_device());

  // A line that hangs up is opened again by the writes: one line when the
  // outage starts and one when the device is back, however many writes fail.
  auto now = std::make_unique<peers::Pty>();
  ASSERT_EQ(0, unlink(link.c_str()));
  ASSERT_EQ(0, symlink(now->path().c_str(), link.c_str()));
  ASSERT_TRUE(conn.open_device());
  for (int outage = 0; outage < 2; ++outage) {
    SCOPED_TRACE(outage);
    peers::LogSince gone;
    now.reset();
    ASSERT_EQ(0, unlink(link.c_str()));  // its number may go to someone else's pty
    for (int i = 0; i < 3; ++i) EXPECT_LT(conn.WriteBuffer(&byte, 1, false), 0);
    EXPECT_EQ(std::make_pair(1, 0), std::make_pair(gone.count(unable), gone.count(back)));
    now = std::make_unique<peers::Pty>();
    ASSERT_EQ(0, symlink(now->path().c_str(), link.c_str()));
    EXPECT_EQ(1, conn.WriteBuffer(&byte, 1, false));
    EXPECT_EQ(Bytes{0x55}, now->receive(1, 500));
    EXPECT_EQ(std::make_pair(1, 1), std::make_pair(gone.count(unable), gone.count(back)));
  }
  EXPECT_EQ(3, log.count(back));  // explicit opens report no outage of their own
}

TEST_F(RsConnectorTest, FactoryTakesOnlyExactModbusForModbus) {
  for (std::string protocol : {"modbus", "Modbus"}) {
    SettingsMap params{{"name", pty.path()}, {"protocol", protocol}};
    peers::LogSince log;
    std::unique_ptr<CConnector> conn(CreateConnector(params));
    EXPECT_EQ(params, conn->portParams());
    auto* m = dynamic_cast<CModbusConnectorItself*>(conn.get());
    auto* r = dynamic_cast<CRSConnector*>(conn.get());
    EXPECT_TRUE(protocol == "modbus" ? m && m->context() : r && r->fd() > 0) << protocol;
    EXPECT_EQ(1, log.count(protocol == "modbus"
                               ? "Debug: The CConnector is created in the \"Modbus\" mode."
                               : "Debug: The CConnector is created in as simple UART."));
  }
  EXPECT_EQ("/dev/ttyS1", CRSConnector(SettingsMap{{"speed", "9600"}}).devicePath());
}

}  // namespace
