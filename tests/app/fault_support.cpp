#include "fault_support.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <regex>

namespace mtr_test {

namespace fs = std::filesystem;

FaultLine::FaultLine(const std::string& meters_json, const std::string& config_json)
    : tty_(dir_ / "tty"), log_(dir_ / "daemon.log"), sim_log_(dir_ / "frames.log") {
  port_ = freePort();
  writeFile(dir_ / "meters.json", meters_json);
  std::string config = config_json;
  for (size_t p; (p = config.find("@TTY@")) != std::string::npos;) config.replace(p, 5, tty_);
  writeFile(dir_ / "config.json", config);
}

bool FaultLine::startSim(const std::vector<std::string>& args) {
  std::vector<std::string> argv{
      binPath("mtr-metersim"), dir_ / "meters.json", "--link", tty_, "--log", sim_log_};
  argv.insert(argv.end(), args.begin(), args.end());
  const std::string n = std::to_string(++sim_runs_);
  // The link is replaced by the new simulator; wait for it to point elsewhere.
  auto target = [&] {
    std::error_code ec;
    return fs::read_symlink(tty_, ec).string();
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
  if (!exists(dir_ / "tmp")) return;
  for (const auto& id : ids_) writeFile(dir_ / ("tmp/kzp_force_update_" + id), "");
}

bool FaultLine::waitForced(const std::function<bool()>& pred, int timeout_ms) {
  return waitFor([&] { return forceUpdate(), pred(); }, timeout_ms, 250);
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

// {sessions, exceptions} of `id`; lines without a meter belong to the last one that logged.
std::pair<int, int> FaultLine::activity(const std::string& id) const {
  static const std::regex meter(R"(: \[(\d+)\]\[)");
  std::pair<int, int> out;
  std::string cur;
  std::smatch m;
  for (const auto& line : splitLines(log())) {
    if (std::regex_search(line, m, meter)) cur = m[1];
    if (cur != id) continue;
    if (line.find("functionThread() current values size = ") != std::string::npos &&
        line.find("size = 0") == std::string::npos)
      ++out.first;
    // (the logger cuts lines at 127 characters: the end of this one is lost)
    if (line.find("EXCEPTION!!! disconnecting from controller") != std::string::npos) ++out.second;
  }
  return out;
}

// Bad archive lines, timestamp files not one number, item files without their line feed.
std::string FaultLine::torn() const {
  static const std::regex archive_line(R"(-?\d+,-?\d+,[^,\n]*)");
  static const std::regex number(R"(-?\d+)");
  std::string bad;
  const std::string storage = root() + "/mnt/storage/", tmp = root() + "/tmp/";
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root(), ec), end; it != end; it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const std::string p = it->path().string(), name = it->path().filename().string();
    const std::string folder = it->path().parent_path().filename().string();
    const std::string text = readFile(p);
    if (p.rfind(storage, 0) == 0 && (folder == "tc_archives" || folder == "tc_backup")) {
      if (!text.empty() && text.back() != '\n') bad += p + ": no final line feed\n";
      for (const auto& line : splitLines(text))
        if (!std::regex_match(line, archive_line)) bad += p + ": line '" + line + "'\n";
    } else if (p.rfind(storage, 0) == 0 && name.rfind("timestamp_max_", 0) == 0) {
      if (!std::regex_match(text, number)) bad += p + ": '" + text + "'\n";
    } else if (p.rfind(tmp, 0) == 0 && folder == "tc_items" && name != "_Read_status" &&
               name.find(".tmp") == std::string::npos) {
      if (text.empty() || text.find('\n') != text.size() - 1) bad += p + ": '" + text + "'\n";
    }
  }
  return bad;
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

std::vector<ArchiveLine> readArchive(const std::string& path) {
  std::vector<ArchiveLine> out;
  for (const auto& line : splitLines(readFile(path))) {
    ArchiveLine a{};
    int used = 0;
    if (sscanf(line.c_str(), "%ld,%d,%n", &a.timestamp, &a.quality, &used) == 2 && used > 0)
      out.push_back({a.timestamp, a.quality, line.substr(used)});
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

}  // namespace mtr_test
