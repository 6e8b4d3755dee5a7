#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace mtr_test {

// A line of simulated meters with one mtr_main polling it, where every part
// can fail on purpose: the simulator can be restarted (its pty closes and a
// new one takes the link), the configuration server can start late on a port
// chosen in advance, and the storage folder can be a mount of its own.
class FaultLine {
 public:
  // `config_json` maps each identifier to its get_config answer, @TTY@ being
  // the line's device link.
  FaultLine(const std::string& meters_json, const std::string& config_json);
  ~FaultLine();

  // Simulator with extra options (faults, seed); it always logs its frames.
  bool startSim(const std::vector<std::string>& args = {});
  void stopSim();
  void signalSim(int sig);
  bool simRunning();
  // Replaces the meter description used by the next startSim.
  void setMeters(const std::string& meters_json);

  // Configuration server on the port fixed at construction.
  bool startServer();
  void stopServer();

  void startDaemon(const std::vector<std::string>& ids);
  bool daemonRunning();
  int stopDaemon(int timeout_ms = 30000);

  // Ends every meter's wait between sessions at once.
  void forceUpdate();

  std::string root() const { return dir_.path(); }
  std::string path(const std::string& rel) const { return dir_ / rel; }
  std::string log() const { return readFile(log_); }
  std::string simLog() const { return readFile(sim_log_); }
  std::string item(const std::string& id, const std::string& name, int sys = 1) const;
  std::string archiveDir(const std::string& id, int sys = 1) const;

 private:
  TempDir dir_;
  std::string tty_, log_, sim_log_;
  int port_;
  std::vector<std::string> ids_;
  std::unique_ptr<Child> sim_, server_, daemon_;
  int sim_runs_ = 0;
};

// Per meter, from the daemon log: sessions that read current values, and
// sessions that ended in the cycle's exception. Lines of one process come
// from the meter holding the turn; framework lines carry no meter, so they
// belong to the last meter that logged.
struct MeterActivity {
  int sessions = 0;
  int exceptions = 0;
};
std::map<std::string, MeterActivity> activity(const std::string& log);

// Fault kinds the simulator reports having injected, per meter address.
std::map<std::string, std::set<std::string>> injectedFaults(const std::string& sim_log);

// Files under `root` that a crash or a full disk could have left half
// written: archive lines not "ts,quality,value\n", timestamp files that are
// not one number, item files without their line feed. Empty when all is well.
std::vector<std::string> tornFiles(const std::string& root);

// Archive records of one meter: file name -> timestamp -> value texts.
using ArchiveSet = std::map<std::string, std::map<long, std::vector<std::string>>>;
ArchiveSet readArchives(const std::string& dir);

// A tmpfs mounted for the scope (root only); `ok()` false when not possible.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& where, const std::string& options);
  ~ScopedTmpfs();
  bool ok() const { return ok_; }
  bool remount(const std::string& options);
  std::string error() const { return error_; }

 private:
  std::string where_;
  bool ok_ = false;
  std::string error_;
};

bool slowTestsEnabled();

}  // namespace mtr_test
