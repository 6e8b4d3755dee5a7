#include "storage/file_connector.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <tuple>

#include "base/fsutil.h"
#include "base/logger.h"
#include "support/test_support.h"

namespace {

using mtr_test::exists;
using mtr_test::readFile;
using mtr_test::writeFile;
using Names = std::vector<std::string>;

Names listDir(const std::string& dir) {
  Names out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

mode_t modeOf(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

MeasuredValue mv(uint32_t code, uint32_t kind, const std::string& value, int32_t timestamp = 0,
                 uint8_t sys = 0, int32_t quality = 0) {
  return {code, kind, value, "", quality, 0, sys, timestamp};
}

struct Rec {
  long t;
  int q;
  double v;
};

// Records an hour apart from `start`, shuffled.
std::vector<Rec> makeRecords(size_t count, unsigned seed, long start = 1600000000) {
  std::vector<Rec> recs;
  for (size_t i = 0; i < count; ++i)
    recs.push_back({start + static_cast<long>(i) * 3600, static_cast<int>(i % 3) * 96, i / 4.0});
  std::shuffle(recs.begin(), recs.end(), std::mt19937(seed));
  return recs;
}

// Short values ("12.5") as other writers leave them, or the daemon's own form.
std::string text(const std::vector<Rec>& recs, bool daemon_form) {
  std::string out;
  char buf[96];
  for (const Rec& r : recs) {
    snprintf(buf, sizeof buf, daemon_form ? "%ld,%d,%lf\n" : "%ld,%d,%g\n", r.t, r.q, r.v);
    out += buf;
  }
  return out;
}

// Every line must read back with "%ld,%d,%lf"; the records go to `out`.
bool parseAll(const std::string& text, std::vector<std::string>* out) {
  for (const std::string& line : mtr_test::splitLines(text)) {
    Rec r;
    char tail;
    if (sscanf(line.c_str(), "%ld,%d,%lf%c", &r.t, &r.q, &r.v, &tail) != 3) return false;
    out->push_back(::text({r}, true));
  }
  return text.empty() || text.back() == '\n';
}

class Storage : public ::testing::Test {
 protected:
  void SetUp() override {
    delete logger::instance();
    logger::getInstance(log_path_.c_str(), false)->setLevel(TL_DEBUG);
  }
  void TearDown() override { delete logger::instance(); }
  std::unique_ptr<HeatFileConnector> make(int current_system = 0, const SettingsMap& extra = {},
                                          mtr::Clock* clock = nullptr, int lock_wait = 60) {
    MeterSettings s;
    s.meter_id = "4711";
    s.current_system = current_system;
    s.settings = extra;
    return std::make_unique<HeatFileConnector>(s, "4711", 0, lock_wait, clock);
  }
  void wipe() {
    std::filesystem::remove_all(tmp(""));
    std::filesystem::remove_all(storage(""));
  }
  int logCount(const std::string& s) const {
    return mtr_test::countLinesContaining(readFile(log_path_), s);
  }
  std::string tmp(const std::string& rel) const { return root_ / ("tmp/" + rel); }
  std::string storage(const std::string& rel) const { return root_ / ("mnt/storage/" + rel); }

  mtr_test::TempDir root_;
  mtr_test::ScopedEnv env_{"MTR_ROOT", root_.path().c_str()};
  std::string log_path_ = root_ / "mtr.log";
  mtr_test::FakeClock clock_{1700000000};  // 2023-11-14 22:13:20 UTC
};

TEST_F(Storage, RotationKeepsNewestAndBacksUpOrDropsOldest) {
  // Without a backup folder a release file is left whole up to 13000 lines. On
  // the concentrator /tmp is RAM, another file system than the card's (`ram`).
  const struct {
    std::string folder;
    size_t lines;
    bool backup_ok, ram;
  } cases[] = {{"tc_archives", 6499, true, false},   {"tc_archives", 6500, true, false},
               {"tmp_archives", 6600, true, false},  {"tc_archives", 13000, false, false},
               {"tc_archives", 13001, false, false}, {"tc_archives", 6600, true, true}};
  const std::string backup = storage("tc_backup/4711_1_A202_2023-11-14_22-13-20");
  char ram[] = "/dev/shm/mtrstore.XXXXXX";
  bool made_ram = false;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder + " " + std::to_string(c.lines) + (c.ram ? " ram" : ""));
    wipe();
    struct stat a, b;
    if (c.ram && (stat("/dev/shm", &b) != 0 || stat(root_.path().c_str(), &a) != 0 ||
                  a.st_dev == b.st_dev || !(made_ram = mkdtemp(ram))))
      continue;  // no second file system
    if (c.ram) {
      ASSERT_EQ(0, symlink(ram, (root_ / "tmp").c_str()));
    }
    auto fc = make(0, {}, &clock_);
    fc->ArchiveDir(0, false);
    if (!c.backup_ok) std::filesystem::remove(storage("tc_backup"));  // a file in its place
    if (!c.backup_ok) writeFile(storage("tc_backup"), "");
    const std::string file = storage("4711/1/" + c.folder + "/A202");
    ASSERT_TRUE(mtr::makeDirs(storage("4711/1/" + c.folder)));
    std::vector<Rec> recs = makeRecords(c.lines, 7);
    writeFile(file, text(recs, false));
    chmod(file.c_str(), 0640);
    fc->RotateArchivesSys(1, c.folder);
    if (c.lines < 6500 || (!c.backup_ok && c.lines <= 13000)) {
      EXPECT_EQ(text(recs, false), readFile(file));
      EXPECT_FALSE(exists(backup));
      EXPECT_EQ(Names{"4711"}, listDir(tmp("")));
      continue;
    }
    std::sort(recs.begin(), recs.end(), [](const Rec& a, const Rec& b) { return a.t < b.t; });
    auto split = recs.end() - 4499;
    EXPECT_EQ(text({split, recs.end()}, true), readFile(file));  // shows the first bad line
    EXPECT_EQ(0640u, modeOf(file));
    EXPECT_EQ(Names{"4711"}, listDir(tmp("")));  // no outdated file left
    EXPECT_EQ(Names{}, listDir(storage("4711/1/rotate/" + c.folder)));
    EXPECT_FALSE(fc->LockExists(0));
    EXPECT_EQ(c.backup_ok ? 0 : 1,
              logCount("no backup: 8502 records " + std::to_string(recs.front().t) + ".." +
                       std::to_string((split - 1)->t) + " of 4711/1/tc_archives/A202 dropped"));
    if (c.folder != "tc_archives" || !c.backup_ok) {
      EXPECT_EQ(Names{}, listDir(storage("tc_backup")));
      continue;
    }
    EXPECT_EQ(text({recs.begin(), split}, true), readFile(backup));
    EXPECT_EQ(0640u, modeOf(backup));
    // a second rotation within the same second keeps the first backup
    writeFile(file, readFile(file) + text(makeRecords(2001, 1, 1800000000), true));
    fc->RotateArchivesSys(1, c.folder);
    EXPECT_EQ(Names({"4711_1_A202_2023-11-14_22-13-20", "4711_1_A202_2023-11-14_22-13-20_1"}),
              listDir(storage("tc_backup")));
    EXPECT_EQ(text({recs.begin(), split}, true), readFile(backup));
    if (c.ram) {
      EXPECT_EQ(Names{"4711"}, listDir(ram));  // outdated file moved off the RAM
    }
  }
  if (made_ram) std::filesystem::remove_all(ram);
}

// A clock whose sleeps run a hook, so the test acts while the code waits.
class HookClock : public mtr::Clock {
 public:
  explicit HookClock(std::function<void()> hook) : hook_(std::move(hook)) {}
  time_t now() override { return 1700000000; }
  void sleepMs(long ms) override { slept_ms += ms, hook_(); }
  long slept_ms = 0;

 private:
  std::function<void()> hook_;
};

TEST_F(Storage, ReporterLockMakesMaintenanceWait) {
  int sleeps = 0;
  bool own_lock_while_waiting = false;
  std::unique_ptr<HeatFileConnector> fc;
  HookClock clock([&] {
    own_lock_while_waiting = own_lock_while_waiting || fc->LockExists(0);
    if (++sleeps == 3) fc->RemoveLock(1);
  });
  fc = make(0, {}, &clock);
  std::string dir = fc->ArchiveDir(0, false);
  writeFile(dir + "A20", text(makeRecords(6500, 5), false));
  fc->CreateLock(1);
  fc->RotateArchivesSys(1, "tc_archives");
  EXPECT_EQ(180000, clock.slept_ms);  // 60 s per check
  EXPECT_FALSE(own_lock_while_waiting);
  EXPECT_EQ(3, logCount("Crit: CJSONRPCConnector::RotateArchivesSys() data is read, but it is "
                        "impossible to rewrite it in the release folder"));
  EXPECT_EQ(4499u, mtr_test::splitLines(readFile(dir + "A20")).size());
  EXPECT_FALSE(fc->LockExists(0));
}

TEST_F(Storage, RotationKilledAtAnyMomentLosesNoRecord) {
  const std::vector<Rec> recs = makeRecords(10000, 11);
  const std::string original = text(recs, false), release = storage("4711/1/tc_archives/A202");
  std::set<std::string> all;
  for (const Rec& r : recs) all.insert(text({r}, true));

  // A rotation in a child killed `delay_us` after the fork (never if negative); its run time.
  auto runChild = [&](long delay_us, bool* killed) -> long {
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
      make(0, {}, nullptr, 1)->RotateArchivesSys(1, "tc_archives");
      _exit(0);
    }
    if (delay_us >= 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    *killed = WIFSIGNALED(status);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
  };
  auto reset = [&] {
    wipe();
    ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tc_archives")) && mtr::makeDirs(tmp("")));
    writeFile(release, original);
  };

  // fsyncs make its duration swing: the longest of a few whole runs
  bool killed = false;
  long full_us = 0;
  for (int i = 0; i < 3; ++i) {
    reset();
    full_us = std::max(full_us, runChild(-1, &killed));
    ASSERT_FALSE(killed);
  }
  unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long> delay(0, full_us + full_us / 2);
  int killed_count = 0;
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " run " + std::to_string(i));
    reset();
    runChild(delay(rng), &killed);
    killed_count += killed;
    auto fc = make(0, {}, nullptr, 1);
    for (const char* f : {"tmp_archives", "tc_tmp_archives", "tc_archives"})
      fc->RemoveTmpArchivesSys(1, f);

    std::vector<std::string> found;
    ASSERT_TRUE(parseAll(readFile(release), &found)) << "release file";
    // rotated, or untouched
    ASSERT_TRUE(found.size() == 4499 || readFile(release) == original) << found.size();
    for (const std::string& b : listDir(storage("tc_backup")))
      ASSERT_TRUE(parseAll(readFile(storage("tc_backup/" + b)), &found)) << b;
    std::set<std::string> seen(found.begin(), found.end());
    ASSERT_TRUE(std::includes(seen.begin(), seen.end(), all.begin(), all.end()));
    EXPECT_EQ(Names{}, listDir(storage("4711/1/rotate/tc_archives")));
    EXPECT_EQ(Names{"4711"}, listDir(tmp("")));
    EXPECT_EQ(Names{"A202"}, listDir(storage("4711/1/tc_archives")));
  }
  EXPECT_GT(killed_count, 0);
}

TEST_F(Storage, RemoveTmpArchivesMovesBackOnlyWhatTheReleaseFolderLacks) {
  auto fc = make();
  const std::string rel = fc->ArchiveDir(0, false), rot = storage("4711/1/rotate/tc_archives/");
  writeFile(rel + "A20", "released\n");
  writeFile(rot + "A20", "rotate copy\n");
  writeFile(rot + "A21", "only copy\n");
  writeFile(rot + ".A22.part", "unfinished\n");
  writeFile(rel + ".A23.part", "unfinished copy\n");
  // outdated files of an interrupted rotation; other meters' and systems' stay
  for (const char* f : {"4711_1_A20_2023-11-14_22-13-20", "4711_2_A20_2023-11-14_22-13-20",
                        "47111_1_A20_2023-11-14_22-13-20", "4711_1_notes"})
    writeFile(tmp(f), "1,0,1.0\n");
  writeFile(storage("tc_backup/.4711_1_A20_2023-11-14_22-13-20_1.part"), "1,0\n");
  fc->RemoveTmpArchivesSys(1, "tc_archives");
  EXPECT_EQ("released\n", readFile(rel + "A20"));
  EXPECT_EQ("only copy\n", readFile(rel + "A21"));
  EXPECT_EQ(Names({"A20", "A21"}), listDir(rel));
  EXPECT_EQ(Names{}, listDir(rot));
  EXPECT_EQ(Names({"4711", "47111_1_A20_2023-11-14_22-13-20", "4711_1_notes",
                   "4711_2_A20_2023-11-14_22-13-20"}),
            listDir(tmp("")));
  EXPECT_EQ(Names{}, listDir(storage("tc_backup")));
  EXPECT_FALSE(fc->LockExists(0));
}

TEST_F(Storage, FoldersAndDefaultLinks) {
  for (const char* id : {"", "..", "12/3"}) {  // ids that are no plain folder name
    MeterSettings s;
    EXPECT_THROW(HeatFileConnector(s, id, 0, 60, nullptr), std::invalid_argument) << id;
  }
  for (std::pair<int, int> c : {std::make_pair(0, 1), std::make_pair(2, 0)}) {
    wipe();
    auto fc = make(c.first);
    const std::string n = std::to_string(c.first + 1);
    fc->ItemDir(c.second);  // another system's folders make no link
    fc->ArchiveDir(c.second, false);
    EXPECT_FALSE(exists(tmp("4711/default")) || exists(storage("4711/default")));
    EXPECT_EQ(tmp("4711/" + n + "/tc_items/"), fc->ItemDir(c.first));
    EXPECT_EQ(storage("4711/" + n + "/tc_tmp_archives/"), fc->ArchiveDir(c.first, true));
    EXPECT_EQ(tmp("4711/" + n), std::filesystem::read_symlink(tmp("4711/default")).string());
    EXPECT_EQ(storage("4711/" + n),
              std::filesystem::read_symlink(storage("4711/default")).string());
    for (const char* f : {"tc_archives", "tc_tmp_archives", "tmp_archives"})
      EXPECT_TRUE(std::filesystem::is_directory(storage("4711/" + n + "/rotate/" + f))) << f;
  }
}

TEST_F(Storage, ValueWriter) {
  auto fc = make();
  fc->WriteValues({mv(74, System, "SN-1", 0, 1)});  // no item folder known yet: its own
  EXPECT_EQ("SN-1\n", readFile(tmp("4711/2/tc_items/SerialNumber")));
  fc->WriteValues({
      mv(39, Current, "230.1"),                  // VA of system 1
      mv(39, Current, "229.5", 0, 2),            // VA of system 3
      mv(1, Journal_Event_Next, "lost"),         // no name: skipped
      mv(6, Hourly, "1.5", 1700000000, 0, 192),  // A20
      mv(6, Hourly, "2.5", 1700003600, 0, 0),    // same name: the later one stays
      mv(50, Monthly, "-7", -5, 2, -1),          // A222 of system 3
      mv(74, System, "SN-2", 0, 0),              // every known item folder
  });
  EXPECT_EQ("230.1\n", readFile(tmp("4711/1/tc_items/VA")));
  EXPECT_EQ("229.5\n", readFile(tmp("4711/3/tc_items/VA")));
  EXPECT_EQ("1700003600,0,2.5\n", readFile(storage("4711/1/tc_archives/A20")));
  EXPECT_EQ("-5,-1,-7\n", readFile(storage("4711/3/tc_archives/A222")));
  for (const char* n : {"1", "2", "3"})
    EXPECT_EQ("SN-2\n", readFile(tmp(std::string("4711/") + n + "/tc_items/SerialNumber"))) << n;
  EXPECT_EQ(Names({"SerialNumber", "VA"}), listDir(tmp("4711/1/tc_items")));  // no temporaries
  // a file that cannot be replaced is skipped; the rest is written
  ASSERT_TRUE(mtr::makeDirs(tmp("4711/1/tc_items/VB")));
  fc->WriteValues({mv(40, Current, "1"), mv(39, Current, "7")});
  EXPECT_EQ("7\n", readFile(tmp("4711/1/tc_items/VA")));
}

TEST_F(Storage, StoreArchiveAppendsLinesAndWritesNewestTime) {
  auto fc = make(0, {}, &clock_);
  EXPECT_TRUE(fc->StoreArchive({}, Hourly, false, false));  // nothing, not even the time
  EXPECT_EQ(Names{}, listDir(storage("4711")));
  const int32_t t0 = 1700002800;
  const std::string path = storage("4711/1/tc_archives/A202");
  ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tc_archives")));
  writeFile(path, "1,0,0");  // earlier lines stay; a torn one keeps its own line
  MeasuredValueList list;
  std::string expected = "1,0,0\n";
  for (int i = 0; i < 10; ++i) {
    list.push_back(mv(50, Hourly, std::to_string(i) + ".25", t0 + i * 3600, 0, 192));
    expected += std::to_string(t0 + i * 3600) + ",192," + std::to_string(i) + ".25\n";
  }
  EXPECT_TRUE(fc->StoreArchive(list, Hourly, false, false));
  EXPECT_EQ(expected, readFile(path));
  EXPECT_EQ(std::to_string(t0 + 9 * 3600), readFile(storage("4711/timestamp_max_hourly")));
  writeFile(storage("4711/timestamp_max_hourly"), "garbage");
  EXPECT_EQ(0, fc->ReadTimestamp(Hourly));

  // journal codes leave lines but no time
  fc->StoreArchive({mv(14, Daily, "9", 7000)}, Daily, false, false);
  EXPECT_EQ("7000,0,9\n", readFile(storage("4711/1/tc_archives/A56")));
  EXPECT_FALSE(exists(storage("4711/timestamp_max_daily")));

  // A203 (a link, dangling in some passes) refuses appends: a failed record holds the
  // time back and is read again, a day of failures gives the file up.
  wipe();
  fc = make(0, {}, &clock_);
  const int64_t h0 = 1700002800;
  auto pass = [&](int hours) {
    const int64_t till = h0 + (hours - 1) * 3600;
    for (int64_t from = std::max<int64_t>(fc->ReadTimestamp(Hourly) + 3600, h0); from <= till;
         from += 36000) {
      MeasuredValueList window;
      for (int64_t t = from; t <= std::min(from + 32400, till); t += 3600)
        for (uint32_t code : {50u, 52u}) window.push_back(mv(code, Hourly, "1", int32_t(t)));
      fc->StoreArchive(window, Hourly, false, false);
    }
  };
  auto lines = [&](int first, int count) {
    std::string out;
    for (int i = first; i < first + count; ++i) out += std::to_string(h0 + i * 3600) + ",0,1\n";
    return out;
  };
  const std::string a203 = fc->ArchiveDir(0, false) + "A203";
  // broken, clock advance, hours read (A202 holds each once), hours the timestamp covers
  const std::tuple<bool, long, int, int> steps[] = {
      {true, 0, 13, 0},      {true, 3600, 14, 0},  {false, 3600, 15, 15}, {true, 3600, 16, 15},
      {true, 86400, 17, 17}, {true, 3600, 18, 18}, {false, 3600, 19, 19}};
  for (const auto& [broken, advance_s, hours, stored] : steps) {
    SCOPED_TRACE("hours " + std::to_string(hours));
    std::filesystem::remove(a203);
    std::filesystem::create_symlink(root_ / (broken ? "gone/A203" : "A203"), a203);
    clock_.advance(advance_s * 1000);
    pass(hours);
    EXPECT_EQ(lines(0, hours), readFile(storage("4711/1/tc_archives/A202")));
    EXPECT_EQ(stored ? h0 + (stored - 1) * 3600 : 0, fc->ReadTimestamp(Hourly));
  }
  EXPECT_EQ(lines(0, 15) + lines(18, 1), readFile(a203));
  EXPECT_EQ(1, logCount("gives up 4711/1/tc_archives/A203, failing since 1700010800, from line " +
                        std::to_string(h0 + 15 * 3600) + " on"));
  EXPECT_EQ(1,
            logCount("4711/1/tc_archives/A203 lacks lines from " + std::to_string(h0 + 15 * 3600) +
                     " to before " + std::to_string(h0 + 18 * 3600)));
}

TEST_F(Storage, IntegralRecordsAreShiftedUnlessArchiveModeTwo) {
  const int32_t midnight = 1700006400;  // 2023-11-15 00:00 UTC
  struct Case {
    const char* mode;
    uint32_t kind, pass;
    const char* file;
    int32_t shift;
  } cases[] = {
      {"0", Integral_daily, Daily, "A210", 86400},
      {"0", Integral_hourly, Hourly, "A200", 3600},
      {"2", Integral_daily, Daily, "A210", 0},
      {"0", Daily, Daily, "A212", 0},
  };
  for (const Case& c : cases) {
    wipe();
    auto fc = make(0, {{"arch_mode", c.mode}});
    ASSERT_TRUE(fc->StoreArchive({mv(50, c.kind, "12.5", midnight, 0, 192)}, c.pass, false, false));
    EXPECT_EQ(std::to_string(midnight + c.shift) + ",192,12.5\n",
              readFile(storage(std::string("4711/1/tc_archives/") + c.file)))
        << c.mode << " " << c.kind;
    EXPECT_EQ(midnight, fc->ReadTimestamp(c.pass)) << c.mode << " " << c.kind;
  }
}

TEST_F(Storage, MarkerStatusFilesAndRelease) {
  auto fc = make(1);
  fc->WriteConnectedFlag(5);  // the current system's folder while none is known
  EXPECT_EQ("1\n", readFile(tmp("4711/2/tc_items/Connected")));
  fc->ItemDir(0);
  fc->WriteConnectedFlag(0);
  fc->WriteReadStatus("current");
  for (const char* n : {"1", "2"}) {
    EXPECT_EQ("0\n", readFile(tmp(std::string("4711/") + n + "/tc_items/Connected")));
    EXPECT_EQ("current", readFile(tmp(std::string("4711/") + n + "/tc_items/_Read_status")));
  }
  writeFile(tmp("kzp_force_update_4711"), "");
  writeFile(tmp("kzp_force_update_99"), "");
  EXPECT_TRUE(fc->TakeForceUpdate());
  EXPECT_FALSE(fc->TakeForceUpdate());  // consumed
  EXPECT_TRUE(exists(tmp("kzp_force_update_99")));
  // Releasing copies the working folder whole, modes kept, of any system.
  ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tmp_archives")));
  ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tc_tmp_archives")));
  writeFile(storage("4711/1/tmp_archives/A1"), "1,0,1\n2,0,2\n");
  chmod(storage("4711/1/tmp_archives/A1").c_str(), 0640);
  writeFile(storage("4711/1/tc_tmp_archives/A1"), "a much longer old content\n");
  fc->ReleaseArchives();
  EXPECT_EQ("1,0,1\n2,0,2\n", readFile(storage("4711/1/tc_tmp_archives/A1")));
  EXPECT_EQ(0640u, modeOf(storage("4711/1/tc_tmp_archives/A1")));
  EXPECT_EQ(Names{"A1"}, listDir(storage("4711/1/tmp_archives")));
  EXPECT_EQ(Names{"A1"}, listDir(storage("4711/1/tc_tmp_archives")));
  EXPECT_FALSE(fc->LockExists(0));
}

}  // namespace
