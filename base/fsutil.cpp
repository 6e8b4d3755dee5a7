#include "base/fsutil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace mtr {

bool makeDirs(const std::string& path, mode_t mode) {
  if (path.empty()) return false;
  std::string cur;
  size_t pos = 0;
  while (pos != std::string::npos) {
    size_t next = path.find('/', pos + 1);
    cur = path.substr(0, next);
    pos = next;
    if (cur.empty() || cur == "/") continue;
    if (mkdir(cur.c_str(), mode) != 0 && errno != EEXIST) return false;
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeSymlink(const std::string& target, const std::string& link) {
  std::string l = link;
  while (l.size() > 1 && l.back() == '/') l.pop_back();
  struct stat st;
  if (lstat(l.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) return false;  // never replace a real folder
    char buf[4096];
    ssize_t n = readlink(l.c_str(), buf, sizeof buf);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target) return true;
    // Replace atomically: new link beside it, then rename over.
    std::string tmp = l + ".lnk" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0) return false;
    if (rename(tmp.c_str(), l.c_str()) != 0) {
      unlink(tmp.c_str());
      return false;
    }
    return true;
  }
  return symlink(target.c_str(), l.c_str()) == 0;
}

bool writeFileAtomic(const std::string& path, const std::string& content, bool sync) {
  static std::atomic<unsigned> counter{0};
  size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp = dir + "/." + base + ".tmp" + std::to_string(getpid()) + "_" +
                    std::to_string(counter.fetch_add(1));
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const char* p = content.data();
  size_t left = content.size();
  while (left > 0) {
    ssize_t n = write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      unlink(tmp.c_str());
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  if (sync && fsync(fd) != 0) {
    close(fd);
    unlink(tmp.c_str());
    return false;
  }
  if (close(fd) != 0 || rename(tmp.c_str(), path.c_str()) != 0) {
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

bool readFile(const std::string& path, std::string& out) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out.clear();
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      close(fd);
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

bool fileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

}  // namespace mtr
