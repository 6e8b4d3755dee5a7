// Faults of the daemon's surroundings end to end: the configuration server
// late, the reporter holding its lock, the storage card read-only or full.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "fault_support.h"
#include "storage/file_connector.h"

namespace {

using mtr_test::countLinesContaining;
using mtr_test::FaultLine;
using mtr_test::readArchives;
using mtr_test::waitFor;

// A tmpfs mounted for the scope (root only); `ok` false when not possible.
struct ScopedTmpfs {
  std::string where, error;
  bool ok;
  ScopedTmpfs(const std::string& at, const std::string& options) : where(at) {
    mkdir(at.c_str(), 0755);
    ok = mount("tmpfs", at.c_str(), "tmpfs", 0, options.c_str()) == 0;
    if (!ok) error = std::string("needs a mount of its own (root): ") + strerror(errno);
  }
  ~ScopedTmpfs() {
    if (ok) umount2(where.c_str(), MNT_DETACH);
  }
  bool remount(const std::string& options) {
    const unsigned long ro = options == "ro" ? MS_RDONLY : 0;
    return mount("tmpfs", where.c_str(), "tmpfs", MS_REMOUNT | ro, options.c_str()) == 0;
  }
};

// One Mercury 230 whose clock stands `hour_in` seconds before its next hour
// (0: on the system's time), so the hourly pass after the first comes that
// much later.
std::string meters(long hour_in = 0) {
  const long offset = hour_in ? (3600 - time(nullptr) % 3600) - hour_in : 0;
  const std::string extra = ", \"clock_offset\": " + std::to_string(offset);
  return "{\"meters\": [" + mtr_test::mercuryMeter(1, "41000001", extra) + "]}";
}

std::string config(const char* period) {
  return "{" +
         mtr_test::meterConfig("901", "mercury230", "41000001", "1", "111111", "digit", period) +
         "}";
}

// The configuration server comes late: start-up retries every 5 s and reads
// nothing meanwhile. On a read-only card (a mount: chmod does not stop root)
// current values still reach the RAM area and archive writes are skipped;
// once the card is writable the next hourly pass stores.
TEST(EnvironmentFaults, ConfigServerLateStorageReadOnly) {
  const bool slow = mtr_test::slowTestsEnabled();
  FaultLine line(meters(slow ? 120 : 0), config("700"));
  mkdir(line.path("mnt").c_str(), 0755);
  ScopedTmpfs card(line.path("mnt/storage"), "size=4m");
  ASSERT_TRUE(!card.ok || card.remount("ro"));
  ASSERT_TRUE(line.startSim());
  line.startDaemon({"901"});
  EXPECT_TRUE(
      line.logged("CJSONRPCConnector::SendParameters - Error while sending data! retry!!! "
                  "wait 5 sec. Error code - ",
                  2, 60000));
  EXPECT_EQ("", line.item("901", "VA"));
  ASSERT_TRUE(line.startServer());
  ASSERT_TRUE(line.waitFullSession("901", 120000, false)) << line.log().substr(0, 4000);
  EXPECT_EQ("229.87\n", line.item("901", "VA"));
  EXPECT_TRUE(line.daemonRunning());
  if (!card.ok) GTEST_SKIP() << card.error;
  EXPECT_NE(std::string::npos, line.log().find("ReadHourlyArch read all hourly values - "));
  EXPECT_FALSE(mtr_test::exists(line.path("mnt/storage/901")));
  if (!slow) return;

  ASSERT_TRUE(card.remount("rw"));
  ASSERT_TRUE(
      line.waitForced([&] { return !line.timestampFile("901", "hourly").empty(); }, 240000));
  EXPECT_FALSE(readArchives(line.archiveDir("901")).empty());
  EXPECT_EQ("", line.torn());
  EXPECT_EQ(0, line.stopDaemon(60000));
}

// The reporter holds its lock for two minutes: the folder maintenance waits,
// one critical line a minute, never taking the daemon's own lock meanwhile;
// then the meter is read.
TEST(EnvironmentFaults, SLOW_ReporterLockHeldTwoMinutes) {
  if (!mtr_test::slowTestsEnabled()) GTEST_SKIP() << "slow: set MTR_SLOW_TESTS=1";
  FaultLine line(meters(), config("60"));
  mkdir(line.path("tmp").c_str(), 0755);
  const std::string lock = line.path("tmp/RPRT_LCK_901");
  mtr_test::writeFile(lock, "");
  ASSERT_TRUE(line.start({"901"}));
  // two minutes of watching for the daemon's own lock
  EXPECT_FALSE(
      waitFor([&] { return mtr_test::exists(line.path("tmp/DRV_LCK_901")); }, 120000, 200));
  const int blocked =
      countLinesContaining(line.log(),
                           "CJSONRPCConnector::RemoveTmpArchivesSys() data is read, but it is "
                           "impossible to rewrite it in the release folder");
  EXPECT_TRUE(blocked >= 2 && blocked <= 3) << blocked;
  EXPECT_TRUE(line.daemonRunning());
  unlink(lock.c_str());
  ASSERT_TRUE(waitFor([&] { return line.sessions("901") >= 1; }, 90000, 200));
  EXPECT_EQ("229.87\n", line.item("901", "VA"));
  EXPECT_FALSE(mtr_test::exists(line.path("tmp/DRV_LCK_901")));
  EXPECT_EQ(0, line.stopDaemon(30000));
}

// The storage card fills up in the middle of an archive pass: every line
// that is in a file is whole, no timestamp file runs ahead of the records,
// and the daemon goes on; with room again, the next pass stores the rest.
TEST(EnvironmentFaults, StorageFull) {
  const bool slow = mtr_test::slowTestsEnabled();
  FaultLine line(meters(slow ? 60 : 0), config("700"));
  mkdir(line.path("mnt").c_str(), 0755);
  ScopedTmpfs card(line.path("mnt/storage"), "size=64k");
  if (!card.ok) GTEST_SKIP() << card.error;
  // leave room for a few archive files only (tmpfs gives out whole pages)
  const std::string filler = line.path("mnt/storage/filler");
  mtr_test::writeFile(filler, std::string(64 * 1024 - 6 * 4096, 'x'));
  ASSERT_TRUE(line.start({"901"}));
  ASSERT_TRUE(line.waitFullSession("901", 120000, false)) << line.log().substr(0, 4000);
  EXPECT_TRUE(line.daemonRunning());
  EXPECT_EQ("229.87\n", line.item("901", "VA"));
  struct statvfs vfs;
  ASSERT_EQ(0, statvfs(line.path("mnt/storage").c_str(), &vfs));
  EXPECT_EQ(0u, vfs.f_bavail) << "the archive pass did not fill the card";
  EXPECT_EQ("", line.torn());
  // whatever timestamp was written, every record up to it reached its file
  auto archives = readArchives(line.archiveDir("901"));
  const std::string hourly = line.timestampFile("901", "hourly");
  bool found = hourly.empty();
  for (const auto& [name, records] : archives) found = found || records.count(std::stol(hourly));
  EXPECT_TRUE(found) << "timestamp " << hourly << " has no record";
  if (!slow) return;

  unlink(filler.c_str());
  const size_t before = archives.size();
  ASSERT_TRUE(line.waitForced(
      [&] {
        return countLinesContaining(line.log(), "ReadHourlyArch() PU currTime") >= 2 &&
               line.item("901", "_Read_status") == "wait";
      },
      240000));
  archives = readArchives(line.archiveDir("901"));
  EXPECT_GE(archives.size(), before);
  EXPECT_EQ("", line.torn());
  EXPECT_EQ(0, line.stopDaemon(60000));
}

// The same at the file connector itself, on a fake clock: a card that comes
// back writable gets its folders made and the records stored again.
TEST(EnvironmentFaults, CardWritableAgainGetsItsFoldersBack) {
  mtr_test::TempDir dir;
  mtr_test::ScopedEnv root("MTR_ROOT", dir.path().c_str());
  mkdir((dir / "mnt").c_str(), 0755);
  ScopedTmpfs card(dir / "mnt/storage", "size=1m");
  if (!card.ok) GTEST_SKIP() << card.error;
  ASSERT_TRUE(card.remount("ro"));
  mtr_test::FakeClock clock;
  MeterSettings s;
  s.meter_id = "905";
  HeatFileConnector files(s, "905", 0, 60, &clock);
  // a daily record (kind 7, code 17: "A30")
  auto day = [](int32_t t, const char* v) {
    return MeasuredValueList{{17, Daily, v, "", 192, 0, 0, t}};
  };
  files.StoreArchive(day(1700006400, "10.5"), Daily, false, false);
  EXPECT_EQ(0, files.ReadTimestamp(Daily));

  ASSERT_TRUE(card.remount("rw"));
  files.StoreArchive(day(1700092800, "11.25"), Daily, false, false);
  EXPECT_EQ(1700092800, files.ReadTimestamp(Daily));
  auto archives = readArchives(dir / "mnt/storage/905/1/tc_archives");
  ASSERT_EQ(1u, archives.size());
  EXPECT_EQ((std::vector<std::string>{"11.25"}), archives.begin()->second.at(1700092800));
}

}  // namespace
