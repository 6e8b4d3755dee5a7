// The driver's model operations against a table-driven meter on a scripted line.
#include <gtest/gtest.h>

#include "base/logger.h"
#include "mercury_test_util.h"

using namespace mercury_test;
using namespace CmtrMercury23XRequets;

namespace {

const char* kOpen = "01 01 01 01 01 01 01 01";  // password 111111, digits

// A Mercury 230 at address 35 whose clock reads 2024-03-15 10:20:30, with a
// built-in tariff clock (variant byte 2 bit 6) and the old archive layout.
TableMeter standardMeter() {
  TableMeter m(0x23, kOpen);
  m.set("08 12", "11 00 40 04 05 00");     // variant: constant 5000, intRater
  m.set("08 03", "02 01 05");              // firmware 2.1.5: mercury230
  m.set("08 00", "0C 22 38 4E 0F 06 15");  // serial 12345678, made 2021-06-15
  m.set("08 02", "00 01 00 28");           // Icf 1, Ucf 40
  m.set("04 01 FF", "00 00 08 14 03 24 00 00 07 14 03 24 00");
  m.set("08 13", "01 00 00 10 00 15 03 24 3C");  // newest profile block at 0x100
  m.set("04 07 FF", "00 00 12 01 02 24 00");
  m.set("06 02 1D 00 04", "41 00 00 00");                                      // 1 and 7 January
  m.set("06 02 1D 0A 04", "00 01 00 00");                                      // 9 March
  m.set("06 02 10 00 10", "00 07 00 37 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF");  // Jan, Mon
  m.set("04 00", "30 20 10 05 15 03 24 01");
  m.set("08 11 11", "00 98 59");  // 229.36 V
  m.set("08 11 12", "00 10 5A");  // 230.56 V
  m.set("08 11 13", "00 00 5A");  // 230.40 V
  m.set("08 11 21", "00 88 13");  // 5.000 A
  m.set("08 11 22", "00 E8 03");  // 1.000 A
  m.set("08 11 23", "00 00 00");
  m.set("08 11 40", "00 88 13");  // 50.00 Hz
  m.set("08 11 00", "00 40 E2");  // 0.57920 kW
  m.set("08 11 01", "00 10 27");
  m.set("08 11 02", "00 10 27");
  m.set("08 11 03", "80 10 27");  // exporting
  m.set("08 11 04", "40 10 27");  // -0.10000 kvar
  m.set("08 11 05", "00 00 00");
  m.set("08 11 06", "00 00 00");
  m.set("08 11 07", "00 00 00");
  m.set("08 11 30", "00 52 03");  // 0.850
  m.set("08 11 31", "00 E8 03");
  m.set("08 11 32", "00 E8 03");
  m.set("08 11 33", "00 E8 03");
  m.set("08 0A", "00 00 00 00 00 00");
  m.set("05 00 00", "00 00 39 30 FF FF FF FF 00 00 10 00 00 00 00 00");  // A+ 12.345
  m.set("05 00 01", "00 00 39 20 FF FF FF FF 00 00 00 00 00 00 00 00");  // A+ 8.249
  // Archives.
  m.set("05 D0 00", "00 00 10 27 00 00 00 00 00 00 00 00 00 00 00 00");  // 10.000 at 14 Mar
  m.set("05 C0 00", "00 00 20 4E 00 00 00 00 00 00 00 00 00 00 00 00");  // 20.000 at 15 Mar
  m.set("05 50 00", "00 00 E8 03 00 00 00 00 00 00 00 00 00 00 00 00");  // 1.000 used 14 Mar
  m.set("05 B3 00", "00 00 30 75 00 00 00 00 00 00 00 00 00 00 00 00");  // 30.000 at 1 Mar
  m.set("05 B2 00", "00 00 40 9C 00 00 00 00 00 00 00 00 00 00 00 00");  // 40.000 at 1 Feb
  m.set("05 33 00", "00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00");  // March so far
  m.set("05 32 00", "00 00 B8 0B 00 00 00 00 00 00 00 00 00 00 00 00");  // 3.000 in February
  m.set("05 A0 00", "00 00 64 00 00 00 00 00 00 00 00 00 00 00 00 00");  // 0.100 at 1 Jan 2023
  m.set("05 90 00", "00 00 C8 00 00 00 00 00 00 00 00 00 00 00 00 00");  // 0.200 at 1 Jan 2024
  m.set("05 20 00", "00 00 2C 01 00 00 00 00 00 00 00 00 00 00 00 00");  // 0.300 used in 2023
  // Profile block at 0x100: 08:00, 09:00, 10:00 with T = 60, then empty slots.
  std::string block =
      "00 08 00 15 03 24 3C 10 27 00 00 00 00 00 00 "
      "00 09 00 15 03 24 3C 20 4E 00 00 00 00 00 00 "
      "00 10 00 15 03 24 3C 30 75 00 00 00 00 00 00 ";
  for (int i = 3; i < 8; ++i) block += "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF ";
  m.set("06 03 01 00 78", block);
  // Journal 01: one outage 09:15 to 09:20.
  std::string journal = "00 15 09 15 03 24 00 20 09 15 03 24 ";
  for (int i = 1; i < 10; ++i) journal += "00 00 00 00 00 00 00 00 00 00 00 00 ";
  m.set("04 01 FE", journal);
  return m;
}

struct Rig {
  explicit Rig(const std::string& model = "mercury230", const std::string& serial = "12345678",
               SettingsMap params = {{"net_address", "35"}})
      : meter(standardMeter()), driver(model, params, serial, "111111") {
    line->responder = [this](const Bytes& r) { return meter.answer(r); };
    driver.connect(line);
  }
  std::shared_ptr<ScriptedConnector> line = std::make_shared<ScriptedConnector>();
  TableMeter meter;
  TestDriver driver;
};

std::string value(const MeasuredValueList& v, uint32_t kind, uint32_t code, uint8_t sys = 0) {
  const MeasuredValue* r = find(v, kind, code, sys);
  return r ? r->value : "<absent>";
}

// (kind, code, sys, time) -> value of every record.
std::map<std::tuple<uint32_t, uint32_t, int, time_t>, std::string> table(
    const MeasuredValueList& v) {
  std::map<std::tuple<uint32_t, uint32_t, int, time_t>, std::string> out;
  for (const auto& r : v) out[{r.kind, r.param_code, r.sys, r.timestamp}] = r.value;
  return out;
}

}  // namespace

TEST(MercuryDriver, SaveConnectorTakesAddressAndPassword) {
  LogCapture log;
  TestDriver driver("mercury230", {{"net_address", "145"}}, "777", "123", "ASCII");
  driver.connect(std::make_shared<ScriptedConnector>());
  EXPECT_EQ(145, driver.lowLevel()->address());
  EXPECT_STREQ("123", driver.lowLevel()->password());
  EXPECT_TRUE(driver.lowLevel()->passwordAscii());
  EXPECT_TRUE(
      log.has("[7001][777] CmtrMercury23X::SaveConnector: net_addr = 145, password = 123, "
              "isASCIPassword = 1"));
  TestDriver digits("mercury230", {{"net_address", "1"}}, "777", "1234567", "digits");
  digits.connect(std::make_shared<ScriptedConnector>());
  EXPECT_STREQ("123456", digits.lowLevel()->password());
  EXPECT_FALSE(digits.lowLevel()->passwordAscii());
}

TEST(MercuryDriver, ModelRecognition) {
  struct Case {
    const char* model;
    const char* family;
    int number;
    int profile;
    bool direct;
  } cases[] = {
      {"mercury230", "mercury", 230, 4096, true},   {"mercury230art", "mercury", 230, 4096, true},
      {"mercury231at", "mercury", 231, 4096, true}, {"mercury233", "mercury", 233, 4096, true},
      {"mercury234", "mercury", 234, 8192, true},   {"mercury204", "mercury", 204, 8192, true},
      {"mercury236", "mercury", 236, 8192, true},   {"mercury238", "mercury", 238, 8192, true},
      {"vector-3", "vector", 3, 4096, false},       {"vector-3x", "unknown", 0, 4096, true},
      {"mercury208", "unknown", 0, 4096, true},
  };
  for (const auto& c : cases) {
    TestDriver d(c.model, {}, "", "");
    EXPECT_EQ(c.family, d.familyName()) << c.model;
    EXPECT_EQ(c.number, d.modelNumber()) << c.model;
    EXPECT_EQ(c.profile, d.profileMemorySize()) << c.model;
    EXPECT_EQ(c.direct, d.directCommand()) << c.model;
  }
}

TEST(MercuryDriver, InitTestsTheLink) {
  Rig rig;
  LogCapture log;
  EXPECT_TRUE(rig.driver.init());
  EXPECT_EQ("00", toHex(Bytes(rig.line->writes[0].begin() + 1, rig.line->writes[0].end() - 2)));
  EXPECT_TRUE(log.has("[7001][12345678] --- CmtrMercury23X::init() ---"));
  EXPECT_TRUE(log.has("CmtrMercury23X driver version 02.16, compiled: "));
  EXPECT_TRUE(log.has("CmtrMercury23X driver is working with \"mercury-230\" device"));
  EXPECT_TRUE(log.has("[7001][12345678] Repository revision Unknown."));
  EXPECT_TRUE(log.has("CmtrMercury23X::testConnection() - 1 attemp"));
  EXPECT_TRUE(log.has("CmtrMercury23X::init(): srv_TZ = 0, pu_TZ = 0, dTZ = 0"));
}

TEST(MercuryDriver, InitFailsAfterThreeAttempts) {
  Rig rig;
  rig.meter.drop = [](const std::string&) { return true; };
  LogCapture log;
  long long before = rig.driver.fake_clock.nowMs();
  EXPECT_THROW(rig.driver.init(), CDisconnectException);
  EXPECT_EQ(3u, rig.line->writes.size());
  EXPECT_EQ(3000, rig.driver.fake_clock.nowMs() - before);
  EXPECT_TRUE(log.has("CmtrMercury23X::testConnection() - 3 attemp"));
  EXPECT_TRUE(log.has("[7001][12345678] CmtrMercury23X::init() - CAN'T TEST CONNECTION !!!"));
  EXPECT_FALSE(log.has("srv_TZ"));
  // Two bad replies, then a good one.
  Rig flaky;
  int n = 0;
  flaky.meter.drop = [&](const std::string&) { return n++ < 2; };
  EXPECT_TRUE(flaky.driver.init());
}

TEST(MercuryDriver, SystemValues) {
  Rig rig;
  LogCapture log;
  MeasuredValueList v = rig.driver.get_all_system_values();
  const time_t now = 1710498030;
  EXPECT_EQ("12345678", value(v, 10, 74));
  EXPECT_EQ(std::to_string(utc(2021, 6, 15)), value(v, 10, 75));
  EXPECT_EQ("2.1.5", value(v, 10, 73));
  EXPECT_EQ("mercury230", value(v, 10, 72));
  EXPECT_EQ("1", value(v, 10, 60));
  EXPECT_EQ("40", value(v, 10, 61));
  EXPECT_EQ(std::to_string(utc(2024, 3, 14, 8)), value(v, 10, 84));
  EXPECT_EQ(std::to_string(utc(2024, 3, 14, 7)), value(v, 10, 83));
  EXPECT_EQ(std::to_string(utc(2024, 2, 1, 12)), value(v, 10, 66));
  EXPECT_EQ("<absent>", value(v, 10, 67));  // the meter does not know 04 08
  EXPECT_EQ(std::to_string(utc(2024, 3, 15, 10, 20, 30)), value(v, 10, 85));
  EXPECT_EQ(
      "[{\"from_s\":\"01-01\",\"to_s\":\"01-01\"},{\"from_s\":\"01-07\",\"to_s\":\"01-07\"},"
      "{\"from_s\":\"03-09\",\"to_s\":\"03-09\"}]",
      value(v, 10, 64));
  EXPECT_EQ(
      "[{\"from_s\":\"01-01\",\"to_s\":\"01-31\",\"days\":{\"1\":[{\"time_s\":\"07:00\","
      "\"tariff\":0},{\"time_s\":\"23:00\",\"tariff\":1}]}}]",
      value(v, 10, 63));
  EXPECT_EQ("[]", value(v, 10, 65));
  for (const auto& r : v) {
    EXPECT_EQ(10u, r.kind);
    EXPECT_EQ(192, r.opc_quality);
    EXPECT_EQ(now, r.timestamp);
  }
  EXPECT_EQ(13u, v.size());
  EXPECT_TRUE(log.has("CmtrMercury23X::get_all_system_values() extArch=0 intRater=40"))
      << log.text();
  EXPECT_TRUE(log.has("[7001][12345678] <<< System Parameter's count = 13"));
  EXPECT_TRUE(log.has("[7001][12345678] <<< System Parameter: SerialNumber"));
  // The whole tariff calendar was asked for: 12 holiday months, 192 schedule blocks.
  EXPECT_EQ(1, rig.meter.count("06 02 1D 37 04"));
  EXPECT_EQ(1, rig.meter.count("06 02 1C AF 10"));
}

TEST(MercuryDriver, SerialMismatchThrowsWithReadSerial) {
  Rig rig("mercury230", "87654321");
  LogCapture log;
  try {
    rig.driver.get_all_system_values();
    FAIL() << "no exception";
  } catch (const SerialErrorException& e) {
    EXPECT_EQ("12345678", e.message());
  }
  // File lines stop at 127 characters.
  EXPECT_TRUE(
      log.has("[7001][87654321] CmtrMercury23X::GetSystemValues(): READ SERIAL '12345678' "
              "!= GIVEN SERIAL '87654321' !!! EXCEPTION"));
}

TEST(MercuryDriver, SerialLostThrowsNoData) {
  Rig rig;
  rig.meter.drop = [](const std::string& cmd) { return cmd == "08 00"; };
  LogCapture log;
  try {
    rig.driver.get_all_system_values();
    FAIL() << "no exception";
  } catch (const SerialErrorException& e) {
    EXPECT_EQ("No Data", e.message());
  }
  EXPECT_TRUE(log.has("RequestSequence::sendRequest(): CAN'T READ SERIAL NUMBER !!!"));
  EXPECT_EQ(3, rig.meter.count("08 00"));
}

TEST(MercuryDriver, ModelFromMeterWins) {
  Rig rig;
  rig.meter.set("08 03", "09 01 05");  // a Mercury 234
  LogCapture log;
  rig.driver.get_all_system_values();
  EXPECT_TRUE(
      log.has("CmtrMercury23X::GetSystemValues(): METER MODEL 'mercury234' != "
              "MANUFACTURER 'mercury230' !!!"));
  EXPECT_EQ("mercury234", rig.driver.model());
  EXPECT_EQ(234, rig.driver.modelNumber());
  EXPECT_EQ(8192, rig.driver.profileMemorySize());
}

TEST(MercuryDriver, MeterWithoutTariffClock) {
  Rig rig;
  rig.meter.set("08 12", "11 00 00 04 05 00");  // intRater 0
  MeasuredValueList v = rig.driver.get_all_system_values();
  // Models, firmware, serial, ratios and the clock only; the clock is not asked.
  EXPECT_EQ(0, rig.meter.count("04 00"));
  EXPECT_EQ(0, rig.meter.count("04 01 FF"));
  EXPECT_EQ(std::to_string(1710498030), value(v, 10, 85));
  EXPECT_EQ(10u, v.size());  // 7 values + 3 time tables

  MeasuredValueList cur = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ(0, rig.meter.count("08 13"));  // no profile pointer
  EXPECT_EQ(1, rig.meter.count("05 00 01"));
  EXPECT_EQ(0, rig.meter.count("05 00 02"));  // tariffs 0 and 1 only

  LogCapture log;
  MeasuredValueList arch;
  EXPECT_EQ(0, rig.driver.get_arch_values(Daily, utc(2024, 3, 14), utc(2024, 3, 14), arch));
  EXPECT_TRUE(arch.empty());
  EXPECT_TRUE(log.has("CmtrMercury23X::get_arch_values - ARCHIVE daily NOT SUPPORTED !!!"));
}

TEST(MercuryDriver, CurrentValues) {
  Rig rig;
  rig.driver.get_all_system_values();
  LogCapture log;
  MeasuredValueList v = rig.driver.get_all_curtime_cur_integ_values();
  const std::pair<uint32_t, const char*> wants[] = {
      {39, "229.36"},  {41, "230.40"},   {42, "5.000"},    {49, "50.00"},
      {31, "0.57920"}, {34, "-0.10000"}, {35, "-0.10000"}, {45, "0.850"},
      {14, "0"},       {50, "12.345"},   {52, "0.016"},
  };
  for (const auto& w : wants) EXPECT_EQ(w.second, value(v, 0, w.first)) << w.first;
  EXPECT_EQ("8.249", value(v, 0, 50, 1));
  EXPECT_EQ(std::to_string(utc(2024, 3, 15, 10, 20, 30)), value(v, 10, 85));
  // 24 tariff-0 values, 4 of tariff 1, the clock.
  EXPECT_EQ(29u, v.size());
  for (const auto& r : v) {
    EXPECT_EQ(192, r.opc_quality);
    EXPECT_EQ(1710498030, r.timestamp);
  }
  // Tariffs 2-4 were asked and refused without harm; the profile pointer was read.
  EXPECT_EQ(1, rig.meter.count("05 00 04"));
  EXPECT_EQ(0x100u, rig.driver.state().last_profile_addr);
  EXPECT_TRUE(
      log.has("[7001][12345678] --- CmtrMercury23X::get_all_curtime_cur_integ_values() ---"));
  EXPECT_TRUE(log.has("[7001][12345678] <<< Current Parameter's count = 29"));
  EXPECT_TRUE(log.has("[7001][12345678] <<< Current Parameter: VA"));
}

TEST(MercuryDriver, CurrentValuesSurviveUnsupportedAndLostRequests) {
  Rig rig;
  rig.driver.get_all_system_values();
  rig.meter.table.erase("08 11 40");                                          // refused
  rig.meter.drop = [](const std::string& cmd) { return cmd == "08 11 13"; };  // lost
  MeasuredValueList v = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ("<absent>", value(v, 0, 49));
  EXPECT_EQ("<absent>", value(v, 0, 41));
  EXPECT_EQ("229.36", value(v, 0, 39));
  EXPECT_EQ(3, rig.meter.count("08 11 13"));
  EXPECT_EQ(27u, v.size());
}

TEST(MercuryDriver, MeterVanishingMidSession) {
  Rig rig;
  rig.driver.get_all_system_values();
  rig.driver.get_all_curtime_cur_integ_values();
  bool gone = false;
  rig.meter.drop = [&](const std::string& cmd) {
    if (cmd == "08 11 21") gone = true;
    return gone;
  };
  // Current values are all optional: what was read before stays, every later
  // request (20 of them) is tried three times with two pauses.
  long long before = rig.driver.fake_clock.nowMs();
  MeasuredValueList v = rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ(40000, rig.driver.fake_clock.nowMs() - before);
  EXPECT_EQ(3u, v.size());
  EXPECT_EQ("230.40", value(v, 0, 41));
  // The next exchange fails at its first open channel and ends the session.
  size_t writes = rig.line->writes.size();
  timestamps ts;
  EXPECT_THROW(rig.driver.GetTimestamps(ts), CWrongPacketException);
  EXPECT_THROW(rig.driver.get_all_curtime_cur_integ_values(), CWrongPacketException);
  EXPECT_EQ(writes + 2, rig.line->writes.size());
  // Back on the line: the next turn connects and reads again.
  gone = false;
  rig.meter.drop = nullptr;
  EXPECT_TRUE(rig.driver.init());
  EXPECT_EQ(29u, rig.driver.get_all_curtime_cur_integ_values().size());
}

TEST(MercuryDriver, TimestampsAndLostClock) {
  Rig rig("mercury230", "12345678", {{"net_address", "35"}, {"pu_tz", "5"}, {"srv_tz", "3"}});
  timestamps ts;
  LogCapture log;
  EXPECT_TRUE(rig.driver.GetTimestamps(ts));
  EXPECT_EQ(0, ts.min_time_hour);
  EXPECT_EQ(0, ts.min_time_day);
  EXPECT_EQ(utc(2024, 3, 15, 8, 20, 30), ts.curr_time);
  EXPECT_TRUE(log.has("[7001][12345678] <<< current time: 1710490830 ( 2024-03-15 08:20:30 )"));

  rig.meter.drop = [](const std::string& cmd) { return cmd == "04 00"; };
  LogCapture log2;
  EXPECT_THROW(rig.driver.GetTimestamps(ts), CNoDateTimeException);
  EXPECT_TRUE(log2.has("CAN'T READ CURRENT DATE TIME !!!"));
}

TEST(MercuryDriver, ArchiveCacheReadsOncePerKind) {
  Rig rig;
  rig.driver.get_all_system_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  LogCapture log;
  MeasuredValueList first;
  rig.driver.get_arch_values(Daily, utc(2024, 3, 14), utc(2024, 3, 14), first);
  // Start of yesterday only: today's start and yesterday's use count at today.
  EXPECT_EQ((std::map<std::tuple<uint32_t, uint32_t, int, time_t>, std::string>{
                {{2, 50, 0, utc(2024, 3, 14)}, "10.000"},
                {{2, 51, 0, utc(2024, 3, 14)}, "0.000"},
                {{2, 52, 0, utc(2024, 3, 14)}, "0.000"},
                {{2, 53, 0, utc(2024, 3, 14)}, "0.000"}}),
            table(first));
  MeasuredValueList second;
  rig.driver.get_arch_values(Daily, utc(2024, 3, 15), utc(2024, 3, 15), second);
  EXPECT_EQ("20.000", (table(second)[{2, 50, 0, utc(2024, 3, 15)}]));
  EXPECT_EQ("1.000", (table(second)[{7, 50, 0, utc(2024, 3, 14)}]));
  EXPECT_EQ(8u, second.size());
  EXPECT_EQ(1, rig.meter.count("05 D0 00"));
  EXPECT_EQ(1, rig.meter.count("05 50 04"));
  EXPECT_EQ(1, mtr_test::countLinesContaining(log.text(), "READ ARCHIVE REALLY"));
  EXPECT_TRUE(log.has("init old arch"));
  EXPECT_TRUE(log.has("--- CmtrMercury23X::get_arch_values(daily) from 1710374400 ("));
  EXPECT_TRUE(log.has("<<< Archive Parameter's count = 4"));
  // Another kind, then current values: both read the meter again.
  MeasuredValueList other;
  rig.driver.get_arch_values(Yearly, utc(2023, 3, 20), utc(2024, 3, 14), other);
  auto years = table(other);
  EXPECT_EQ(8u, other.size());
  EXPECT_EQ("0.200", (years[{5, 50, 0, utc(2024, 1, 1)}]));
  // The year's use counts at its end, and keeps the year's start as its time.
  EXPECT_EQ("0.300", (years[{9, 50, 0, utc(2023, 1, 1)}]));
  rig.driver.get_arch_values(Daily, utc(2024, 3, 14), utc(2024, 3, 14), other);
  EXPECT_EQ(2, rig.meter.count("05 D0 00"));
  rig.driver.get_all_curtime_cur_integ_values();
  EXPECT_EQ(0u, rig.driver.cachedArchiveKind());
  rig.driver.get_arch_values(Daily, utc(2024, 3, 14), utc(2024, 3, 14), other);
  EXPECT_EQ(3, rig.meter.count("05 D0 00"));
  // An unknown kind reads nothing.
  MeasuredValueList none;
  EXPECT_EQ(0, rig.driver.get_arch_values(Current, utc(2024, 3, 14), utc(2024, 3, 14), none));
  EXPECT_TRUE(none.empty());
}

TEST(MercuryDriver, MonthlyArchiveSkipsTheCurrentMonthsConsumption) {
  Rig rig;
  rig.driver.get_all_system_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  MeasuredValueList v;
  rig.driver.get_arch_values(Monthly, utc(2023, 3, 15), utc(2024, 3, 14), v);
  auto t = table(v);
  EXPECT_EQ("30.000", (t[{4, 50, 0, utc(2024, 3, 1)}]));
  EXPECT_EQ("40.000", (t[{4, 50, 0, utc(2024, 2, 1)}]));
  EXPECT_EQ("3.000", (t[{8, 50, 0, utc(2024, 2, 1)}]));
  // March was asked for but is still running: no record for it.
  EXPECT_EQ(1, rig.meter.count("05 33 00"));
  for (const auto& r : v) EXPECT_FALSE(r.kind == 8 && r.timestamp == utc(2024, 3, 1));
  for (const auto& r : v) EXPECT_FALSE(r.kind == 8 && r.timestamp == utc(2023, 3, 1));
  EXPECT_EQ(12u, v.size());
}

TEST(MercuryDriver, HourlyArchiveWithClockOffset) {
  Rig rig("mercury230", "12345678", {{"net_address", "35"}, {"pu_tz", "4"}, {"srv_tz", "3"}});
  rig.driver.get_all_system_values();
  rig.driver.get_all_curtime_cur_integ_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  EXPECT_EQ(utc(2024, 3, 15, 9, 20, 30), ts.curr_time);
  MeasuredValueList v;
  // Controller hours 08:00 to 09:00 are meter hours 09:00 to 10:00.
  rig.driver.get_arch_values(Hourly, utc(2024, 3, 15, 8), utc(2024, 3, 15, 9), v);
  auto t = table(v);
  EXPECT_EQ("2.00000", (t[{6, 54, 0, utc(2024, 3, 15, 8)}]));
  EXPECT_EQ("3.00000", (t[{6, 54, 0, utc(2024, 3, 15, 9)}]));
  EXPECT_EQ("0.00000", (t[{6, 57, 0, utc(2024, 3, 15, 9)}]));
  EXPECT_EQ(std::to_string(1 << 19), (t[{6, 69, 0, utc(2024, 3, 15, 8, 15)}]));
  EXPECT_EQ(std::to_string(1 << 19), (t[{6, 69, 0, utc(2024, 3, 15, 8, 20)}]));
  EXPECT_EQ(10u, v.size());
  // The whole profile memory was walked: 32 blocks of 128 bytes.
  EXPECT_EQ(1, rig.meter.count("06 03 01 00 78"));
  EXPECT_EQ(1, rig.meter.count("06 03 00 80 78"));
  EXPECT_EQ(1, rig.meter.count("06 83 F1 80 78"));  // wrapped to the top of the ring
}

TEST(MercuryDriver, ExtendedArchiveStepsDayByDay) {
  Rig rig;
  rig.meter.set("08 12", "11 00 40 04 05 40");  // extArch
  rig.meter.set("18 00 0D 03 18 00", "00 00 E8 03 00 00 00 00 00 00 00 00 00 00 00 00");
  rig.meter.set("18 00 0E 03 18 00", "00 00 D0 07 00 00 00 00 00 00 00 00 00 00 00 00");
  rig.meter.set("18 00 0F 03 18 00", "00 00 B8 0B 00 00 00 00 00 00 00 00 00 00 00 00");
  rig.meter.set("18 00 0D 03 18 01", "00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00");
  rig.meter.set("18 01 01 02 18 00", "00 00 10 27 00 00 00 00 00 00 00 00 00 00 00 00");
  rig.meter.set("18 01 01 03 18 00", "00 00 20 4E 00 00 00 00 00 00 00 00 00 00 00 00");
  rig.driver.get_all_system_values();
  timestamps ts;
  rig.driver.GetTimestamps(ts);
  LogCapture log(TL_DEBUG);
  MeasuredValueList v;
  rig.driver.get_arch_values(Daily, utc(2024, 3, 13), utc(2024, 3, 14), v);
  EXPECT_TRUE(log.has("init extended arch"));
  EXPECT_TRUE(log.has("IntegratorsRequestExt::fillCMD 0d/03/18"));
  auto t = table(v);
  EXPECT_EQ("1.000", (t[{2, 50, 0, utc(2024, 3, 13)}]));
  EXPECT_EQ("2.000", (t[{2, 50, 0, utc(2024, 3, 14)}]));
  EXPECT_EQ("0.001", (t[{2, 50, 1, utc(2024, 3, 13)}]));
  EXPECT_EQ(12u, v.size());
  // Tariff 1 stops at the first day the meter has nothing for.
  EXPECT_EQ(1, rig.meter.count("18 00 0E 03 18 01"));
  EXPECT_EQ(0, rig.meter.count("18 00 0F 03 18 01"));
  EXPECT_EQ(1, rig.meter.count("18 00 0F 03 18 00"));  // up to the meter's day

  MeasuredValueList m;
  rig.driver.get_arch_values(Monthly, utc(2024, 2, 1), utc(2024, 3, 14), m);
  t = table(m);
  EXPECT_EQ("10.000", (t[{4, 50, 0, utc(2024, 2, 1)}]));
  EXPECT_EQ("20.000", (t[{4, 50, 0, utc(2024, 3, 1)}]));
}
