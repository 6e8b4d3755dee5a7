// What the simulated CE30x/CE102M meters answer to each parameter: values by
// model and layout, the clock, archives, load profile, journals, schedules,
// and the description keys of the family.
#include <gtest/gtest.h>
#include <json/json.h>

#include <ctime>

#include "iec61107_client.h"

using namespace iectest;
using simtest::Sim;

namespace {

// Day boundaries without daylight-saving jumps, in the simulator and here.
class UtcZone {
 public:
  UtcZone() : env_(new mtr_test::ScopedEnv("TZ", "UTC0")) { tzset(); }
  ~UtcZone() {
    env_.reset();
    tzset();
  }

 private:
  std::unique_ptr<mtr_test::ScopedEnv> env_;
};

std::string two(int v) {
  char b[16];
  snprintf(b, sizeof b, "%02d", v);
  return b;
}

std::tm tmOf(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

time_t midnight(int days_back) {
  std::tm tm = tmOf(time(nullptr));
  return simtest::localTimeOf(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday - days_back);
}

time_t monthFirst(int months_back) {
  std::tm tm = tmOf(time(nullptr));
  return simtest::localTimeOf(tm.tm_year + 1900, tm.tm_mon + 1 - months_back, 1);
}

std::string day(int days_back) {  // dd.mm.yy
  std::tm tm = tmOf(midnight(days_back));
  return two(tm.tm_mday) + "." + two(tm.tm_mon + 1) + "." + two(tm.tm_year % 100);
}

std::string month(int months_back) {  // mm.yy
  std::tm tm = tmOf(monthFirst(months_back));
  return two(tm.tm_mon + 1) + "." + two(tm.tm_year % 100);
}

// NAME(v1)\r\n(v2)\r\n... as the default layout writes it.
std::string lines(const std::string& name, const std::vector<std::string>& values) {
  std::string s = name;
  if (values.empty()) s += "()\r\n";
  for (const auto& v : values) s += "(" + v + ")\r\n";
  return s;
}

std::vector<std::string> repeat(size_t n, const std::string& v) {
  return std::vector<std::string>(n, v);
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const char* kErr = "(ERR12)";

const char* kModels = R"({"meters": [
  {"protocol": "iec61107", "address": "1", "model": "ce301", "ct_ratio": 40, "vt_ratio": 100,
   "voltage": [229.87, 230.02, 231.5], "current": [1.234, 2.5, 0], "power": [1000, -250, 0],
   "reactive": [100, 0, -50], "power_factor": [0.95, 0.9, 0.85, 0.8], "frequency": 49.98},
  {"protocol": "iec61107", "address": "2", "model": "ce303", "ct_ratio": 40, "vt_ratio": 100,
   "serial": "0123456789", "firmware": "v4.2", "ident": "CE303 S31 543-JAVZ",
   "profile": {"period": 60},
   "voltage": [229.87, 230.02, 231.5], "current": [1.234, 2.5, 0], "power": [1000, -250, 0],
   "reactive": [100, 0, -50], "power_factor": [0.95, 0.9, 0.85, 0.8], "frequency": 49.98},
  {"protocol": "iec61107", "address": "3", "model": "ce308", "reactive": [100, 0, -50]},
  {"protocol": "iec61107", "address": "4", "model": "ce102m",
   "serial": "0123456789", "firmware": "v4.2", "ident": "CE102M R5 145-A",
   "voltage": [229.87, 230.02, 231.5], "current": [1.234, 2.5, 0], "power": [1000, -250, 0],
   "power_factor": [0.95, 0.9, 0.85, 0.8], "frequency": 49.98},
  {"protocol": "iec61107", "address": "5", "model": "ce303", "layout": "compact",
   "voltage": [229.87, 230.02, 231.5]},
  {"protocol": "iec61107", "address": "6", "model": "ce303", "layout": "named",
   "voltage": [229.87, 230.02, 231.5]},
  {"protocol": "iec61107", "address": "7", "model": "ce303",
   "energy": {"A+": [100.5, 20.25, 0, 0], "R+": [7.001, 0, 0, 0]}}]})";

TEST(Iec61107Values, ByModelAndLayout) {
  Sim sim(kModels);
  Client c(sim.device());
  struct Case {
    const char* address;
    const char* name;
    std::string body;  // between STX and ETX
  } cases[] = {
      {"2", "VOLTA", "VOLTA(229.87)\r\n(230.02)\r\n(231.50)\r\n"},
      {"2", "CURRE", "CURRE(1.234)\r\n(2.500)\r\n(0.000)\r\n"},
      {"2", "POWEP", "POWEP(0.750)\r\n"},
      {"2", "POWPP", "POWPP(1.000)\r\n(-0.250)\r\n(0.000)\r\n"},
      {"2", "POWEQ", "POWEQ(0.050)\r\n"},
      {"2", "POWPQ", "POWPQ(0.100)\r\n(0.000)\r\n(-0.050)\r\n"},
      {"2", "COS_f", "COS_f(0.950)\r\n(0.900)\r\n(0.850)\r\n(0.800)\r\n"},
      {"2", "FREQU", "FREQU(49.98)\r\n"},
      {"2", "FCCUR", "FCCUR(40)\r\n"},
      {"2", "FCVOL", "FCVOL(100)\r\n"},
      {"2", "TAVER", "TAVER(60)\r\n"},
      {"2", "SNUMB", "SNUMB(0123456789)\r\n"},
      {"2", "ID_FW", "ID_FW(v4.2)\r\n"},
      {"2", "IDENT", "IDENT(CE303 S31 543-JAVZ)\r\n"},
      {"2", "WATCH", kErr},
      {"2", "VINFO", kErr},
      {"2", "LOG01", kErr},
      {"2", "GRF00", kErr},
      {"2", "GRF37", kErr},
      {"2", "VOLT", kErr},
      // CE301: active energy only, transformer ratios, default texts.
      {"1", "POWPP", "POWPP(1.000)\r\n(-0.250)\r\n(0.000)\r\n"},
      {"1", "FCCUR", "FCCUR(40)\r\n"},
      {"1", "IDENT", "IDENT(CE301)\r\n"},
      {"1", "TAVER", "TAVER(30)\r\n"},
      {"1", "ET0QE", kErr},
      {"1", "POWEQ", kErr},
      // CE308: reactive, no transformer ratios.
      {"3", "POWEQ", "POWEQ(0.050)\r\n"},
      {"3", "FCCUR", kErr},
      {"3", "IDENT", "IDENT(CE308)\r\n"},
      // CE102M: one phase (phase A), one power factor, VINFO, no DATE_/TIME_.
      {"4", "VOLTA", "VOLTA(229.87)\r\n"},
      {"4", "CURRE", "CURRE(1.234)\r\n"},
      {"4", "POWEP", "POWEP(1.000)\r\n"},
      {"4", "COS_f", "COS_f(0.900)\r\n"},
      {"4", "FREQU", "FREQU(49.98)\r\n"},
      {"4", "VINFO", "VINFO(0123456789)\r\n(v4.2)\r\n(CE102M R5 145-A)\r\n"},
      {"4", "DATE_", kErr},
      {"4", "POWPP", kErr},
      {"4", "ACCES", kErr},
      {"4", "FCCUR", kErr},
      {"4", "ET0QE", kErr},
      // Layouts.
      {"5", "VOLTA", "VOLTA(229.87)(230.02)(231.50)"},
      {"5", "ACCES", "ACCES()"},
      {"6", "VOLTA", "VOLTA(229.87)\r\nVOLTA(230.02)\r\nVOLTA(231.50)\r\n"},
      {"6", "ACCES", "ACCES()\r\n"},
      // Energy: total, then T1..T5, kWh to the Wh.
      {"7", "ET0PE", lines("ET0PE", {"120.750", "100.500", "20.250", "0.000", "0.000", "0.000"})},
      {"7", "ET0QE", lines("ET0QE", {"7.001", "7.001", "0.000", "0.000", "0.000", "0.000"})},
  };
  std::string current;
  for (const auto& k : cases) {
    if (current != k.address) {
      ASSERT_TRUE(c.program(k.address)) << k.address;
      current = k.address;
    }
    EXPECT_EQ(textOf(dataAnswer(k.body)), textOf(c.read(k.name)))
        << "meter " << k.address << " " << k.name;
  }
}

TEST(Iec61107Values, ClockTexts) {
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1", "model": "ce303", "clock_offset": -5400},
    {"protocol": "iec61107", "address": "2", "model": "ce102m", "clock_offset": 86400}]})");
  Client c(sim.device());
  auto text = [](time_t t, const char* what) {
    std::tm tm = tmOf(t);
    std::string date = two(tm.tm_mday) + "." + two(tm.tm_mon + 1) + "." + two(tm.tm_year % 100);
    std::string clock = two(tm.tm_hour) + ":" + two(tm.tm_min) + ":" + two(tm.tm_sec);
    std::string w = what;
    if (w == "DATE_") return "DATE_(" + two(tm.tm_wday) + "." + date + ")\r\n";
    if (w == "TIME_") return "TIME_(" + clock + ")\r\n";
    return "WATCH(" + date + "," + clock + ")\r\n";
  };
  struct Case {
    const char* address;
    const char* name;
    long offset;
  } cases[] = {{"1", "DATE_", -5400}, {"1", "TIME_", -5400}, {"2", "WATCH", 86400}};
  for (const auto& k : cases) {
    ASSERT_TRUE(c.program(k.address));
    time_t before = time(nullptr) + k.offset;
    std::string got = c.body(k.name);
    time_t after = time(nullptr) + k.offset;
    bool match = false;
    for (time_t t = before; t <= after; ++t) match = match || got == text(t, k.name);
    EXPECT_TRUE(match) << got << " expected about " << text(before, k.name);
  }
}

TEST(Iec61107Archives, DailyAndMonthly) {
  UtcZone utc;
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1", "model": "ce303", "installed": "day-3",
     "archive": {"days": 10},
     "history": [{"at": "day-3", "A+": [100, 2, 0, 0], "R+": [10, 0, 0, 0]},
                 {"at": "day-2", "A+": [110, 2, 0, 0], "R+": [11, 0, 0, 0]},
                 {"at": "day-1", "A+": [125.5, 2, 0, 0], "R+": [12.5, 0, 0, 0]}],
     "energy_at": "day-0", "energy": {"A+": [140, 2, 0, 0], "R+": [13, 0, 0, 0]}},
    {"protocol": "iec61107", "address": "2", "model": "ce303", "archive": {"days": 2, "months": 2},
     "energy": {"A+": 5}},
    {"protocol": "iec61107", "address": "3", "model": "ce102m", "installed": "month-2",
     "history": [{"at": "month-2", "A+": 1000}, {"at": "month-1", "A+": 1300}],
     "energy_at": "month-0", "energy": {"A+": 1450}}]})");
  Client c(sim.device());
  auto tariffs = [](const char* total, const char* t1, const char* t2) {
    return std::vector<std::string>{total, t1, t2, "0.000", "0.000", "0.000"};
  };
  struct Case {
    const char* address;
    std::string name, args, body;
  } cases[] = {
      {"1", "DATED", "", lines("DATED", {day(0), day(1), day(2), day(3)})},
      {"1", "ENDPE", day(2), lines("ENDPE", tariffs("112.000", "110.000", "2.000"))},
      {"1", "ENDPE", day(0), lines("ENDPE", tariffs("142.000", "140.000", "2.000"))},
      {"1", "ENDQE", day(2), lines("ENDQE", tariffs("11.000", "11.000", "0.000"))},
      {"1", "EADPE", day(2), lines("EADPE", tariffs("15.500", "15.500", "0.000"))},
      {"1", "EADQE", day(1), lines("EADQE", tariffs("0.500", "0.500", "0.000"))},
      {"1", "EADPE", day(0), lines("EADPE", {})},  // the day is not over
      {"1", "ENDPE", day(4), lines("ENDPE", {})},  // before the installation
      {"1", "ENDPE", "", kErr},
      {"1", "ENDPE", "31.02.25", kErr},
      {"1", "ENDPE", "1.2.25", kErr},
      {"2", "DATED", "", lines("DATED", {day(0), day(1)})},
      {"2", "ENDPE", day(2), lines("ENDPE", {})},  // beyond the depth
      {"2", "DATEM", "", lines("DATEM", {month(0), month(1)})},
      {"3", "DATEM", "", lines("DATEM", {month(0), month(1), month(2)})},
      {"3", "ENMPE", month(1), lines("ENMPE", tariffs("1300.000", "1300.000", "0.000"))},
      {"3", "EAMPE", month(2), lines("EAMPE", tariffs("300.000", "300.000", "0.000"))},
      {"3", "EAMPE", month(1), lines("EAMPE", tariffs("150.000", "150.000", "0.000"))},
      {"3", "EAMPE", month(0), lines("EAMPE", {})},
      {"3", "ENMPE", month(3), lines("ENMPE", {})},
      {"3", "ENMPE", "13.25", kErr},
      {"3", "ENMQE", month(1), kErr},  // no reactive on a CE102M
  };
  std::string current;
  for (const auto& k : cases) {
    if (current != k.address) {
      ASSERT_TRUE(c.program(k.address)) << k.address;
      current = k.address;
    }
    EXPECT_EQ(textOf(dataAnswer(k.body)), textOf(c.read(k.name, k.args)))
        << "meter " << k.address << " " << k.name << "(" << k.args << ")";
  }
}

TEST(Iec61107Archives, LoadProfile) {
  UtcZone utc;
  // 24 kWh and 12 kvarh over yesterday: 1 kW and 0.5 kvar in every interval;
  // today 500 W and 250 var. Installed yesterday at 06:00.
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "30", "model": "ce303", "installed": "day-1 06:00",
     "profile": {"period": 30, "days": 3}, "power": [500, 0, 0], "reactive": [250, 0, 0],
     "history": [{"at": "day-1", "A+": 100, "R+": 10}],
     "energy_at": "day-0", "energy": {"A+": 124, "R+": 22}},
    {"protocol": "iec61107", "address": "60", "model": "ce301", "installed": "day-1 06:00",
     "profile": {"period": 60},
     "history": [{"at": "day-1", "A+": 100}], "energy_at": "day-0", "energy": {"A+": 124}}]})");
  Client c(sim.device());
  ASSERT_TRUE(c.program("30"));
  time_t before = time(nullptr);
  std::string dates = c.body("DATGR");
  std::string today_p = c.body("GRAPE", day(0));
  time_t after = time(nullptr);
  bool started = before - midnight(0) >= 1800;  // the first half hour of today is over
  if (started == (after - midnight(0) >= 1800)) {
    EXPECT_EQ(started ? lines("DATGR", {day(0), day(1)}) : lines("DATGR", {day(1)}), dates);
  }
  // Today: only completed half hours, at today's power.
  bool match = false;
  for (time_t t = before; t <= after; ++t) {
    size_t n = static_cast<size_t>((t - midnight(0)) / 1800);
    match = match || today_p == (n ? lines("GRAPE", repeat(n, "0.500")) : lines("GRAPE", {}));
  }
  EXPECT_TRUE(match) << today_p;

  EXPECT_EQ(lines("GRAPE", repeat(12, "") + repeat(36, "1.000")), c.body("GRAPE", day(1)));
  EXPECT_EQ(lines("GRAQE", repeat(12, "") + repeat(36, "0.500")), c.body("GRAQE", day(1)));
  EXPECT_EQ(lines("GRAPE", {}), c.body("GRAPE", day(2))) << "wholly before the installation";
  EXPECT_EQ(kErr, c.body("GRAPE", "xx.yy.zz"));
  EXPECT_EQ(lines("TAVER", {"30"}), c.body("TAVER"));

  ASSERT_TRUE(c.program("60"));
  EXPECT_EQ(lines("GRAPE", repeat(6, "") + repeat(18, "1.000")), c.body("GRAPE", day(1)));
  EXPECT_EQ(kErr, c.body("GRAQE", day(1))) << "a CE301 keeps no reactive profile";
}

TEST(Iec61107Journals, NewestFirstOngoingAndFuture) {
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1", "model": "ce303", "journals": {
      "PHASE": [{"start": "day-2 10:00:00", "end": "day-2 10:05:30"},
                {"start": "day-1 23:30:00"},
                {"start": "day-1 08:00:00", "end": "day-1 08:00:45"},
                {"start": "day-1 23:00:00", "end": "now+2h"},
                {"start": "now+1d"}],
      "ACCES": ["day-1 09:30:15", "day-3 12:00:00", "now+1h"],
      "JSTAT": []}},
    {"protocol": "iec61107", "address": "2", "model": "ce102m", "journals": {
      "LOG01": [{"start": "day-1 01:00:00", "end": "day-1 02:00:00"}],
      "LOG02": ["day-2 13:14:15"]}}]})");
  Client c(sim.device());
  ASSERT_TRUE(c.program("1"));
  EXPECT_EQ(lines("PHASE", {day(1) + ",23:30:00", day(1) + ",23:00:00",
                            day(1) + ",08:00:00," + day(1) + ",08:00:45",
                            day(2) + ",10:00:00," + day(2) + ",10:05:30"}),
            c.body("PHASE"));
  EXPECT_EQ(lines("ACCES", {day(1) + ",09:30:15", day(3) + ",12:00:00"}), c.body("ACCES"));
  EXPECT_EQ(lines("JSTAT", {}), c.body("JSTAT"));
  EXPECT_EQ(lines("JIOVE", {}), c.body("JIOVE"));
  EXPECT_EQ(kErr, c.body("LOG01"));
  ASSERT_TRUE(c.program("2"));
  EXPECT_EQ(lines("LOG01", {day(1) + ",01:00:00," + day(1) + ",02:00:00"}), c.body("LOG01"));
  EXPECT_EQ(lines("LOG02", {day(2) + ",13:14:15"}), c.body("LOG02"));
  EXPECT_EQ(kErr, c.body("PHASE"));
}

TEST(Iec61107Values, SchedulesSeasonsSpecialDays) {
  Sim sim(R"({"meters": [{"protocol": "iec61107",
    "schedules": {"1": [["23:00", 2], ["07:00", 1]], "36": [["00:00", 8]]},
    "seasons": [{"from": "04-01", "schedules": [1, 1, 2, 2]},
                {"from": "10-01", "schedules": [1, 36, 0, 0]}],
    "special_days": [["01-01", 2], ["05-09", 36]]}]})");
  Client c(sim.device());
  ASSERT_TRUE(c.program(""));
  EXPECT_EQ(lines("GRF01", {"07:00,1", "23:00,2"}), c.body("GRF01")) << "switches in time order";
  EXPECT_EQ(lines("GRF36", {"00:00,8"}), c.body("GRF36"));
  EXPECT_EQ(lines("GRF02", {}), c.body("GRF02"));
  EXPECT_EQ(lines("SESON", {"01.04,1,1,2,2", "01.10,1,36,0,0"}), c.body("SESON"));
  EXPECT_EQ(lines("EXDAY", {"01.01,2", "09.05,36"}), c.body("EXDAY"));
}

TEST(Iec61107Config, BadDescriptions) {
  struct Case {
    const char* meter;  // keys after "protocol"
    const char* message;
  } cases[] = {
      {R"("model": "ce305")", "unknown \"ce305\""},
      {R"("journals": {"LOG01": []})", "\"LOG01\" is not a journal of the CE301"},
      {R"("journals": {"ACCES": [{"start": "day-1"}]})", "a point journal takes times"},
      {R"("journals": {"PHASE": [{"start": "day-1", "end": "day-2"}]})", "before \"start\""},
      {R"("identification": "CE301v12-too-long")", "\"identification\""},
      {R"("schedules": {"1": [["07:00", 9]]})", "tariff 1..8"},
      {R"("schedules": {"37": []})", "bad schedule number \"37\""},
      {R"("seasons": [{"from": "02-30", "schedules": [1, 1, 1, 1]}])", "bad day \"02-30\""},
      {R"("seasons": [{"from": "01-01", "schedules": [1, 1, 1]}])", "four schedule numbers"},
      {R"("special_days": [["01-01", 0]])", "schedule numbers 1..36"},
      {R"("layout": "wide")", "\"layout\""},
      {R"("profile": {"period": 45})", "30 or 60 minutes"},
      {R"("speed": 14400)", "\"speed\": 300, 600"},
      {R"("manufacturer": "EK")", "three letters"},
      {R"x("serial": "12(3)")x", "\"serial\""},
      {R"("address": "1/2")", "\"address\""},
      {R"("adress": "1")", "unknown key \"adress\""},
  };
  for (const auto& k : cases) {
    mtr_test::TempDir dir;
    mtr_test::writeFile(dir / "m.json",
                        std::string(R"({"meters": [{"protocol": "iec61107", )") + k.meter + "}]}");
    auto r = mtr_test::runProcess({mtr_test::binPath("mtr-metersim"), dir / "m.json"}, 5000);
    EXPECT_EQ(1, r.status) << k.meter;
    EXPECT_NE(std::string::npos, r.err.find(k.message)) << k.meter << ": " << r.err;
  }
  // Several meters on one line each need an address of their own.
  for (const char* json : {R"({"meters": [{"protocol": "iec61107", "address": "5"},
                                          {"protocol": "iec61107", "address": "5"}]})",
                           R"({"meters": [{"protocol": "iec61107", "address": "5"},
                                          {"protocol": "iec61107"}]})"}) {
    mtr_test::TempDir dir;
    mtr_test::writeFile(dir / "m.json", json);
    auto r = mtr_test::runProcess({mtr_test::binPath("mtr-metersim"), dir / "m.json"}, 5000);
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("\"address\"")) << r.err;
  }
}

TEST(Iec61107Config, ExampleDescriptionsLoad) {
  for (const char* file : {"metersim-ce30x.json", "metersim-ce30x-more.json"}) {
    std::string example = mtr_test::readFile(std::string(MTR_SOURCE_DIR) + "/examples/" + file);
    ASSERT_FALSE(example.empty()) << file;
    Sim sim(example);
    Client c(sim.device());
    Json::Value root;
    Json::Reader().parse(example, root);
    for (const auto& m : root["meters"]) {
      ASSERT_TRUE(c.program(m.get("address", "").asString())) << file;
      EXPECT_EQ(0u, c.body("ET0PE").find("ET0PE(")) << file;
      EXPECT_EQ(0u, c.body("DATED").find("DATED(")) << file;
    }
  }
}

}  // namespace
