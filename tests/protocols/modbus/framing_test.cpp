#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "base/crc.h"
#include "protocols/modbus.h"
#include "protocols/modbus/modbus_test_support.h"
#include "support/test_support.h"

using modbus_test::Bytes;
using modbus_test::hex;

namespace {

// CRCs below were worked out bit by bit (poly 0xA001, init 0xFFFF) and are
// checked here against the shared routine before any frame relies on them.
TEST(ModbusVectors, HandWorkedCrcsAgreeWithStandardCheck) {
  const char* check = "123456789";
  ASSERT_EQ(0x4B37, mtr::crc16_modbus(reinterpret_cast<const uint8_t*>(check), 9));
  struct Case {
    Bytes frame;
    uint16_t crc;
  } cases[] = {
      {{0x01, 0x03, 0x00, 0x10, 0x00, 0x02}, 0xCEC5},
      {{0x11, 0x04, 0x00, 0x08, 0x00, 0x01}, 0x98B2},
      {{0x01, 0x83, 0x02}, 0xF1C0},
      {{0x01, 0x2B, 0x0E, 0x01, 0x00}, 0x7770},
  };
  for (const Case& c : cases)
    EXPECT_EQ(c.crc, mtr::crc16_modbus(c.frame.data(), c.frame.size())) << hex(c.frame);
}

class Fixture : public ::testing::Test {
 protected:
  void SetUp() override {
    modbus_test::clearLog();
    conn = std::make_shared<modbus_test::ScriptConnector>(&events);
  }

  template <class T = ModBus>
  std::unique_ptr<T> make(int address) {
    auto m = std::make_unique<T>(conn, modbus_test::meterSettings(address));
    m->setClock(&clock);
    return m;
  }

  Bytes frame(const ModBus& m) { return Bytes(m.Request(), m.Request() + m.RequestLength()); }

  int count(const std::string& needle) {
    return mtr_test::countLinesContaining(modbus_test::logText(), needle);
  }

  std::vector<std::string> events;
  std::shared_ptr<modbus_test::ScriptConnector> conn;
  modbus_test::ScriptClock clock{&events};
};

// ---- request frames ----

struct FrameCase {
  const char* what;
  bool adi;
  int address;
  uint8_t wake_fill;
  uint32_t wake_count;
  uint8_t function;
  std::vector<uint32_t> params;
  Bytes expected;
  uint32_t response_len;
};

void PrintTo(const FrameCase& c, std::ostream* os) {
  *os << c.what;
}

class FrameTest : public Fixture, public ::testing::WithParamInterface<FrameCase> {};

TEST_P(FrameTest, BuildsTheFrame) {
  const FrameCase& c = GetParam();
  std::unique_ptr<ModBus> m;
  if (c.adi)
    m = make<cADIConnector>(c.address);
  else
    m = make(c.address);
  m->setWakeUp(c.wake_fill, c.wake_count);
  ASSERT_TRUE(m->makePacket("rq", c.function, c.params.data(), static_cast<int>(c.params.size())));
  EXPECT_EQ(hex(c.expected), hex(frame(*m)));
  EXPECT_EQ(c.response_len, m->ResponseLength());
}

INSTANTIATE_TEST_SUITE_P(
    Frames, FrameTest,
    ::testing::Values(
        FrameCase{"holding_2_at_0x10",
                  false,
                  1,
                  0,
                  0,
                  3,
                  {0x0010, 2},
                  {0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xCE},
                  0},
        FrameCase{"input_1_at_8",
                  false,
                  0x11,
                  0,
                  0,
                  4,
                  {8, 1},
                  {0x11, 0x04, 0x00, 0x08, 0x00, 0x01, 0xB2, 0x98},
                  0},
        // Only the low byte of the network address goes on the line.
        FrameCase{"address_low_byte",
                  false,
                  0x301,
                  0,
                  0,
                  3,
                  {0x0010, 2},
                  {0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xCE},
                  0},
        FrameCase{"write_one_register",
                  false,
                  1,
                  0,
                  0,
                  16,
                  {1, 1, 2, 0x000A},
                  {0x01, 0x10, 0x00, 0x01, 0x00, 0x01, 0x02, 0x00, 0x0A, 0x27, 0x86},
                  8},
        FrameCase{"write_two_registers",
                  false,
                  1,
                  0,
                  0,
                  16,
                  {0x1234, 2, 4, 0xABCD, 0x0001},
                  {0x01, 0x10, 0x12, 0x34, 0x00, 0x02, 0x04, 0xAB, 0xCD, 0x00, 0x01, 0x55, 0xF3},
                  8},
        FrameCase{"report_slave_id", false, 0x11, 0, 0, 17, {}, {0x11, 0x11, 0xCD, 0xEC}, 0},
        // Function 43 sends the low byte of each parameter.
        FrameCase{"device_id",
                  false,
                  1,
                  0,
                  0,
                  43,
                  {0x10E, 0x201, 0xF00},
                  {0x01, 0x2B, 0x0E, 0x01, 0x00, 0x70, 0x77},
                  0},
        // The wake-up bytes precede the frame and stay out of the CRC.
        FrameCase{"wake_up_prefix",
                  false,
                  1,
                  0xFF,
                  3,
                  3,
                  {0x0010, 2},
                  {0xFF, 0xFF, 0xFF, 0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xCE},
                  0},
        FrameCase{"adi_function_20",
                  true,
                  5,
                  0,
                  0,
                  20,
                  {0x1234, 0x0056, 0xABCD},
                  {0x05, 0x14, 0x12, 0x34, 0x00, 0x56, 0xAB, 0xCD, 0x38, 0x36},
                  0},
        FrameCase{"adi_function_20_wake_up",
                  true,
                  5,
                  0x00,
                  2,
                  20,
                  {0x1234, 0x0056, 0xABCD},
                  {0x00, 0x00, 0x05, 0x14, 0x12, 0x34, 0x00, 0x56, 0xAB, 0xCD, 0x38, 0x36},
                  0},
        // Other codes of the ADI connector are the base framing.
        FrameCase{"adi_falls_back_to_base",
                  true,
                  1,
                  0,
                  0,
                  3,
                  {0x0010, 2},
                  {0x01, 0x03, 0x00, 0x10, 0x00, 0x02, 0xC5, 0xCE},
                  0}),
    [](const ::testing::TestParamInfo<FrameCase>& info) { return std::string(info.param.what); });

// ---- refusals ----

struct RefusalCase {
  const char* what;
  uint8_t function;
  std::vector<uint32_t> params;
  const char* line;
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
  *os << c.what;
}

class RefusalTest : public Fixture, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, RefusesWithItsLine) {
  const RefusalCase& c = GetParam();
  auto m = make(1);
  EXPECT_FALSE(m->makePacket("rq", c.function, c.params.data(), static_cast<int>(c.params.size())));
  EXPECT_EQ(1, count(std::string("Err: ") + c.line)) << modbus_test::logText();

  // SendRequest gives up at once: nothing written, no retries, no pauses.
  events.clear();
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 99;
  EXPECT_FALSE(m->SendRequest("rq", c.function, c.params.data(), static_cast<int>(c.params.size()),
                              answer, len));
  EXPECT_EQ(std::vector<std::string>{"flush"}, events);
  EXPECT_EQ(99u, len);
  EXPECT_EQ(0, count("ATTEMPT FAILED"));
}

std::vector<uint32_t> manyValues() {
  std::vector<uint32_t> p = {0, 100, 200};
  p.resize(103, 0x1111);
  return p;
}

INSTANTIATE_TEST_SUITE_P(
    Refusals, RefusalTest,
    ::testing::Values(
        RefusalCase{"unknown_5",
                    5,
                    {0, 1},
                    "[7][S1] ModBus::makePacket('rq') - 5 (0x05) UNKNOWN MODBUS FUNCTION !!!"},
        RefusalCase{"unknown_6",
                    6,
                    {0, 1},
                    "[7][S1] ModBus::makePacket('rq') - 6 (0x06) UNKNOWN MODBUS FUNCTION !!!"},
        // Function 20 is the ADI connector's, not the base's.
        RefusalCase{"unknown_20",
                    20,
                    {0, 1},
                    "[7][S1] ModBus::makePacket('rq') - 20 (0x14) UNKNOWN MODBUS FUNCTION !!!"},
        RefusalCase{"read_holding_one_param",
                    3,
                    {0},
                    "[7][S1] ModBus::makePacket('rq') - 1 - WRONG PARAMETERS COUNT FOR 3 (0x03) "
                    "MODBUS FUNCTION !!!"},
        RefusalCase{"read_input_three_params",
                    4,
                    {0, 1, 2},
                    "[7][S1] ModBus::makePacket('rq') - 3 - WRONG PARAMETERS COUNT FOR 4 (0x04) "
                    "MODBUS FUNCTION !!!"},
        RefusalCase{"device_id_two_params",
                    43,
                    {14, 1},
                    "[7][S1] ModBus::makePacket('rq') - 2 - WRONG PARAMETERS COUNT FOR 43 (0x2B) "
                    "MODBUS FUNCTION !!!"},
        RefusalCase{"write_three_params",
                    16,
                    {0, 1, 2},
                    "[7][S1] ModBus::makePacket('rq') - 3 - TOO FEW PARAMETERS FOR 16 (0x10) "
                    "MODBUS FUNCTION !!!"},
        // A byte count beyond the values given.
        RefusalCase{"write_byte_count_beyond_values",
                    16,
                    {0, 2, 4, 0xAAAA},
                    "[7][S1] ModBus::makePacket('rq') - 4 - TOO FEW PARAMETERS FOR 16 (0x10) "
                    "MODBUS FUNCTION !!!"},
        // 200 data bytes cannot fit the 128-byte request buffer.
        RefusalCase{
            "write_too_long", 16, manyValues(),
            "[7][S1] ModBus::makePacket('rq') - 200 DATA BYTES DO NOT FIT THE REQUEST !!!"}),
    [](const ::testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.what); });

TEST_F(Fixture, OverlongWakeUpOrAdiFrameIsRefused) {
  auto m = make(1);
  const uint32_t p[] = {0x10, 2};
  m->setWakeUp(0xFF, 125);
  EXPECT_FALSE(m->makePacket("rq", 3, p, 2));
  EXPECT_EQ(1, count("WAKE-UP PREFIX OF 125 BYTES TOO LONG !!!"));
  // Function 20 fills the 128-byte buffer with 62 parameters but not with 63.
  auto adi = make<cADIConnector>(1);
  std::vector<uint32_t> many(63, 1);
  EXPECT_FALSE(adi->makePacket("rq", 20, many.data(), static_cast<int>(many.size())));
  EXPECT_EQ(1, count("cADIConnector::makeCustomPacket('rq') - 63 PARAMETERS DO NOT FIT"));
  many.resize(62);
  EXPECT_TRUE(adi->makePacket("rq", 20, many.data(), static_cast<int>(many.size())));
  EXPECT_EQ(ModBus::kRequestSize, adi->RequestLength());
}

// ---- exchanges ----

const Bytes kHoldingAnswer = {0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x60};

TEST_F(Fixture, ReadsHoldingRegisters) {
  auto m = make(1);
  conn->replies.push_back(kHoldingAnswer);
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(hex(kHoldingAnswer), hex(Bytes(answer, answer + len)));
  EXPECT_EQ(0u, m->LastError());
  ASSERT_EQ(1u, conn->written.size());
  EXPECT_EQ("01 03 00 10 00 02 C5 CE", hex(conn->written[0]));
  EXPECT_TRUE(conn->flashed_all);
  // Flush, write, 100 ms, the header byte by byte, then the rest in one go.
  std::vector<std::string> want = {"flush",  "write 8", "sleep 100", "read 1", "read 1",
                                   "read 1", "read 1",  "read 1",    "read 4"};
  EXPECT_EQ(want, events);
  std::string log = modbus_test::logText();
  EXPECT_NE(std::string::npos, log.find("[7][S1] ModBus::SendRequest('rd'): Send: \n"
                                        "0x01 0x03 0x00 0x10 0x00 0x02 0xc5 0xce \n"))
      << log;
  EXPECT_NE(std::string::npos,
            log.find("[7][S1] ModBus::SendRequest('rd'): Recv: received size = 9 bytes: \n"
                     "0x01 0x03 0x04 0x00 0x0a 0x01 0x02 0x5a 0x60 \n"))
      << log;
}

TEST_F(Fixture, StaleInputIsFlushedBeforeSending) {
  auto m = make(1);
  conn->input = {0x99, 0x98};
  conn->replies.push_back(kHoldingAnswer);
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(9u, len);
}

TEST_F(Fixture, AnswerArrivingInPiecesIsGathered) {
  auto m = make(1);
  conn->max_chunk = 1;
  conn->replies.push_back(kHoldingAnswer);
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(hex(kHoldingAnswer), hex(Bytes(answer, answer + len)));
}

TEST_F(Fixture, WriteAnswerLengthIsEightWhateverItsThirdByte) {
  auto m = make(1);
  // The third byte is the start address high byte, not a byte count.
  conn->replies.push_back({0x01, 0x10, 0x00, 0x01, 0x00, 0x01, 0x50, 0x09});
  const uint32_t p[] = {1, 1, 2, 0x000A};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("wr", 16, p, 4, answer, len));
  EXPECT_EQ(8u, len);
  EXPECT_EQ("01 10 00 01 00 01 02 00 0A 27 86", hex(conn->written[0]));
}

TEST_F(Fixture, ExceptionAnswerSetsLastError) {
  auto m = make(1);
  conn->replies.push_back({0x01, 0x83, 0x02, 0xC0, 0xF1});
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(5u, len);
  EXPECT_EQ(0x0203u, m->LastError());
  EXPECT_EQ(1, count("Warning: [7][S1] ModBus::SendRequest('rd') - ERROR RESPONSE RECEIVED !!!"));
  EXPECT_EQ(1, count("Warning: [7][S1] ModBus::SendRequest('rd') - FUNCTION 0x03 RETURN ERROR "
                     "0x02 !!!"));
  // Nothing beyond the five header bytes is read.
  EXPECT_EQ("read 1", events.back());
  EXPECT_EQ(5, std::count(events.begin(), events.end(), "read 1"));

  // The next request starts with a clear error.
  conn->replies.push_back(kHoldingAnswer);
  ASSERT_TRUE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(0u, m->LastError());
}

TEST_F(Fixture, ExceptionAnswerWithBadCrcIsRetried) {
  auto m = make(1);
  conn->replies.push_back({0x01, 0x83, 0x02, 0xC0, 0xF2});
  conn->replies.push_back({0x01, 0x84, 0x03, 0x02, 0xC0});  // another function's exception
  conn->replies.push_back({0x01, 0x83, 0x02, 0xC0, 0xF1});
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(0x0203u, m->LastError());
  EXPECT_EQ(1, count("CRC ERROR: read crc 0xf2c0 != calc crc 0xf1c0"));
  EXPECT_EQ(1, count("WRONG FUNCTION !!! WANT 0x03, BUT GOT 0x84"));
  EXPECT_EQ(2000, clock.slept_ms - 300);
}

// Each bad answer fails one attempt; three in a row fail the request.
struct BadAnswerCase {
  const char* what;
  Bytes answer;
  const char* line;
};

void PrintTo(const BadAnswerCase& c, std::ostream* os) {
  *os << c.what;
}

class BadAnswerTest : public Fixture, public ::testing::WithParamInterface<BadAnswerCase> {};

TEST_P(BadAnswerTest, ThreeAttemptsWithPausesThenFalse) {
  const BadAnswerCase& c = GetParam();
  auto m = make(1);
  for (int i = 0; i < 3; ++i) conn->replies.push_back(c.answer);
  conn->replies.push_back(kHoldingAnswer);  // a fourth attempt would succeed
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 1234;
  EXPECT_FALSE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_EQ(1234u, len);
  EXPECT_EQ(3u, conn->written.size());
  EXPECT_EQ(3, count(c.line)) << modbus_test::logText();
  for (int n = 1; n <= 3; ++n)
    EXPECT_EQ(1, count("Warning: [7][S1] ModBus::SendRequest('rd') - " + std::to_string(n) +
                       " ATTEMPT FAILED !!!"));
  EXPECT_EQ(1, count("Err: [7][S1] ModBus::SendRequest('rd') CAN'T SEND !!!"));
  // A 1 s pause follows each failed attempt, the last one included.
  std::vector<std::string> pauses;
  for (const std::string& e : events)
    if (e.rfind("sleep", 0) == 0 || e.rfind("write", 0) == 0) pauses.push_back(e);
  std::vector<std::string> want = {"write 8", "sleep 100", "sleep 1000",
                                   "write 8", "sleep 100", "sleep 1000",
                                   "write 8", "sleep 100", "sleep 1000"};
  EXPECT_EQ(want, pauses);
  EXPECT_EQ(3300, clock.slept_ms);
}

INSTANTIATE_TEST_SUITE_P(
    BadAnswers, BadAnswerTest,
    ::testing::Values(
        BadAnswerCase{"other_address",
                      {0x02, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x69, 0x60},
                      "Err: [7][S1] ModBus::SendRequest('rd') - WRONG NET ADDR !!! WANT 0x01, BUT "
                      "GOT 0x02"},
        BadAnswerCase{"bad_crc",
                      {0x01, 0x03, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5A, 0x61},
                      "Err: [7][S1] ModBus::SendRequest('rd') - CRC ERROR: read crc 0x615a != "
                      "calc crc 0x605a"},
        BadAnswerCase{"other_function",
                      {0x01, 0x04, 0x04, 0x00, 0x0A, 0x01, 0x02, 0x5B, 0xD7},
                      "Err: [7][S1] ModBus::SendRequest('rd') - WRONG FUNCTION !!! WANT 0x03, BUT "
                      "GOT 0x04"},
        BadAnswerCase{"silent",
                      {},
                      "Err: [7][S1] ModBus::SendRequest('rd') - CAN'T READ STANDART HEADER !!! "
                      "WHANT 5 BYTES, BUT GOT 0"},
        BadAnswerCase{"short_header",
                      {0x01, 0x03, 0x04},
                      "Err: [7][S1] ModBus::SendRequest('rd') - CAN'T READ STANDART HEADER !!! "
                      "WHANT 5 BYTES, BUT GOT 3"},
        BadAnswerCase{"truncated_body",
                      {0x01, 0x03, 0x04, 0x00, 0x0A, 0x01},
                      "Err: [7][S1] ModBus::SendRequest('rd') - MUST READ 9, BUT GOT 6. CAN'T READ "
                      "FULL PACKET !!!"}),
    [](const ::testing::TestParamInfo<BadAnswerCase>& info) {
      return std::string(info.param.what);
    });

TEST_F(Fixture, ShortHeaderIsDumped) {
  auto m = make(1);
  conn->replies.push_back({0x01, 0x03, 0x04});
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  EXPECT_FALSE(m->SendRequest("rd", 3, p, 2, answer, len));
  EXPECT_NE(std::string::npos, modbus_test::logText().find(
                                   "[7][S1] ModBus::SendRequest('rd'): Standart Header Recv: \n"
                                   "0x01 0x03 0x04 \n"));
}

TEST_F(Fixture, AnswerBeyondTheCallersBufferIsRefused) {
  auto m = make(1);
  for (int i = 0; i < 3; ++i) conn->replies.push_back(kHoldingAnswer);
  const uint32_t p[] = {0x0010, 2};
  uint8_t answer[8];
  uint32_t len = 0;
  EXPECT_FALSE(m->SendRequest("rd", 3, p, 2, answer, len, sizeof answer));
  EXPECT_EQ(3, count("ANSWER LENGTH 9 OUT OF RANGE 5..8 !!!"));
}

// A meter connector with a longer header whose answer length is in it.
class LongHeaderMeter : public ModBus {
 public:
  using ModBus::ModBus;
  uint32_t getCustomResponseLength(const char*, uint8_t function, const uint32_t*, int count,
                                   const uint8_t* header) override {
    seen_function = function;
    seen_count = count;
    seen_header.assign(header, header + 6);
    return header[5];
  }
  uint8_t seen_function = 0;
  int seen_count = -1;
  Bytes seen_header;
};

TEST_F(Fixture, CustomResponseLengthFromLongHeader) {
  auto m = make<LongHeaderMeter>(1);
  m->setHeaderLength(6);
  // Address, 43, four payload bytes of which the sixth gives the full length 8, CRC.
  Bytes reply = {0x01, 0x2B, 0x0E, 0x01, 0x00, 0x08};
  uint16_t crc = mtr::crc16_modbus(reply.data(), reply.size());
  reply.push_back(crc & 0xFF);
  reply.push_back(crc >> 8);
  conn->replies.push_back(reply);
  const uint32_t p[] = {0x0E, 1, 0};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("id", 43, p, 3, answer, len));
  EXPECT_EQ(8u, len);
  EXPECT_EQ(43, m->seen_function);
  EXPECT_EQ(3, m->seen_count);
  EXPECT_EQ("01 2B 0E 01 00 08", hex(m->seen_header));
  // Six single-byte header reads, then the last two bytes.
  std::vector<std::string> tail(events.end() - 7, events.end());
  std::vector<std::string> want = {"read 1", "read 1", "read 1", "read 1",
                                   "read 1", "read 1", "read 2"};
  EXPECT_EQ(want, tail);
}

TEST_F(Fixture, MissingAdditionalHeaderFailsTheAttempt) {
  auto m = make<LongHeaderMeter>(1);
  m->setHeaderLength(7);
  for (int i = 0; i < 3; ++i) conn->replies.push_back({0x01, 0x2B, 0x0E, 0x01, 0x00, 0x08});
  const uint32_t p[] = {0x0E, 1, 0};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  EXPECT_FALSE(m->SendRequest("id", 43, p, 3, answer, len));
  EXPECT_EQ(3, count("Err: [7][S1] ModBus::SendRequest('id') - CAN'T READ ADDITIONAL HEADER !!! "
                     "WHANT 2 BYTES, BUT GOT 1"));
  EXPECT_NE(std::string::npos,
            modbus_test::logText().find("[7][S1] ModBus::SendRequest('id'): Additional Header "
                                        "Recv: \n0x08 \n"));
}

// A derived class that builds a frame itself and may refuse it.
class CustomMeter : public ModBus {
 public:
  using ModBus::ModBus;
  bool makeCustomPacket(bool& handled, const char*, uint8_t function, const uint32_t*,
                        int) override {
    if (function != 0x41) return ModBus::makeCustomPacket(handled, nullptr, function, nullptr, 0);
    handled = true;
    if (refuse) return false;
    request[request_len++] = 0x7E;
    response_len = 6;
    appendCrc();
    return true;
  }
  bool refuse = false;
};

TEST_F(Fixture, CustomFrameAndFixedAnswerLength) {
  auto m = make<CustomMeter>(9);
  m->setWakeUp(0x55, 1);
  Bytes reply = {0x09, 0x41, 0x00, 0x00};
  uint16_t crc = mtr::crc16_modbus(reply.data(), reply.size());
  reply.push_back(crc & 0xFF);
  reply.push_back(crc >> 8);
  conn->replies.push_back(reply);
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("cu", 0x41, nullptr, 0, answer, len));
  EXPECT_EQ(6u, len);
  // The address is checked against the frame's address byte, not the wake-up byte.
  ASSERT_EQ(6u, conn->written[0].size());
  EXPECT_EQ(0x55, conn->written[0][0]);
  EXPECT_EQ(0x09, conn->written[0][1]);

  m->refuse = true;
  events.clear();
  EXPECT_FALSE(m->SendRequest("cu", 0x41, nullptr, 0, answer, len));
  EXPECT_EQ(std::vector<std::string>{"flush"}, events);
}

TEST_F(Fixture, AdiFunction20Exchange) {
  auto m = make<cADIConnector>(5);
  Bytes reply = {0x05, 0x14, 0x02, 0x12, 0x34};
  uint16_t crc = mtr::crc16_modbus(reply.data(), reply.size());
  reply.push_back(crc & 0xFF);
  reply.push_back(crc >> 8);
  conn->replies.push_back(reply);
  const uint32_t p[] = {0x1234, 0x0056, 0xABCD};
  uint8_t answer[ModBus::kAnswerSize];
  uint32_t len = 0;
  ASSERT_TRUE(m->SendRequest("adi", 20, p, 3, answer, len));
  EXPECT_EQ(7u, len);
  EXPECT_EQ("05 14 12 34 00 56 AB CD 38 36", hex(conn->written[0]));
  EXPECT_EQ(1, count("Debug: --- [7][S1] cADIConnector::makeCustomPacket('adi')"));
}

TEST_F(Fixture, ConstructorTakesTheAddressFromTheSettings) {
  auto m = make(247);
  EXPECT_EQ(247u, m->NetAddress());
  EXPECT_EQ(1, count("Info: [7][S1] ModBus::ModBus('S1') - ctor"));
}

}  // namespace
