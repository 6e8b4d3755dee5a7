#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <sstream>

#include "fault_support.h"

namespace {

using mtr_test::FaultLine;
using mtr_test::readArchive;

const char* const kMeters = R"({"meters": [
  {"protocol": "mercury230", "name": "m1", "address": 1, "password": "111111",
   "password_mode": "digit", "serial": "41027356", "manufactured": "2021-03-15",
   "model": "mercury230", "clock_offset": -25,
   "voltage": [229.87, 231.02, 230.44], "current": [3.214, 2.108, 1.556],
   "power": [702.4, 463.8, 341.9], "reactive": [120.5, -35.2, 60.0], "frequency": 49.98,
   "tariff": 1,
   "energy": {"A+": [31250.512, 12480.250, 0, 0], "A-": [12.004, 1.5, 0, 0],
              "R+": [4120.733, 1510.020, 0, 0], "R-": [85.310, 20.4, 0, 0]},
   "profile": {"period": 60, "depth": 48}},
  {"protocol": "mercury230", "name": "m2", "address": 2, "password": "1234",
   "password_mode": "ascii", "serial": "41027381", "manufactured": "2022-08-02",
   "model": "mercury234", "ext_archive": {"days": 20, "months": 12},
   "voltage": [230.51, 230.12, 229.64], "current": [0.812, 4.375, 0.0],
   "power": [180.3, 985.0, 0.0], "reactive": [22.0, 140.6, 0.0], "frequency": 50.01,
   "tariff": 2, "energy": {"A+": [8450.100, 3120.875, 0, 0]},
   "profile": {"period": 30, "depth": 96}}
]})";

std::string config(const std::string& pw1, const std::string& serial2) {
  using mtr_test::meterConfig;
  return "{" + meterConfig("101", "mercury230", "41027356", "1", pw1, "digit", "700") + ",\n" +
         meterConfig("102", "mercury234", serial2, "2", "1234", "ascii", "700") + "}";
}

bool isLocalMidnight(long t) {
  time_t tt = t;
  struct tm tm;
  localtime_r(&tt, &tm);
  return tm.tm_hour == 0 && tm.tm_min == 0 && tm.tm_sec == 0;
}

TEST(MercuryEndToEnd, TwoMetersOnOneLineFullSession) {
  FaultLine line(kMeters, config("111111", "41027381"));
  ASSERT_TRUE(line.start({"101", "102"}));
  ASSERT_TRUE(line.waitFullSession("101", 120000)) << line.log().substr(0, 3000);
  ASSERT_TRUE(line.waitFullSession("102", 120000));
  const time_t now = time(nullptr);

  // current values as the simulator's state implies: "id item text" rows
  for (const char* row :
       {"101 VA 229.87", "101 VB 231.02", "101 VC 230.44", "101 IA 3.214", "101 FREQ 49.98",
        "101 PAA 0.70240", "101 RBA -0.03520", "101 SerialNumber 41027356", "101 Connected 1",
        "101 MeterModel mercury230", "102 VA 230.51", "102 IB 4.375", "102 FREQ 50.01",
        "102 SerialNumber 41027381", "102 MeterModel mercury234"}) {
    std::istringstream in(row);
    std::string id, name, text;
    in >> id >> name >> text;
    EXPECT_EQ(text + "\n", line.item(id, name)) << row;
  }
  EXPECT_NEAR(1.5081, std::stod(line.item("101", "PA")), 1e-4);
  // energy only grows from the configured registers (sum of tariffs, then tariff 1)
  EXPECT_GE(std::stod(line.item("101", "WA")), 43730.762 - 0.001);
  EXPECT_LT(std::stod(line.item("101", "WA")), 43730.762 + 5);
  EXPECT_NEAR(31250.512, std::stod(line.item("101", "WA", 2)), 5);
  EXPECT_NEAR(12480.250, std::stod(line.item("101", "WA", 3)), 0.001);
  // the meter clock runs 25 s behind
  EXPECT_NEAR(static_cast<double>(now - 25), std::stod(line.item("101", "MDateTime")), 120);

  for (const char* id : {"101", "102"}) {
    const std::string dir = line.archiveDir(id) + "/";
    // hourly profile: whole intervals, quality 192, newest matches the timestamp file
    auto hourly = readArchive(dir + "A240");
    ASSERT_FALSE(hourly.empty()) << id;
    for (const auto& a : hourly) {
      EXPECT_EQ(192, a.quality);
      EXPECT_EQ(0, a.timestamp % 1800) << a.timestamp;
      EXPECT_LE(a.timestamp, now);
    }
    EXPECT_TRUE(std::is_sorted(hourly.begin(), hourly.end(), [](const auto& a, const auto& b) {
      return a.timestamp < b.timestamp;
    }));
    EXPECT_EQ(std::to_string(hourly.back().timestamp), line.timestampFile(id, "hourly")) << id;

    // daily, monthly and yearly registers at local period starts
    for (const char* name : {"A210", "A220", "A230"}) {
      auto recs = readArchive(dir + name);
      ASSERT_FALSE(recs.empty()) << id << " " << name;
      for (const auto& a : recs) {
        EXPECT_EQ(192, a.quality);
        EXPECT_TRUE(isLocalMidnight(a.timestamp)) << id << " " << name << " " << a.timestamp;
      }
    }
    // integral daily records lie one day past the timestamp file's time
    auto daily = readArchive(dir + "A210");
    EXPECT_EQ(std::to_string(daily.back().timestamp - 86400), line.timestampFile(id, "daily"));
    EXPECT_FALSE(line.timestampFile(id, "monthly").empty());
    EXPECT_FALSE(line.timestampFile(id, "yearly").empty());
  }
  // the extended archive of the second meter reaches back its configured days
  EXPECT_GE(readArchive(line.archiveDir("102") + "/A210").size(), 15u);
  EXPECT_EQ(0, line.stopDaemon());
}

// Channel refused (status 3, then 5: not opened) or another serial: logged, no values.
TEST(MercuryEndToEnd, RefusedMeterReadsNothing) {
  struct Case {
    std::string config;
    const char* id;
    std::vector<std::pair<const char*, int>> lines;  // log line, least count
    std::vector<std::pair<const char*, const char*>> items;
  };
  const Case cases[] = {
      {config("999999", "41027381"),
       "101",
       {{"Request::parseReply: ERROR CODE 5. DEVICE DOESN'T SUPPORT", 3},
        {"Request::parseReply: ERROR CODE 3. DEVICE DOESN'T SUPPORT", 1}},
       {{"SerialNumber", ""}, {"VA", ""}, {"Connected", "0\n"}}},
      {config("111111", "41000000"),
       "102",
       {{"READ SERIAL '41027381' != GIVEN SERIAL", 1}, {"EXCEPTION!!! disconnecting", 1}},
       {{"VA", ""}, {"SerialNumber", ""}}},
  };
  for (const Case& c : cases) {
    FaultLine line(kMeters, c.config);
    ASSERT_TRUE(line.start({c.id}));
    for (const auto& [text, least] : c.lines)
      ASSERT_TRUE(line.logged(text, least, 60000)) << text << "\n" << line.log().substr(0, 3000);
    for (const auto& [name, text] : c.items) EXPECT_EQ(text, line.item(c.id, name)) << name;
  }
}

}  // namespace
