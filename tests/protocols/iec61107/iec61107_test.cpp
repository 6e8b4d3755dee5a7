#include "protocols/iec61107.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "transport/serial_peers.h"

namespace {

using peers::Bytes;
Bytes B(const std::string& s) {
  return Bytes(s.begin(), s.end());
}
const Bytes kBreak(iec61107::kBreakFrame, iec61107::kBreakFrame + 5);

using ScriptLine = peers::ScriptLine;

// The protocol base with the 7-bit sum of the meter classes.
class TestProtocol : public cGost61107 {
 public:
  using cGost61107::cGost61107;
  bool ReadCurrentValues(MeasuredValueList&) override { return false; }
  bool ReadSystemValues(MeasuredValueList&) override { return false; }
  bool ReadTimestamps(timestamps&) override { return false; }
  bool ReadArchiveValues(uint32_t, time_t, time_t, MeasuredValueList&) override { return false; }
  uint8_t CalcBcc(const uint8_t* buf, uint16_t len) override { return iec61107::Sum7Bcc(buf, len); }
};

class Iec : public ::testing::Test {
 protected:
  void SetUp() override {
    peers::logLevel(TL_DEBUG);
    reset();
  }
  void reset(uint16_t capacity = 6000) {
    log_ = {};
    line_ = std::make_shared<ScriptLine>();
    Gost61107Settings s{7, "S1", "123", "", {}};
    conn_ = std::make_shared<CGost61107Connector>(line_, s, capacity, line_.get());
  }
  bool send(int32_t& len, bool framed, uint8_t* ans = answer_) {
    return conn_->SendRequest(kBreak.data(), 5, ans, len, framed);
  }
  bool init() { return TestProtocol(conn_).Init(0, conn_->settings()); }

  peers::LogSince log_;
  std::shared_ptr<ScriptLine> line_;
  std::shared_ptr<CGost61107Connector> conn_;
  static uint8_t answer_[6000];
};
uint8_t Iec::answer_[6000];

TEST(IecBcc, HandVectorsAndReadFrames) {
  struct Case {
    Bytes frame;  // the last byte is the check place
    uint8_t sum7, xor_;
  } cases[] = {
      {{1, 'B', '0', 3, 0}, 0x75, 0x71},
      {B("\x01R1\x02"
         "ET0PE()\x03?"),
       0x37, 0x57},                                  // sum 0x237
      {B("\x01P0\x02(12345678)\x03?"), 0x7A, 0x68},  // sum 0x27A
      {{2, 0xFF, 0xFF, 3, 0}, 0x01, 0x03},           // 8-bit wrap before the mask
      {{2, 0x80, 3, 0}, 0x03, 0x83},                 // bit 7 dropped
      {{1, 0x42}, 0, 0},                             // too short
  };
  for (const auto& c : cases) {
    const uint16_t n = static_cast<uint16_t>(c.frame.size());
    EXPECT_EQ(iec61107::Sum7Bcc(c.frame.data(), n), c.sum7) << n;
    EXPECT_EQ(iec61107::XorBcc(c.frame.data(), n), c.xor_) << n;
  }
  EXPECT_EQ(kBreak, Bytes({1, 0x42, 0x30, 3, 0x75}));
  TestProtocol p(nullptr);
  uint8_t out[64];
  EXPECT_EQ(Bytes(out, out + p.MakeReadRequest(out, "ET0PE", "")), B("\x01R1\x02"
                                                                     "ET0PE()\x03\x37"));
}

TEST_F(Iec, LineAnswerAfterNaks) {
  line_->replies.push_back(B("\x15\x15\x15/EKT5CE301v12\r\n"));
  int32_t len = 21;
  ASSERT_TRUE(send(len, false));
  EXPECT_EQ(len, 15);
  EXPECT_STREQ(reinterpret_cast<char*>(answer_), "/EKT5CE301v12\r\n");  // zero-terminated
  // the 100 ms pause comes before reading; CR LF ends it without a timeout
  std::vector<std::string> want = {"flush",  "write 5", "sleep 100", "read 1",
                                   "read 1", "read 1",  "read 1",    "read 14"};
  EXPECT_EQ(line_->events, want);
  // no answer, or NAKs alone: length -1 and still success
  for (const Bytes& reply : {Bytes{}, B("\x15\x15")}) {
    line_->replies.push_back(reply);
    len = 21;
    EXPECT_TRUE(send(len, false));
    EXPECT_EQ(len, -1);
  }
  EXPECT_EQ(log_.count("[7][S1] cGost61107Connector::SendRequest(): Can't read"), 2);
}

// Framed answers in chunks of any size end at their check byte, whatever
// length was expected, without waiting for a timeout.
TEST_F(Iec, FramedAnswersEndAtTheirCheckByte) {
  for (const char* text : {"\x02VOLTA(229.94)\r\nVOLTA(230.12)\r\n\x03z",  // CR LF before ETX
                           "\x02"
                           "ET0PE(16.8750484)(9.98)(0.0)\x03z",  // ')' before ETX
                           "\x01P0\x02(12345678)\x03z"}) {
    const Bytes frame = B(text);
    for (long chunk : {1, 2, 5, 200}) {
      for (int32_t expected : {2, 13, 17}) {
        line_->chunk = chunk;
        line_->replies.push_back(frame);
        line_->events.clear();
        int32_t len = expected;
        ASSERT_TRUE(send(len, true));
        ASSERT_EQ(Bytes(answer_, answer_ + std::max(len, 0)), frame) << "chunk " << chunk;
        EXPECT_EQ(std::count(line_->events.begin(), line_->events.end(), "timeout"), 0);
      }
    }
  }
  line_->replies.push_back(B("\x02VOLTA(229"));  // cut off: ends at the timeout
  int32_t len = 13;
  ASSERT_TRUE(send(len, true));
  EXPECT_EQ(len, 10);
}

TEST_F(Iec, AnswersThatWouldOverflowTheCapacityFail) {
  struct Case {
    size_t size;
    int32_t expected;
    bool ok;
  } cases[] = {{5990, 13, true}, {6000, 13, false}, {20, 5999, true}, {20, 6000, false}};
  for (const auto& c : cases) {
    line_->replies.push_back(B("\x02GRAPE(" + std::string(c.size - 10, '7') + ")\x03z"));
    int32_t len = c.expected;
    EXPECT_EQ(send(len, true), c.ok) << c.size;
    if (c.ok) {
      EXPECT_EQ(len, static_cast<int32_t>(c.size));
    }
  }
  EXPECT_EQ(log_.count("[7][S1] ATTENTION!!! BUFFER SIZE IS TOO SMALL FOR THIS RESPONSE!!!"), 2);
  reset(64);  // a frame that never ends stops at the buffer's end
  line_->replies.push_back(B("\x02" + std::string(80, ')')));
  std::vector<uint8_t> canary(72, 0xA5);
  int32_t len = 63;
  send(len, true, canary.data());
  EXPECT_EQ(std::vector<uint8_t>(8, 0xA5), std::vector<uint8_t>(canary.begin() + 64, canary.end()));
  reset(16);  // during Init an overflow disconnects
  line_->replies = {{}, B("/EKT5" + std::string(7000, 'x'))};
  EXPECT_THROW(init(), CDisconnectException);
}

TEST_F(Iec, InitAttempts) {
  const Bytes program = B("\x01P0\x02(1)\x03\x07");  // "P0" STX "(1)" ETX sums to 0x107
  struct Case {
    const char* ident;
    Bytes answer;         // to the option select; empty: silence
    size_t writes;        // three per attempt, two when the identification is refused
    const char* failure;  // logged once per attempt; null: programming mode reached
  } cases[] = {
      {"/EKT5CE301v12\r\n", program, 3, nullptr},
      {"/EKT3CE301v12\r\n", program, 3, nullptr},  // any speed after '/'
      {"xEKT5CE301v12\r\n", program, 3, nullptr},  // '5' as fifth character
      {"xEKT3CE301v12\r\n", program, 6,
       "[7][S1]cGost61107::Init() - Initialization failed. Received packet isn't identifier"},
      {"/EKT5\r\n", B("\x01P0\x02(12345678)\x03{"), 9,
       "[7][S1] cGost61107::Init() - Initialization failed. Ack answer has wrong checksum. "
       "Calculated 7a Received 7b"},
      {"/EKT5\r\n", {}, 9, "[7][S1] cGost61107::Init() - Initialization failed. Can't send Ack."},
      {"/EKT5\r\n", B("\x01P1\x02(1)\x03\x08"), 9,
       "[7][S1] cGost61107::Init() - Initialization failed. Received packet isn't program"},
  };
  for (const auto& c : cases) {
    reset();
    for (int i = 0; i < 3; ++i) {
      line_->replies.insert(line_->replies.end(), {{}, B(c.ident)});
      if (c.writes != 6) line_->replies.push_back(c.answer);
    }
    EXPECT_EQ(init(), !c.failure) << c.ident;
    ASSERT_EQ(line_->written.size(), c.writes) << c.ident;
    EXPECT_EQ(line_->written[0], kBreak);
    EXPECT_EQ(line_->written[1], B("/?123!\r\n"));
    EXPECT_EQ(line_->written[2], c.writes == 6 ? kBreak
                                               : B("\x06"
                                                   "051\r\n"));
    if (!c.failure) continue;
    EXPECT_EQ(log_.count(c.failure), 3) << c.failure;
    EXPECT_EQ(log_.count("[7][S1] cGost61107::Init() - CAN'T SEND REQUEST !!!"), 1);
  }
}

}  // namespace
