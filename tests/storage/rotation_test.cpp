#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "base/fsutil.h"
#include "storage_fixture.h"

namespace storage_test {
namespace {

using mtr_test::exists;
using mtr_test::readFile;
using mtr_test::writeFile;

struct Rec {
  long t;
  int q;
  double v;
};

// Records with distinct times, shuffled, values written short ("12.5").
std::vector<Rec> makeRecords(size_t count, unsigned seed) {
  std::vector<Rec> recs;
  for (size_t i = 0; i < count; ++i)
    recs.push_back({1600000000L + static_cast<long>(i) * 3600, static_cast<int>(i % 3) * 96,
                    static_cast<double>(i) / 4.0});
  std::shuffle(recs.begin(), recs.end(), std::mt19937(seed));
  return recs;
}

std::string shortText(const std::vector<Rec>& recs) {
  std::string out;
  char buf[96];
  for (const Rec& r : recs) {
    snprintf(buf, sizeof buf, "%ld,%d,%g\n", r.t, r.q, r.v);
    out += buf;
  }
  return out;
}

std::string longText(const std::vector<Rec>& recs) {
  std::string out;
  for (const Rec& r : recs) out += archLine(r.t, r.q, r.v);
  return out;
}

// Every line must read back with "%ld,%d,%lf"; the records in `out`.
bool parseAll(const std::string& text, std::vector<std::string>* out) {
  for (const std::string& line : mtr_test::splitLines(text)) {
    long t;
    int q;
    double v;
    char tail;
    if (sscanf(line.c_str(), "%ld,%d,%lf%c", &t, &q, &v, &tail) != 3) return false;
    if (out) out->push_back(archLine(t, q, v));
  }
  return text.empty() || text.back() == '\n';
}

mode_t modeOf(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(StorageTest, RotationKeepsNewestAndBacksUpOrDropsOldest) {
  struct Case {
    const char* folder;
    size_t lines;
    bool rotated;
  };
  const Case cases[] = {
      {"tc_archives", 6499, false},    {"tc_archives", 6500, true},
      {"tc_archives", 10000, true},    {"tc_tmp_archives", 6499, false},
      {"tc_tmp_archives", 6500, true}, {"tmp_archives", 6500, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.folder) + " " + std::to_string(c.lines));
    mtr_test::TempDir root;
    mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
    mtr_test::FakeClock clock(1700000000);  // 2023-11-14 22:13:20 UTC
    auto fc = make(0, "4711", {}, &clock);
    fc->ArchiveDir(0, false);
    std::string dir = root / ("mnt/storage/4711/1/" + std::string(c.folder));
    ASSERT_TRUE(mtr::makeDirs(dir));
    std::vector<Rec> recs = makeRecords(c.lines, 7);
    std::string original = shortText(recs);
    writeFile(dir + "/A202", original);
    chmod((dir + "/A202").c_str(), 0640);

    fc->RotateArchivesSys(1, c.folder);

    std::string backup = root / "mnt/storage/tc_backup/4711_1_A202_2023-11-14_22-13-20";
    if (!c.rotated) {
      EXPECT_EQ(original, readFile(dir + "/A202"));
      EXPECT_FALSE(exists(backup));
      continue;
    }
    std::sort(recs.begin(), recs.end(), [](const Rec& a, const Rec& b) { return a.t < b.t; });
    auto split = recs.begin() + static_cast<long>(c.lines - 4499);
    // Whole-text comparison: a mismatch shows the first differing line.
    EXPECT_EQ(longText({split, recs.end()}), readFile(dir + "/A202"));
    EXPECT_EQ(0640u, modeOf(dir + "/A202"));
    if (std::string(c.folder) == "tc_archives") {
      EXPECT_EQ(longText({recs.begin(), split}), readFile(backup));
      EXPECT_EQ(0640u, modeOf(backup));
      EXPECT_EQ(
          1, logCount("Create outdated file: " + (root / "tmp/4711_1_A202_2023-11-14_22-13-20")));
    } else {
      EXPECT_EQ(std::vector<std::string>{}, listDir(root / "mnt/storage/tc_backup"));
    }
    // Nothing left behind: no outdated file, no rotate copy, no lock.
    EXPECT_FALSE(exists(root / "tmp/4711_1_A202_2023-11-14_22-13-20"));
    EXPECT_EQ(std::vector<std::string>{},
              listDir(root / ("mnt/storage/4711/1/rotate/" + std::string(c.folder))));
    EXPECT_FALSE(fc->LockExists(0));
  }
}

TEST_F(StorageTest, SecondRotationInTheSameSecondKeepsTheFirstBackup) {
  mtr_test::FakeClock clock(1700000000);
  auto fc = make(0, "4711", {}, &clock);
  std::string dir = fc->ArchiveDir(0, false);
  writeFile(dir + "A20", shortText(makeRecords(6500, 1)));
  fc->RotateArchivesSys(1, "tc_archives");
  std::string more;
  for (int i = 0; i < 2001; ++i) more += archLine(1800000000L + i, 0, i);
  writeFile(dir + "A20", readFile(dir + "A20") + more);
  fc->RotateArchivesSys(1, "tc_archives");
  EXPECT_EQ((std::vector<std::string>{"4711_1_A20_2023-11-14_22-13-20",
                                      "4711_1_A20_2023-11-14_22-13-20_1"}),
            listDir(storage("tc_backup")));
  EXPECT_EQ(
      2001u,
      mtr_test::splitLines(readFile(storage("tc_backup/4711_1_A20_2023-11-14_22-13-20"))).size());
}

TEST_F(StorageTest, RotationMovesOutdatedFileAcrossFileSystems) {
  // On the concentrator /tmp is RAM and the backup folder is on the card.
  struct stat a, b;
  ASSERT_EQ(0, stat(root_.path().c_str(), &a));
  if (stat("/dev/shm", &b) != 0 || a.st_dev == b.st_dev) GTEST_SKIP() << "no second file system";
  char ram[] = "/dev/shm/mtrstore.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(ram));
  ASSERT_EQ(0, symlink(ram, (root_ / "tmp").c_str()));
  mtr_test::FakeClock clock(1700000000);
  auto fc = make(0, "4711", {}, &clock);
  std::string dir = fc->ArchiveDir(0, false);
  writeFile(dir + "A20", shortText(makeRecords(6600, 2)));
  fc->RotateArchivesSys(1, "tc_archives");
  std::vector<std::string> moved;
  EXPECT_TRUE(parseAll(readFile(storage("tc_backup/4711_1_A20_2023-11-14_22-13-20")), &moved));
  EXPECT_EQ(2101u, moved.size());
  EXPECT_EQ(std::vector<std::string>{"4711_1_A20_2023-11-14_22-13-20"},
            listDir(storage("tc_backup")));
  EXPECT_EQ(4499u, mtr_test::splitLines(readFile(dir + "A20")).size());
  EXPECT_EQ(std::vector<std::string>{"4711"}, listDir(ram));  // outdated file moved away
  std::error_code ec;
  std::filesystem::remove_all(ram, ec);
}

// A clock whose sleeps run a hook, so the test sees the waiting side.
class HookClock : public mtr::Clock {
 public:
  explicit HookClock(std::function<void()> hook) : hook_(std::move(hook)) {}
  time_t now() override { return 1700000000; }
  void sleepMs(long ms) override {
    slept_ms += ms;
    hook_();
  }
  long slept_ms = 0;

 private:
  std::function<void()> hook_;
};

TEST_F(StorageTest, ReporterLockMakesMaintenanceWait) {
  int sleeps = 0;
  bool own_lock_while_waiting = false;
  std::unique_ptr<HeatFileConnector> fc;
  HookClock clock([&] {
    own_lock_while_waiting = own_lock_while_waiting || fc->LockExists(0);
    if (++sleeps == 3) fc->RemoveLock(1);
  });
  fc = make(0, "4711", {}, &clock);
  std::string dir = fc->ArchiveDir(0, false);
  writeFile(dir + "A20", shortText(makeRecords(6500, 5)));
  fc->CreateLock(1);
  fc->RotateArchivesSys(1, "tc_archives");
  EXPECT_EQ(3, sleeps);
  EXPECT_EQ(180000, clock.slept_ms);  // 60 s per check
  EXPECT_FALSE(own_lock_while_waiting);
  EXPECT_EQ(3, logCount("Crit: CJSONRPCConnector::RotateArchivesSys() data is read, but it is "
                        "impossible to rewrite it in the release folder"));
  EXPECT_EQ(4499u, mtr_test::splitLines(readFile(dir + "A20")).size());
  EXPECT_FALSE(fc->LockExists(0));
}

TEST_F(StorageTest, RotationKilledAtAnyMomentLosesNoRecord) {
  const std::vector<Rec> recs = makeRecords(10000, 11);
  const std::string original = shortText(recs);
  std::set<std::string> all;
  for (const Rec& r : recs) all.insert(archLine(r.t, r.q, r.v));

  // Runs one rotation in a child; `delay_us` < 0 lets it finish. Returns the
  // child's time from its start signal to its end, and whether it was killed.
  auto runChild = [&](long delay_us, bool* killed) -> long {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
      close(ready[0]);
      auto fc = make(0, "4711", {}, nullptr, 1);
      char c = 1;
      if (write(ready[1], &c, 1) != 1) _exit(3);
      fc->RotateArchivesSys(1, "tc_archives");
      _exit(0);
    }
    close(ready[1]);
    char c;
    ssize_t got = read(ready[0], &c, 1);
    close(ready[0]);
    auto start = std::chrono::steady_clock::now();
    if (got == 1 && delay_us >= 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
      kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    *killed = WIFSIGNALED(status);
    return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count());
  };

  std::string rel = storage("4711/1/tc_archives/A202");
  auto reset = [&] {
    std::error_code ec;
    std::filesystem::remove_all(storage(""), ec);
    std::filesystem::remove_all(tmp(""), ec);
    ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tc_archives")));
    ASSERT_TRUE(mtr::makeDirs(tmp("")));
    writeFile(rel, original);
  };

  // Its duration swings with the fsyncs: take the longest of a few whole runs.
  bool killed = false;
  long full_us = 0;
  for (int i = 0; i < 3; ++i) {
    reset();
    full_us = std::max(full_us, runChild(-1, &killed));
    ASSERT_FALSE(killed);
    ASSERT_EQ(4499u, mtr_test::splitLines(readFile(rel)).size());
  }

  unsigned seed = std::random_device{}();
  std::mt19937 rng(seed);
  std::uniform_int_distribution<long> delay(0, full_us + full_us / 2);
  int killed_count = 0, rotated = 0, untouched = 0;
  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE("seed " + std::to_string(seed) + " run " + std::to_string(i));
    reset();
    runChild(delay(rng), &killed);
    killed_count += killed;

    auto fc = make(0, "4711", {}, nullptr, 1);
    for (const char* f : {"tmp_archives", "tc_tmp_archives", "tc_archives"})
      fc->RemoveTmpArchivesSys(1, f);

    std::vector<std::string> found;
    std::string release = readFile(rel);
    ASSERT_TRUE(parseAll(release, &found)) << "release file";
    size_t release_lines = found.size();
    if (release_lines == 4499) {
      ++rotated;
    } else {
      ASSERT_EQ(original, release);
      ++untouched;
    }
    for (const std::string& b : listDir(storage("tc_backup"))) {
      ASSERT_NE('.', b[0]) << b;
      ASSERT_TRUE(parseAll(readFile(storage("tc_backup/" + b)), &found)) << b;
    }
    std::set<std::string> seen(found.begin(), found.end());
    size_t missing = 0;
    for (const std::string& r : all) missing += seen.count(r) == 0;
    ASSERT_EQ(0u, missing);
    EXPECT_EQ(std::vector<std::string>{}, listDir(storage("4711/1/rotate/tc_archives")));
    EXPECT_EQ(std::vector<std::string>{"4711"}, listDir(tmp("")));
    EXPECT_EQ(std::vector<std::string>{"A202"}, listDir(storage("4711/1/tc_archives")));
  }
  EXPECT_GT(killed_count, 0);
  RecordProperty("full_rotation_us", static_cast<int>(full_us));
  printf("rotation %ld us; 50 kills: %d killed mid-way, %d rotated, %d untouched\n", full_us,
         killed_count, rotated, untouched);
}

}  // namespace
}  // namespace storage_test
