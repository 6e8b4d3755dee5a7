#pragma once

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace mtr_test {

// Simulator, configuration server and mtr_main under a temporary MTR_ROOT, each restartable.
class FaultLine {
 public:
  // `config_json`: identifier -> get_config answer, @TTY@ the line's link.
  FaultLine(const std::string& meters_json, const std::string& config_json);
  ~FaultLine() {
    if (daemon_) stopDaemon(3000);
  }

  // Simulator with extra options (faults, seed); it always logs its frames.
  bool startSim(const std::vector<std::string>& args = {});
  void stopSim();
  void signalSim(int sig) {
    if (sim_) sim_->kill(sig);
  }
  bool startServer();
  // mtr_main -v 7 -l <log> `extra` -i <id>...
  void startDaemon(const std::vector<std::string>& ids, const std::vector<std::string>& extra = {});
  Child& daemon() { return *daemon_; }
  // All three; false when the simulator or the server did not come up.
  bool start(const std::vector<std::string>& ids, const std::vector<std::string>& sim_args = {});
  bool daemonRunning() { return daemon_ && daemon_->running(); }
  int stopDaemon(int timeout_ms = 30000);

  // Ends every meter's wait between sessions at once.
  void forceUpdate();
  // waitFor with the waits between sessions cut short.
  bool waitForced(const std::function<bool()>& pred, int timeout_ms);
  // A session of `id` is over and it waits again (with an hourly pass stored).
  bool waitFullSession(const std::string& id, int timeout_ms, bool archives = true);

  std::string root() const { return dir_.path(); }
  std::string path(const std::string& rel) const { return dir_ / rel; }
  std::string log() const { return readFile(log_); }
  std::string logTail(size_t n = 6000) const;
  // The log has at least `count` lines holding `needle` within the time.
  bool logged(const std::string& needle, int count, int timeout_ms) const {
    return waitFor([&] { return countLinesContaining(log(), needle) >= count; }, timeout_ms, 100);
  }
  std::string simLog() const { return readFile(sim_log_); }
  // The configuration server's requests, one JSON line each.
  std::string recorded() const { return readFile(dir_ / "record.jsonl"); }
  std::string item(const std::string& id, const std::string& name, int sys = 1) const {
    return readFile(dir_ / ("tmp/" + id + "/" + std::to_string(sys) + "/tc_items/" + name));
  }
  std::string archiveDir(const std::string& id, int sys = 1) const {
    return dir_ / ("mnt/storage/" + id + "/" + std::to_string(sys) + "/tc_archives");
  }
  std::string timestampFile(const std::string& id, const std::string& kind) const {
    return readFile(dir_ / ("mnt/storage/" + id + "/timestamp_max_" + kind));
  }
  // From the log: sessions that read current values, and sessions that
  // ended in the cycle's exception.
  int sessions(const std::string& id) const { return activity(id).first; }
  int exceptions(const std::string& id) const { return activity(id).second; }
  // Files a crash or a full disk could have left half written, one per line.
  std::string torn() const;

 private:
  std::pair<int, int> activity(const std::string& id) const;
  TempDir dir_;
  std::string tty_, log_, sim_log_;
  int port_;
  std::vector<std::string> ids_;
  std::unique_ptr<Child> sim_, server_, daemon_;
  int sim_runs_ = 0;
};

// The simulator's Mercury 230 "m<address>"; `extra` adds fields.
std::string mercuryMeter(int address, const char* serial, const std::string& extra = "");
// One identifier's get_config answer, on the line's device at 9600 Bd.
std::string meterConfig(const char* id, const char* manufacturer, const std::string& serial,
                        const char* address, const std::string& password, const char* type,
                        const char* period = "60");

struct ArchiveLine {
  long timestamp;
  int quality;
  std::string value;
};
std::vector<ArchiveLine> readArchive(const std::string& path);
// Archive records of one meter: file name -> timestamp -> value texts.
using ArchiveSet = std::map<std::string, std::map<long, std::vector<std::string>>>;
ArchiveSet readArchives(const std::string& dir);

inline bool slowTestsEnabled() {
  const char* v = getenv("MTR_SLOW_TESTS");
  return v && std::string(v) == "1";
}

}  // namespace mtr_test
