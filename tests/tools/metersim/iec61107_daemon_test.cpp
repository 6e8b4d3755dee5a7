// The real mtr_main reads a simulated CE301 through the configuration-server
// stand-in; the item and archive files it leaves must hold the meter's values.
#include <gtest/gtest.h>
#include <signal.h>

#include <map>

#include "sim_harness.h"

namespace {

time_t midnightUtc(int days_back) {
  return (time(nullptr) / 86400 - days_back) * 86400;
}

// "stamp,quality,value" lines of an archive file by stamp.
std::map<time_t, double> archive(const std::string& path) {
  std::map<time_t, double> out;
  long long stamp;
  int quality;
  double value;
  for (const auto& line : mtr_test::splitLines(mtr_test::readFile(path)))
    if (sscanf(line.c_str(), "%lld,%d,%lf", &stamp, &quality, &value) == 3 && quality == 192)
      out[static_cast<time_t>(stamp)] = value;
  return out;
}

std::string item(const std::string& path) {
  std::string s = mtr_test::readFile(path);
  return s.substr(0, s.find_last_not_of("\r\n ") + 1);
}

TEST(Iec61107Daemon, ReadsItemsArchivesAndJournals) {
  // Whole days in UTC for the simulator, the daemon and this test alike.
  struct ZoneBack {
    ~ZoneBack() { tzset(); }
  } zone_back;
  mtr_test::ScopedEnv tz("TZ", "UTC0");
  tzset();
  simtest::Sim sim(R"({"meters": [{"protocol": "iec61107", "model": "ce301", "address": "4711",
    "serial": "009217004711", "ident": "CE301 R33 145-JAZ", "installed": "day-3",
    "voltage": [229.87, 231.02, 230.44], "current": [5.214, 4.108, 3.556],
    "archive": {"days": 4, "months": 2}, "profile": {"period": 60, "days": 2},
    "history": [{"at": "day-3", "A+": [100, 2, 0, 0]}, {"at": "day-2", "A+": [110, 2, 0, 0]},
                {"at": "day-1", "A+": [125.5, 2, 0, 0]}],
    "energy_at": "day-0", "energy": {"A+": [140, 2, 0, 0]},
    "journals": {"PHASE": [{"start": "day-1 08:00:00", "end": "day-1 08:00:45"}],
                 "ACCES": ["day-2 13:14:15"]}}]})");
  mtr_test::ConfServer server(R"({"201": {"manufacturer": "ce301", "net_address": "4711",
      "serial": "009217004711", "srv_tz": "0", "pu_tz": "0", "period_current": "700",
      "port_params": {"name": ")" +
                              sim.device() +
                              R"(", "speed": "9600", "data": "8", "parity": "N", "stop": "1"}}})");
  ASSERT_TRUE(server.ok());
  mtr_test::TempDir root;
  mtr_test::Child daemon(
      {mtr_test::binPath("mtr_main"), "-v", "7", "-l", root / "mtr.log", "-i", "201"},
      root / "daemon.out", root / "daemon.err",
      {"MTR_ROOT=" + root.path(), "MTR_CONFIG_URL=" + server.url(), "TZ=UTC0"});

  std::string items = root / "tmp/201/1/tc_items/";
  std::string arch = root / "mnt/storage/201/1/tc_archives/";
  EXPECT_TRUE(mtr_test::waitFor(
      [&] {
        return !mtr_test::readFile(root / "mnt/storage/201/timestamp_max_hourly").empty() &&
               item(items + "_Read_status") == "wait";
      },
      120000, 200))
      << "no full session; see " << root / "mtr.log";

  std::map<std::string, std::string> expect = {{"VA", "229.87"},
                                               {"IC", "3.556"},
                                               {"SerialNumber", "009217004711"},
                                               {"Tsr", "60"},
                                               {"MeterModel", "CE301 R33 145-JAZ"}};
  for (const auto& e : expect) EXPECT_EQ(e.second, item(items + e.first)) << e.first;
  EXPECT_DOUBLE_EQ(142.0, atof(item(items + "WA").c_str()));
  EXPECT_DOUBLE_EQ(140.0, atof(item(root / "tmp/201/2/tc_items/WA").c_str()));
  EXPECT_LT(std::labs(atol(item(items + "MDateTime").c_str()) - long(time(nullptr))), 300);

  // Registers at the start of each day, filed at the end of that day; the
  // consumption of each whole day, stamped with its end. Yesterday's
  // consumption waits for the next day's window.
  auto starts = archive(arch + "A210"), used = archive(arch + "A212");
  EXPECT_DOUBLE_EQ(102.0, starts[midnightUtc(2)]);
  EXPECT_DOUBLE_EQ(127.5, starts[midnightUtc(0)]);
  EXPECT_DOUBLE_EQ(10.0, used[midnightUtc(2)]);
  EXPECT_DOUBLE_EQ(15.5, used[midnightUtc(1)]);
  // Yesterday's hours: 14.5 kWh over 24 h.
  EXPECT_NEAR(14.5 / 24, archive(arch + "A240")[midnightUtc(1) + 5 * 3600], 0.002);
  // The journal events at their own times.
  auto events = archive(arch + "A242");
  for (time_t t : {midnightUtc(1) + 8 * 3600, midnightUtc(1) + 8 * 3600 + 45,
                   midnightUtc(2) + 13 * 3600 + 14 * 60 + 15})
    EXPECT_TRUE(events.count(t)) << t;

  daemon.kill(SIGTERM);
  mtr_test::writeFile(root / "tmp/kzp_force_update_201", "");
  mtr_test::ProcessResult r;
  EXPECT_TRUE(daemon.wait(30000, &r));
  EXPECT_EQ(0, r.status);
}

}  // namespace
