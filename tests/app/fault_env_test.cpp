// Faults of the surroundings end to end: server late, storage card read-only or full.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fault_support.h"
#include "storage/file_connector.h"

namespace {

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

const std::string kMeters = "{\"meters\": [" + mtr_test::mercuryMeter(1, "41000001") + "]}";

std::string config(const char* period) {
  return "{" +
         mtr_test::meterConfig("901", "mercury230", "41000001", "1", "111111", "digit", period) +
         "}";
}

// Server late: start-up retries every 5 s. Read-only card (a mount: chmod
// does not stop root): current values still land, archive writes are skipped.
TEST(EnvironmentFaults, ConfigServerLateStorageReadOnly) {
  FaultLine line(kMeters, config("700"));
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
}

// The card fills up mid-pass: files stay whole, no timestamp runs ahead.
TEST(EnvironmentFaults, StorageFull) {
  FaultLine line(kMeters, config("700"));
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
}

// A card writable again gets its folders made and the records stored.
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
