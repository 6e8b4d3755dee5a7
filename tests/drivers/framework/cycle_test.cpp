#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <memory>

#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "drivers/framework/base_driver.h"
#include "scripted_driver.h"
#include "storage/file_connector.h"
#include "support/test_support.h"

namespace {

using mtr_test::readFile;
using mtr_test::waitFor;

// 2024-03-10 12:30:00 UTC
const time_t kStart = 1710073800;
const time_t kMidnight = 1710028800;  // 2024-03-10 00:00:00 UTC

MeasuredValue value(uint32_t kind, uint32_t code, const std::string& text, int32_t ts = 0) {
  MeasuredValue v;
  v.kind = kind;
  v.param_code = code;
  v.value = text;
  v.opc_quality = 192;
  v.timestamp = ts;
  return v;
}

class Cycle : public ::testing::Test {
 protected:
  void SetUp() override {
    tzset();
    delete logger::instance();
    log_path_ = root_ / "daemon.log";
    logger::getInstance(log_path_.c_str(), false)->setLevel(TL_DEBUG);
    mtr::makeDirs(root_ / "tmp");  // marker files live there
  }
  void TearDown() override {
    d_.reset();
    delete logger::instance();
    tzset();
  }

  void make(const SettingsMap& params, const std::string& model = "scripted") {
    d_ = std::make_unique<ScriptedDriver>(model);
    d_->setClock(&clock_);
    d_->setJSONRPCConnector(&rpc_);
    d_->save_init_params(params);
  }
  void start() { d_->Start(d_.get(), d_->threadName()); }
  // Hands the driver the turn and waits until it gives it back.
  bool turn() {
    d_->setTurn();
    return waitFor([&] { return !d_->hasTurn(); }, 10000, 1);
  }
  std::string item(const std::string& name) {
    return readFile(root_ / ("tmp/77/1/tc_items/" + name));
  }
  std::string log() { return readFile(log_path_); }
  std::string rooted(const std::string& p) { return mtr::rootedPath(p); }

  mtr_test::TempDir root_;
  mtr_test::ScopedEnv env_{"MTR_ROOT", root_.path().c_str()};
  mtr_test::ScopedEnv tz_{"TZ", "UTC"};
  mtr_test::FakeClock clock_{kStart};
  CJSONRPCConnector rpc_{"77", 0};
  std::string log_path_;
  std::unique_ptr<ScriptedDriver> d_;
};

using Calls = std::vector<std::string>;

TEST_F(Cycle, SessionOrderAndSystemValuesOnce) {
  make({{"period_current", "1"}});
  d_->system_values = {value(System, 74, "123456")};
  d_->current_values = {value(Current, 39, "230.1"), value(Current, 49, "50.0")};
  start();
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init", "system", "current"}), d_->takeCalls());
  EXPECT_EQ("123456\n", item("SerialNumber"));
  EXPECT_EQ("230.1\n", item("VA"));
  EXPECT_EQ("50.0\n", item("FREQ"));
  EXPECT_EQ("1\n", item("Connected"));
  EXPECT_EQ("wait", readFile(d_->fileConnector()->ItemDir(0) + "_Read_status"));
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"current"}), d_->takeCalls());
}

TEST_F(Cycle, ExceptionPausesHoldingTheTurnAndReconnectsNextTurn) {
  make({{"period_current", "1"}});
  d_->fail_current = 1;
  time_t failed_at = 0;
  d_->on_call = [&](const std::string& c) {
    if (c == "current" && !failed_at) failed_at = clock_.now();
  };
  start();
  ASSERT_TRUE(turn());
  EXPECT_GE(clock_.now() - failed_at, 180);
  EXPECT_EQ((Calls{"init", "system", "current"}), d_->takeCalls());
  EXPECT_EQ("0\n", item("Connected"));
  EXPECT_EQ(1, mtr_test::countLinesContaining(
                   log(), "functionThread(myThreadAttached*) - EXCEPTION!!! disconnecting"));
  // System values were read before the failure: not again in this thread.
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init", "current"}), d_->takeCalls());
  EXPECT_EQ("1\n", item("Connected"));
}

TEST_F(Cycle, FailingSystemValuesRetriedEveryTurnWithoutCurrentValues) {
  make({{"period_current", "1"}});
  d_->fail_system = 2;
  start();
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init", "system"}), d_->takeCalls());
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init", "system"}), d_->takeCalls());
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init", "system", "current"}), d_->takeCalls());
}

TEST_F(Cycle, EmptySystemListIsLoggedAndNotStored) {
  make({{"period_current", "1"}});
  start();
  ASSERT_TRUE(turn());
  EXPECT_EQ(1, mtr_test::countLinesContaining(
                   log(), "CMtrHeatBaseDriver::functionThread system info is absent."));
}

TEST_F(Cycle, FirstArchivePassNoEarlierThan600Seconds) {
  make({});  // no period_current: 30 s between sessions, archives after 600 s
  d_->ts.curr_time = kStart;
  start();
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init", "system", "current"}), d_->takeCalls());
  clock_.advance(500 * 1000);
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"current"}), d_->takeCalls());
  clock_.advance(100 * 1000);
  ASSERT_TRUE(turn());
  Calls calls = d_->takeCalls();
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ("current", calls[0]);
  // daily, monthly, yearly and hourly passes each ask for the timestamps
  EXPECT_EQ(4, std::count(calls.begin(), calls.end(), "GetTimestamps"));
  EXPECT_NE(std::find(calls.begin(), calls.end(), "arch6"), calls.end());
  EXPECT_NE(std::find(calls.begin(), calls.end(), "arch8"), calls.end());
  EXPECT_EQ(1,
            mtr_test::countLinesContaining(
                log(), "CMtrHeatBaseDriver::GetPsdParams() 'period_current' default value = 30"));
}

class Windows : public Cycle {
 protected:
  void prepare(const std::string& model = "scripted") {
    make({}, model);
    d_->InitFileConnector();
    d_->GetPsdParams();
    d_->ts.curr_time = kStart;
  }
};

TEST_F(Windows, HourlyFromDepthLimitInTenHourWindows) {
  prepare();
  const time_t cur_hour = kStart - 1800, max_hour = cur_hour - 3600;
  time_t next = d_->ReadHourlyArch();
  auto calls = d_->archCalls();
  ASSERT_EQ(217u, calls.size());
  EXPECT_EQ(6u, calls[0].kind);
  EXPECT_EQ(cur_hour - 7779600, calls[0].from);
  EXPECT_EQ(cur_hour - 7779600 + 32400, calls[0].till);
  EXPECT_EQ(cur_hour - 7779600 + 36000, calls[1].from);
  EXPECT_EQ(cur_hour - 39600, calls[215].from);
  EXPECT_EQ(cur_hour - 7200, calls[215].till);
  EXPECT_EQ(max_hour, calls[216].from);
  EXPECT_EQ(max_hour, calls[216].till);
  EXPECT_EQ(kStart + 3600 - 1800 + 60, next);
}

TEST_F(Windows, HourlyStartsAfterNewestStoredHour) {
  prepare();
  const time_t max_hour = kStart - 1800 - 3600;
  d_->fileConnector()->WriteTimestamp(Hourly, max_hour - 3 * 3600);
  d_->ReadHourlyArch();
  auto calls = d_->archCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(max_hour - 2 * 3600, calls[0].from);
  EXPECT_EQ(max_hour, calls[0].till);
}

TEST_F(Windows, NothingToReadWhenNewestStoredHourIsMaxHour) {
  prepare();
  d_->fileConnector()->WriteTimestamp(Hourly, kStart - 1800 - 3600);
  d_->ReadHourlyArch();
  EXPECT_TRUE(d_->archCalls().empty());
  EXPECT_EQ((Calls{"GetTimestamps"}), d_->takeCalls());
}

TEST_F(Windows, HourlyRecordsAreStoredWithTheirNewestTimestamp) {
  prepare();
  d_->fileConnector()->WriteTimestamp(Hourly, kStart - 1800 - 6 * 3600);
  d_->arch_source = [](uint32_t kind, time_t from, time_t till) {
    MeasuredValueList l;
    for (time_t t = till; t >= from; t -= 3600) l.push_back(value(kind, 50, "1.5", t));
    return l;  // newest first: the pass sorts
  };
  d_->ReadHourlyArch();
  std::string file = readFile(root_ / "mnt/storage/77/1/tc_archives/A202");
  auto lines = mtr_test::splitLines(file);
  ASSERT_EQ(5u, lines.size());
  EXPECT_EQ(std::to_string(kStart - 1800 - 5 * 3600) + ",192,1.5", lines[0]);
  EXPECT_EQ(kStart - 1800 - 3600, d_->fileConnector()->ReadTimestamp(Hourly));
}

TEST_F(Windows, DailyTenDayWindowsUpToYesterday) {
  prepare();
  const time_t max_day = kMidnight - 86400;
  time_t next = d_->ReadArch(Daily, 3600);
  auto calls = d_->archCalls();
  ASSERT_EQ(10u, calls.size());
  EXPECT_EQ(max_day - 7776000, calls[0].from);
  EXPECT_EQ(max_day - 7776000 + 777600, calls[0].till);
  EXPECT_EQ(max_day, calls[9].from);
  EXPECT_EQ(max_day, calls[9].till);
  EXPECT_EQ(kMidnight + 86400 - 1800 + 3660, next);
}

TEST_F(Windows, MonthlyAndYearlyReadOneWindow) {
  prepare();
  const time_t max_day = kMidnight - 86400;
  d_->ReadArch(Monthly, 3600);
  d_->ReadArch(Yearly, 3600);
  auto calls = d_->archCalls();
  ASSERT_EQ(2u, calls.size());
  for (const auto& c : calls) {
    EXPECT_EQ(max_day - 31104000, c.from);
    EXPECT_EQ(max_day, c.till);
  }
  EXPECT_EQ(8u, calls[0].kind);
  EXPECT_EQ(9u, calls[1].kind);
}

TEST_F(Windows, ModelExceptions) {
  struct Case {
    const char* model;
    uint32_t kind;
    time_t first_from;
    time_t last_till;
  };
  const time_t yesterday = kMidnight - 86400, cur_hour = kStart - 1800;
  const Case cases[] = {
      {"omega-tr", Daily, yesterday - 5184000, yesterday},
      {"omega-tr", Monthly, yesterday - 5184000, yesterday},
      {"omega-tr", Hourly, cur_hour - 5187600, cur_hour - 3600},
      {"mayak-301", Daily, kMidnight - 7776000, kMidnight},
      {"psch-3xx", Monthly, kMidnight - 31104000, kMidnight},
  };
  for (const Case& c : cases) {
    prepare(c.model);
    if (c.kind == Hourly)
      d_->ReadHourlyArch();
    else
      d_->ReadArch(c.kind, 3600);
    auto calls = d_->archCalls();
    ASSERT_FALSE(calls.empty()) << c.model;
    EXPECT_EQ(c.first_from, calls.front().from) << c.model << " kind " << c.kind;
    EXPECT_EQ(c.last_till, calls.back().till) << c.model << " kind " << c.kind;
  }
}

TEST_F(Windows, MinTimeAndStoredLimitTheStart) {
  prepare();
  const time_t yesterday = kMidnight - 86400;
  d_->ts.min_time_day = yesterday - 2 * 86400;
  d_->ReadArch(Daily, 3600);
  auto calls = d_->archCalls();
  ASSERT_EQ(1u, calls.size());
  EXPECT_EQ(yesterday - 2 * 86400, calls[0].from);
}

TEST_F(Windows, RefusedSessionOrFailedTimestampsPostponesTenSeconds) {
  prepare();
  d_->ts_ok = false;
  EXPECT_EQ(kStart + 10, d_->ReadArch(Daily, 3600));
  EXPECT_EQ(kStart + 10, d_->ReadHourlyArch());
  EXPECT_TRUE(d_->archCalls().empty());

  make({{"port_alias", "PSD1.232"}});
  d_->InitFileConnector();
  d_->GetPsdParams();
  d_->ts.curr_time = kStart;
  mtr_test::writeFile(rooted("/tmp/pause_print_1"), "");
  EXPECT_EQ(kStart + 10, d_->ReadArch(Monthly, 3600));
  EXPECT_EQ(kStart + 10, d_->ReadHourlyArch());
  EXPECT_TRUE(d_->takeCalls().empty());  // not even the timestamps
}

TEST_F(Windows, ArchReadDueWhenStoredLagsTwoHours) {
  prepare();
  const time_t max_hour = kStart - 1800 - 3600, yesterday = kMidnight - 86400;
  EXPECT_TRUE(d_->IsArchReadDue());
  d_->fileConnector()->WriteTimestamp(Hourly, max_hour - 7200);
  d_->fileConnector()->WriteTimestamp(Daily, yesterday);
  EXPECT_FALSE(d_->IsArchReadDue());
  d_->fileConnector()->WriteTimestamp(Hourly, max_hour - 7201);
  EXPECT_TRUE(d_->IsArchReadDue());
  d_->ts_ok = false;
  EXPECT_FALSE(d_->IsArchReadDue());
}

class Psd : public Cycle {};

TEST_F(Psd, PrinterFileBlocksEveryReadAndReleasesTheTurn) {
  make({{"port_alias", "PSD2.232"}, {"period_current", "1"}});
  mtr_test::writeFile(rooted("/tmp/pause_print_2"), "");
  start();
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init"}), d_->takeCalls());
  EXPECT_EQ("wait", readFile(d_->fileConnector()->ItemDir(0) + "_Read_status"));
  EXPECT_GE(mtr_test::countLinesContaining(
                log(), "CMtrHeatBaseDriver::CanSessionStart() printer detected (file '" +
                           rooted("/tmp/pause_print_2") + "' exists)"),
            2);
  unlink(rooted("/tmp/pause_print_2").c_str());
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"system", "current"}), d_->takeCalls());
  EXPECT_FALSE(mtr_test::exists(rooted("/tmp/extds_pause_2")));  // removed after the session
}

TEST_F(Psd, PauseFileAtHourStartStartsT1ThenT2ForcesTheSession) {
  make({{"port_alias", "PSD1.232"}, {"period_current", "60"}});
  d_->InitFileConnector();
  d_->GetPsdParams();
  ASSERT_TRUE(d_->psdEnabled());
  mtr_test::writeFile(rooted("/tmp/pause_kzp_1"), "");
  d_->setTimesDiff(100 - 1800);  // meter clock 100 s past its hour
  EXPECT_FALSE(d_->CanSessionStart());
  EXPECT_TRUE(d_->t1Active());
  EXPECT_EQ(kStart + 300, d_->t1Deadline());
  clock_.advance(300 * 1000);
  EXPECT_FALSE(d_->CanSessionStart());  // T1 still running at its deadline
  clock_.advance(1000);
  EXPECT_TRUE(d_->CanSessionStart());  // T1 expired: forcibly enabled
  EXPECT_TRUE(d_->t2Active());
  clock_.advance(600 * 1000);
  EXPECT_TRUE(d_->CanSessionStart());
  clock_.advance(1000);
  EXPECT_FALSE(d_->CanSessionStart());  // T2 over
  EXPECT_FALSE(d_->t2Active());
  std::string text = log();
  for (const char* line :
       {"T1 started", "session is disabled", "T1 expired", "session is FORCIBLY enabled",
        "T2 expired", "session is STILL disabled"})
    EXPECT_GE(mtr_test::countLinesContaining(text, std::string("CanSessionStart() ") + line), 1)
        << line;
  // The marker gone: both timers reset, our own marker written while checking.
  unlink(rooted("/tmp/pause_kzp_1").c_str());
  EXPECT_TRUE(d_->CanSessionStart());
  EXPECT_FALSE(d_->t1Active());
  EXPECT_EQ("1800", readFile(rooted("/tmp/extds_pause_1")));
  d_->SessionEnd("x");
  EXPECT_FALSE(mtr_test::exists(rooted("/tmp/extds_pause_1")));
}

TEST_F(Psd, PauseFileOutsideHourStartJustRefuses) {
  make({{"port_alias", "serialKV.TC485"}, {"period_current", "60"}});
  d_->InitFileConnector();
  d_->GetPsdParams();
  mtr_test::writeFile(rooted("/tmp/pause_kzp_1"), "");
  d_->setTimesDiff(0);  // 1800 s past the hour
  EXPECT_FALSE(d_->CanSessionStart());
  EXPECT_FALSE(d_->t1Active());
}

TEST_F(Psd, LocalAliasSwitchesPsdOffAndWritesNoMarker) {
  make({{"port_alias", "serial232.D"}, {"period_current", "1"}});
  start();
  ASSERT_TRUE(turn());
  ASSERT_TRUE(turn());
  EXPECT_FALSE(d_->psdEnabled());
  std::string text = log();
  EXPECT_EQ(1, mtr_test::countLinesContaining(
                   text, "NO OR WRONG PORT ALIAS - 'serial232.D'! PSD CAN'T WORK!"));
  EXPECT_EQ(3, mtr_test::countLinesContaining(text, "CanSessionStart() PSD DON'T WORK!"));
  for (const char* n : {"1", "2", "3"})
    EXPECT_FALSE(mtr_test::exists(rooted(std::string("/tmp/extds_pause_") + n)));
}

TEST_F(Cycle, ForceUpdateMarkerEndsTheWaitEarly) {
  make({{"period_current", "3600"}});
  start();
  ASSERT_TRUE(turn());
  // The driver now waits an hour of fake time; the marker cuts it short.
  time_t before = clock_.now();
  mtr_test::writeFile(rooted("/tmp/kzp_force_update_77"), "");
  ASSERT_TRUE(waitFor([&] { return !mtr_test::exists(rooted("/tmp/kzp_force_update_77")); }, 5000));
  EXPECT_LT(clock_.now() - before, 3600);
  ASSERT_TRUE(turn());
  Calls calls = d_->takeCalls();
  EXPECT_EQ(2, std::count(calls.begin(), calls.end(), "current"));
}

}  // namespace
