// The daemon's item and archive files for simulated CE30x meters.
#include <gtest/gtest.h>

#include <map>

#include "app/fault_support.h"

namespace {

time_t midnightUtc(int days_back) {
  return (time(nullptr) / 86400 - days_back) * 86400;
}

// Meter 201 on a simulated line, read by the daemon, frames logged.
struct Line {
  mtr_test::ScopedEnv utc{"TZ", "UTC0"};  // whole days alike for simulator, daemon and test
  mtr_test::FaultLine line;
  explicit Line(const std::string& meter)
      : line(R"({"meters": [{"protocol": "iec61107", "address": "4711", "serial": "009217004711",
                "archive": {"days": 4, "months": 2}, )" +
                 meter + "}]}",
             R"({"201": {"manufacturer": "ce301", "net_address": "4711",
      "serial": "009217004711", "srv_tz": "0", "pu_tz": "0", "period_current": "700",
      "port_params": {"name": "@TTY@", "speed": "9600", "data": "8", "parity": "N", "stop": "1"}}})") {
  }
  // True once a whole session, archives included, is over.
  bool start() { return line.start({"201"}) && line.waitFullSession("201", 120000); }
  std::string item(const std::string& name, int sys = 1) const {
    std::string s = line.item("201", name, sys);
    return s.substr(0, s.find_last_not_of("\r\n ") + 1);
  }
  // Good records of an archive file by stamp.
  std::map<time_t, double> archive(const std::string& name) const {
    std::map<time_t, double> out;
    for (const auto& a : mtr_test::readArchive(line.archiveDir("201") + "/" + name))
      if (a.quality == 192) out[a.timestamp] = atof(a.value.c_str());
    return out;
  }
  int count(const std::string& needle) const {
    return mtr_test::countLinesContaining(line.log(), needle);
  }
};

// A CE301 with an unreadable schedule answer and a journal padded with a zero record.
TEST(Iec61107Daemon, ReadsItemsArchivesAndJournals) {
  Line line(R"("model": "ce301", "ident": "CE301 R33 145-JAZ", "installed": "day-3",
    "voltage": [229.87, 231.02, 230.44], "current": [5.214, 4.108, 3.556],
    "profile": {"period": 60, "days": 2}, "schedules": {"1": [["07:00", 1], ["23:00", 2]]},
    "variants": {"unreadable": "GRF01", "zero_record": ["JSTAT", "PHASE"]},
    "history": [{"at": "day-3", "A+": [100, 2, 0, 0]}, {"at": "day-2", "A+": [110, 2, 0, 0]},
                {"at": "day-1", "A+": [125.5, 2, 0, 0]}],
    "energy_at": "day-0", "energy": {"A+": [140, 2, 0, 0]},
    "journals": {"PHASE": [{"start": "day-1 08:00:00", "end": "day-1 08:00:45"}],
                 "ACCES": ["day-2 13:14:15"]})");
  ASSERT_TRUE(line.start()) << "no full session:\n" << line.line.log().substr(0, 4000);
  const char* names[] = {"VA", "IC", "SerialNumber", "Tsr", "MeterModel"};
  const char* values[] = {"229.87", "3.556", "009217004711", "60", "CE301 R33 145-JAZ"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(values[i], line.item(names[i])) << names[i];
  EXPECT_DOUBLE_EQ(142.0, atof(line.item("WA").c_str()));
  EXPECT_DOUBLE_EQ(140.0, atof(line.item("WA", 2).c_str()));
  EXPECT_LT(std::labs(atol(line.item("MDateTime").c_str()) - long(time(nullptr))), 300);

  // Registers at the start of each day, filed at the end of that day; the
  // consumption of each whole day, stamped with its end. Yesterday's
  // consumption waits for the next day's window.
  auto starts = line.archive("A210"), used = line.archive("A212");
  EXPECT_DOUBLE_EQ(102.0, starts[midnightUtc(2)]);
  EXPECT_DOUBLE_EQ(127.5, starts[midnightUtc(0)]);
  EXPECT_DOUBLE_EQ(10.0, used[midnightUtc(2)]);
  EXPECT_DOUBLE_EQ(15.5, used[midnightUtc(1)]);
  // Yesterday's hours: 14.5 kWh over 24 h.
  EXPECT_NEAR(14.5 / 24, line.archive("A240")[midnightUtc(1) + 5 * 3600], 0.002);
  // The journal events at their own times; the zero records are none.
  auto events = line.archive("A242");
  for (time_t t : {midnightUtc(1) + 8 * 3600, midnightUtc(1) + 8 * 3600 + 45,
                   midnightUtc(2) + 13 * 3600 + 14 * 60 + 15})
    EXPECT_TRUE(events.count(t)) << t;
  EXPECT_EQ(events.size(), 3u);

  // The schedule no reader takes costs that value alone.
  EXPECT_EQ(line.count("EXCEPTION!!!"), 0);
  EXPECT_EQ(line.count("Bad value (0x7:00,1)(23:00,2) in answer to GRF01"), 1);
  EXPECT_EQ(line.count("Bad value"), 1);
  EXPECT_EQ(0, line.line.stopDaemon());
}

// A 30-minute profile read at 09:10 of the meter's day: each half hour i of
// it takes i + 1 kWh, so half hour i averages 2 (i + 1) kW and hour h the
// mean of its two halves, 4 h + 3 kW.
TEST(Iec61107Daemon, HalfHourProfileOfTheDayInProgress) {
  const long offset = long(midnightUtc(0) + 9 * 3600 + 600) - long(time(nullptr));
  std::string history = R"({"at": "day-1", "A+": 100})";
  double energy = 100;
  for (int i = 0; i <= 18; ++i) {
    char point[96];
    snprintf(point, sizeof point, R"(, {"at": "day-0 %02d:%02d", "A+": %g})", i / 2, i % 2 * 30,
             energy);
    history += point;
    energy += i + 1;
  }
  Line line(R"("model": "ce303", "installed": "day-1", "clock_offset": )" + std::to_string(offset) +
            R"(, "profile": {"period": 30, "days": 2}, "history": [)" + history +
            R"(], "energy_at": "day-0 09:05", "energy": {"A+": 271})");
  ASSERT_TRUE(line.start()) << "no full session:\n" << line.line.log().substr(0, 4000);
  EXPECT_EQ("30", line.item("Tsr"));
  auto hours = line.archive("A240");
  for (int h = 0; h <= 8; ++h)
    EXPECT_DOUBLE_EQ(4 * h + 3, hours[midnightUtc(0) + h * 3600]) << "hour " << h;
  EXPECT_EQ(0u, hours.count(midnightUtc(0) + 9 * 3600));  // not over at 09:10
  EXPECT_EQ(0, line.line.stopDaemon());
}

}  // namespace
