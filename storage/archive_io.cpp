#include "storage/archive_io.h"

#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mtr {

namespace {

bool writeAll(int fd, const char* p, size_t left) {
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// Opens `path` for writing with exactly `mode`, whatever the umask.
int createExact(const std::string& path, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd >= 0 && fchmod(fd, mode) != 0) {
    close(fd);
    unlink(path.c_str());
    return -1;
  }
  return fd;
}

bool parseTerminated(const char* s, ArchiveRecord& rec) {
  // scanf itself: strtod alone accepts prefixes such as "5e" or "0x" that the
  // scanf pattern rejects. The time is read as 64 bits on every target.
  int64_t t = 0;
  int quality = 0;
  double value = 0.0;
  if (sscanf(s, "%" SCNd64 ",%d,%lf", &t, &quality, &value) != 3) return false;
  rec.time = t;
  rec.quality = quality;
  rec.value = value;
  return true;
}

}  // namespace

bool parseArchiveLine(const char* begin, const char* end, ArchiveRecord& rec) {
  // strtod would skip a line feed and read on into the next line, so each
  // line is parsed from its own terminated copy.
  size_t len = static_cast<size_t>(end - begin);
  char small[128];
  if (len < sizeof small) {
    memcpy(small, begin, len);
    small[len] = '\0';
    return parseTerminated(small, rec);
  }
  std::string big(begin, len);
  return parseTerminated(big.c_str(), rec);
}

size_t parseArchiveText(const std::string& text, std::vector<ArchiveRecord>& out) {
  size_t bad = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    const char* line_end = nl ? nl : end;
    ArchiveRecord rec;
    if (parseArchiveLine(p, line_end, rec))
      out.push_back(rec);
    else
      ++bad;
    p = nl ? nl + 1 : end;
  }
  return bad;
}

void formatArchiveRecords(const ArchiveRecord* first, const ArchiveRecord* last, std::string& out) {
  char buf[512];
  for (const ArchiveRecord* r = first; r != last; ++r) {
    int n = snprintf(buf, sizeof buf, "%" PRId64 ",%d,%f\n", r->time, r->quality, r->value);
    if (n < 0) continue;
    if (static_cast<size_t>(n) < sizeof buf) {
      out.append(buf, static_cast<size_t>(n));
    } else {
      // A huge value: format again into a buffer of the right size.
      std::string big(static_cast<size_t>(n) + 1, '\0');
      snprintf(&big[0], big.size(), "%" PRId64 ",%d,%f\n", r->time, r->quality, r->value);
      big.pop_back();
      out += big;
    }
  }
}

size_t countLineFeeds(const std::string& text) {
  size_t count = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end) {
    const char* nl = static_cast<const char*>(memchr(p, '\n', static_cast<size_t>(end - p)));
    if (!nl) break;
    ++count;
    p = nl + 1;
  }
  return count;
}

bool writeDurable(const std::string& path, const std::string& content, mode_t mode) {
  int fd = createExact(path, mode);
  if (fd < 0) return false;
  if (!writeAll(fd, content.data(), content.size()) || fsync(fd) != 0) {
    close(fd);
    unlink(path.c_str());
    return false;
  }
  if (close(fd) != 0) {
    unlink(path.c_str());
    return false;
  }
  return true;
}

bool copyDurable(const std::string& src, const std::string& dst, mode_t mode) {
  int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  struct stat st;
  if (fstat(in, &st) != 0) {
    close(in);
    return false;
  }
  int out = createExact(dst, mode);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  off_t offset = 0;
  while (offset < st.st_size) {
    ssize_t n = sendfile(out, in, &offset, static_cast<size_t>(st.st_size - offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = false;
      break;
    }
  }
  close(in);
  if (ok && fsync(out) != 0) ok = false;
  if (close(out) != 0) ok = false;
  if (!ok) unlink(dst.c_str());
  return ok;
}

bool syncDir(const std::string& dir) {
  int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = fsync(fd) == 0;
  close(fd);
  return ok;
}

std::string dirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

bool moveDurable(const std::string& src, const std::string& dst) {
  std::string dir = dirName(dst);
  if (rename(src.c_str(), dst.c_str()) == 0) {
    syncDir(dir);
    return true;
  }
  if (errno != EXDEV) return false;
  struct stat st;
  if (stat(src.c_str(), &st) != 0) return false;
  size_t slash = dst.find_last_of('/');
  std::string base = slash == std::string::npos ? dst : dst.substr(slash + 1);
  std::string part = dir + "/." + base + ".part";
  if (!copyDurable(src, part, st.st_mode & 07777)) return false;
  if (rename(part.c_str(), dst.c_str()) != 0) {
    unlink(part.c_str());
    return false;
  }
  syncDir(dir);
  unlink(src.c_str());
  return true;
}

}  // namespace mtr
