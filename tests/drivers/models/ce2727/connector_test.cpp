#include <gtest/gtest.h>

#include <cstring>

#include "base/crc.h"
#include "ce2727_test_util.h"
#include "drivers/models/ce2727/ce2727_connector.h"

using namespace ce2727_test;

namespace {

CmtrCE2727Requests::Request req(const char* name, uint8_t cmd, uint8_t p1 = 0x11) {
  CmtrCE2727Requests::Request r;
  r.name = name;
  r.cmd = cmd;
  r.p1 = p1;
  r.p2 = 0x22;
  r.p3 = 0x33;
  r.p4 = 0x44;
  return r;
}

struct Fixture {
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  mtr_test::FakeClock clock;
  CCE2727Connector conn;
  explicit Fixture(const std::string& password = "12345678")
      : conn(line, 7, "SN7", 12345, password, "hex", &clock) {
    TestLog::get();
  }
  Bytes frame() const { return Bytes(conn.frame(), conn.frame() + conn.frameLength()); }
};

TEST(CE2727Frame, CrcCheckValueAndCommand1WorkedOutByHand) {
  const uint8_t* check = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(0x906E, mtr::crc16_x25(check, 9));
  EXPECT_EQ(0x906E, crcBitwise(check, 9));
  Fixture f;
  ASSERT_TRUE(f.conn.init());
  ASSERT_TRUE(f.conn.makePacket(req("DateTime", 1, 23)));
  // 02, length 14, address 12345 = 0x3039, password 0x12345678, 01, command 1,
  // then CRC-16/X-25 of those 12 bytes, low byte first.
  EXPECT_EQ(
      (Bytes{0x02, 0x0E, 0x39, 0x30, 0x00, 0x00, 0x78, 0x56, 0x34, 0x12, 0x01, 0x01, 0x3D, 0xB4}),
      f.frame());
}

TEST(CE2727Frame, ParameterBytesOfEveryCommand) {
  const std::pair<uint8_t, Bytes> cases[] = {
      {0, {}},
      {1, {}},
      {3, {}},
      {21, {}},
      {23, {}},
      {11, {0x11, 0x33}},
      {13, {0x33, 0x44}},
      {15, {0x22, 0x33, 0x44}},
      {17, {0x11, 0x00, 0x22, 0x33, 0x44}},
      {27, {0x00, 0x00}},
  };
  Fixture f;
  ASSERT_TRUE(f.conn.init());
  for (const auto& [cmd, params] : cases) {
    SCOPED_TRACE(cmd);
    ASSERT_TRUE(f.conn.makePacket(req("x", cmd)));
    SeenRequest seen = parseRequest(f.frame());
    ASSERT_TRUE(seen.ok);
    EXPECT_EQ(cmd, seen.cmd);
    EXPECT_EQ(12345u, seen.address);
    EXPECT_EQ(0x12345678u, seen.password);
    EXPECT_EQ(params, seen.params);
  }
  size_t mark = TestLog::get().mark();
  EXPECT_FALSE(f.conn.makePacket(req("Bogus", 99)));
  EXPECT_NE(std::string::npos,
            TestLog::get().since(mark).find(
                "[7][SN7] CCE2727Connector::makePacket('Bogus') - 99 UNKNOWN COMMAND !!!"));
}

TEST(CE2727Password, Rules) {
  struct Case {
    const char* text;
    const char* type;
    uint32_t value;
    const char* error;
  };
  const Case cases[] = {
      {"0x1A2B3C4D", "hex", 0x1A2B3C4D, ""},
      {"1A2B3C4D", "hex", 0x1A2B3C4D, ""},
      {"0X1a2b3c4d", "", 0x1A2B3C4D, ""},
      {"000000001A2B3C4D", "hex", 0x1A2B3C4D, ""},           // 16 characters
      {"0000000001A2B3C4D", "hex", 0, "Too Long Password"},  // 17
      {"12G4", "hex", 0, "Incorrect HEX Password"},
      {"0x", "hex", 0, "Incorrect HEX Password"},
      {"100000000", "hex", 0, "Password Out Of Range"},
      {"", "hex", 0, ""},
      {"4294967295", "ascii", 0xFFFFFFFF, ""},
      {"12345678901", "ascii", 0, "Too Long Password"},  // 11 digits
      {"4294967296", "ascii", 0, "Password Out Of Range"},
      {"12a", "ascii", 0, "Incorrect ASCII Password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    uint32_t value = 1;
    std::string error;
    EXPECT_EQ(!*c.error, CCE2727Connector::ParsePassword(c.text, c.type, value, error));
    EXPECT_EQ(c.value, value);
    EXPECT_EQ(c.error, error);
  }
  for (const char* bad : {"0000000001A2B3C4D", "0xZZ"}) {
    Fixture f(bad);
    size_t mark = TestLog::get().mark();
    EXPECT_FALSE(f.conn.init());
    EXPECT_NE(std::string::npos,
              TestLog::get().since(mark).find("[7][SN7] CCE2727Connector::init() - CAN'T INIT "));
  }
  Fixture f("0xA1B2C3D4");
  ASSERT_TRUE(f.conn.init());
  ASSERT_TRUE(f.conn.makePacket(req("DateTime", 1, 23)));
  Bytes frame = f.frame();
  EXPECT_EQ((Bytes{0xD4, 0xC3, 0xB2, 0xA1}), Bytes(frame.begin() + 6, frame.begin() + 10));
}

const Bytes kTime = {0x30, 0x15, 0x10, 0x03, 0x06, 0x03, 0x24, 0x00, 0x00};

TEST(CE2727Exchange, AttemptsAndTheirMessages) {
  Bytes good = answerFrame(12345, 1, 0, kTime);
  Bytes bad_crc = good;
  bad_crc[15] ^= 0x01;
  struct Case {
    const char* what;
    std::vector<Bytes> answers;
    size_t chunk;
    bool ok;
    size_t writes;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"in pieces", {good}, 3, true, 1, {}},
      {"silence",
       {},
       0,
       false,
       3,
       {"SendRequest('DateTime') - CAN'T READ HEADER !!! WHANT 12 BYTES, BUT GOT 0",
        "SendRequest('DateTime') - 1 RAEDING ATTEMPT IS FAILED !!!",
        "SendRequest('DateTime') - 3 RAEDING ATTEMPT IS FAILED !!!",
        "SendRequest('DateTime') CAN'T SEND !!!"}},
      {"short header", {Bytes(good.begin(), good.begin() + 5)}, 0, false, 3, {"BUT GOT 5"}},
      {"short body",
       {Bytes(good.begin(), good.begin() + 20)},
       0,
       false,
       3,
       {"SendRequest('DateTime') - MUST READ 23, BUT GOT 20. CAN'T READ FULL PACKET !!!"}},
      {"crc, then good", {bad_crc, good}, 0, true, 2, {"CCE2727Connector::calcCRC CRC ERROR"}},
      {"other meter, then good",
       {answerFrame(12346, 1, 0, kTime), good},
       0,
       true,
       2,
       {"WRONG ANSWER HEADER"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f;
    ASSERT_TRUE(f.conn.init());
    f.line->chunk = c.chunk;
    for (const auto& a : c.answers) f.line->script.push_back(a);
    size_t mark = TestLog::get().mark();
    EXPECT_EQ(c.ok, f.conn.SendRequest(req("DateTime", 1, 23)));
    EXPECT_EQ(c.writes, f.line->written.size());
    std::string log = TestLog::get().since(mark);
    for (const auto& m : c.messages) EXPECT_NE(std::string::npos, log.find(m)) << m << "\n" << log;
    if (c.ok) {
      EXPECT_EQ(0, memcmp(kTime.data(), f.conn.answerData(), kTime.size()));
    }
  }
}

TEST(CE2727Exchange, ExpectedLengthComesFromP1OrFromTheLengthByte) {
  Fixture f;
  ASSERT_TRUE(f.conn.init());
  // Without parameters a refusal is read as the 14 bytes it has, not as p1.
  f.line->script.push_back(answerFrame(12345, 3, 1, {}));
  ASSERT_TRUE(f.conn.SendRequest(req("CurrNrg", 3, 35)));
  EXPECT_EQ(14, f.conn.answerLength());
  EXPECT_EQ(1, f.conn.answerCode());
  // With parameters the answer's length byte counts; p1 is a parameter there.
  f.line->script.push_back(answerFrame(12345, 11, 0, Bytes(25, 0xAB)));
  ASSERT_TRUE(f.conn.SendRequest(req("Events", 11, 3)));
  EXPECT_EQ(12 + 25 + 2, f.conn.answerLength());
}

}  // namespace
