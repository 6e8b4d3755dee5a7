#include "e2e_support.h"

#include <signal.h>

#include <sstream>

namespace mtr_test {

namespace {
std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}
}  // namespace

SimulatedLine::SimulatedLine(const std::string& meters_json, const std::string& config_json,
                             const std::vector<std::string>& sim_args) {
  tty_ = dir_ / "tty";
  log_ = dir_ / "daemon.log";
  writeFile(dir_ / "meters.json", meters_json);
  std::vector<std::string> argv{binPath("mtr-metersim"), dir_ / "meters.json", "--link", tty_};
  argv.insert(argv.end(), sim_args.begin(), sim_args.end());
  sim_ = std::make_unique<Child>(argv, dir_ / "sim.out", dir_ / "sim.err");
  if (!waitFor([&] { return exists(tty_); }, 30000)) return;
  server_ = std::make_unique<ConfServer>(replaceAll(config_json, "@TTY@", tty_));
  ready_ = server_->ok();
}

SimulatedLine::~SimulatedLine() {
  if (daemon_) stopDaemon(3000);
}

void SimulatedLine::startDaemon(const std::vector<std::string>& ids) {
  ids_ = ids;
  std::vector<std::string> argv{binPath("mtr_main"), "-v", "7", "-l", log_};
  for (const auto& id : ids) {
    argv.push_back("-i");
    argv.push_back(id);
  }
  daemon_ = std::make_unique<Child>(
      argv, dir_ / "daemon.out", dir_ / "daemon.err",
      std::vector<std::string>{"MTR_ROOT=" + dir_.path(), "MTR_CONFIG_URL=" + server_->url()});
}

int SimulatedLine::stopDaemon(int timeout_ms) {
  if (!daemon_) return -1;
  daemon_->kill(SIGTERM);
  for (const auto& id : ids_) writeFile(dir_ / ("tmp/kzp_force_update_" + id), "");
  ProcessResult r;
  int status = daemon_->wait(timeout_ms, &r) ? r.status : -1;
  daemon_.reset();
  return status;
}

std::string SimulatedLine::item(const std::string& id, const std::string& name,
                                int sys_folder) const {
  return readFile(dir_ / ("tmp/" + id + "/" + std::to_string(sys_folder) + "/tc_items/" + name));
}

std::string SimulatedLine::archivePath(const std::string& id, const std::string& name,
                                       int sys_folder) const {
  return dir_ / ("mnt/storage/" + id + "/" + std::to_string(sys_folder) + "/tc_archives/" + name);
}

std::string SimulatedLine::timestampFile(const std::string& id, const std::string& kind) const {
  return readFile(dir_ / ("mnt/storage/" + id + "/timestamp_max_" + kind));
}

bool SimulatedLine::waitFullSession(const std::string& id, int timeout_ms) {
  return waitFor(
      [&] { return !timestampFile(id, "hourly").empty() && item(id, "_Read_status") == "wait"; },
      timeout_ms, 100);
}

std::vector<ArchiveLine> readArchive(const std::string& path) {
  std::vector<ArchiveLine> out;
  for (const auto& line : splitLines(readFile(path))) {
    ArchiveLine a{};
    std::istringstream in(line);
    char c1 = 0, c2 = 0;
    in >> a.timestamp >> c1 >> a.quality >> c2;
    std::getline(in, a.value);
    if (c1 == ',' && c2 == ',') out.push_back(a);
  }
  return out;
}

}  // namespace mtr_test
