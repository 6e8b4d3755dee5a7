// A simulated CE2727A (01 at byte 10, oldest daily answer unreadable) read into files.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/fault_support.h"

namespace {

// Local midnight of day `d` of month `mo` (either may run over).
time_t localDay(int y, int mo, int d) {
  std::tm tm{};
  tm.tm_year = y - 1900, tm.tm_mon = mo - 1, tm.tm_mday = d, tm.tm_isdst = -1;
  return mktime(&tm);
}

TEST(CE2727Daemon, ReadsEveryKindIntoFiles) {
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  const int year = tm.tm_year + 1900;
  // A+ grows 1 Wh a second in tariff 2 from t0: at time t the sum is
  // 10000 + (t - t0) Wh and tariff 2 holds 2000 + (t - t0).
  time_t t0 = localDay(year - 2, 1, 1);
  mtr_test::FaultLine sim(
      R"({"meters": [{"protocol": "ce2727", "address": 55001, "password": "1A2B",
    "serial": 77001, "tariff": 2, "power": [1200, 1200, 1200],
    "energy": {"A+": [1, 2, 3, 4]}, "energy_at": )" +
          std::to_string(t0) + R"(, "depth": {"days": 3, "months": 13, "profile_days": 2},
    "profile_status": ["day-1 10:10"], "layout": "table", "bad_answers": ["day-3"]}]})",
      R"({"7001": {"manufacturer": "ce2727a", "net_address": "55001",
    "password": "1A2B", "password_type": "hex", "serial": "77001", "period_current": "700",
    "srv_tz": "3", "pu_tz": "3", "port_params": {"name": "@TTY@", "speed": "9600"}}})");
  ASSERT_TRUE(sim.start({"7001"}));

  std::string items = sim.root() + "/tmp/7001/1/tc_items/";
  std::string arch = sim.root() + "/mnt/storage/7001/";
  time_t today = localDay(year, tm.tm_mon + 1, tm.tm_mday);
  time_t yesterday = localDay(year, tm.tm_mon + 1, tm.tm_mday - 1);
  time_t this_month = localDay(year, tm.tm_mon + 1, 1), this_year = localDay(year, 1, 1);
  auto line = [](time_t t, long long wh) {
    char buf[64];
    snprintf(buf, sizeof buf, "%ld,192,%lld.%03lld\n", long(t), wh / 1000, wh % 1000);
    return std::string(buf);
  };
  std::pair<std::string, std::string> expects[] = {
      // A day's closing counters are stamped with the following midnight and
      // the daily file moves that on by one more day.
      {arch + "1/tc_archives/A210", line(today, 10000 + (yesterday - t0))},
      {arch + "3/tc_archives/A210", line(today, 2000 + (yesterday - t0))},
      {arch + "5/tc_archives/A210", line(today, 4000)},
      // Last month's counters at the first of this month; last year's on 1 January.
      {arch + "1/tc_archives/A220", line(this_month, 10000 + (this_month - t0))},
      {arch + "1/tc_archives/A230", line(this_year, 10000 + (this_year - t0))},
      // Half-hour profile: 3600 W in kW.
      {arch + "1/tc_archives/A240", line(yesterday + 9 * 3600 + 1800, 3600)},
      {arch + "1/tc_archives/A240", line(yesterday + 23 * 3600 + 1800, 3600)},
      {items + "SerialNumber", "77001"},
      {items + "PA", "3.600"},
  };
  auto has = [](const std::pair<std::string, std::string>& e) {
    return mtr_test::readFile(e.first).find(e.second) != std::string::npos;
  };
  auto stamped = [&] {
    for (const char* kind : {"daily", "monthly", "yearly", "hourly"})
      if (sim.timestampFile("7001", kind).empty()) return false;
    return true;
  };
  bool all = mtr_test::waitFor(
      [&] { return std::all_of(std::begin(expects), std::end(expects), has) && stamped(); }, 90000,
      200);
  EXPECT_TRUE(stamped());
  for (const auto& e : expects)
    EXPECT_TRUE(has(e)) << e.first << " lacks " << e.second << mtr_test::readFile(e.first);
  ASSERT_TRUE(all) << sim.log().substr(0, 4000);

  // The unreadable day costs its own record only, and one warning.
  std::string daily = mtr_test::readFile(arch + "1/tc_archives/A210");
  EXPECT_EQ(std::string::npos, daily.find(std::to_string(yesterday) + ",")) << daily;
  std::string log = sim.log();
  EXPECT_EQ(1, mtr_test::countLinesContaining(
                   log, "Warning: [7001][77001] CmtrCE2727::parseResponse('Daily'): VALUE 'Date'"));
  // The slot marked invalid is not delivered; every delivered slot is whole.
  std::string profile = mtr_test::readFile(arch + "1/tc_archives/A240");
  EXPECT_EQ(std::string::npos, profile.find(std::to_string(yesterday + 10 * 3600) + ","));
  for (const auto& l : mtr_test::splitLines(profile))
    EXPECT_TRUE(l.empty() || l.substr(l.find(',')) == ",192,3.600") << l;
  // The current energy item lies between the registers before and after the run.
  double wa = atof(mtr_test::readFile(items + "WA").c_str()) * 1000;
  EXPECT_TRUE(wa >= 10000.0 + (now - t0) - 1 && wa <= 10000.0 + (time(nullptr) - t0) + 1) << wa;
  EXPECT_EQ(0, mtr_test::countLinesContaining(log, "EXCEPTION"));
}

}  // namespace
