// Reply checking, status replies and the retry rules of request sequences.
#include <gtest/gtest.h>

#include "base/logger.h"
#include "mercury_test_util.h"

using namespace mercury_test;
using namespace CmtrMercury23XRequets;

namespace {

struct Line {
  std::shared_ptr<ScriptedConnector> conn = std::make_shared<ScriptedConnector>();
  std::shared_ptr<CMercury23XLowLevelConnector> ll;
  MeterState st;
  mtr_test::FakeClock clock{1710498030};
  Line() {
    ll = std::make_shared<CMercury23XLowLevelConnector>(conn, "42", "SN1");
    ll->setAddress(0x23);
    ll->setPassword("111111");
    st.clock = &clock;
    st.meter_time = utc(2024, 3, 15, 10);
  }
  std::string command(size_t i) const {
    const Bytes& f = conn->writes.at(i);
    return toHex(Bytes(f.begin() + 1, f.end() - 2));
  }
  std::vector<std::string> commands() const {
    std::vector<std::string> out;
    for (size_t i = 0; i < conn->writes.size(); ++i) out.push_back(command(i));
    return out;
  }
};

const char* kOpen = "01 01 01 01 01 01 01 01";
const char* kVoltageA = "08 11 11";
const char* kVoltageB = "08 11 12";

// A voltage reply of 229.36 V.
Bytes voltageReply() {
  return withCrc(hex("23 00 98 59"));
}
Bytes okStatus() {
  return withCrc(hex("23 00"));
}

}  // namespace

TEST(MercuryExchange, BadFramesThrow) {
  struct Case {
    const char* name;
    bool silent;
    Bytes reply;
    const char* log;
  } cases[] = {
      {"silence", true, {}, "Request::parseFrame: no frame, size = 65535"},
      {"short", false, hex("23 05"), "Request::parseFrame: Short frame size = 2"},
      {"three bytes", false, hex("23 00 01"), "Request::parseFrame: Short frame size = 3"},
      {"other address", false, withCrc(hex("24 00 98 59")),
       "Request::parseFrame: Invalid address = 36"},
      {"bad crc", false, hex("23 00 98 59 00 00"),
       "Request::parseFrame: Invalid checksum in reply"},
      {"truncated", false, Bytes{0x23, 0x00, 0x98, 0x59, 0x11},
       "Request::parseFrame: Invalid checksum in reply"},
      {"garbage", false, hex("FF FF FF FF FF FF FF FF"),
       "Request::parseFrame: Invalid address = 255"},
      {"odd size", false, withCrc(hex("23 98 59")), "Request::parseFrame: Invalid frame size = 5"},
      // Only the expected length is read: the tail of a longer frame is missing.
      {"longer", false, withCrc(hex("23 00 98 59 00")),
       "Request::parseFrame: Invalid checksum in reply"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Line line;
    VoltageRequest request(&line.st, 1);
    request.setConnector(line.ll);
    if (c.silent)
      line.conn->silence();
    else
      line.conn->reply(c.reply);
    LogCapture log;
    MeasuredValueList values;
    EXPECT_THROW(request.sendRequest(values), CWrongPacketException);
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(log.has("[42][SN1] " + std::string(c.log))) << log.text();
  }
}

TEST(MercuryExchange, StatusReplyToDataRequest) {
  struct Case {
    uint8_t status;
    const char* code_log;
    const char* text;
  } cases[] = {
      {0x00, nullptr, nullptr},
      {0x01, "code = 1", "status = Invalid command"},
      {0x02, "code = 2", "status = Mercury internal error"},
      {0x03, "code = 3", "status = Access denied"},
      {0x04, "code = 4", "status = Clock error"},
      {0x05, "code = 5", "status = Not opened"},
      {0x0F, "code = F", "status = Unknown error"},
      {0x35, "code = 5", "status = Not opened"},  // only the low 4 bits count
      {0x30, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.status));
    Line line;
    IntegratorsRequest request(&line.st, 0x00, 0);  // expects 16 data bytes
    request.setConnector(line.ll);
    line.conn->replyFrame({0x23, c.status});
    LogCapture log;
    MeasuredValueList values;
    EXPECT_NO_THROW(request.sendRequest(values));
    EXPECT_TRUE(values.empty());
    EXPECT_TRUE(log.has("Request::parseFrame: Invalid frame size = 4"));
    if (c.code_log) {
      EXPECT_TRUE(log.has(std::string("Request::parseErrorCode: ") + c.code_log)) << log.text();
      EXPECT_TRUE(log.has(std::string("Request::parseErrorCode: ") + c.text));
      EXPECT_TRUE(log.has("DEVICE DOESN'T SUPPORT THIS REQUEST !!!"));
    } else {
      EXPECT_TRUE(log.has("Request::parseReply: Ok response from device !!!"));
      EXPECT_FALSE(log.has("parseErrorCode"));
    }
  }
}

TEST(MercuryExchange, StatusReplyToStatusRequest) {
  Line line;
  TestRequest test(&line.st);
  test.setConnector(line.ll);
  line.conn->replyFrame({0x23, 0x05});
  LogCapture log;
  MeasuredValueList values;
  EXPECT_NO_THROW(test.sendRequest(values));
  EXPECT_FALSE(log.has("Invalid frame size"));
  EXPECT_FALSE(log.has("parseErrorCode"));
  EXPECT_TRUE(log.has("ERROR CODE 5. DEVICE DOESN'T SUPPORT THIS REQUEST !!!"));
}

TEST(MercuryExchange, LowLevelConnectorCallsAndDumps) {
  Line line;
  VoltageRequest request(&line.st, 1);
  request.setConnector(line.ll);
  line.conn->reply(voltageReply());
  LogCapture log(TL_DEBUG);
  MeasuredValueList values;
  request.sendRequest(values);
  ASSERT_EQ(1u, line.conn->writes.size());
  EXPECT_EQ(std::vector<bool>{false}, line.conn->write_flash);
  EXPECT_EQ(std::vector<bool>{true}, line.conn->read_flash);
  EXPECT_EQ(std::vector<uint32_t>{0}, line.conn->read_timeouts);
  EXPECT_TRUE(log.has("[42][SN1] CMercury23XLowLevelConnector::ReadBufferCycle: read 6 bytes"));
  EXPECT_TRUE(log.has("[42][SN1] CMercury23XLowLevelConnector::WriteBuffer: \n0x23 0x08 0x11 0x11"))
      << log.text();
  EXPECT_TRUE(log.has("[42][SN1] CMercury23XLowLevelConnector::ReadBufferCycle: \n0x23 0x00 0x98"));
}

TEST(MercuryExchange, SequenceOpensChannelThenRetriesWithPause) {
  Line line;
  RequestSequence seq(&line.st);
  seq.add(std::make_shared<VoltageRequest>(&line.st, 1));
  seq.add(std::make_shared<VoltageRequest>(&line.st, 2));
  seq.setConnector(line.ll);
  line.conn->reply(okStatus());                   // open
  line.conn->silence();                           // voltage A, attempt 1
  line.conn->reply(okStatus());                   // reopen
  line.conn->reply(hex("23 00 98 59 12 34"));     // attempt 2: bad CRC
  line.conn->reply(okStatus());                   // reopen
  line.conn->reply(voltageReply());               // attempt 3
  line.conn->reply(withCrc(hex("23 00 10 5A")));  // voltage B
  LogCapture log(TL_DEBUG);
  long long before = line.clock.nowMs();
  MeasuredValueList values;
  seq.sendRequest(values);
  EXPECT_EQ(
      (std::vector<std::string>{kOpen, kVoltageA, kOpen, kVoltageA, kOpen, kVoltageA, kVoltageB}),
      line.commands());
  EXPECT_EQ(2000, line.clock.nowMs() - before);  // 1 s before each further attempt
  ASSERT_EQ(2u, values.size());
  EXPECT_EQ("229.36", values.front().value);
  EXPECT_EQ("230.56", values.back().value);
  EXPECT_TRUE(
      log.has("RequestSequence::sendRequest(): for this sequence request number 0 is done"));
  EXPECT_TRUE(
      log.has("RequestSequence::sendRequest(): for this sequence request number 1 is done"));
}

TEST(MercuryExchange, FailedReopenCountsAsAttempt) {
  Line line;
  RequestSequence seq(&line.st);
  seq.add(std::make_shared<VoltageRequest>(&line.st, 1));
  seq.setConnector(line.ll);
  line.conn->reply(okStatus());
  line.conn->silence();          // attempt 1
  line.conn->silence();          // reopen fails: attempt 2
  line.conn->reply(okStatus());  // reopen
  line.conn->reply(voltageReply());
  MeasuredValueList values;
  seq.sendRequest(values);
  EXPECT_EQ((std::vector<std::string>{kOpen, kVoltageA, kOpen, kOpen, kVoltageA}), line.commands());
  EXPECT_EQ(1u, values.size());
}

TEST(MercuryExchange, FirstOpenChannelFailureLeavesSequence) {
  Line line;
  RequestSequence seq(&line.st);
  seq.add(std::make_shared<VoltageRequest>(&line.st, 1));
  seq.setConnector(line.ll);
  line.conn->silence();
  MeasuredValueList values;
  EXPECT_THROW(seq.sendRequest(values), CWrongPacketException);
  EXPECT_EQ(1u, line.conn->writes.size());
}

TEST(MercuryExchange, LostRequestOutcomes) {
  enum Outcome { kDisconnect, kNoDateTime, kSerial, kGoesOn };
  struct Case {
    const char* name;
    bool date_time_required;
    bool all_optional;
    bool optional;
    bool serial;
    Outcome outcome;
    const char* log;
  } cases[] = {
      {"mandatory", false, false, false, false, kDisconnect,
       "NOT OPTIONAL REQUEST. EXCEPTION WILL BE THROWN !!!"},
      {"date time", true, true, true, true, kNoDateTime, "CAN'T READ CURRENT DATE TIME !!!"},
      {"serial", false, true, true, true, kSerial, "CAN'T READ SERIAL NUMBER !!!"},
      {"optional request", false, false, true, false, kGoesOn, nullptr},
      {"all optional", false, true, false, false, kGoesOn, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Line line;
    RequestSequence seq(&line.st);
    auto lost = std::make_shared<VoltageRequest>(&line.st, 1);
    lost->setOptional(c.optional);
    lost->setSerialRequired(c.serial);
    seq.add(lost);
    seq.add(std::make_shared<VoltageRequest>(&line.st, 2));
    seq.setDateTimeRequired(c.date_time_required);
    seq.setAllOptional(c.all_optional);
    seq.setConnector(line.ll);
    // The meter answers the open channel and nothing about phase A.
    line.conn->responder = [](const Bytes& req) -> ScriptedConnector::Reply {
      if (req[1] == 0x01) return {false, withCrc(hex("23 00"))};
      if (req[3] == 0x12) return {false, withCrc(hex("23 00 10 5A"))};
      return {true, {}};
    };
    LogCapture log;
    MeasuredValueList values;
    switch (c.outcome) {
      case kDisconnect:
        EXPECT_THROW(seq.sendRequest(values), CDisconnectException);
        break;
      case kNoDateTime:
        EXPECT_THROW(seq.sendRequest(values), CNoDateTimeException);
        break;
      case kSerial:
        try {
          seq.sendRequest(values);
          ADD_FAILURE() << "no exception";
        } catch (const SerialErrorException& e) {
          EXPECT_EQ("No Data", e.message());
        }
        break;
      case kGoesOn:
        EXPECT_NO_THROW(seq.sendRequest(values));
        ASSERT_EQ(1u, values.size());
        EXPECT_EQ(40u, values.front().param_code);
        break;
    }
    EXPECT_TRUE(
        log.has("[42][SN1] RequestSequence::sendRequest() - FOR THIS SEQUENSE CAN'T DO "
                "REQUEST NUMBER 0"));
    if (c.log) {
      EXPECT_TRUE(log.has(c.log));
    }
    // Three attempts at phase A, then phase B only when the sequence goes on.
    int asked_a = 0, asked_b = 0;
    for (const auto& cmd : line.commands()) {
      asked_a += cmd == kVoltageA;
      asked_b += cmd == kVoltageB;
    }
    EXPECT_EQ(3, asked_a);
    EXPECT_EQ(c.outcome == kGoesOn ? 1 : 0, asked_b);
  }
}

TEST(MercuryExchange, NestedSequenceIsOneRequest) {
  Line line;
  auto inner = std::make_shared<RequestSequence>(&line.st);
  inner->add(std::make_shared<VoltageRequest>(&line.st, 2));
  RequestSequence outer(&line.st);
  outer.add(std::make_shared<VoltageRequest>(&line.st, 1));
  outer.add(inner);
  outer.add(std::make_shared<VoltageRequest>(&line.st, 3));
  outer.setConnector(line.ll);
  outer.setPeriod(100, 200);
  EXPECT_EQ(100, inner->requests()[0]->from());
  EXPECT_EQ(200, inner->requests()[0]->till());
  line.conn->reply(okStatus());
  line.conn->reply(voltageReply());
  line.conn->silence();                           // inner open channel fails: attempt 1
  line.conn->reply(okStatus());                   // outer reopen
  line.conn->reply(okStatus());                   // inner open channel
  line.conn->reply(withCrc(hex("23 00 10 5A")));  // phase B
  line.conn->reply(withCrc(hex("23 00 00 5A")));  // phase C
  MeasuredValueList values;
  outer.sendRequest(values);
  EXPECT_EQ(
      (std::vector<std::string>{kOpen, kVoltageA, kOpen, kOpen, kOpen, kVoltageB, "08 11 13"}),
      line.commands());
  EXPECT_EQ(3u, values.size());
}

TEST(MercuryExchange, OtherExceptionsLeaveAtOnce) {
  Line line;
  auto inner = std::make_shared<RequestSequence>(&line.st);  // mandatory member
  inner->add(std::make_shared<VoltageRequest>(&line.st, 2));
  RequestSequence outer(&line.st);
  outer.setAllOptional(true);
  outer.add(inner);
  outer.add(std::make_shared<VoltageRequest>(&line.st, 3));
  outer.setConnector(line.ll);
  line.conn->responder = [](const Bytes& req) -> ScriptedConnector::Reply {
    if (req[1] == 0x01) return {false, withCrc(hex("23 00"))};
    return {true, {}};
  };
  MeasuredValueList values;
  EXPECT_THROW(outer.sendRequest(values), CDisconnectException);
  for (const auto& cmd : line.commands()) EXPECT_NE("08 11 13", cmd);
}

TEST(MercuryExchange, WrongPasswordShowsAsStatusErrors) {
  Line line;
  TableMeter meter(0x23, "01 01 02 02 02 02 02 02");
  meter.set(kVoltageA, "00 98 59");
  line.conn->responder = [&](const Bytes& r) { return meter.answer(r); };
  RequestSequence seq(&line.st);
  seq.setAllOptional(true);
  seq.add(std::make_shared<VoltageRequest>(&line.st, 1));
  seq.setConnector(line.ll);
  LogCapture log;
  MeasuredValueList values;
  EXPECT_NO_THROW(seq.sendRequest(values));
  EXPECT_TRUE(values.empty());
  EXPECT_TRUE(log.has("ERROR CODE 3. DEVICE DOESN'T SUPPORT THIS REQUEST !!!"));
  EXPECT_TRUE(log.has("Request::parseErrorCode: status = Not opened"));
  // The right password opens it.
  line.ll->setPassword("222222");
  seq.sendRequest(values);
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ("229.36", values.front().value);
}
