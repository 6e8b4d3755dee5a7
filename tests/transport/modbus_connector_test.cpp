#include "transport/modbus_connector.h"

#include <functional>

#include "transport/serial_peers.h"

namespace {

using peers::Bytes;
using peers::withCrc;
using Regs = std::vector<uint16_t>;

constexpr int kSlave = 5;

class ModbusConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override { peers::logLevel(6); }  // level 7 turns on libmodbus's own printing
  mtr_test::TempDir root;
  mtr_test::ScopedEnv env{"MTR_ROOT", root.path().c_str()};
  peers::Leds leds{root.path()};
  peers::Pty pty;
};

// Against a libmodbus slave at the other end of the line.
class ModbusPeerTest : public ModbusConnectorTest {
 protected:
  void SetUp() override {
    ModbusConnectorTest::SetUp();
    ASSERT_TRUE(slave.ready());
    conn.reset(new CModbusConnectorItself({{"protocol", "modbus"}, {"name", slave.device}}));
    ASSERT_NE(nullptr, conn->context());
    conn->SetTimeout(3000);  // a slave slowed by a busy machine is still an answer
  }
  peers::RtuSlave slave{kSlave};
  std::unique_ptr<CModbusConnectorItself> conn;
};

// Reads and LED flashes so far ("A" per transaction, "B" when it read data
// back: not for writes); then slave selection and exception answers.
TEST_F(ModbusPeerTest, RegisterOperationsLedsAndExceptionAnswers) {
  uint16_t r[8] = {};
  const uint16_t many[3] = {0x0102, 0xFFFF, 0};
  uint8_t id[MODBUS_MAX_PDU_LENGTH] = {};
  // A raw request for holding register 2; the confirmation replaces it in the buffer.
  uint8_t raw[MODBUS_RTU_MAX_ADU_LENGTH] = {kSlave, 0x03, 0x00, 0x02, 0x00, 0x01};
  auto step = [&](const char* what, int32_t got, int32_t want, Regs read, size_t send,
                  size_t receive) {
    SCOPED_TRACE(what);
    EXPECT_EQ(want, got);
    EXPECT_EQ(read, Regs(r, r + read.size()));
    EXPECT_TRUE(leds.show(send, receive));
  };
  step("read", conn->ReadRegisters(kSlave, 10, 3, r, true), 3, {10, 11, 12}, 1, 1);
  step("input", conn->ReadInputRegisters(kSlave, 0x106, 2, r, true), 2, {0xA006, 0xA007}, 2, 2);
  step("write one", conn->WriteRegister(kSlave, 20, 0xBEEF, true), 1, {}, 3, 2);
  step("write many", conn->WriteRegisters(kSlave, 21, 3, many, true), 3, {}, 4, 2);
  step("read, no flash", conn->ReadRegisters(kSlave, 19, 5, r, false), 5,
       {19, 0xBEEF, 0x0102, 0xFFFF, 0}, 4, 2);
  step("write and read", conn->WriteAndReadRegisters(kSlave, 40, 2, many, 39, 4, r, true), 4,
       {39, 0x0102, 0xFFFF, 42}, 5, 3);
  step("failed read", conn->ReadRegisters(kSlave, 98, 4, r, true), -1, {}, 6, 3);
  step("slave id", conn->ReportSlaveId(kSlave, sizeof id, id, true) >= 5, 1, {}, 7, 4);
  step("raw", conn->SendRawRequest(kSlave, raw, 6, true), 7, {}, 8, 5);
  EXPECT_EQ("\xFFLMB", std::string(reinterpret_cast<char*>(id + 1), 4));  // run, then the name
  EXPECT_EQ(withCrc({kSlave, 0x03, 0x02, 0x00, 0x02}), Bytes(raw, raw + 7));

  std::function<int32_t()> past_the_map[] = {
      [&] { return conn->ReadRegisters(kSlave, 98, 4, r, false); },
      [&] { return conn->ReadInputRegisters(kSlave, 0, 1, r, false); },
      [&] { return conn->WriteRegister(kSlave, 500, 1, false); },
      [&] { return conn->WriteRegisters(kSlave, 99, 2, r, false); },
      [&] { return conn->WriteAndReadRegisters(kSlave, 1, 1, r, 99, 2, r, false); },
  };
  for (auto& op : past_the_map) {
    peers::Stopwatch sw;
    int32_t got = op();
    EXPECT_EQ(std::make_pair(-1, EMBXILADD), std::make_pair(got, errno));
    EXPECT_LT(sw.ms(), 2500);  // an answer, not a timeout
  }
  EXPECT_EQ(1, conn->ReadRegisters(kSlave, 0, 1, r, false));  // still in step
  EXPECT_EQ(0, slave.errors);

  // The selected slave sticks until another is chosen.
  EXPECT_EQ(0, conn->FlushBuffer());
  conn->SetTimeout(100);
  EXPECT_EQ(-1, conn->ReadRegisters(300, 3, 1, r, false));  // refused by libmodbus
  EXPECT_EQ(kSlave, modbus_get_slave(conn->context()));
  int before = slave.requests;
  EXPECT_EQ(-1, conn->ReadRegisters(7, 1, 1, r, false));  // nobody answers as 7
  EXPECT_EQ(ETIMEDOUT, errno);
  EXPECT_EQ(7, modbus_get_slave(conn->context()));
  EXPECT_EQ(before, slave.requests);
}

TEST_F(ModbusPeerTest, ConcurrentTransactionsNeverInterleave) {
  EXPECT_EQ(1, modbus_get_slave(conn->context()));  // as opened
  constexpr int kThreads = 4, kRounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        uint16_t value = uint16_t(t * 1000 + i), back = 0, w = value + 1;
        failures += conn->WriteRegister(kSlave, 50 + t, value, false) != 1;
        failures += conn->ReadRegisters(kSlave, 50 + t, 1, &back, false) != 1 || back != value;
        failures +=
            conn->WriteAndReadRegisters(kSlave, 60 + t, 1, &w, 60 + t, 1, &back, false) != 1 ||
            back != w;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_EQ(0, slave.errors);
  EXPECT_EQ(kThreads * kRounds * 3, slave.requests);
}

std::vector<uint32_t> timeoutsOf(modbus_t* ctx) {
  std::vector<uint32_t> t(4);
  modbus_get_byte_timeout(ctx, &t[0], &t[1]);
  modbus_get_response_timeout(ctx, &t[2], &t[3]);
  return t;
}

TEST_F(ModbusConnectorTest, LineSettingsAndTimeouts) {
  std::pair<SettingsMap, std::tuple<int, char, int, int>> cases[] = {
      {{}, {9600, 'N', 8, 1}},
      {{{"parity", "E"}}, {9600, 'E', 8, 1}},
      {{{"parity", "O"}, {"stop", "1"}}, {9600, 'O', 8, 1}},
      {{{"parity", "e"}, {"stop", "2"}, {"data", "7"}, {"speed", "115200"}, {"timeout", "1000"}},
       {115200, 'N', 7, 2}},
  };
  for (auto& c : cases) {
    c.first["name"] = pty.path();
    CModbusConnectorItself conn(c.first);
    ModbusLine l = conn.line();
    EXPECT_EQ(c.second, std::make_tuple(l.baud, l.parity, l.data_bits, l.stop_bits));
    struct termios t {};
    ASSERT_EQ(0, tcgetattr(modbus_get_socket(conn.context()), &t));
    EXPECT_EQ(std::make_pair(speed_t(l.baud == 9600 ? B9600 : B115200), l.stop_bits == 2),
              std::make_pair(cfgetospeed(&t), (t.c_cflag & CSTOPB) != 0));
    EXPECT_EQ(60000u, conn.timeout());
    EXPECT_EQ((std::vector<uint32_t>{60, 0, 120, 0}), timeoutsOf(conn.context()));
    conn.SetTimeout(1500);
    EXPECT_EQ((std::vector<uint32_t>{1, 500000, 3, 0}), timeoutsOf(conn.context()));
    conn.SetTimeout(999);
    EXPECT_EQ((std::vector<uint32_t>{0, 999000, 1, 998000}), timeoutsOf(conn.context()));
  }
}

// Requests on the wire and hand-made answers, with the CRCs of worked examples.
TEST_F(ModbusConnectorTest, WireBytes) {
  CModbusConnectorItself conn(SettingsMap{{"name", pty.path()}});
  conn.SetTimeout(500);
  auto exchange = [&](std::function<int32_t()> op, const Bytes& request, const Bytes& answer) {
    int32_t result = 0;
    std::thread master([&] { result = op(); });
    EXPECT_EQ(request, pty.receive(request.size(), 1000));
    pty.send(answer);
    master.join();
    return result;
  };
  uint16_t r[3] = {};
  EXPECT_EQ(3, exchange([&] { return conn.ReadRegisters(0x11, 0x006B, 3, r, false); },
                        {0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87},
                        withCrc({0x11, 0x03, 0x06, 0xAE, 0x41, 0x56, 0x52, 0x43, 0x40})));
  EXPECT_EQ((Regs{0xAE41, 0x5652, 0x4340}), Regs(r, r + 3));
  const Bytes write_one = {0x11, 0x06, 0x00, 0x01, 0x00, 0x03, 0x9A, 0x9B};
  EXPECT_EQ(1, exchange([&] { return conn.WriteRegister(0x11, 0x0001, 0x0003, false); }, write_one,
                        write_one));  // answered by its echo
  const uint16_t two[2] = {0x000A, 0x0102};
  EXPECT_EQ(2,
            exchange([&] { return conn.WriteRegisters(0x11, 0x0001, 2, two, false); },
                     {0x11, 0x10, 0x00, 0x01, 0x00, 0x02, 0x04, 0x00, 0x0A, 0x01, 0x02, 0xC6, 0xF0},
                     withCrc({0x11, 0x10, 0x00, 0x01, 0x00, 0x02})));
  Bytes bad = withCrc({0x11, 0x03, 0x02, 0x00, 0x01});
  bad.back() ^= 0x01;
  EXPECT_EQ(-1, exchange([&] { return conn.ReadRegisters(0x11, 0x006B, 1, r, false); },
                         withCrc({0x11, 0x03, 0x00, 0x6B, 0x00, 0x01}), bad));

  // The byte-stream operations fail at once without touching the line.
  pty.send("pending");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint8_t buf[16] = {1, 2, 3};
  peers::Stopwatch sw;
  EXPECT_EQ((std::vector<int32_t>{-1, -1, -1, -1}),
            (std::vector<int32_t>{conn.WriteBuffer(buf, 3, true), conn.ReadBuffer(buf, 16, true),
                                  conn.ReadBufferCycle(buf, 16, true, 1000), conn.DrainBuffer()}));
  EXPECT_LT(sw.ms(), 500);  // no read of the 1000 ms cycle
  conn.close_device();
  EXPECT_TRUE(pty.receive(1, 100).empty());                                // nothing written
  EXPECT_EQ(7, read(modbus_get_socket(conn.context()), buf, sizeof buf));  // nothing consumed
}

TEST_F(ModbusConnectorTest, OpenFailuresAreLoggedAndOperationsFail) {
  const std::string later = root / "later";
  std::pair<SettingsMap, std::string> cases[] = {
      {{{"name", later}}, "Connection failed. Unable to open device " + later + "."},
      {{{"name", pty.path()}, {"speed", "abc"}},
       "Unable to allocate libmodbus context and open device " + pty.path() + "."},
  };
  for (const auto& c : cases) {
    peers::LogSince log;
    CModbusConnectorItself conn(c.first);
    EXPECT_EQ(1, log.count("Crit: CModbusConnectorItself::open_device - " + c.second));
    uint16_t r[2] = {};
    conn.SetTimeout(1500);  // harmless without a context
    EXPECT_EQ((std::vector<int32_t>{-1, -1, -1}),
              (std::vector<int32_t>{conn.ReadRegisters(1, 0, 1, r, true),
                                    conn.WriteRegister(1, 0, 1, true), conn.FlushBuffer()}));
  }
  CModbusConnectorItself conn(SettingsMap{{"name", later}});
  ASSERT_EQ(0, symlink(pty.path().c_str(), later.c_str()));
  EXPECT_TRUE(conn.open_device());  // a later open makes the context
  EXPECT_NE(nullptr, conn.context());
}

}  // namespace
