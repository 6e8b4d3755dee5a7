#include <gtest/gtest.h>
#include <unistd.h>
#include <utime.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "app/cmdline.h"
#include "app/supervisor.h"
#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "drivers/framework/base_driver.h"
#include "scripted_driver.h"
#include "storage/file_connector.h"
#include "support/test_support.h"
#include "transport/serial_peers.h"

namespace {

using mtr_test::exists;
using mtr_test::readFile;
using mtr_test::waitFor;
using Calls = std::vector<std::string>;

// 2024-03-10 12:30:00 UTC
const time_t kStart = 1710073800;
const time_t kMidnight = 1710028800;  // 2024-03-10 00:00:00 UTC

MeasuredValue value(uint32_t kind, uint32_t code, const std::string& text, int32_t ts = 0) {
  return MeasuredValue{code, kind, text, "", 192, 0, 0, ts};
}

class Cycle : public ::testing::Test {
 protected:
  void SetUp() override {
    tzset();
    peers::logLevel(TL_DEBUG);
    mtr::makeDirs(root_ / "tmp");  // marker files live there
  }
  void TearDown() override {
    d_.reset();
    tzset();
  }

  void make(const SettingsMap& params, const std::string& model = "scripted") {
    d_ = std::make_unique<ScriptedDriver>(model);
    d_->setClock(&clock_);
    d_->setJSONRPCConnector(&rpc_);
    d_->save_init_params(params);
  }
  // A driver ready for its archive passes, not started.
  void prepare(const SettingsMap& params = {}, const std::string& model = "scripted") {
    make(params, model);
    d_->InitFileConnector();
    d_->GetPsdParams();
    d_->ts.curr_time = kStart;
  }
  void start() { d_->Start(d_.get(), d_->threadName()); }
  // Hands the driver the turn and waits until it gives it back.
  bool turn() {
    d_->setTurn();
    return waitFor([&] { return !d_->hasTurn(); }, 60000, 1);
  }
  std::string item(const std::string& name) {
    return readFile(root_ / ("tmp/77/1/tc_items/" + name));
  }
  std::string log() { return peers::logText().substr(log_.mark); }
  int logged(const std::string& line) { return mtr_test::countLinesContaining(log(), line); }
  std::string rooted(const std::string& p) { return mtr::rootedPath(p); }
  void touch(const std::string& p) { mtr_test::writeFile(rooted(p), ""); }

  mtr_test::TempDir root_;
  mtr_test::ScopedEnv env_{"MTR_ROOT", root_.path().c_str()};
  mtr_test::ScopedEnv tz_{"TZ", "UTC"};
  mtr_test::FakeClock clock_{kStart};
  CJSONRPCConnector rpc_{"77", 0};
  peers::LogSince log_;
  std::unique_ptr<ScriptedDriver> d_;
};

// System values once per thread; a failure pauses 180 s and reconnects next turn.
TEST_F(Cycle, SessionTurnsAndFailures) {
  struct Turn {
    Calls calls;
    const char* connected;
  };
  const struct Row {
    int fail_system, fail_current;
    std::vector<Turn> turns;
  } rows[] = {
      {0, 0, {{{"init", "system", "current"}, "1\n"}, {{"current"}, "1\n"}}},
      {0, 1, {{{"init", "system", "current"}, "0\n"}, {{"init", "current"}, "1\n"}}},
      {2,
       0,
       {{{"init", "system"}, "0\n"},
        {{"init", "system"}, "0\n"},
        {{"init", "system", "current"}, "1\n"}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fail_system * 10 + row.fail_current);
    std::filesystem::remove_all(root_ / "tmp/77");
    peers::LogSince since;
    make({{"period_current", "1"}});
    d_->system_values = {value(System, 74, "123456")};
    d_->current_values = {value(Current, 39, "230.1"), value(Current, 49, "50.0")};
    d_->fail_system = row.fail_system;
    d_->fail_current = row.fail_current;
    std::atomic<time_t> last_call{0};
    d_->on_call = [&](const std::string&) { last_call = clock_.now(); };
    start();
    for (const Turn& t : row.turns) {
      ASSERT_TRUE(turn());
      EXPECT_EQ(t.calls, d_->takeCalls());
      EXPECT_EQ(t.connected, item("Connected"));
      if (*t.connected == '0') {
        EXPECT_GE(clock_.now() - last_call, 180);
      }
    }
    EXPECT_EQ("123456\n50.0\n230.1\n", item("SerialNumber") + item("FREQ") + item("VA"));
    EXPECT_EQ("wait", readFile(d_->fileConnector()->ItemDir(0) + "_Read_status"));
    EXPECT_EQ(row.fail_system + row.fail_current,
              since.count("functionThread(myThreadAttached*) - EXCEPTION!!! disconnecting"));
    d_.reset();
  }
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
  EXPECT_EQ(1, logged("CMtrHeatBaseDriver::GetPsdParams() 'period_current' default value = 30"));
  EXPECT_FALSE(exists(root_ / "tmp/77/1/tc_items/SerialNumber"));
}

// Windows of ten hours or days follow each other without gap, the last one shorter.
TEST_F(Cycle, ReadWindows) {
  const time_t hour = kStart - 1800, max_hour = hour - 3600, day = kMidnight - 86400;
  struct Case {
    const char* model;
    uint32_t kind;
    time_t stored, min_day;  // newest stored record, the meter's oldest day; 0: none
    size_t count;
    time_t first_from, last_from, last_till, next = 0;  // next: 0 unchecked
  } cases[] = {
      {"scripted", Hourly, 0, 0, 217, hour - 7779600, max_hour, max_hour,
       kStart + 3600 - 1800 + 60},
      {"scripted", Hourly, max_hour - 3 * 3600, 0, 1, max_hour - 7200, max_hour - 7200, max_hour},
      {"scripted", Hourly, max_hour, 0, 0, 0, 0, 0},
      {"scripted", Daily, 0, 0, 10, day - 7776000, day, day, kMidnight + 86400 - 1800 + 3660},
      {"scripted", Daily, 0, day - 2 * 86400, 1, day - 2 * 86400, day - 2 * 86400, day},
      {"scripted", Monthly, 0, 0, 1, day - 31104000, day - 31104000, day},
      {"omega-tr", Daily, 0, 0, 7, day - 5184000, day, day},
      {"omega-tr", Hourly, 0, 0, 145, hour - 5187600, max_hour, max_hour},
      {"mayak-301", Daily, 0, 0, 10, kMidnight - 7776000, kMidnight, kMidnight},
      {"psch-3xx", Monthly, 0, 0, 1, kMidnight - 31104000, kMidnight - 31104000, kMidnight},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " kind " + std::to_string(c.kind) + " stored " +
                 std::to_string(c.stored) + " min " + std::to_string(c.min_day));
    std::filesystem::remove_all(root_ / "mnt/storage/77");  // stored times of the case before
    prepare({}, c.model);
    d_->ts.min_time_day = c.min_day;
    if (c.stored) d_->fileConnector()->WriteTimestamp(c.kind, c.stored);
    time_t next = c.kind == Hourly ? d_->ReadHourlyArch() : d_->ReadArch(c.kind, 3600);
    EXPECT_TRUE(!c.next || c.next == next) << next;
    Calls other;
    for (const auto& call : d_->takeCalls())
      if (call.rfind("arch", 0) != 0) other.push_back(call);
    EXPECT_EQ(Calls{"GetTimestamps"}, other);
    auto calls = d_->archCalls();
    ASSERT_EQ(c.count, calls.size());
    if (calls.empty()) continue;
    EXPECT_EQ(std::make_tuple(c.first_from, c.last_from, c.last_till),
              std::make_tuple(calls.front().from, calls.back().from, calls.back().till));
    const time_t step = c.kind == Hourly ? 3600 : 86400;
    for (size_t i = 0; i < calls.size(); ++i) {
      EXPECT_EQ(c.kind, calls[i].kind);
      if (i + 1 == calls.size()) break;
      EXPECT_EQ(9 * step, calls[i].till - calls[i].from) << i;
      EXPECT_EQ(calls[i].till + step, calls[i + 1].from) << i;
    }
  }
}

TEST_F(Cycle, RefusedSessionOrFailedTimestampsPostponesTenSeconds) {
  prepare();
  d_->ts_ok = false;
  EXPECT_EQ(kStart + 10, d_->ReadArch(Daily, 3600));
  EXPECT_EQ(kStart + 10, d_->ReadHourlyArch());
  EXPECT_TRUE(d_->archCalls().empty());
  prepare({{"port_alias", "PSD1.232"}});
  touch("/tmp/pause_print_1");
  EXPECT_EQ(kStart + 10, d_->ReadArch(Monthly, 3600));
  EXPECT_EQ(kStart + 10, d_->ReadHourlyArch());
  EXPECT_TRUE(d_->takeCalls().empty());  // not even the timestamps
}

TEST_F(Cycle, ArchReadDueAndArchFresh) {
  make({});
  EXPECT_FALSE(d_->IsArchFresh());  // no file connector yet
  prepare();
  FileConnector* f = d_->fileConnector();
  const time_t max_hour = kStart - 1800 - 3600, yesterday = kMidnight - 86400;
  EXPECT_TRUE(d_->IsArchReadDue());
  f->WriteTimestamp(Hourly, max_hour - 7200);
  f->WriteTimestamp(Daily, yesterday);
  EXPECT_FALSE(d_->IsArchReadDue());
  f->WriteTimestamp(Hourly, max_hour - 7201);
  EXPECT_TRUE(d_->IsArchReadDue());
  d_->ts_ok = false;
  EXPECT_FALSE(d_->IsArchReadDue());
  d_->ts_ok = true;
  f->WriteTimestamp(Hourly, kStart - 3600);
  f->WriteTimestamp(Daily, kStart - 3600);
  EXPECT_FALSE(d_->IsArchFresh());                              // no meter clock yet
  f->WriteValues({value(System, 85, std::to_string(kStart))});  // the meter clock as read
  std::string mfile = f->tmpArea() + "MDateTime";               // and its file's age
  mtr_test::writeFile(mfile, std::to_string(kStart) + "\n");
  const utimbuf times = {kStart, kStart};
  utime(mfile.c_str(), &times);
  // Stored hour, stored day: fresh while neither lags more than two hours.
  const std::tuple<time_t, time_t, bool> steps[] = {
      {3600, 3600, true}, {3600, 7201, false}, {3600, 7200, true}, {7201, 7200, false}};
  for (const auto& [hour_lag, day_lag, fresh] : steps) {
    f->WriteTimestamp(Hourly, kStart - hour_lag);
    f->WriteTimestamp(Daily, kStart - day_lag);
    EXPECT_EQ(fresh, d_->IsArchFresh()) << hour_lag << " " << day_lag;
  }
  clock_.advance(7201 * 1000L);  // the meter clock went stale
  EXPECT_FALSE(d_->IsArchFresh());
  EXPECT_GE(logged("max_timestamp_hourly_arch"), 1);
}

TEST_F(Cycle, PortFreeForLocalAndSharedPorts) {
  const std::tuple<const char*, bool, bool, bool> cases[] = {
      {"serial485.1", true, false, true},  {"serial485.1", false, true, false},
      {"PSD1.232", true, false, false},    {"PSD1.232", false, true, false},
      {"serial232.0", false, false, true}, {"", false, false, true},
  };
  for (const auto& [alias, pause, pause_all, free] : cases) {
    make({{"port_alias", alias}});
    unlink(rooted("/tmp/pause_kzp").c_str());
    unlink(rooted("/tmp/pause_kzp_all").c_str());
    if (pause) touch("/tmp/pause_kzp");
    if (pause_all) touch("/tmp/pause_kzp_all");
    EXPECT_EQ(free, d_->IsPortFree()) << alias << " " << pause << pause_all;
  }
}

TEST_F(Cycle, PrinterFileBlocksEveryReadAndReleasesTheTurn) {
  make({{"port_alias", "PSD2.232"}, {"period_current", "1"}});
  touch("/tmp/pause_print_2");
  start();
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"init"}), d_->takeCalls());
  EXPECT_EQ("wait", readFile(d_->fileConnector()->ItemDir(0) + "_Read_status"));
  EXPECT_GE(logged("CMtrHeatBaseDriver::CanSessionStart() printer detected (file '" +
                   rooted("/tmp/pause_print_2") + "' exists)"),
            2);
  unlink(rooted("/tmp/pause_print_2").c_str());
  ASSERT_TRUE(turn());
  EXPECT_EQ((Calls{"system", "current"}), d_->takeCalls());
  EXPECT_FALSE(exists(rooted("/tmp/extds_pause_2")));  // removed after the session
}

TEST_F(Cycle, PauseFileAtHourStartStartsT1ThenT2ForcesTheSession) {
  touch("/tmp/pause_kzp_1");
  prepare({{"port_alias", "serial232.D"}});  // local: no PSD, no marker
  EXPECT_FALSE(d_->psdEnabled());
  EXPECT_TRUE(d_->CanSessionStart());
  for (const char* n : {"1", "2", "3"})
    EXPECT_FALSE(exists(rooted(std::string("/tmp/extds_pause_") + n)));
  prepare({{"port_alias", "serialKV.TC485"}, {"period_current", "60"}});
  d_->setTimesDiff(0);  // 1800 s past the hour: just refused
  EXPECT_FALSE(d_->CanSessionStart());
  EXPECT_FALSE(d_->t1Active());
  prepare({{"port_alias", "PSD1.232"}, {"period_current", "60"}});
  ASSERT_TRUE(d_->psdEnabled());
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
  for (const char* line :
       {"T1 started", "session is disabled", "T1 expired", "session is FORCIBLY enabled",
        "T2 expired", "session is STILL disabled"})
    EXPECT_GE(logged(std::string("CanSessionStart() ") + line), 1) << line;
  // The marker gone: both timers reset, our own marker written while checking.
  unlink(rooted("/tmp/pause_kzp_1").c_str());
  EXPECT_TRUE(d_->CanSessionStart());
  EXPECT_FALSE(d_->t1Active());
  EXPECT_EQ("1800", readFile(rooted("/tmp/extds_pause_1")));
  d_->SessionEnd("x");
  EXPECT_FALSE(exists(rooted("/tmp/extds_pause_1")));
}

// The wait sleeps to the end of the period: files made beside its marker,
// another meter's marker among them, do not wake it; its own marker ends it.
// Waiting meters share one inotify instance (a user has 128).
TEST_F(Cycle, WaitOnTheRealClock) {
  prepare();
  d_->setClock(&mtr::systemClock());
  auto wakeups = [] {
    std::ifstream in("/proc/thread-self/status");
    std::string line;
    while (std::getline(in, line))
      if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    return -1L;
  };
  auto inotifyInstances = [] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
      std::error_code ec;
      n += std::filesystem::read_symlink(e.path(), ec).string() == "anon_inode:inotify";
    }
    return n;
  };
  auto later = [&](std::function<void()> what) {
    return std::thread([what] {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      what();
    });
  };
  auto seconds = [](auto t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  CJSONRPCConnector rpc78{"78", 0};
  ScriptedDriver d78;
  d78.setJSONRPCConnector(&rpc78);
  d78.save_init_params({});
  d78.InitFileConnector();
  d78.setClock(&mtr::systemClock());
  std::thread waiting78([&] { d78.WaitDataRate(4); });
  int instances = -1;
  auto t0 = std::chrono::steady_clock::now();
  std::thread mine = later([&] {
    instances = inotifyInstances();
    touch("/tmp/kzp_force_update_77");
  });
  d_->WaitDataRate(60);
  EXPECT_LE(seconds(t0), 30.0) << "the marker ends the wait";
  mine.join();
  waiting78.join();
  EXPECT_EQ(1, instances);
  EXPECT_FALSE(exists(rooted("/tmp/kzp_force_update_77")));

  // Whole wall-clock seconds: a 3 s period ends 2 to 3 s later. The thread
  // is started before counting: starting one may switch.
  std::thread others = later([&] {
    touch("/tmp/kzp_force_update_78");
    touch("/tmp/pause_kzp_9");
  });
  const long w0 = wakeups();
  t0 = std::chrono::steady_clock::now();
  d_->WaitDataRate(3);
  const double took = seconds(t0);
  ASSERT_GE(w0, 0);
  EXPECT_LE(wakeups() - w0, 2) << "wake-ups during a 3 s wait";
  others.join();
  EXPECT_GE(took, 1.9);
  EXPECT_LE(took, 6.0);  // not a second period
}

// No wait below two seconds; a marker made at the deadline is still taken.
TEST_F(Cycle, WaitOnTheFakeClock) {
  struct MarkerAtDeadline : mtr_test::FakeClock {
    std::string path;
    time_t at = 0;
    void sleepMs(long ms) override {
      FakeClock::sleepMs(ms);
      if (!path.empty() && now() >= at) {
        std::ofstream(path) << "";
        path.clear();
      }
    }
  } clock;
  prepare();
  d_->setClock(&clock);
  const long long before = clock.nowMs();
  d_->WaitDataRate(1);
  EXPECT_EQ(before, clock.nowMs());
  clock.path = rooted("/tmp/kzp_force_update_77");
  clock.at = clock.now() + 3;
  d_->WaitDataRate(3);
  EXPECT_TRUE(clock.path.empty()) << "made";
  EXPECT_FALSE(exists(rooted("/tmp/kzp_force_update_77")));
}

TEST_F(Cycle, UnknownModelsGetTheEmptyDriverWithAWarning) {
  for (const SettingsMap& params : {SettingsMap{{"manufacturer", "adi"}}, SettingsMap{}}) {
    CMtrBaseDriver* d = CMtrBaseDriver::create_and_init(params, nullptr, &rpc_);
    ASSERT_NE(nullptr, dynamic_cast<CMtrEmptyDriver*>(d));
    ASSERT_TRUE(waitFor([&] { return d->isFinished(); }, 30000));
    delete d;
  }
  EXPECT_EQ(2, logged("CMtrBaseDriver::create_and_init() - CmtrEmptyDriver IS STARTED !!!"));
  EXPECT_EQ(1, logged("CmtrADI is not built into this daemon"));
  EXPECT_EQ(1, logged("create_and_init() as ''"));
}

// Turns at steps, ended drivers skipped, the round completed before the stop.
TEST_F(Cycle, SupervisorPaceOrderAndStop) {
  const SettingsMap refusing = {{"port_alias", "PSD1.485"}, {"period_current", "0"}};
  struct Row {
    const char* name;
    const char* drivers;  // one letter a scripted driver, '-' an empty one
    SettingsMap params;
    bool printer;  // the printer holds port 1: sessions are refused at once
    size_t turns;  // turns given back before the stop request
  } rows[] = {
      {"order", "A-C", {{"period_current", "1"}}, false, 6},
      {"refused sessions keep the pace", "MN", refusing, true, 20},
  };
  const long kStep = 5000;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    unlink(rooted("/tmp/pause_print_1").c_str());
    if (row.printer) touch("/tmp/pause_print_1");
    std::mutex m;
    std::string order, live;
    std::vector<std::unique_ptr<CMtrBaseDriver>> owned;
    std::vector<CMtrBaseDriver*> drivers;
    for (const char* n = row.drivers; *n; ++n) {
      if (*n == '-') {
        owned.emplace_back(new CMtrEmptyDriver());
      } else {
        auto* s = new ScriptedDriver(std::string(1, *n));
        s->setClock(&clock_);
        s->setJSONRPCConnector(&rpc_);
        s->save_init_params(row.params);
        const char id = *n;
        s->on_turn_end = [&m, &order, id] {
          std::lock_guard<std::mutex> lock(m);
          order += id;
        };
        owned.emplace_back(s);
        live += id;
      }
      owned.back()->Start(owned.back().get(), std::string(1, *n));
      drivers.push_back(owned.back().get());
    }
    auto seen = [&] {
      std::lock_guard<std::mutex> lock(m);
      return order;
    };
    const long long t0 = clock_.nowMs();
    ClearStopRequest();
    std::thread sup([&] { Supervise(drivers, kStep, clock_); });
    EXPECT_TRUE(waitFor([&] { return seen().size() >= row.turns; }, 60000)) << seen();
    RequestStop();
    sup.join();
    // (a driver records its turn just after giving it back)
    EXPECT_TRUE(waitFor([&] { return seen().size() % live.size() == 0; }, 10000)) << seen();
    const std::string turns = seen();
    for (size_t i = 0; i < turns.size(); ++i) EXPECT_EQ(live[i % live.size()], turns[i]) << i;
    EXPECT_GE(clock_.nowMs() - t0, kStep * static_cast<long long>(turns.size()));
  }
}

}  // namespace
