#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <vector>

#include "base/fsutil.h"
#include "base/logger.h"
#include "base/paths.h"
#include "storage/archive_io.h"
#include "storage/file_connector.h"

namespace {

const char kRotateBusy[] =
    "CJSONRPCConnector::RotateArchivesSys() data is read, but it is impossible to rewrite it in "
    "the release folder, the reporter blocked the folder!";

// Release files up to this many lines are left alone; longer ones keep the
// newest kKeepLines records.
constexpr size_t kMaxLines = 6499;
constexpr size_t kKeepLines = 4499;

// A failing archive file holds its kind's timestamp back this long (by the
// clock) before it is given up: long enough for a full card to be cleared or
// a remount to finish, short enough that the meter is not asked for a growing
// backlog on every pass.
constexpr time_t kRetrySeconds = 86400;

// A release file whose backup cannot be written is left whole until it has
// this many lines; beyond, its oldest records are dropped without a backup.
constexpr size_t kMaxLinesUnbacked = 13000;

// What an archive file ends with before a StoreArchive call.
struct Tail {
  bool known = false;  // the last line parsed; `time` is its time
  bool torn = false;   // no line feed at the end
  int64_t time = 0;
};

// Lines are appended in time order (rotation sorts what it rewrites), so the
// last line tells which times a file already holds; only the file's last
// bytes are read.
Tail readTail(int fd) {
  Tail tail;
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_size == 0) return tail;
  char buf[512];
  const off_t len = std::min<off_t>(st.st_size, sizeof buf);
  if (pread(fd, buf, static_cast<size_t>(len), st.st_size - len) != len) return tail;
  tail.torn = buf[len - 1] != '\n';
  if (tail.torn) return tail;
  const char* end = buf + len - 1;
  const char* start = end;
  while (start > buf && start[-1] != '\n') --start;
  if (start == buf && len < st.st_size) return tail;  // longer than any line we write
  mtr::ArchiveRecord rec;
  if (mtr::parseArchiveLine(start, end, rec)) {
    tail.known = true;
    tail.time = rec.time;
  }
  return tail;
}

enum class Append { kWritten, kPresent, kFailed };

// Appends `line`, stamped `t`, unless the file already held a line of that
// time or later when this call began (`tails` keeps that per path, so equal
// times within one list all go in). One write(2) on an O_APPEND descriptor,
// so a reader never sees half a line; a short write is cut back off.
Append appendRecord(const std::string& path, int64_t t, std::string line,
                    std::map<std::string, Tail>& tails) {
  int fd = open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd < 0) return Append::kFailed;
  auto it = tails.find(path);
  if (it == tails.end()) it = tails.emplace(path, readTail(fd)).first;
  Tail& tail = it->second;
  if (tail.known && t <= tail.time) {
    close(fd);
    return Append::kPresent;
  }
  // A torn last line stays on its own line (rotation drops it); ours is whole.
  if (tail.torn) line.insert(0, 1, '\n');
  struct stat st;
  bool have_size = fstat(fd, &st) == 0;
  ssize_t n;
  do {
    n = write(fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  bool ok = n == static_cast<ssize_t>(line.size());
  if (!ok && n > 0 && have_size) {
    if (ftruncate(fd, st.st_size) != 0) {
      // Nothing more to do: the next rotation drops a line it cannot parse.
    }
  }
  close(fd);
  if (ok) tail.torn = false;
  return ok ? Append::kWritten : Append::kFailed;
}

void syncFile(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

std::string utcStamp(time_t t) {
  struct tm tm;
  gmtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d_%H-%M-%S", &tm);
  return buf;
}

}  // namespace

namespace {
const std::string* timestampName(uint32_t kind, const std::string& h, const std::string& d,
                                 const std::string& m, const std::string& y) {
  switch (kind) {
    case Hourly:
      return &h;
    case Daily:
      return &d;
    case Monthly:
      return &m;
    case Yearly:
      return &y;
    default:
      return nullptr;
  }
}
}  // namespace

time_t HeatFileConnector::ReadTimestamp(uint32_t kind) {
  const std::string* name = timestampName(kind, ts_hourly, ts_daily, ts_monthly, ts_yearly);
  if (!name) return 0;
  std::string text;
  if (!mtr::readFile(storage_area + *name, text)) return 0;
  char* end = nullptr;
  long long v = strtoll(text.c_str(), &end, 10);
  if (end == text.c_str()) return 0;
  return static_cast<time_t>(v);
}

void HeatFileConnector::WriteTimestamp(uint32_t kind, time_t t) {
  const std::string* name = timestampName(kind, ts_hourly, ts_daily, ts_monthly, ts_yearly);
  if (!name) {
    LOG_ERR("HeatFileConnector::WriteTimestamp no timestamp file for kind %u", kind);
    return;
  }
  // Synced: after a power cut the file must not claim records the card lost.
  if (mtr::writeFileAtomic(storage_area + *name, std::to_string(static_cast<long long>(t)), true))
    mtr::syncDir(mtr::dirName(storage_area + *name));
  LOG_DEBUG("timestamp to file %d", static_cast<int>(t));
}

void HeatFileConnector::WriteConnectedFlag(int flag) {
  const std::string* name = LookupName(ValueNameTable, value_key(86, System));
  if (!name) return;
  std::vector<std::string> dirs;
  {
    std::lock_guard<std::mutex> lock(dirs_mutex);
    for (const auto& d : item_dirs) dirs.push_back(d.second);
  }
  if (dirs.empty()) dirs.push_back(ItemDir(current_system));
  std::string line = flag ? "1\n" : "0\n";
  for (const std::string& dir : dirs) mtr::writeFileAtomic(dir + *name, line);
}

time_t HeatFileConnector::MDateTimeAge() {
  struct stat st;
  if (stat((tmp_area + mdatetime_name).c_str(), &st) != 0) return 0;
  time_t mtime = st.st_mtime;
  struct tm tm;
  gmtime_r(&mtime, &tm);
  return mktime(&tm);
}

bool HeatFileConnector::StoreArchive(const MeasuredValueList& values, uint32_t kind, bool is_vkt7,
                                     bool is_vist) {
  LOG_DEBUG("%s", is_vkt7 ? "bIsVKT7 true" : "bIsVKT7 false");
  LOG_DEBUG("%s", is_vist ? "bIsVist true" : "bIsVist false");
  // A record that misses its file holds the timestamp below it, so later
  // passes read it again; files that already hold a record's time skip it, so
  // re-reading duplicates nothing. A file failing for kRetrySeconds is given
  // up (logged) and no longer holds the others back; when it takes lines
  // again, the gap it has is logged.
  const time_t now = clock->now();
  std::map<std::string, Tail> tails;
  std::vector<int64_t> stored_times;
  std::set<std::string> touched;
  for (const MeasuredValue& v : values) {
    const std::string* name = LookupName(ValueNameTable, v.value_key());
    if (!name) continue;
    std::string folder;
    if (is_vist)
      folder = WorkDir(v.sys);
    else
      folder =
          ArchiveDir(v.sys, is_vkt7 && (v.kind == Integral_daily || v.kind == Integral_hourly));
    std::string path = folder + *name;
    LOG_DEBUG("szFileName %s", path.c_str());
    int64_t shift = 0;
    if (arch_mode != 2) {
      if (v.kind == Integral_hourly) shift = 3600;
      if (v.kind == Integral_daily) shift = 86400;
    }
    const int64_t t = static_cast<int64_t>(v.timestamp) + shift;
    std::string line =
        std::to_string(t) + "," + std::to_string(v.opc_quality) + "," + v.value + "\n";
    Append result = appendRecord(path, t, std::move(line), tails);
    if (result == Append::kFailed) {
      auto [it, fresh] = failing_.try_emplace(path, Failing{kind, v.timestamp, t, now, false});
      if (!fresh && v.timestamp < it->second.first) {
        it->second.first = v.timestamp;
        it->second.first_line = t;
      }
      continue;
    }
    if (result == Append::kWritten) {
      touched.insert(path);
      LOG_DEBUG("val %s time %d", v.value.c_str(), static_cast<int>(t));
      auto f = failing_.find(path);
      if (f != failing_.end()) {
        const char* rel = path.c_str() + std::min(path.size(), storage_root.size());
        if (t > f->second.first_line)
          LOG_ERR("HeatFileConnector::StoreArchive %s lacks lines from %lld to before %lld", rel,
                  static_cast<long long>(f->second.first_line), static_cast<long long>(t));
        else if (f->second.given_up)
          LOG_NOTICE("HeatFileConnector::StoreArchive %s writable again", rel);
        failing_.erase(f);
      }
    }
    if (v.param_code != 14 && v.param_code != 15) stored_times.push_back(v.timestamp);
  }
  int64_t hold = INT64_MAX;
  for (auto& [path, f] : failing_) {
    if (f.kind != kind) continue;
    if (!f.given_up && now - f.since >= kRetrySeconds) {
      f.given_up = true;
      LOG_ERR("HeatFileConnector::StoreArchive gives up %s, failing since %lld, from line %lld on",
              path.c_str() + std::min(path.size(), storage_root.size()),
              static_cast<long long>(f.since), static_cast<long long>(f.first_line));
    }
    if (!f.given_up) hold = std::min(hold, f.first);
  }
  int64_t newest = 0;
  for (int64_t t : stored_times)
    if (t < hold && t > newest) newest = t;
  // The lines reach the card before the timestamp that covers them.
  for (const std::string& path : touched) syncFile(path);
  if (newest != 0) WriteTimestamp(kind, static_cast<time_t>(newest));
  return true;
}

void HeatFileConnector::RotateArchivesSys(int n, const std::string& folder) {
  MaintenanceLock lock(*this, kRotateBusy);
  std::string dir = FolderPath(n, folder);
  DIR* d = opendir(dir.c_str());
  if (!d) {
    LOG_ERR("CJSONRPCConnector::RotateArchivesSys directory not open [%s]", dir.c_str());
    return;
  }
  LOG_DEBUG("CJSONRPCConnector::RotateArchivesSys directory open [%s]", dir.c_str());
  std::vector<std::string> names;
  while (struct dirent* e = readdir(d)) {
    // Hidden names are unfinished copies, never release files.
    if (e->d_name[0] == '.') continue;
    if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
    names.push_back(e->d_name);
  }
  closedir(d);
  for (const std::string& f : names) RotateFile(n, folder, f);
}

bool HeatFileConnector::RotateFile(int n, const std::string& folder, const std::string& f) {
  std::string dir = FolderPath(n, folder);
  std::string path = dir + f;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  // Fewer bytes than lines allowed cannot hold too many lines.
  if (static_cast<size_t>(st.st_size) <= kMaxLines) return false;
  std::string text;
  if (!mtr::readFile(path, text)) return false;
  const size_t lines = mtr::countLineFeeds(text);
  if (lines <= kMaxLines) return false;

  std::vector<mtr::ArchiveRecord> recs;
  recs.reserve(lines + 1);
  size_t bad = mtr::parseArchiveText(text, recs);
  text.clear();
  text.shrink_to_fit();
  if (bad > 0)
    LOG_ERR("CJSONRPCConnector::RotateArchivesSys %zu unreadable lines in %s", bad, path.c_str());
  std::stable_sort(
      recs.begin(), recs.end(),
      [](const mtr::ArchiveRecord& a, const mtr::ArchiveRecord& b) { return a.time < b.time; });
  size_t k = recs.size() > kKeepLines ? recs.size() - kKeepLines : 0;
  mode_t perms = st.st_mode & 07777;
  std::string n_text = std::to_string(n);
  std::string outdated;
  std::string backup;

  // The outdated records are safe in the backup folder before the release
  // file loses them; until the final rename the release file holds them all.
  // Without a backup the file is left whole, up to kMaxLinesUnbacked lines;
  // a file longer than that drops its oldest records as the other folders do.
  if (folder == "tc_archives" && k > 0) {
    std::string stamp = utcStamp(clock->now());
    std::string base = key + "_" + n_text + "_" + f + "_" + stamp;
    outdated = mtr::rootedPath("/tmp/" + base);
    LOG_DEBUG("Create outdated file: %s", outdated.c_str());
    std::string content;
    mtr::formatArchiveRecords(recs.data(), recs.data() + k, content);
    bool backed_up = mtr::writeDurable(outdated, content, perms);
    if (!backed_up) {
      LOG_ERR("CJSONRPCConnector::RotateArchivesSys cannot write %s", outdated.c_str());
    } else {
      backup = backup_dir + "/" + base;
      // Two rotations of one file within a second must not overwrite a backup.
      for (int i = 1; mtr::fileExists(backup); ++i)
        backup = backup_dir + "/" + base + "_" + std::to_string(i);
      backed_up = mtr::moveDurable(outdated, backup);
      if (!backed_up) {
        LOG_CRIT("CJSONRPCConnector::RotateArchivesSys error of renaming: file %s to file %s",
                 outdated.c_str(), backup.c_str());
        backup.clear();
      }
    }
    if (!backed_up) {
      unlink(outdated.c_str());
      if (lines <= kMaxLinesUnbacked) return false;
      LOG_CRIT(
          "CJSONRPCConnector::RotateArchivesSys no backup: %zu records %lld..%lld of %s dropped", k,
          static_cast<long long>(recs.front().time), static_cast<long long>(recs[k - 1].time),
          path.c_str() + std::min(path.size(), storage_root.size()));
    }
  }

  std::string rot_dir = RotatePath(n, folder);
  mtr::makeDirs(rot_dir);
  std::string rot = rot_dir + f;
  std::string part = rot_dir + "." + f + ".part";
  std::string content;
  mtr::formatArchiveRecords(recs.data() + k, recs.data() + recs.size(), content);
  bool ok = mtr::writeDurable(part, content, perms);
  if (!ok) {
    LOG_ERR("CJSONRPCConnector::RotateArchivesSys cannot write %s", part.c_str());
  } else if (rename(part.c_str(), rot.c_str()) != 0 || rename(rot.c_str(), path.c_str()) != 0) {
    LOG_CRIT("CJSONRPCConnector::RotateArchivesSys error of renaming: file %s to file %s",
             rot.c_str(), path.c_str());
    ok = false;
  }
  if (ok) {
    mtr::syncDir(dir);
  } else if (!backup.empty()) {
    // The release file is unchanged and still holds the outdated records.
    unlink(backup.c_str());
  }
  unlink(part.c_str());
  unlink(rot.c_str());
  if (!outdated.empty()) unlink(outdated.c_str());
  return ok;
}
