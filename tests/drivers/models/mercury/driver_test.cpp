#include <gtest/gtest.h>

#include "mercury_test_util.h"

using namespace mercury_test;

namespace {

const char* kOpen = "01 01 01 01 01 01 01 01";

TEST(MercuryExchange, BadFramesThrow) {
  const std::pair<Bytes, const char*> cases[] = {
      {{}, "no frame, size = 65535"},
      {hex("23 05"), "Short frame size = 2"},
      {withCrc(hex("24 00 98 59")), "Invalid address = 36"},
      {hex("23 00 98 59 00 00"), "Invalid checksum in reply"},
      {hex("FF FF FF FF FF FF FF FF"), "Invalid address = 255"},
      {withCrc(hex("23 98 59")), "Invalid frame size = 5"},
      // Only the expected length is read: the tail of a longer frame is missing.
      {withCrc(hex("23 00 98 59 00")), "Invalid checksum in reply"}};
  for (const auto& [reply, message] : cases) {
    Line l;
    VoltageRequest request(&l.st, 1);
    request.setConnector(l.ll);
    l.line->meter = [&](const Bytes&) { return reply; };
    LogSince log;
    MeasuredValueList values;
    EXPECT_THROW(request.sendRequest(values), CWrongPacketException) << message;
    EXPECT_TRUE(log.has(std::string("[42][SN1] Request::parseFrame: ") + message)) << message;
  }
}

TEST(MercuryExchange, StatusReplyToADataRequest) {
  // Only the low four bits of the status count.
  const std::pair<const char*, const char*> cases[] = {
      {"00", nullptr}, {"03", "Access denied"}, {"35", "Not opened"}, {"0F", "Unknown error"}};
  for (const auto& [byte, text] : cases) {
    Line l;
    IntegratorsRequest request(&l.st, 0x00, 0);  // expects 16 data bytes
    LogSince log;
    EXPECT_TRUE(l.run(request, byte).empty());
    EXPECT_TRUE(log.has("Request::parseFrame: Invalid frame size = 4"));
    EXPECT_EQ(text != nullptr, log.has("DEVICE DOESN'T SUPPORT THIS REQUEST !!!")) << byte;
    EXPECT_TRUE(text ? log.has(std::string("Request::parseErrorCode: status = ") + text)
                     : log.has("Request::parseReply: Ok response from device !!!"))
        << byte;
  }
}

TEST(MercuryExchange, SequenceReopensTheChannelAndPausesBeforeEachRetry) {
  Line l;
  RequestSequence seq(&l.st);
  seq.add(std::make_shared<VoltageRequest>(&l.st, 1));
  seq.add(std::make_shared<VoltageRequest>(&l.st, 2));
  seq.setConnector(l.ll);
  // Open, phase A lost, reopen lost (an attempt too), reopen, phase A, phase B.
  const std::vector<Bytes> replies = {
      withCrc(hex("23 00")),      {}, {}, withCrc(hex("23 00")), withCrc(hex("23 00 98 59")),
      withCrc(hex("23 00 10 5A"))};
  l.line->meter = [&](const Bytes&) { return replies.at(l.line->writes.size() - 1); };
  MeasuredValueList values;
  seq.sendRequest(values);
  EXPECT_EQ((std::vector<std::string>{kOpen, "08 11 11", kOpen, kOpen, "08 11 11", "08 11 12"}),
            l.line->commands());
  EXPECT_EQ(2000, l.clock.nowMs() - 1710498030000LL);
  EXPECT_EQ("229.36 230.56", values.front().value + " " + values.back().value);
  // A first open channel that fails leaves the sequence at once.
  l.line->writes.clear();
  l.line->meter = nullptr;
  EXPECT_THROW(seq.sendRequest(values), CWrongPacketException);
  EXPECT_EQ(1u, l.line->writes.size());
}

// A Mercury 230 at address 35 whose clock reads 2024-03-15 10:20:30, with a
// tariff clock (variant byte 2 bit 6) and the old archive layout.
TableMeter standardMeter() {
  TableMeter m;
  m.table = {{"08 12", "11 00 40 04 05 00"},     // constant 5000, intRater
             {"08 03", "02 01 05"},              // firmware 2.1.5: mercury230
             {"08 00", "0C 22 38 4E 0F 06 15"},  // serial 12345678, made 2021-06-15
             {"08 02", "00 01 00 28"},           // Icf 1, Ucf 40
             {"04 01 FF", "00 00 08 14 03 24 00 00 07 14 03 24 00"},
             {"08 13", "01 00 00 10 00 15 03 24 3C"},  // newest profile block at 0x100
             {"06 02 1D 00 04", "41 00 00 00"},        // holidays 1 and 7 January
             {"06 02 10 00 10", "00 07 00 37 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF"},  // Jan, Monday
             {"04 00", "30 20 10 05 15 03 24 01"},
             {"08 11 11", "00 98 59"},
             {"08 11 13", "00 00 5A"},
             {"08 11 21", "00 88 13"},
             {"08 11 03", "80 10 27"},                                         // exporting
             {"05 00 00", "00 00 39 30 FF FF FF FF 00 00 10 00 00 00 00 00"},  // A+ 12.345
             {"05 00 01", "00 00 39 20 FF FF FF FF 00 00 00 00 00 00 00 00"},
             {"05 D0 00", "00 00 10 27 00 00 00 00 00 00 00 00 00 00 00 00"},  // 10.000 at 14 Mar
             {"05 C0 00", "00 00 20 4E 00 00 00 00 00 00 00 00 00 00 00 00"},  // 20.000 at 15 Mar
             {"05 50 00", "00 00 E8 03 00 00 00 00 00 00 00 00 00 00 00 00"},  // 1.000 used 14 Mar
             {"05 B3 00", "00 00 30 75 00 00 00 00 00 00 00 00 00 00 00 00"},  // 30.000 at 1 Mar
             {"05 33 00", "00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00"},  // March so far
             {"05 32 00", "00 00 B8 0B 00 00 00 00 00 00 00 00 00 00 00 00"},  // 3.000 in February
             // Profile records of 08:00, 09:00 and 10:00 (T 60), then empty slots.
             {"06 03 01 00 78",
              "00 08 00 15 03 24 3C 10 27 00 00 00 00 00 00 "
              "00 09 00 15 03 24 3C 20 4E 00 00 00 00 00 00 "
              "00 10 00 15 03 24 3C 30 75 00 00 00 00 00 00" +
                  std::string(5 * 30, 'F')},
             // Journal 01: one outage 09:15 to 09:20.
             {"04 01 FE", "00 15 09 15 03 24 00 20 09 15 03 24" + std::string(9 * 24, '0')}};
  return m;
}

// The driver on a scripted line to the standard meter, at address 35.
struct Rig {
  explicit Rig(SettingsMap params = {}, const std::string& serial = "12345678")
      : driver("mercury230", (params.emplace("net_address", "35"), params), serial) {
    line->meter = std::ref(meter);
    driver.SaveConnector(line);
  }
  TableMeter meter = standardMeter();
  std::shared_ptr<ScriptedLine> line = std::make_shared<ScriptedLine>();
  TestDriver driver;
};

TEST(MercuryDriver, InitTestsTheLinkThreeTimes) {
  Rig rig;
  EXPECT_TRUE(rig.driver.init());
  EXPECT_EQ("00", rig.line->commands().at(0));
  rig.meter.drop = [](const std::string&) { return true; };
  LogSince log;
  EXPECT_THROW(rig.driver.init(), CDisconnectException);
  EXPECT_EQ(4u, rig.line->writes.size());
  EXPECT_EQ(3000, rig.driver.fake_clock.nowMs() - 1710498030000LL);
  EXPECT_TRUE(log.has("[7001][12345678] CmtrMercury23X::init() - CAN'T TEST CONNECTION !!!"));
}

TEST(MercuryDriver, LostRequestsThrowTheirExceptions) {
  Rig model, clock, serial, other({}, "87654321");
  model.meter.drop = [](const std::string& cmd) { return cmd == "08 12"; };
  clock.meter.drop = [](const std::string& cmd) { return cmd == "04 00"; };
  serial.meter.drop = [](const std::string& cmd) { return cmd == "08 00"; };
  LogSince log;
  timestamps ts;
  EXPECT_THROW(model.driver.get_all_system_values(), CDisconnectException);
  EXPECT_THROW(clock.driver.GetTimestamps(ts), CNoDateTimeException);
  for (auto [rig, text] : {std::pair(&serial, "No Data"), std::pair(&other, "12345678")}) {
    try {
      rig->driver.get_all_system_values();
      ADD_FAILURE() << text;
    } catch (const SerialErrorException& e) {
      EXPECT_EQ(text, e.message());
    }
  }
  for (const char* line : {"NOT OPTIONAL REQUEST. EXCEPTION WILL BE THROWN !!!",
                           "RequestSequence::sendRequest(): CAN'T READ SERIAL NUMBER !!!",
                           "RequestSequence::sendRequest(): CAN'T READ CURRENT DATE TIME !!!",
                           "[7001][87654321] CmtrMercury23X::GetSystemValues(): READ SERIAL "
                           "'12345678' != GIVEN SERIAL '87654321' !!! EXCEPTION"})
    EXPECT_TRUE(log.has(line)) << line;
  EXPECT_EQ(std::make_tuple(3, 3, 3),
            std::make_tuple(model.meter.asked["08 12"], clock.meter.asked["04 00"],
                            serial.meter.asked["08 00"]));
}

TEST(MercuryDriver, SystemValuesAndTheModelRead) {
  Rig rig;
  MeasuredValueList v = rig.driver.get_all_system_values();
  const std::pair<uint32_t, std::string> want[] = {
      {74, "12345678"},
      {73, "2.1.5"},
      {72, "mercury230"},
      {61, "40"},
      {84, std::to_string(utc("2024-03-14 08:00:00"))},
      {85, std::to_string(utc("2024-03-15 10:20:30"))},
      {64, "[{\"from_s\":\"01-01\",\"to_s\":\"01-01\"},{\"from_s\":\"01-07\",\"to_s\":\"01-07\"}]"},
      {63,
       "[{\"from_s\":\"01-01\",\"to_s\":\"01-31\",\"days\":{\"1\":[{\"time_s\":\"07:00\","
       "\"tariff\":0},{\"time_s\":\"23:00\",\"tariff\":1}]}}]"}};
  for (const auto& [code, text] : want) EXPECT_EQ(text, value(v, 10, code)) << code;
  EXPECT_EQ(1, rig.meter.asked["06 02 1C AF 10"]);  // the whole tariff calendar was read
  rig.meter.table["08 03"] = "09 01 05";            // a meter of another model is taken as that
  rig.driver.get_all_system_values();
  EXPECT_EQ(std::make_pair(234, 8192),
            std::make_pair(rig.driver.modelNumber(), rig.driver.profileMemorySize()));
}

TEST(MercuryDriver, CurrentValuesAMeterThatVanishesAndAWrongPassword) {
  Rig rig;
  rig.driver.get_all_system_values();
  MeasuredValueList v = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ("229.36 230.40 5.000 -0.10000 12.345 0.016 8.249",
            value(v, 0, 39) + " " + value(v, 0, 41) + " " + value(v, 0, 42) + " " +
                value(v, 0, 34) + " " + value(v, 0, 50) + " " + value(v, 0, 52) + " " +
                value(v, 0, 50, 1));
  EXPECT_EQ("<absent>", value(v, 0, 40));  // refused with status 01
  EXPECT_EQ(0x100u, rig.driver.state().last_profile_addr);
  for (const auto& r : v) EXPECT_EQ(1710498030, r.timestamp);
  // Gone after phase A's current: what was read stays; each of the 20 further
  // requests is tried three times with two pauses.
  bool gone = false;
  rig.meter.drop = [&](const std::string& cmd) { return gone = gone || cmd == "08 11 21"; };
  long long before = rig.driver.fake_clock.nowMs();
  v = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ(40000, rig.driver.fake_clock.nowMs() - before);
  EXPECT_EQ("230.40", value(v, 0, 41));
  // The next exchange fails at its first open channel; the next turn reconnects.
  timestamps ts;
  EXPECT_THROW(rig.driver.GetTimestamps(ts), CWrongPacketException);
  rig.meter.drop = nullptr;
  EXPECT_TRUE(rig.driver.init());
  EXPECT_EQ("12.345", value(rig.driver.get_all_curtime_cur_integ_values(), 0, 50));
  // A wrong password shows as logged status errors and missing records only.
  rig.meter.open = "01 01 02 02 02 02 02 02";
  LogSince log;
  EXPECT_TRUE(rig.driver.get_all_curtime_cur_integ_values().empty());
  EXPECT_TRUE(log.has("ERROR CODE 3. DEVICE DOESN'T SUPPORT THIS REQUEST !!!"));
  EXPECT_TRUE(log.has("Request::parseErrorCode: status = Not opened"));
}

TEST(MercuryDriver, ArchiveCacheReadsOncePerKind) {
  Rig rig;
  rig.driver.get_all_system_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  MeasuredValueList first, second, monthly;
  rig.driver.get_arch_values(Daily, utc("2024-03-14"), utc("2024-03-14"), first);
  // Start of yesterday only: today's start and yesterday's use count at today.
  EXPECT_EQ(4u, first.size());
  EXPECT_EQ("10.000", value(first, 2, 50, 0, utc("2024-03-14")));
  rig.driver.get_arch_values(Daily, utc("2024-03-15"), utc("2024-03-15"), second);
  EXPECT_EQ("20.000 1.000", value(second, 2, 50, 0, utc("2024-03-15")) + " " +
                                value(second, 7, 50, 0, utc("2024-03-14")));
  EXPECT_EQ(1, rig.meter.asked["05 D0 00"]);
  // Month use for the running month is asked for but gives no record.
  rig.driver.get_arch_values(Monthly, utc("2023-03-15"), utc("2024-03-14"), monthly);
  EXPECT_EQ("30.000 3.000", value(monthly, 4, 50, 0, utc("2024-03-01")) + " " +
                                value(monthly, 8, 50, 0, utc("2024-02-01")));
  EXPECT_EQ(1, rig.meter.asked["05 33 00"]);
  for (const auto& r : monthly) EXPECT_FALSE(r.kind == 8 && r.timestamp >= utc("2024-03-01"));
  // Current values empty the cache.
  rig.driver.get_arch_values(Daily, utc("2024-03-14"), utc("2024-03-14"), first);
  EXPECT_EQ(2, rig.meter.asked["05 D0 00"]);
  rig.driver.get_all_curtime_cur_integ_values();
  rig.driver.get_arch_values(Daily, utc("2024-03-14"), utc("2024-03-14"), first);
  EXPECT_EQ(3, rig.meter.asked["05 D0 00"]);
}

TEST(MercuryDriver, HourlyArchiveWithClockOffset) {
  Rig rig(SettingsMap{{"pu_tz", "4"}, {"srv_tz", "3"}});
  rig.driver.get_all_system_values();
  rig.driver.get_all_curtime_cur_integ_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  EXPECT_EQ(utc("2024-03-15 09:20:30"), ts.curr_time);  // the meter is an hour ahead
  MeasuredValueList v;
  // Controller hours 08:00 to 09:00 are meter hours 09:00 to 10:00.
  rig.driver.get_arch_values(Hourly, utc("2024-03-15 08:00:00"), utc("2024-03-15 09:00:00"), v);
  EXPECT_EQ("2.00000 3.00000", value(v, 6, 54, 0, utc("2024-03-15 08:00:00")) + " " +
                                   value(v, 6, 54, 0, utc("2024-03-15 09:00:00")));
  EXPECT_EQ(std::to_string(1 << 19), value(v, 6, 69, 0, utc("2024-03-15 08:15:00")));
  EXPECT_EQ(10u, v.size());
  // The whole profile memory was walked, wrapping to the top of the ring.
  EXPECT_EQ(1, rig.meter.asked["06 83 F1 80 78"]);
}

}  // namespace
