#include "line_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

namespace probe {

namespace {

std::vector<std::string> cmdline(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> args;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    args.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

bool isDaemon(const std::string& argv0) {
  size_t slash = argv0.rfind('/');
  return argv0.compare(slash == std::string::npos ? 0 : slash + 1, std::string::npos, "mtr_main") ==
         0;
}

// 1 held, 0 not, -1 cannot tell.
int holdsDevice(const std::string& fd_dir, dev_t rdev) {
  DIR* dir = opendir(fd_dir.c_str());
  if (!dir) return errno == EACCES ? -1 : 0;
  int held = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    if (stat((fd_dir + "/" + e->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
        st.st_rdev == rdev) {
      held = 1;
      break;
    }
  }
  closedir(dir);
  return held;
}

}  // namespace

std::vector<std::string> DaemonIdentifiers(const std::vector<std::string>& args) {
  std::vector<std::string> ids;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if ((a == "-i" || a == "--id") && i + 1 < args.size()) {
      ids.push_back(args[++i]);
    } else if (a.compare(0, 5, "--id=") == 0) {
      ids.push_back(a.substr(5));
    } else if (a.size() > 2 && a.compare(0, 2, "-i") == 0) {
      ids.push_back(a.substr(2));
    }
  }
  return ids;
}

std::vector<Holder> DaemonsHolding(dev_t rdev, const std::string& proc_root,
                                   std::vector<pid_t>* unknown) {
  std::vector<Holder> holders;
  DIR* proc = opendir(proc_root.c_str());
  if (!proc) return holders;
  const pid_t self = getpid();
  while (dirent* e = readdir(proc)) {
    char* end = nullptr;
    long pid = strtol(e->d_name, &end, 10);
    if (pid <= 0 || *end != '\0' || pid == self) continue;
    const std::string dir = proc_root + "/" + e->d_name;
    std::vector<std::string> args = cmdline(dir + "/cmdline");
    if (args.empty() || !isDaemon(args[0])) continue;
    const int held = holdsDevice(dir + "/fd", rdev);
    if (held < 0 && unknown) unknown->push_back(static_cast<pid_t>(pid));
    if (held <= 0) continue;
    Holder h;
    h.pid = static_cast<pid_t>(pid);
    h.identifiers = DaemonIdentifiers({args.begin() + 1, args.end()});
    holders.push_back(std::move(h));
  }
  closedir(proc);
  return holders;
}

LineCheck::~LineCheck() {
  if (fd_ >= 0) close(fd_);
}

bool LineCheck::fail(int code, const std::string& message) {
  exit_code_ = code;
  message_ = message;
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  return false;
}

bool LineCheck::check(const std::string& path, bool force) {
  // Non-blocking: a modem line without carrier must not hang the open.
  fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    const std::string why = path + ": " + strerror(err);
    switch (err) {
      case ENOENT:
      case ENXIO:
      case ENODEV:
      case ENOTDIR:
        return fail(kExitNoDevice, "no such device " + why);
      case EACCES:
      case EPERM:
      case EROFS:
        return fail(kExitPermission, "permission denied " + why);
      case EBUSY:
        return fail(kExitBusy, "device busy " + why + " (another process holds it exclusively)");
      default:
        return fail(kExitError, "cannot open " + why);
    }
  }
  struct stat st;
  if (fstat(fd_, &st) != 0 || !S_ISCHR(st.st_mode) || !isatty(fd_))
    return fail(kExitNoDevice, "no such device " + path + ": not a serial character device");
  if (flock(fd_, LOCK_EX | LOCK_NB) != 0)
    return fail(kExitBusy, "device busy " + path + ": another process holds a lock on it");
  if (force) return true;
  std::vector<pid_t> unknown;
  std::vector<Holder> holders = DaemonsHolding(st.st_rdev, "/proc", &unknown);
  if (holders.empty()) {
    for (pid_t pid : unknown)
      warning_ +=
          (warning_.empty() ? "cannot tell whether mtr_main pid " : ", ") + std::to_string(pid);
    if (!warning_.empty()) warning_ += " uses " + path + " (run as root to know)";
    return true;
  }
  std::string who;
  for (const Holder& h : holders) {
    if (!who.empty()) who += ", ";
    who += "pid " + std::to_string(h.pid);
    for (size_t i = 0; i < h.identifiers.size(); ++i)
      who += (i                          ? ", "
              : h.identifiers.size() > 1 ? " identifiers "
                                         : " identifier ") +
             h.identifiers[i];
  }
  return fail(kExitBusy, "device busy " + path + ": mtr_main uses it (" + who +
                             "); stop that daemon or give --force");
}

}  // namespace probe
