#include "fault_support.h"

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>

namespace mtr_test {

namespace fs = std::filesystem;

namespace {

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}

bool isDir(const std::string& p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

FaultLine::FaultLine(const std::string& meters_json, const std::string& config_json) {
  tty_ = dir_ / "tty";
  log_ = dir_ / "daemon.log";
  sim_log_ = dir_ / "frames.log";
  port_ = freePort();
  writeFile(dir_ / "meters.json", meters_json);
  writeFile(dir_ / "config.json", replaceAll(config_json, "@TTY@", tty_));
}

bool FaultLine::startSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv{
      binPath("mtr-metersim"), dir_ / "meters.json", "--link", tty_, "--log", sim_log_};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string n = std::to_string(++sim_runs_);
  // The link is replaced by the new simulator; wait for it to point elsewhere.
  auto target = [&] {
    char buf[512] = {0};
    ssize_t l = readlink(tty_.c_str(), buf, sizeof buf - 1);
    return l > 0 ? std::string(buf, l) : "";
  };
  const std::string before = target();
  sim_ = std::make_unique<Child>(argv, dir_ / ("sim" + n + ".out"), dir_ / ("sim" + n + ".err"));
  return waitFor([&] { return !target().empty() && target() != before; }, 30000);
}

void FaultLine::stopSim() {
  if (!sim_) return;
  sim_->kill(SIGTERM);
  sim_->wait(5000);
  sim_.reset();
}

bool FaultLine::startServer() {
  server_ = std::make_unique<Child>(
      std::vector<std::string>{binPath("mtr-confsrv"), "--config", dir_ / "config.json", "--port",
                               std::to_string(port_), "--sensor-port", "-1", "--record",
                               dir_ / "record.jsonl"},
      dir_ / "confsrv.out", dir_ / "confsrv.err");
  return waitFor(
      [&] { return readFile(dir_ / "confsrv.out").find("config-port=") != std::string::npos; },
      30000);
}

void FaultLine::startDaemon(const std::vector<std::string>& ids,
                            const std::vector<std::string>& extra) {
  ids_ = ids;
  std::vector<std::string> argv{binPath("mtr_main"), "-v", "7", "-l", log_};
  argv.insert(argv.end(), extra.begin(), extra.end());
  for (const auto& id : ids) argv.insert(argv.end(), {"-i", id});
  daemon_ = std::make_unique<Child>(
      argv, dir_ / "daemon.out", dir_ / "daemon.err",
      std::vector<std::string>{"MTR_ROOT=" + dir_.path(),
                               "MTR_CONFIG_URL=http://127.0.0.1:" + std::to_string(port_) + "/"});
}

bool FaultLine::start(const std::vector<std::string>& ids,
                      const std::vector<std::string>& sim_args) {
  if (!startSim(sim_args) || !startServer()) return false;
  startDaemon(ids);
  return true;
}

int FaultLine::stopDaemon(int timeout_ms) {
  if (!daemon_) return -1;
  daemon_->kill(SIGTERM);
  ProcessResult r;
  bool done = waitForced([&] { return !daemon_->running(); }, timeout_ms);
  int status = done && daemon_->wait(1000, &r) ? r.status : -1;
  daemon_.reset();
  return status;
}

void FaultLine::forceUpdate() {
  if (!isDir(dir_ / "tmp")) return;
  for (const auto& id : ids_) writeFile(dir_ / ("tmp/kzp_force_update_" + id), "");
}

bool FaultLine::waitForced(const std::function<bool()>& pred, int timeout_ms) {
  return waitFor(
      [&] {
        forceUpdate();
        return pred();
      },
      timeout_ms, 250);
}

bool FaultLine::waitFullSession(const std::string& id, int timeout_ms, bool archives) {
  return waitFor(
      [&] {
        return sessions(id) >= 1 && item(id, "_Read_status") == "wait" &&
               (!archives || !timestampFile(id, "hourly").empty());
      },
      timeout_ms, 100);
}

std::string FaultLine::logTail(size_t n) const {
  std::string text = log();
  return text.size() > n ? text.substr(text.size() - n) : text;
}

std::string FaultLine::torn() const {
  std::string out;
  for (const auto& f : tornFiles(root())) out += f + "\n";
  return out;
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

std::string mercuryMeter(int address, const char* serial, const std::string& extra) {
  return std::string(R"({"protocol": "mercury230", "name": "m)") + std::to_string(address) +
         R"(", "address": )" + std::to_string(address) + R"(, "serial": ")" + serial +
         R"(", "model": "mercury230", "voltage": [229.87, 231.02, 230.44],
   "current": [3.214, 2.108, 1.556], "power": [702.4, 463.8, 341.9],
   "reactive": [120.5, -35.2, 60.0], "frequency": 49.98,
   "energy": {"A+": [31250.512, 12480.25, 0, 0]}, "profile": {"period": 30, "depth": 24})" +
         extra + "}";
}

std::string meterConfig(const char* id, const char* manufacturer, const std::string& serial,
                        const char* address, const std::string& password, const char* type,
                        const char* period) {
  return std::string("\"") + id + R"(": {"manufacturer": ")" + manufacturer + R"(", "serial": ")" +
         serial + R"(", "net_address": ")" + address + R"(", "password": ")" + password +
         R"(", "password_type": ")" + type + R"(", "period_current": ")" + period +
         R"(", "port_params": {"name": "@TTY@", "speed": "9600"}})";
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
  const std::string storage = root + "/mnt/storage/", tmp = root + "/tmp/";
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const std::string p = it->path().string(), name = it->path().filename().string();
    const std::string folder = it->path().parent_path().filename().string();
    const std::string text = readFile(p);
    if (p.rfind(storage, 0) == 0 && (folder == "tc_archives" || folder == "tc_backup")) {
      if (!text.empty() && text.back() != '\n') bad.push_back(p + ": no final line feed");
      for (const auto& line : splitLines(text))
        if (!std::regex_match(line, archive_line)) bad.push_back(p + ": line '" + line + "'");
    } else if (p.rfind(storage, 0) == 0 && name.rfind("timestamp_max_", 0) == 0) {
      if (!std::regex_match(text, number)) bad.push_back(p + ": '" + text + "'");
    } else if (p.rfind(tmp, 0) == 0 && folder == "tc_items" && name != "_Read_status" &&
               name.find(".tmp") == std::string::npos) {
      if (text.empty() || text.find('\n') != text.size() - 1) bad.push_back(p + ": '" + text + "'");
    }
  }
  return bad;
}

std::vector<ArchiveLine> readArchive(const std::string& path) {
  std::vector<ArchiveLine> out;
  for (const auto& line : splitLines(readFile(path))) {
    ArchiveLine a{};
    char c1 = 0, c2 = 0;
    std::istringstream in(line);
    in >> a.timestamp >> c1 >> a.quality >> c2;
    std::getline(in, a.value);
    if (c1 == ',' && c2 == ',') out.push_back(a);
  }
  return out;
}

ArchiveSet readArchives(const std::string& dir) {
  ArchiveSet out;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec))
    for (const auto& a : readArchive(e.path().string()))
      out[e.path().filename().string()][a.timestamp].push_back(a.value);
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
