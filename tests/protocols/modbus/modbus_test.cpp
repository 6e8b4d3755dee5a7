#include "protocols/modbus.h"

#include "transport/serial_peers.h"

namespace {

using peers::Bytes;
using peers::hexText;
using Events = std::vector<std::string>;
using Params = std::vector<uint32_t>;

MeterSettings meterSettings(int net_address) {
  MeterSettings s;
  s.meter_id = "7";
  s.meter_number = 7;
  s.serial_text = "S1";
  s.settings["net_address"] = std::to_string(net_address);
  return s;
}

using Script = peers::ScriptLine;

const Bytes kHoldingAnswer = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60};

class ModbusFraming : public ::testing::Test {
 protected:
  void SetUp() override {
    peers::logLevel(7);
    log = {};
  }
  std::unique_ptr<ModBus> make(int address, bool adi = false) {
    script = std::make_shared<Script>();
    std::unique_ptr<ModBus> m(adi ? new cADIConnector(script, meterSettings(address))
                                  : new ModBus(script, meterSettings(address)));
    m->setClock(script.get());
    return m;
  }
  bool send(ModBus& m, uint8_t function, Params p, uint32_t capacity = ModBus::kAnswerSize) {
    return m.SendRequest("rd", function, p.data(), int(p.size()), answer, len, capacity);
  }
  int count(const std::string& needle) { return log.count(needle); }

  std::shared_ptr<Script> script;
  peers::LogSince log;
  uint8_t answer[ModBus::kAnswerSize] = {};
  uint32_t len = 0;
};

// Frames worked out by hand, or the line a refused request logs (after
// "ModBus::makePacket('rd') - " unless the ADI's own); a refused one is never sent.
TEST_F(ModbusFraming, RequestFramesByHandAndRefusals) {
  Params too_long = {0, 100, 200};
  too_long.resize(103, 0x1111);
  const std::string fn = " MODBUS FUNCTION !!!", wrong = " - WRONG PARAMETERS COUNT FOR ",
                    few = " - TOO FEW PARAMETERS FOR ";
  struct Case {
    bool adi;
    int address;
    uint32_t wake_up;
    uint8_t function;
    Params params;
    std::string frame;  // or the refusal
    uint32_t answer_len;
    bool ok = true;
  } cases[] = {
      {false, 1, 0, 3, {0x10, 2}, "01 03 00 10 00 02 C5 CE", 0},
      {false, 0x301, 0, 3, {0x10, 2}, "01 03 00 10 00 02 C5 CE", 0},  // the address's low byte
      {false, 1, 0, 16, {1, 1, 2, 0x0A}, "01 10 00 01 00 01 02 00 0A 27 86", 8},
      {false, 1, 0, 16, {0x1234, 2, 4, 0xABCD, 1}, "01 10 12 34 00 02 04 AB CD 00 01 55 F3", 8},
      {false, 0x11, 0, 17, {}, "11 11 CD EC", 0},
      {false, 1, 0, 43, {0x10E, 0x201, 0xF00}, "01 2B 0E 01 00 70 77", 0},  // low bytes only
      {false, 1, 3, 3, {0x10, 2}, "FF FF FF 01 03 00 10 00 02 C5 CE", 0},   // prefix not in the CRC
      {true, 5, 0, 20, {0x1234, 0x56, 0xABCD}, "05 14 12 34 00 56 AB CD 38 36", 0},
      {true, 5, 2, 20, {0x1234, 0x56, 0xABCD}, "FF FF 05 14 12 34 00 56 AB CD 38 36", 0},
      {true, 1, 0, 3, {0x10, 2}, "01 03 00 10 00 02 C5 CE", 0},  // the base's codes
      {false, 1, 0, 5, {0, 1}, "5 (0x05) UNKNOWN" + fn, 0, false},
      {false, 1, 0, 20, {0, 1}, "20 (0x14) UNKNOWN" + fn, 0, false},
      {false, 1, 0, 3, {0}, "1" + wrong + "3 (0x03)" + fn, 0, false},
      {false, 1, 0, 4, {0, 1, 2}, "3" + wrong + "4 (0x04)" + fn, 0, false},
      {false, 1, 0, 43, {14, 1}, "2" + wrong + "43 (0x2B)" + fn, 0, false},
      {false, 1, 0, 16, {0, 1, 2}, "3" + few + "16 (0x10)" + fn, 0, false},
      {false, 1, 0, 16, {0, 2, 4, 7}, "4" + few + "16 (0x10)" + fn, 0, false},
      {false, 1, 0, 16, too_long, "200 DATA BYTES DO NOT FIT THE REQUEST !!!", 0, false},
      {false, 1, 125, 3, {0x10, 2}, "WAKE-UP PREFIX OF 125 BYTES TOO LONG !!!", 0, false},
      {true, 1, 0, 20, Params(63, 1),
       "cADIConnector::makeCustomPacket('rd') - 63 PARAMETERS DO NOT FIT THE REQUEST !!!", 0,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    auto m = make(c.address, c.adi);
    m->setWakeUp(0xFF, c.wake_up);
    log = {};
    EXPECT_EQ(c.ok, m->makePacket("rd", c.function, c.params.data(), int(c.params.size())));
    if (c.ok) {
      EXPECT_EQ(c.frame, hexText(Bytes(m->Request(), m->Request() + m->RequestLength())));
      EXPECT_EQ(c.answer_len, m->ResponseLength());
      EXPECT_EQ(int(c.adi && c.function == 20),
                count("Debug: --- [7][S1] cADIConnector::makeCustomPacket('rd')"));
      continue;
    }
    const std::string base = c.adi ? "" : "ModBus::makePacket('rd') - ";
    EXPECT_EQ(1, count("Err: [7][S1] " + base + c.frame));
    len = 99;  // SendRequest gives up at once: nothing written, no retries, no pauses
    EXPECT_FALSE(send(*m, c.function, c.params));
    EXPECT_EQ(Events{"flush"}, script->events);
    EXPECT_EQ(99u, len);
  }
  auto adi = make(1, true);  // 62 parameters just fill the buffer
  EXPECT_TRUE(adi->makePacket("rd", 20, Params(62, 1).data(), 62));
  EXPECT_EQ(ModBus::kRequestSize, adi->RequestLength());
  Params full = {0, 60, 119};  // and 119 data bytes of function 16
  full.resize(63, 1);
  auto m = make(1);
  EXPECT_TRUE(m->makePacket("rd", 16, full.data(), 63));
  EXPECT_EQ(ModBus::kRequestSize, m->RequestLength());
}

TEST_F(ModbusFraming, ExceptionThenHoldingRegisters) {
  auto m = make(1);
  EXPECT_EQ(1, count("Info: [7][S1] ModBus::ModBus('S1') - ctor"));
  script->replies = {{0x01, 0x83, 0x02, 0xC0, 0xF1}, kHoldingAnswer, kHoldingAnswer};
  ASSERT_TRUE(send(*m, 3, {0x10, 2}));
  EXPECT_EQ(5u, len);
  EXPECT_EQ(0x0203u, m->LastError());
  EXPECT_EQ(1, count("Warning: [7][S1] ModBus::SendRequest('rd') - ERROR RESPONSE RECEIVED !!!"));
  EXPECT_EQ(1, count("Warning: [7][S1] ModBus::SendRequest('rd') - FUNCTION 0x03 RETURN ERROR "
                     "0x02 !!!"));
  EXPECT_EQ(
      Events({"flush", "write 8", "sleep 100", "read 1", "read 1", "read 1", "read 1", "read 1"}),
      script->events);  // nothing read past the header
  script->events.clear();
  ASSERT_TRUE(send(*m, 3, {0x10, 2}));
  EXPECT_EQ(hexText(kHoldingAnswer), hexText(Bytes(answer, answer + len)));
  EXPECT_EQ(0u, m->LastError());  // cleared by the next request
  // Flush, write, 100 ms, the header byte by byte, then the rest in one go.
  EXPECT_EQ((Events{"flush", "write 8", "sleep 100", "read 1", "read 1", "read 1", "read 1",
                    "read 1", "read 4"}),
            script->events);
  EXPECT_TRUE(
      log.has("[7][S1] ModBus::SendRequest('rd'): Send: \n"
              "0x01 0x03 0x00 0x10 0x00 0x02 0xc5 0xce \n"));
  EXPECT_TRUE(
      log.has("[7][S1] ModBus::SendRequest('rd'): Recv: received size = 9 bytes: \n"
              "0x01 0x03 0x04 0x00 0x0a 0x01 0x02 0x5a 0x60 \n"));
  // Behind a wake-up prefix the answer's address is checked against the frame's.
  m->setWakeUp(0xFF, 2);
  EXPECT_TRUE(send(*m, 3, {0x10, 2}));
  EXPECT_EQ("FF FF 01 03 00 10 00 02 C5 CE", hexText(script->written.back()));
}

TEST_F(ModbusFraming, BadAnswersFailThreeAttemptsWithPauses) {
  struct Case {
    Bytes answer;
    std::string line;
    uint32_t capacity = ModBus::kAnswerSize;
  } cases[] = {
      {{0x02, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x69, 0x60},
       "WRONG NET ADDR !!! WANT 0x01, BUT GOT 0x02"},
      {{0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x61},
       "CRC ERROR: read crc 0x615a != calc crc 0x605a"},
      {{0x01, 0x04, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5B, 0xD7},
       "WRONG FUNCTION !!! WANT 0x03, BUT GOT 0x04"},
      {{0x01, 0x83, 0x02, 0xC0, 0xF2}, "CRC ERROR: read crc 0xf2c0 != calc crc 0xf1c0"},
      {{0x01, 0x84, 0x03, 0x02, 0xC0}, "WRONG FUNCTION !!! WANT 0x03, BUT GOT 0x84"},
      {{}, "CAN'T READ STANDART HEADER !!! WHANT 5 BYTES, BUT GOT 0"},
      {{0x01, 0x03, 0x04}, "CAN'T READ STANDART HEADER !!! WHANT 5 BYTES, BUT GOT 3"},
      {{0x01, 0x03, 0x04, 0x00, 0x0A, 0x01}, "MUST READ 9, BUT GOT 6. CAN'T READ FULL PACKET !!!"},
      {kHoldingAnswer, "ANSWER LENGTH 9 OUT OF RANGE 5..8 !!!", 8},
  };
  const std::string rd = "[7][S1] ModBus::SendRequest('rd')";
  const peers::LogSince all;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    auto m = make(1);
    script->replies.assign(3, c.answer);
    script->replies.push_back(kHoldingAnswer);  // a fourth attempt would succeed
    log = {};
    len = 1234;
    EXPECT_FALSE(send(*m, 3, {0x10, 2}, c.capacity));
    EXPECT_EQ(1234u, len);
    EXPECT_EQ(3, count("Err: " + rd + " - " + c.line));
    for (int n = 1; n <= 3; ++n)
      EXPECT_EQ(1, count("Warning: " + rd + " - " + std::to_string(n) + " ATTEMPT FAILED !!!"));
    EXPECT_EQ(1, count("Err: " + rd + " CAN'T SEND !!!"));
    Events writes_and_sleeps;  // a 1 s pause after each failed attempt, the last one included
    for (const auto& e : script->events)
      if (e[0] == 'w' || e[0] == 's') writes_and_sleeps.push_back(e);
    EXPECT_EQ((Events{"write 8", "sleep 100", "sleep 1000", "write 8", "sleep 100", "sleep 1000",
                      "write 8", "sleep 100", "sleep 1000"}),
              writes_and_sleeps);
  }
  EXPECT_TRUE(all.has(rd + ": Standart Header Recv: \n0x01 0x03 0x04 \n"));
}

// A meter whose longer header carries the answer length in its sixth byte.
struct LongHeaderMeter : ModBus {
  using ModBus::ModBus;
  uint32_t getCustomResponseLength(const char*, uint8_t function, const uint32_t*, int count,
                                   const uint8_t* header) override {
    seen = {function, uint8_t(count), header[5]};
    return header[5];
  }
  Bytes seen;
};

TEST_F(ModbusFraming, LongerHeaderAndCustomAnswerLength) {
  script = std::make_shared<Script>();
  LongHeaderMeter m(script, meterSettings(1));
  m.setClock(script.get());
  m.setHeaderLength(6);
  script->replies.push_back(peers::withCrc({0x01, 0x2B, 0x0E, 0x01, 0x00, 0x08}));
  ASSERT_TRUE(send(m, 43, {0x0E, 1, 0}));
  EXPECT_EQ(8u, len);
  EXPECT_EQ((Bytes{43, 3, 8}), m.seen);
  EXPECT_EQ((Events{"read 1", "read 1", "read 1", "read 1", "read 1", "read 1", "read 2"}),
            Events(script->events.end() - 7, script->events.end()));
  // One header byte short fails each attempt.
  m.setHeaderLength(7);
  script->replies.assign(3, Bytes{0x01, 0x2B, 0x0E, 0x01, 0x00, 0x08});
  EXPECT_FALSE(send(m, 43, {0x0E, 1, 0}));
  EXPECT_EQ(3, count("Err: [7][S1] ModBus::SendRequest('rd') - CAN'T READ ADDITIONAL HEADER !!! "
                     "WHANT 2 BYTES, BUT GOT 1"));
  EXPECT_TRUE(log.has("[7][S1] ModBus::SendRequest('rd'): Additional Header Recv: \n0x08 \n"));
}

}  // namespace
