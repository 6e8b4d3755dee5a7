#include <dirent.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <thread>

#include "base/fsutil.h"
#include "storage_fixture.h"

namespace storage_test {

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::string archLine(long t, int q, double v) {
  char buf[128];
  snprintf(buf, sizeof buf, "%ld,%d,%lf\n", t, q, v);
  return buf;
}

namespace {

using mtr_test::exists;
using mtr_test::readFile;
using mtr_test::writeFile;

std::string linkTarget(const std::string& link) {
  char buf[4096];
  ssize_t n = readlink(link.c_str(), buf, sizeof buf);
  return n < 0 ? "" : std::string(buf, static_cast<size_t>(n));
}

bool isDir(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST_F(StorageTest, AreasFoldersAndDefaultLinks) {
  for (const char* id : {"", "..", "12/3"}) EXPECT_THROW(make(0, id), std::invalid_argument) << id;
  struct Case {
    int current;
    int other;
  };
  for (Case c : {Case{0, 1}, Case{2, 0}}) {
    mtr_test::TempDir root;
    mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
    auto fc = make(c.current);
    std::string n = std::to_string(c.current + 1);
    EXPECT_TRUE(isDir(root / "mnt/storage/tc_backup"));
    EXPECT_EQ(std::vector<std::string>{}, listDir(root / "tmp/4711"));  // made when needed
    // A folder of another system makes no link.
    fc->ItemDir(c.other);
    fc->ArchiveDir(c.other, false);
    EXPECT_FALSE(exists(root / "tmp/4711/default"));
    EXPECT_FALSE(exists(root / "mnt/storage/4711/default"));

    EXPECT_EQ(root / ("tmp/4711/" + n + "/tc_items/"), fc->ItemDir(c.current));
    EXPECT_EQ(root / ("tmp/4711/" + n), linkTarget(root / "tmp/4711/default"));
    EXPECT_TRUE(isDir(root / "tmp/4711/default/tc_items"));

    EXPECT_EQ(root / ("mnt/storage/4711/" + n + "/tc_archives/"), fc->ArchiveDir(c.current, false));
    EXPECT_EQ(root / ("mnt/storage/4711/" + n + "/tc_tmp_archives/"),
              fc->ArchiveDir(c.current, true));
    EXPECT_EQ(root / ("mnt/storage/4711/" + n), linkTarget(root / "mnt/storage/4711/default"));
    for (const char* f : {"tc_archives", "tc_tmp_archives", "tmp_archives"})
      EXPECT_TRUE(isDir(root / ("mnt/storage/4711/" + n + "/rotate/" + f))) << f;
  }
}

TEST_F(StorageTest, ValueWriterItemsAndArchives) {
  auto fc = make();
  MeasuredValueList list = {
      mv(39, Current, "230.1"),                  // VA of system 1
      mv(39, Current, "229.5", 0, 1),            // VA of system 2
      mv(1, Journal_Event_Next, "lost"),         // no name: skipped
      mv(6, Hourly, "1.5", 1700000000, 0, 192),  // A20
      mv(6, Hourly, "2.5", 1700003600, 0, 0),    // same name: the later one stays
      mv(50, Monthly, "-7", -5, 2, -1),          // A222 of system 3
  };
  fc->WriteValues(list);
  EXPECT_EQ("230.1\n", readFile(tmp("4711/1/tc_items/VA")));
  EXPECT_EQ("229.5\n", readFile(tmp("4711/2/tc_items/VA")));
  EXPECT_EQ("1700003600,0,2.5\n", readFile(storage("4711/1/tc_archives/A20")));
  EXPECT_EQ("-5,-1,-7\n", readFile(storage("4711/3/tc_archives/A222")));
  // Replaced whole: no temporary files stay behind.
  EXPECT_EQ(std::vector<std::string>{"VA"}, listDir(tmp("4711/1/tc_items")));
  EXPECT_EQ(std::vector<std::string>{"A20"}, listDir(storage("4711/1/tc_archives")));
  // A file that cannot be replaced is skipped; the rest is written.
  ASSERT_TRUE(mtr::makeDirs(tmp("4711/1/tc_items/VB")));
  fc->WriteValues({mv(40, Current, "1"), mv(39, Current, "7")});
  EXPECT_EQ("7\n", readFile(tmp("4711/1/tc_items/VA")));
  EXPECT_TRUE(isDir(tmp("4711/1/tc_items/VB")));
}

TEST_F(StorageTest, SystemValuesGoToEveryKnownItemFolder) {
  auto fc = make();
  // While no item folder is known, a System value goes to its own system's folder.
  fc->WriteValues({mv(74, System, "SN-1", 0, 1)});
  EXPECT_EQ("SN-1\n", readFile(tmp("4711/2/tc_items/SerialNumber")));
  fc->WriteValues({mv(39, Current, "1"), mv(39, Current, "2", 0, 2)});
  fc->WriteValues({mv(74, System, "SN-2", 0, 0), mv(85, System, "1700000000")});
  for (const char* n : {"1", "2", "3"}) {
    EXPECT_EQ("SN-2\n", readFile(tmp(std::string("4711/") + n + "/tc_items/SerialNumber"))) << n;
    EXPECT_EQ("1700000000\n", readFile(tmp(std::string("4711/") + n + "/tc_items/MDateTime")));
  }
}

TEST_F(StorageTest, StoreArchiveAppendsLinesAndWritesNewestTime) {
  auto fc = make();
  // Nothing to store: not even the timestamp file.
  EXPECT_TRUE(fc->StoreArchive({}, Hourly, false, false));
  EXPECT_TRUE(fc->StoreArchive({mv(1, Journal_Event_Next, "x", 1700000000)}, Daily, false, false));
  EXPECT_EQ(std::vector<std::string>{}, listDir(storage("4711")));
  const int32_t t0 = 1700002800;
  std::string path = storage("4711/1/tc_archives/A202");
  ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tc_archives")));
  writeFile(path, "1,0,0\n");  // earlier lines stay
  MeasuredValueList list;
  std::string expected = "1,0,0\n";
  for (int i = 0; i < 10; ++i) {
    std::string v = std::to_string(i) + ".25";
    list.push_back(mv(50, Hourly, v, t0 + i * 3600, 0, 192));
    expected += std::to_string(t0 + i * 3600) + ",192," + v + "\n";
  }
  EXPECT_TRUE(fc->StoreArchive(list, Hourly, false, false));
  EXPECT_EQ(expected, readFile(path));
  EXPECT_EQ(std::to_string(t0 + 9 * 3600), readFile(storage("4711/timestamp_max_hourly")));
  EXPECT_EQ(t0 + 9 * 3600, fc->ReadTimestamp(Hourly));
  EXPECT_EQ(3, logCount("bIsVKT7 false"));
  EXPECT_EQ(3, logCount("bIsVist false"));
  EXPECT_EQ(10, logCount("szFileName " + path));
  EXPECT_EQ(1, logCount("timestamp to file " + std::to_string(t0 + 9 * 3600)));
}

TEST_F(StorageTest, IntegralRecordsAreShiftedUnlessArchiveModeTwo) {
  // Midnight UTC, 2023-11-15.
  const int32_t midnight = 1700006400;
  struct Case {
    const char* mode;
    uint32_t kind;
    uint32_t pass;
    const char* file;
    int32_t shift;
  };
  const Case cases[] = {
      {"0", Integral_daily, Daily, "A210", 86400},   {"0", Integral_hourly, Hourly, "A200", 3600},
      {"abc", Integral_daily, Daily, "A210", 86400}, {"2x", Integral_daily, Daily, "A210", 0},
      {"2", Integral_hourly, Hourly, "A200", 0},     {"0", Daily, Daily, "A212", 0},
  };
  for (const Case& c : cases) {
    mtr_test::TempDir root;
    mtr_test::ScopedEnv env("MTR_ROOT", root.path().c_str());
    auto fc = make(0, "4711", {{"arch_mode", c.mode}});  // the key README names
    ASSERT_TRUE(fc->StoreArchive({mv(50, c.kind, "12.5", midnight, 0, 192)}, c.pass, false, false));
    EXPECT_EQ(std::to_string(midnight + c.shift) + ",192,12.5\n",
              readFile(root / (std::string("mnt/storage/4711/1/tc_archives/") + c.file)))
        << c.mode << " " << c.kind;
    EXPECT_EQ(midnight, fc->ReadTimestamp(c.pass)) << c.mode << " " << c.kind;
  }
}

TEST_F(StorageTest, TimestampCoversOnlyWrittenNonJournalRecords) {
  auto fc = make();
  fc->StoreArchive(
      {mv(13, Hourly, "1", 1000), mv(14, Hourly, "2", 5000), mv(15, Hourly, "3", 6000)}, Hourly,
      false, false);
  EXPECT_EQ("5000,0,2\n", readFile(storage("4711/1/tc_archives/A28")));
  EXPECT_EQ("6000,0,3\n", readFile(storage("4711/1/tc_archives/_A57")));
  EXPECT_EQ(1000, fc->ReadTimestamp(Hourly));
  // Only journal codes: lines but no timestamp file.
  fc->StoreArchive({mv(14, Daily, "9", 7000)}, Daily, false, false);
  EXPECT_EQ("7000,0,9\n", readFile(storage("4711/1/tc_archives/A56")));
  EXPECT_FALSE(exists(storage("4711/timestamp_max_daily")));
  // A record that could not be appended would be lost if the time passed it.
  ASSERT_TRUE(mtr::makeDirs(storage("4711/1/tc_archives/A203")));
  fc->StoreArchive(
      {mv(50, Hourly, "1", 1000), mv(52, Hourly, "2", 2000), mv(50, Hourly, "3", 3000)}, Hourly,
      false, false);
  EXPECT_EQ("1000,0,1\n3000,0,3\n", readFile(storage("4711/1/tc_archives/A202")));
  EXPECT_EQ(1000, fc->ReadTimestamp(Hourly));
}

TEST_F(StorageTest, TimestampFilesRoundTrip) {
  auto fc = make();
  const std::pair<uint32_t, const char*> files[] = {{Hourly, "timestamp_max_hourly"},
                                                    {Daily, "timestamp_max_daily"},
                                                    {Monthly, "timestamp_max_monthly"},
                                                    {Yearly, "timestamp_max_yearly"}};
  for (const auto& f : files) {
    std::string path = storage(std::string("4711/") + f.second);
    EXPECT_EQ(0, fc->ReadTimestamp(f.first)) << f.second;
    fc->WriteTimestamp(f.first, 1700000000 + f.first);
    EXPECT_EQ(std::to_string(1700000000 + f.first), readFile(path));  // no line feed
    EXPECT_EQ(1700000000 + f.first, fc->ReadTimestamp(f.first));
    writeFile(path, "garbage");
    EXPECT_EQ(0, fc->ReadTimestamp(f.first)) << f.second;
  }
  fc->WriteTimestamp(Current, 5);
  EXPECT_EQ(4u, listDir(storage("4711")).size());
}

TEST_F(StorageTest, ReadStatusAndConnectedFlag) {
  auto fc = make(1);
  fc->WriteReadStatus("wait");  // no item folder yet: nowhere to write
  EXPECT_FALSE(exists(tmp("4711/2/tc_items/_Read_status")));
  // Connected goes to the current system's folder while none is known.
  fc->WriteConnectedFlag(5);
  EXPECT_EQ("1\n", readFile(tmp("4711/2/tc_items/Connected")));
  fc->ItemDir(0);
  fc->WriteConnectedFlag(0);
  fc->WriteReadStatus("current");
  for (const char* n : {"1", "2"}) {
    EXPECT_EQ("0\n", readFile(tmp(std::string("4711/") + n + "/tc_items/Connected")));
    EXPECT_EQ("current", readFile(tmp(std::string("4711/") + n + "/tc_items/_Read_status")));
  }
}

TEST_F(StorageTest, MarkerAndLockFiles) {
  auto fc = make();
  EXPECT_FALSE(fc->TakeForceUpdate());
  writeFile(tmp("kzp_force_update_4711"), "");
  writeFile(tmp("kzp_force_update_99"), "");
  EXPECT_TRUE(fc->TakeForceUpdate());
  EXPECT_FALSE(fc->TakeForceUpdate());  // consumed
  EXPECT_TRUE(exists(tmp("kzp_force_update_99")));
  writeFile(tmp("extds_pause"), "old");
  fc->SetPause();
  EXPECT_EQ("", readFile(tmp("extds_pause")));
  fc->ClearPause();
  EXPECT_FALSE(exists(tmp("extds_pause")));
  fc->CreateLock(1);
  EXPECT_TRUE(exists(tmp("RPRT_LCK_4711")));
  EXPECT_TRUE(fc->LockExists(1));
  EXPECT_FALSE(fc->LockExists(0));
  fc->RemoveLock(1);
  EXPECT_FALSE(fc->LockExists(1));
}

TEST_F(StorageTest, MDateTimeAgeIsModificationTimeShiftedByZone) {
  auto fc = make();
  EXPECT_EQ(0, fc->MDateTimeAge());
  const time_t mtime = 1700000000;
  writeFile(tmp("4711/MDateTime"), "x");
  struct timeval tv[2] = {{mtime, 0}, {mtime, 0}};
  ASSERT_EQ(0, utimes(tmp("4711/MDateTime").c_str(), tv));
  struct Case {
    const char* tz;
    time_t expected;
  };
  // The UTC breakdown read back as local time: east of Greenwich gives less.
  for (Case c :
       {Case{"UTC0", mtime}, Case{"UTC-3", mtime - 3 * 3600}, Case{"UTC+5", mtime + 5 * 3600}}) {
    mtr_test::ScopedEnv tz("TZ", c.tz);
    tzset();
    EXPECT_EQ(c.expected, fc->MDateTimeAge()) << c.tz;
  }
  tzset();
}

TEST_F(StorageTest, ReadersNeverSeeAHalfWrittenFile) {
  auto fc = make();
  fc->WriteValues({mv(85, System, "1700000000")});
  fc->WriteTimestamp(Hourly, 1700000000);
  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!done) {
      time_t m = fc->ReadMDateTime();
      time_t h = fc->ReadTimestamp(Hourly);
      if (m < 1700000000 || m > 1700009999 || h < 1700000000 || h > 1700009999) ++bad;
      ++reads;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    fc->WriteValues({mv(85, System, std::to_string(1700000000 + i))});
    if (i % 100 == 0) fc->WriteTimestamp(Hourly, 1700000000 + i);
  }
  mtr_test::waitFor([&] { return reads.load() > 100; }, 5000);
  done = true;
  reader.join();
  EXPECT_EQ(0, bad.load());
  EXPECT_GT(reads.load(), 100);
  EXPECT_EQ(1700001999, fc->ReadMDateTime());
}

TEST_F(StorageTest, ReleaseArchivesCopiesWorkingFolderWhole) {
  auto fc = make();
  ASSERT_TRUE(mtr::makeDirs(storage("4711/2/tmp_archives")));
  ASSERT_TRUE(mtr::makeDirs(storage("4711/2/tc_tmp_archives")));
  writeFile(storage("4711/2/tmp_archives/A1"), "1,0,1\n2,0,2\n");
  writeFile(storage("4711/2/tmp_archives/A2"), "3,0,3\n");
  chmod(storage("4711/2/tmp_archives/A1").c_str(), 0640);
  writeFile(storage("4711/2/tc_tmp_archives/A2"), "a much longer old content\n");
  fc->ReleaseArchives();
  EXPECT_EQ("1,0,1\n2,0,2\n", readFile(storage("4711/2/tc_tmp_archives/A1")));
  EXPECT_EQ("3,0,3\n", readFile(storage("4711/2/tc_tmp_archives/A2")));
  struct stat st;
  ASSERT_EQ(0, stat(storage("4711/2/tc_tmp_archives/A1").c_str(), &st));
  EXPECT_EQ(0640u, st.st_mode & 07777);
  EXPECT_EQ((std::vector<std::string>{"A1", "A2"}), listDir(storage("4711/2/tmp_archives")));
  EXPECT_EQ((std::vector<std::string>{"A1", "A2"}), listDir(storage("4711/2/tc_tmp_archives")));
  EXPECT_EQ(5, logCount("ReleaseArchivesSys directory not open"));
  EXPECT_EQ(1, logCount("ReleaseArchivesSys directory open [" + storage("4711/2/tmp_archives/]")));
  EXPECT_FALSE(fc->LockExists(0));
}

TEST_F(StorageTest, RemoveTmpArchivesMovesBackOnlyWhatTheReleaseFolderLacks) {
  auto fc = make();
  fc->ArchiveDir(0, false);
  std::string rel = storage("4711/1/tc_archives/");
  std::string rot = storage("4711/1/rotate/tc_archives/");
  writeFile(rel + "A20", "released\n");
  writeFile(rot + "A20", "rotate copy\n");
  writeFile(rot + "A21", "only copy\n");
  writeFile(rot + ".A22.part", "unfinished\n");
  writeFile(rel + ".A23.part", "unfinished copy\n");
  writeFile(rel + ".A24.tmp123_4", "unfinished replace\n");
  // Outdated files of an interrupted rotation; other meters' and systems' stay.
  writeFile(tmp("4711_1_A20_2023-11-14_22-13-20"), "1,0,1.0\n");
  writeFile(tmp("4711_2_A20_2023-11-14_22-13-20"), "1,0,1.0\n");
  writeFile(tmp("47111_1_A20_2023-11-14_22-13-20"), "1,0,1.0\n");
  writeFile(tmp("4711_1_notes"), "keep\n");
  writeFile(storage("tc_backup/.4711_1_A20_2023-11-14_22-13-20_1.part"), "1,0\n");
  writeFile(storage("tc_backup/4711_1_A20_2023-11-14_22-13-19"), "1,0,1.0\n");

  fc->RemoveTmpArchivesSys(1, "tc_archives");
  EXPECT_EQ("released\n", readFile(rel + "A20"));
  EXPECT_EQ("only copy\n", readFile(rel + "A21"));
  EXPECT_EQ((std::vector<std::string>{"A20", "A21"}), listDir(rel));
  EXPECT_EQ(std::vector<std::string>{}, listDir(rot));
  EXPECT_FALSE(exists(tmp("4711_1_A20_2023-11-14_22-13-20")));
  EXPECT_TRUE(exists(tmp("4711_2_A20_2023-11-14_22-13-20")));
  EXPECT_TRUE(exists(tmp("47111_1_A20_2023-11-14_22-13-20")));
  EXPECT_TRUE(exists(tmp("4711_1_notes")));
  EXPECT_EQ(std::vector<std::string>{"4711_1_A20_2023-11-14_22-13-19"},
            listDir(storage("tc_backup")));
  EXPECT_FALSE(fc->LockExists(0));

  fc->RemoveTmpArchivesSys(4, "tc_archives");
  EXPECT_EQ(1, logCount("RemoveTmpArchivesSys directory not open [" +
                        storage("4711/4/rotate/tc_archives/]")));
  EXPECT_FALSE(fc->LockExists(0));
}

}  // namespace
}  // namespace storage_test
