#include "protocols/iec61107.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "base/logger.h"
#include "script_connector.h"
#include "support/test_support.h"

namespace {

using iec_test::B;
using iec_test::Bytes;
using iec_test::hex;
using iec_test::TestProtocol;

Bytes withSum7(const std::string& body, int delta = 0) {
  Bytes f = B(body);
  f.push_back(0);
  f.back() =
      static_cast<uint8_t>(iec61107::Sum7Bcc(f.data(), static_cast<uint16_t>(f.size())) + delta);
  return f;
}

class Iec : public ::testing::Test {
 protected:
  void SetUp() override {
    delete logger::instance();
    log_path_ = dir_ / "test.log";
    unlink(log_path_.c_str());
    logger::getInstance(log_path_.c_str(), false)->setLevel(TL_DEBUG);
    line_ = std::make_shared<iec_test::ScriptConnector>();
    clock_ = std::make_unique<iec_test::EventClock>(&line_->events);
    Gost61107Settings s;
    s.id = 7;
    s.name = "S1";
    s.address = "123";
    conn_ = std::make_shared<CGost61107Connector>(line_, s, 6000, clock_.get());
  }
  void TearDown() override { delete logger::instance(); }
  std::string log() { return mtr_test::readFile(log_path_); }
  int logCount(const std::string& s) { return mtr_test::countLinesContaining(log(), s); }
  bool send(const Bytes& req, int32_t& len, bool framed, uint8_t* ans = nullptr) {
    static uint8_t buf[6000];
    return conn_->SendRequest(req.data(), static_cast<uint16_t>(req.size()), ans ? ans : buf, len,
                              framed);
  }

  mtr_test::TempDir dir_;
  std::string log_path_;
  std::shared_ptr<iec_test::ScriptConnector> line_;
  std::unique_ptr<iec_test::EventClock> clock_;
  std::shared_ptr<CGost61107Connector> conn_;
};

// Check characters worked out by hand.
TEST(IecBcc, HandVectors) {
  struct Case {
    Bytes frame;  // whole frame; its last byte is the check place
    uint8_t sum7, xor_;
  } cases[] = {
      {{0x01, 'B', '0', 0x03, 0}, 0x75, 0x71},
      // "R1" STX "ET0PE()" ETX: sum 0x237 -> 0x37
      {B("\x01R1\x02"
         "ET0PE()\x03?"),
       0x37, 0x57},
      // "P0" STX "(12345678)" ETX: sum 0x27A -> 0x7A
      {B("\x01P0\x02(12345678)\x03?"), 0x7A, 0x68},
      // the 8-bit sum wraps before the mask: 0x1FE + 3 -> 0x01
      {{0x02, 0xFF, 0xFF, 0x03, 0}, 0x01, 0x03},
      {{0x02, 0x80, 0x03, 0}, 0x03, 0x83},  // bit 7 dropped
      {{0x01, 0x42, 0}, 0x42, 0x42},
      {{0x01, 0x42}, 0, 0},  // too short
  };
  for (const auto& c : cases) {
    const uint16_t n = static_cast<uint16_t>(c.frame.size());
    EXPECT_EQ(iec61107::Sum7Bcc(c.frame.data(), n), c.sum7) << hex(c.frame);
    EXPECT_EQ(iec61107::XorBcc(c.frame.data(), n), c.xor_) << hex(c.frame);
  }
  EXPECT_EQ(hex(Bytes(iec61107::kBreakFrame, iec61107::kBreakFrame + 5)), "01 42 30 03 75");
}

TEST_F(Iec, ReadRequestFrames) {
  struct Case {
    bool sum7;
    const char *name, *param, *expected;
  } cases[] = {
      {true, "ET0PE", "", "01 52 31 02 45 54 30 50 45 28 29 03 37"},
      {false, "ET0PE", "", "01 52 31 02 45 54 30 50 45 28 29 03 57"},
      {true, "ENDPE", "01.02.24", "01 52 31 02 45 4e 44 50 45 28 30 31 2e 30 32 2e 32 34 29 03 4a"},
  };
  for (const auto& c : cases) {
    TestProtocol p(conn_, c.sum7);
    uint8_t out[64];
    uint16_t n = p.MakeReadRequest(out, c.name, c.param);
    EXPECT_EQ(n, strlen(c.name) + strlen(c.param) + 8);
    EXPECT_EQ(hex(Bytes(out, out + n)), c.expected);
  }
}

TEST_F(Iec, LineAnswerAfterNaks) {
  line_->replies.push_back({B("\x15"), B("\x15\x15"), B("/EKT5CE301v12\r\n")});
  uint8_t ans[6000];
  int32_t len = 21;
  ASSERT_TRUE(send(B("/?!\r\n"), len, false, ans));
  EXPECT_EQ(len, 15);
  EXPECT_STREQ(reinterpret_cast<char*>(ans), "/EKT5CE301v12\r\n");  // zero-terminated
  // write, then the pause, then reads; CR LF ends it without a timeout
  std::vector<std::string> want = {"write", "sleep 100", "read", "read", "read", "read", "read"};
  EXPECT_EQ(line_->events, want);
  EXPECT_EQ(logCount("[7][S1] cGost61107Connector::SendRequest(): Ok - full packet read: 15"), 1);
  const std::string text = log();
  EXPECT_NE(text.find("[7][S1] cGost61107Connector::SendRequest(): Send: \n0x2f 0x3f 0x21 0x0d"),
            std::string::npos);
  EXPECT_NE(text.find("] cGost61107Connector::SendRequest(): Recv: \n0x2f 0x45"),
            std::string::npos);

  // no answer, or NAKs alone: length -1 and still success
  for (auto reply : {std::vector<Bytes>{}, std::vector<Bytes>{B("\x15\x15")}}) {
    line_->replies.push_back(reply);
    len = 21;
    EXPECT_TRUE(send(B("/?!\r\n"), len, false));
    EXPECT_EQ(len, -1);
  }
  EXPECT_EQ(logCount("[7][S1] cGost61107Connector::SendRequest(): Can't read"), 2);
}

// Framed answers longer or shorter than expected, cut in chunks of every
// size, end exactly at their check byte without waiting for a timeout.
TEST_F(Iec, FramedAnswersEndAtTheirCheckByte) {
  const char* bodies[] = {
      "\x02VOLTA(229.94)\r\nVOLTA(230.12)\r\nVOLTA(229.71)\r\n\x03",  // CR LF before ETX
      "\x02"
      "ET0PE(16.8750484)(9.98)(6.88)(0.0)(0.0)(0.0)\x03",  // ')' before ETX
      "\x01P0\x02(12345678)\x03",
      "\x02(ERR12)\x03",
  };
  for (const char* body : bodies) {
    const Bytes frame = withSum7(body);
    for (size_t chunk : {1u, 2u, 3u, 5u, 13u, 200u}) {
      for (int32_t expected : {2, 13, 17}) {
        std::vector<Bytes> chunks;
        for (size_t i = 0; i < frame.size(); i += chunk)
          chunks.emplace_back(frame.begin() + i, frame.begin() + std::min(frame.size(), i + chunk));
        line_->replies.push_back(chunks);
        line_->events.clear();
        uint8_t ans[6000];
        int32_t len = expected;
        ASSERT_TRUE(send(B("\x06"
                           "051\r\n"),
                         len, true, ans));
        ASSERT_EQ(len, static_cast<int32_t>(frame.size())) << hex(frame) << " chunk " << chunk;
        EXPECT_EQ(Bytes(ans, ans + len), frame);
        EXPECT_EQ(std::count(line_->events.begin(), line_->events.end(), "timeout"), 0);
      }
    }
  }
  // a frame cut off ends at the timeout with what arrived
  line_->replies.push_back({B("\x02VOLTA(229")});
  int32_t len = 13;
  ASSERT_TRUE(send(B("\x01"), len, true));
  EXPECT_EQ(len, 10);
}

TEST_F(Iec, AnswersThatWouldOverflowTheCapacityFail) {
  struct Case {
    size_t size;
    int32_t expected;
    bool ok;
  } cases[] = {
      {1000, 13, true},  {5990, 13, true},
      {6000, 13, false},  // no room left for the terminating zero
      {7000, 13, false}, {20, 5999, true},
      {20, 6000, false},  // the expected count alone does not fit
  };
  for (const auto& c : cases) {
    // STX "GRAPE(" 7...7 ")" ETX BCC: exactly `size` bytes
    line_->replies.push_back({withSum7("\x02GRAPE(" + std::string(c.size - 10, '7') + ")\x03")});
    int32_t len = c.expected;
    EXPECT_EQ(send(B("\x01"), len, true), c.ok) << c.size;
    if (c.ok) {
      EXPECT_EQ(len, static_cast<int32_t>(c.size));
    }
  }
  EXPECT_EQ(logCount("[7][S1] ATTENTION!!! BUFFER SIZE IS TOO SMALL FOR THIS RESPONSE!!!"), 3);
}

TEST_F(Iec, InitWritesBreakSignOnAndOptionSelect) {
  line_->replies = {{}, {B("/EKT5CE301v12\r\n")}, {B("\x01P0\x02(12345678)\x03z")}};
  TestProtocol p(conn_, true);
  Gost61107Settings s = conn_->settings();
  ASSERT_TRUE(p.Init(3600, s));
  EXPECT_EQ(p.initValue(), 3600);
  ASSERT_EQ(line_->written.size(), 3u);
  EXPECT_EQ(hex(line_->written[0]), "01 42 30 03 75");
  EXPECT_EQ(line_->written[1], B("/?123!\r\n"));
  EXPECT_EQ(hex(line_->written[2]), "06 30 35 31 0d 0a");
  EXPECT_EQ(logCount("[7][S1]cGost61107::Init"), 1);

  // a class with the XOR check takes the same answer only with its XOR
  line_->replies = {{}, {B("/EKT5X\r\n")}, {B("\x01P0\x02(12345678)\x03\x68")}};
  TestProtocol x(conn_, false);
  EXPECT_TRUE(x.Init(0, s));
}

TEST_F(Iec, IdentificationAcceptance) {
  struct Case {
    const char* ident;
    bool accepted;
  } cases[] = {
      {"/EKT5CE301v12\r\n", true},  {"/EKT3CE301v12\r\n", true},  // any speed after '/'
      {"xEKT5CE301v12\r\n", true},                                // '5' as fifth character
      {"xEKT3CE301v12\r\n", false}, {"EKT5CE301\r\n", false},
  };
  for (const auto& c : cases) {
    SetUp();
    for (int i = 0; i < 3; ++i) {
      line_->replies.push_back({});
      line_->replies.push_back({B(c.ident)});
      if (c.accepted) line_->replies.push_back({withSum7("\x01P0\x02(1)\x03")});
    }
    TestProtocol p(conn_, true);
    EXPECT_EQ(p.Init(0, conn_->settings()), c.accepted) << c.ident;
    EXPECT_EQ(line_->written.size(), c.accepted ? 3u : 6u) << c.ident;
    if (!c.accepted) {
      EXPECT_EQ(logCount("[7][S1]cGost61107::Init() - Initialization failed. Received packet isn't "
                         "identifier"),
                3);
      EXPECT_EQ(logCount("[7][S1] cGost61107::Init() - CAN'T SEND REQUEST !!!"), 1);
    }
    TearDown();
  }
}

TEST_F(Iec, OptionSelectAnswerFailures) {
  struct Case {
    std::vector<Bytes> answer;
    const char* message;
  } cases[] = {
      {{withSum7("\x01P0\x02(12345678)\x03", 1)},
       "[7][S1] cGost61107::Init() - Initialization failed. Ack answer has wrong checksum. "
       "Calculated 7a Received 7b"},
      {{}, "[7][S1] cGost61107::Init() - Initialization failed. Can't send Ack."},
      {{withSum7("\x01P1\x02(1)\x03")},
       "[7][S1] cGost61107::Init() - Initialization failed. Received packet isn't program"},
  };
  for (const auto& c : cases) {
    SetUp();
    for (int i = 0; i < 3; ++i)
      line_->replies.insert(line_->replies.end(), {{}, {B("/EKT5\r\n")}, c.answer});
    TestProtocol p(conn_, true);
    EXPECT_FALSE(p.Init(0, conn_->settings()));
    EXPECT_EQ(logCount(c.message), 3) << c.message;
    EXPECT_EQ(logCount("[7][S1] cGost61107::Init() - CAN'T SEND REQUEST !!!"), 1);
    EXPECT_EQ(line_->written.size(), 9u);
    TearDown();
  }
  // a good answer on the second attempt
  SetUp();
  line_->replies = {{}, {B("/EKT5\r\n")}, {withSum7("\x01P0\x02(1)\x03", 3)},
                    {}, {B("/EKT5\r\n")}, {withSum7("\x01P0\x02(1)\x03")}};
  TestProtocol p(conn_, true);
  EXPECT_TRUE(p.Init(0, conn_->settings()));
}

TEST_F(Iec, OverflowDuringInitDisconnects) {
  Bytes big = B("/EKT5");
  big.resize(7000, 'x');
  line_->replies = {{}, {big}};
  auto small = std::make_shared<CGost61107Connector>(line_, conn_->settings(), 16, clock_.get());
  TestProtocol p(small, true);
  EXPECT_THROW(p.Init(0, conn_->settings()), CDisconnectException);
}

}  // namespace
