#include "storage/file_connector.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "storage/archive_io.h"

namespace {

const char kReleaseBusy[] =
    "CJSONRPCConnector::ReleaseArchives() data is read, but it is impossible to rewrite it in the "
    "release folder, the reporter blocked the folder!";
const char kRemoveBusy[] =
    "CJSONRPCConnector::RemoveTmpArchivesSys() data is read, but it is impossible to rewrite it in "
    "the release folder, the reporter blocked the folder!";

bool startsWith(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "_YYYY-MM-DD_HH-MM-SS" at `pos`, as rotation stamps outdated files.
bool stampAt(const std::string& s, size_t pos) {
  static const char kPattern[] = "_dddd-dd-dd_dd-dd-dd";
  const size_t len = sizeof kPattern - 1;
  if (pos + len > s.size()) return false;
  for (size_t i = 0; i < len; ++i) {
    char c = s[pos + i];
    if (kPattern[i] == 'd' ? !isdigit(static_cast<unsigned char>(c)) : c != kPattern[i])
      return false;
  }
  return true;
}

// prefix + F + stamp [+ "_" digits]: an outdated or backup file name.
bool isOutdatedName(const std::string& name, const std::string& prefix) {
  if (!startsWith(name, prefix)) return false;
  const size_t stamp_len = 20;
  for (size_t pos = prefix.size() + 1; pos + stamp_len <= name.size(); ++pos) {
    if (!stampAt(name, pos)) continue;
    size_t rest = pos + stamp_len;
    if (rest == name.size()) return true;
    if (name[rest] != '_' || rest + 1 == name.size()) continue;
    bool digits = true;
    for (size_t i = rest + 1; i < name.size(); ++i)
      digits = digits && isdigit(static_cast<unsigned char>(name[i]));
    if (digits) return true;
  }
  return false;
}

// Our own unfinished files: ".<name>.part" copies and the ".<name>.tmp..."
// files of an atomic replace that never got renamed.
bool isPartialName(const std::string& name) {
  return name.size() > 1 && name[0] == '.' && name != ".." &&
         (endsWith(name, ".part") || name.find(".tmp") != std::string::npos);
}

std::vector<std::string> listFolder(DIR* d, bool regular_only) {
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    if (regular_only) {
      if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    }
    names.push_back(name);
  }
  return names;
}

bool isRegular(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

FileConnector::MaintenanceLock::MaintenanceLock(FileConnector& fc, const char* busy_message)
    : fc_(fc) {
  long wait_ms = 1000L * (fc_.lock_wait_seconds > 0 ? fc_.lock_wait_seconds : 1);
  while (fc_.LockExists(1)) {
    LOG_CRIT("%s", busy_message);
    fc_.clock->sleepMs(wait_ms);
  }
  fc_.CreateLock(0);
}

// Also on the way out of a failed or cancelled operation.
FileConnector::MaintenanceLock::~MaintenanceLock() {
  fc_.RemoveLock(0);
}

FileConnector::FileConnector(const MeterSettings& settings, const std::string& meter_id,
                             int mode_arg, int lock_wait, mtr::Clock* clk)
    : key(meter_id),
      current_system(settings.current_system),
      ts_hourly("timestamp_max_hourly"),
      ts_daily("timestamp_max_daily"),
      ts_monthly("timestamp_max_monthly"),
      ts_yearly("timestamp_max_yearly"),
      mdatetime_name("MDateTime"),
      ts_vkt7_name("timestamp_VKT7"),
      ts_vkt9_name("timestamp_VKT9"),
      mode(mode_arg),
      lock_wait_seconds(lock_wait),
      clock(clk ? clk : &mtr::systemClock()) {
  // The identifier becomes a folder name and part of file names.
  if (key.empty() || key == "." || key == ".." || key.find('/') != std::string::npos)
    throw std::invalid_argument("FileConnector: meter identifier '" + key +
                                "' cannot name a folder");
  tmp_root = mtr::rootedPath("/tmp/");
  storage_root = mtr::rootedPath("/mnt/storage/");
  backup_dir = mtr::rootedPath("/mnt/storage/tc_backup");
  tmp_area = tmp_root + key + "/";
  storage_area = storage_root + key + "/";
  force_update_marker = mtr::rootedPath("/tmp/kzp_force_update_" + key);
  pause_marker = mtr::rootedPath("/tmp/extds_pause");
  auto it = settings.settings.find("arch_mode");
  if (it != settings.settings.end()) arch_mode = static_cast<int>(settingsNumber(it->second));
  mtr::makeDirs(tmp_area);
  mtr::makeDirs(storage_area);
  mtr::makeDirs(backup_dir);
}

FileConnector::~FileConnector() = default;

std::string FileConnector::ItemDir(int sys) {
  std::lock_guard<std::mutex> lock(dirs_mutex);
  auto it = item_dirs.find(sys);
  if (it != item_dirs.end()) return it->second;
  std::string n = std::to_string(sys + 1);
  std::string dir = tmp_area + n + "/tc_items/";
  bool made = mtr::makeDirs(dir);
  if (sys == current_system) mtr::makeSymlink(tmp_area + n, tmp_area + "default");
  // A folder that could not be made (area full or read-only) is tried again
  // next time, so writing resumes once the area is back.
  if (made) item_dirs[sys] = dir;
  return dir;
}

std::string FileConnector::ArchiveDir(int sys, bool tmp) {
  std::lock_guard<std::mutex> lock(dirs_mutex);
  int slot = sys + (tmp ? 128 : 0);
  auto it = archive_dirs.find(slot);
  if (it != archive_dirs.end()) return it->second;
  std::string n = std::to_string(sys + 1);
  std::string dir = storage_area + n + (tmp ? "/tc_tmp_archives/" : "/tc_archives/");
  bool made = mtr::makeDirs(dir);
  for (const char* f : {"tc_archives", "tc_tmp_archives", "tmp_archives"})
    made = mtr::makeDirs(storage_area + n + "/rotate/" + f + "/") && made;
  if (sys == current_system) mtr::makeSymlink(storage_area + n, storage_area + "default");
  if (made) archive_dirs[slot] = dir;
  return dir;
}

std::string FileConnector::WorkDir(int sys) {
  std::lock_guard<std::mutex> lock(dirs_mutex);
  int slot = sys + 256;
  auto it = archive_dirs.find(slot);
  if (it != archive_dirs.end()) return it->second;
  std::string dir = storage_area + std::to_string(sys + 1) + "/tmp_archives/";
  if (mtr::makeDirs(dir)) archive_dirs[slot] = dir;
  return dir;
}

std::string FileConnector::FolderPath(int n, const std::string& folder) const {
  return storage_area + std::to_string(n) + "/" + folder + "/";
}

std::string FileConnector::RotatePath(int n, const std::string& folder) const {
  return storage_area + std::to_string(n) + "/rotate/" + folder + "/";
}

void FileConnector::WriteValues(const MeasuredValueList& values) {
  for (const MeasuredValue& v : values) {
    const std::string* name = LookupName(ValueNameTable, v.value_key());
    if (!name) continue;
    if (v.kind >= Hourly && v.kind <= Yearly) {
      std::string line =
          std::to_string(v.timestamp) + "," + std::to_string(v.opc_quality) + "," + v.value + "\n";
      mtr::writeFileAtomic(ArchiveDir(v.sys, false) + *name, line, true);
      continue;
    }
    std::string line = v.value + "\n";
    std::vector<std::string> dirs;
    if (v.kind == System) {
      std::lock_guard<std::mutex> lock(dirs_mutex);
      for (const auto& d : item_dirs) dirs.push_back(d.second);
    }
    if (dirs.empty()) dirs.push_back(ItemDir(v.sys));
    for (const std::string& dir : dirs) mtr::writeFileAtomic(dir + *name, line);
  }
}

void FileConnector::WriteReadStatus(const std::string& status) {
  std::vector<std::string> dirs;
  {
    std::lock_guard<std::mutex> lock(dirs_mutex);
    for (const auto& d : item_dirs) dirs.push_back(d.second);
  }
  for (const std::string& dir : dirs) mtr::writeFileAtomic(dir + "_Read_status", status);
}

bool FileConnector::TakeForceUpdate() {
  int fd = open(force_update_marker.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd);
  unlink(force_update_marker.c_str());
  return true;
}

void FileConnector::SetPause() {
  int fd = open(pause_marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) close(fd);
}

void FileConnector::ClearPause() {
  unlink(pause_marker.c_str());
}

std::string FileConnector::LockPath(int owner) const {
  return mtr::rootedPath(std::string(owner == 0 ? "/tmp/DRV_LCK_" : "/tmp/RPRT_LCK_") + key);
}

bool FileConnector::CreateLock(int owner) {
  int fd = open(LockPath(owner).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool FileConnector::LockExists(int owner) {
  struct stat st;
  return stat(LockPath(owner).c_str(), &st) == 0;
}

void FileConnector::RemoveLock(int owner) {
  unlink(LockPath(owner).c_str());
}

void FileConnector::ReleaseArchives() {
  MaintenanceLock lock(*this, kReleaseBusy);
  for (int n = 1; n <= 6; ++n) ReleaseArchivesSys(n, "tc_tmp_archives");
}

void FileConnector::ReleaseArchivesSys(int n, const std::string& folder) {
  std::string src_dir = storage_area + std::to_string(n) + "/tmp_archives/";
  DIR* d = opendir(src_dir.c_str());
  if (!d) {
    LOG_ERR("CJSONRPCConnector::ReleaseArchivesSys directory not open [%s]", src_dir.c_str());
    return;
  }
  LOG_DEBUG("CJSONRPCConnector::ReleaseArchivesSys directory open [%s]", src_dir.c_str());
  std::vector<std::string> names = listFolder(d, true);
  closedir(d);
  std::string dst_dir = FolderPath(n, folder);
  mtr::makeDirs(dst_dir);
  bool moved = false;
  for (const std::string& f : names) {
    std::string src = src_dir + f;
    struct stat st;
    if (lstat(src.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // A copy lands whole or not at all: the reporter may read right after.
    std::string part = dst_dir + "." + f + ".part";
    if (!mtr::copyDurable(src, part, st.st_mode & 07777)) {
      LOG_ERR("CJSONRPCConnector::ReleaseArchivesSys cannot copy %s", src.c_str());
      continue;
    }
    if (rename(part.c_str(), (dst_dir + f).c_str()) != 0) {
      LOG_ERR("CJSONRPCConnector::ReleaseArchivesSys cannot replace %s%s", dst_dir.c_str(),
              f.c_str());
      unlink(part.c_str());
      continue;
    }
    moved = true;
  }
  if (moved) mtr::syncDir(dst_dir);
}

void FileConnector::RemoveTmpArchivesSys(int n, const std::string& folder) {
  MaintenanceLock lock(*this, kRemoveBusy);
  std::string rot = RotatePath(n, folder);
  DIR* d = opendir(rot.c_str());
  if (!d) {
    LOG_ERR("CJSONRPCConnector::RemoveTmpArchivesSys directory not open [%s]", rot.c_str());
    RemoveLeftovers(n, folder);
    return;
  }
  LOG_DEBUG("CJSONRPCConnector::RemoveTmpArchivesSys directory open [%s]", rot.c_str());
  std::vector<std::string> names = listFolder(d, false);
  closedir(d);
  std::string rel = FolderPath(n, folder);
  bool moved = false;
  for (const std::string& f : names) {
    std::string copy = rot + f;
    // A partial copy was never complete; it holds nothing the release file lacks.
    if (!isPartialName(f) && !mtr::fileExists(rel + f) && isRegular(copy)) {
      mtr::makeDirs(rel);
      if (rename(copy.c_str(), (rel + f).c_str()) != 0) {
        LOG_ERR("CJSONRPCConnector::RemoveTmpArchivesSys cannot move %s back", copy.c_str());
        continue;  // the only copy of these records: keep it for the next start
      }
      moved = true;
      continue;
    }
    unlink(copy.c_str());
  }
  if (moved) mtr::syncDir(rel);
  RemoveLeftovers(n, folder);
}

void FileConnector::RemoveLeftovers(int n, const std::string& folder) {
  std::string rel = FolderPath(n, folder);
  if (DIR* d = opendir(rel.c_str())) {
    std::vector<std::string> names = listFolder(d, true);
    closedir(d);
    for (const std::string& f : names)
      if (isPartialName(f)) unlink((rel + f).c_str());
  }
  if (folder != "tc_archives") return;
  // Outdated files still in /tmp were never moved to the backup folder, so the
  // release file kept their records; the same holds for a partial backup copy.
  std::string prefix = key + "_" + std::to_string(n) + "_";
  if (DIR* d = opendir(tmp_root.c_str())) {
    std::vector<std::string> names = listFolder(d, true);
    closedir(d);
    for (const std::string& f : names)
      if (isOutdatedName(f, prefix)) unlink((tmp_root + f).c_str());
  }
  if (DIR* d = opendir(backup_dir.c_str())) {
    std::vector<std::string> names = listFolder(d, true);
    closedir(d);
    for (const std::string& f : names) {
      if (f.size() > 6 && f[0] == '.' && endsWith(f, ".part") &&
          isOutdatedName(f.substr(1, f.size() - 6), prefix))
        unlink((backup_dir + "/" + f).c_str());
    }
  }
}

time_t FileConnector::ReadMDateTime() {
  // Built from constant fields only: this runs on the main thread.
  std::string path = tmp_area + std::to_string(current_system + 1) + "/tc_items/" + mdatetime_name;
  std::string text;
  if (!mtr::readFile(path, text)) return 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str()) return 0;
  return static_cast<time_t>(v);
}
