#include "fault_support.h"

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <sstream>

namespace mtr_test {

namespace {

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

std::vector<std::string> listDir(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
  }
  return out;
}

bool isDir(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool isFile(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

FaultLine::FaultLine(const std::string& meters_json, const std::string& config_json) {
  tty_ = dir_ / "tty";
  log_ = dir_ / "daemon.log";
  sim_log_ = dir_ / "frames.log";
  port_ = freePort();
  setMeters(meters_json);
  writeFile(dir_ / "config.json", replaceAll(config_json, "@TTY@", tty_));
}

FaultLine::~FaultLine() {
  if (daemon_) stopDaemon(3000);
}

void FaultLine::setMeters(const std::string& meters_json) {
  writeFile(dir_ / "meters.json", meters_json);
}

bool FaultLine::startSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv{
      binPath("mtr-metersim"), dir_ / "meters.json", "--link", tty_, "--log", sim_log_};
  argv.insert(argv.end(), args.begin(), args.end());
  ++sim_runs_;
  const std::string n = std::to_string(sim_runs_);
  // The link is replaced by the new simulator; wait for it to point elsewhere.
  char old[512] = {0};
  ssize_t len = readlink(tty_.c_str(), old, sizeof old - 1);
  std::string before = len > 0 ? std::string(old, len) : "";
  sim_ = std::make_unique<Child>(argv, dir_ / ("sim" + n + ".out"), dir_ / ("sim" + n + ".err"));
  return waitFor(
      [&] {
        char buf[512] = {0};
        ssize_t l = readlink(tty_.c_str(), buf, sizeof buf - 1);
        return l > 0 && std::string(buf, l) != before;
      },
      30000);
}

void FaultLine::stopSim() {
  if (!sim_) return;
  sim_->kill(SIGTERM);
  sim_->wait(5000);
  sim_.reset();
}

void FaultLine::signalSim(int sig) {
  if (sim_) sim_->kill(sig);
}

bool FaultLine::simRunning() {
  return sim_ && sim_->running();
}

bool FaultLine::startServer() {
  server_ = std::make_unique<Child>(
      std::vector<std::string>{binPath("mtr-confsrv"), "--config", dir_ / "config.json", "--port",
                               std::to_string(port_), "--sensor-port", "-1"},
      dir_ / "confsrv.out", dir_ / "confsrv.err");
  return waitFor(
      [&] { return readFile(dir_ / "confsrv.out").find("config-port=") != std::string::npos; },
      30000);
}

void FaultLine::stopServer() {
  if (!server_) return;
  server_->kill(SIGTERM);
  server_->wait(5000);
  server_.reset();
}

void FaultLine::startDaemon(const std::vector<std::string>& ids) {
  ids_ = ids;
  std::vector<std::string> argv{binPath("mtr_main"), "-v", "7", "-l", log_};
  for (const auto& id : ids) {
    argv.push_back("-i");
    argv.push_back(id);
  }
  daemon_ = std::make_unique<Child>(
      argv, dir_ / "daemon.out", dir_ / "daemon.err",
      std::vector<std::string>{"MTR_ROOT=" + dir_.path(),
                               "MTR_CONFIG_URL=http://127.0.0.1:" + std::to_string(port_) + "/"});
}

bool FaultLine::daemonRunning() {
  return daemon_ && daemon_->running();
}

int FaultLine::stopDaemon(int timeout_ms) {
  if (!daemon_) return -1;
  daemon_->kill(SIGTERM);
  ProcessResult r;
  bool done = waitFor(
      [&] {
        forceUpdate();
        return !daemon_->running();
      },
      timeout_ms, 200);
  int status = done && daemon_->wait(1000, &r) ? r.status : -1;
  daemon_.reset();
  return status;
}

void FaultLine::forceUpdate() {
  if (!isDir(dir_ / "tmp")) return;
  for (const auto& id : ids_) writeFile(dir_ / ("tmp/kzp_force_update_" + id), "");
}

std::string FaultLine::item(const std::string& id, const std::string& name, int sys) const {
  return readFile(dir_ / ("tmp/" + id + "/" + std::to_string(sys) + "/tc_items/" + name));
}

std::string FaultLine::archiveDir(const std::string& id, int sys) const {
  return dir_ / ("mnt/storage/" + id + "/" + std::to_string(sys) + "/tc_archives");
}

std::map<std::string, MeterActivity> activity(const std::string& log) {
  static const std::regex meter(R"(: \[(\d+)\]\[)");
  std::map<std::string, MeterActivity> out;
  std::string cur;
  std::smatch m;
  for (const auto& line : splitLines(log)) {
    if (std::regex_search(line, m, meter)) cur = m[1];
    if (cur.empty()) continue;
    if (line.find("functionThread() current values size = ") != std::string::npos &&
        line.find("size = 0") == std::string::npos)
      ++out[cur].sessions;
    // (the logger cuts lines at 127 characters: the end of this one is lost)
    if (line.find("EXCEPTION!!! disconnecting from controller") != std::string::npos)
      ++out[cur].exceptions;
  }
  return out;
}

std::map<std::string, std::set<std::string>> injectedFaults(const std::string& sim_log) {
  static const std::regex rx(R"( RX .*; meter ([^:]+):)");
  static const std::regex fault(R"(fault ([a-z]+))");
  std::map<std::string, std::set<std::string>> out;
  std::string cur;
  std::smatch m;
  for (const auto& line : splitLines(sim_log)) {
    if (std::regex_search(line, m, rx)) {
      cur = m[1];
      continue;
    }
    if (!cur.empty() && std::regex_search(line, m, fault)) out[cur].insert(m[1]);
  }
  return out;
}

std::vector<std::string> tornFiles(const std::string& root) {
  static const std::regex archive_line(R"(-?\d+,-?\d+,[^,\n]*)");
  static const std::regex number(R"(-?\d+)");
  std::vector<std::string> bad;
  auto checkArchive = [&](const std::string& f) {
    std::string text = readFile(f);
    if (!text.empty() && text.back() != '\n') {
      bad.push_back(f + ": no final line feed");
      return;
    }
    for (const auto& line : splitLines(text))
      if (!std::regex_match(line, archive_line)) {
        bad.push_back(f + ": line '" + line + "'");
        return;
      }
  };
  const std::string storage = root + "/mnt/storage";
  for (const auto& meter : listDir(storage)) {
    const std::string m = storage + "/" + meter;
    if (meter == "tc_backup") {
      for (const auto& f : listDir(m)) checkArchive(m + "/" + f);
      continue;
    }
    for (const auto& entry : listDir(m)) {
      const std::string p = m + "/" + entry;
      if (entry.rfind("timestamp_max_", 0) == 0 && isFile(p)) {
        std::string t = readFile(p);
        if (!std::regex_match(t, number)) bad.push_back(p + ": '" + t + "'");
      } else if (isDir(p + "/tc_archives")) {
        for (const auto& f : listDir(p + "/tc_archives")) checkArchive(p + "/tc_archives/" + f);
      }
    }
  }
  const std::string tmp = root + "/tmp";
  for (const auto& meter : listDir(tmp)) {
    for (const auto& sys : listDir(tmp + "/" + meter)) {
      const std::string items = tmp + "/" + meter + "/" + sys + "/tc_items";
      if (!isDir(items)) continue;
      for (const auto& f : listDir(items)) {
        if (f == "_Read_status" || f.find(".tmp") != std::string::npos) continue;
        std::string text = readFile(items + "/" + f);
        if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1)
          bad.push_back(items + "/" + f + ": '" + text + "'");
      }
    }
  }
  return bad;
}

ArchiveSet readArchives(const std::string& dir) {
  ArchiveSet out;
  for (const auto& f : listDir(dir)) {
    for (const auto& line : splitLines(readFile(dir + "/" + f))) {
      size_t a = line.find(','), b = line.find(',', a + 1);
      if (a == std::string::npos || b == std::string::npos) continue;
      out[f][std::stol(line.substr(0, a))].push_back(line.substr(b + 1));
    }
  }
  return out;
}

ScopedTmpfs::ScopedTmpfs(const std::string& where, const std::string& options) : where_(where) {
  if (geteuid() != 0) {
    error_ = "not root";
    return;
  }
  mkdir(where.c_str(), 0755);
  if (mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) != 0) {
    error_ = std::string("mount: ") + strerror(errno);
    return;
  }
  ok_ = true;
}

ScopedTmpfs::~ScopedTmpfs() {
  if (ok_ && umount2(where_.c_str(), MNT_DETACH) != 0) perror("umount");
}

bool ScopedTmpfs::remount(const std::string& options) {
  unsigned long flags = MS_REMOUNT;
  if (options.find("ro") == 0) flags |= MS_RDONLY;
  return mount("tmpfs", where_.c_str(), "tmpfs", flags, options.c_str()) == 0;
}

bool slowTestsEnabled() {
  const char* v = getenv("MTR_SLOW_TESTS");
  return v && std::string(v) == "1";
}

}  // namespace mtr_test
