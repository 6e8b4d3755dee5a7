#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace mtr_test {

// One simulated line served by mtr-metersim and one mtr_main polling it, all
// under a temporary MTR_ROOT.
class SimulatedLine {
 public:
  // `meters_json` is the simulator's description; `config_json` maps each
  // identifier to its get_config result, with @TTY@ standing for the line.
  SimulatedLine(const std::string& meters_json, const std::string& config_json,
                const std::vector<std::string>& sim_args = {});
  ~SimulatedLine();

  bool ready() const { return ready_; }
  void startDaemon(const std::vector<std::string>& ids);
  // SIGTERM plus force-update markers so the round in progress ends; status or -1.
  int stopDaemon(int timeout_ms = 30000);

  std::string root() const { return dir_.path(); }
  std::string item(const std::string& id, const std::string& name, int sys_folder = 1) const;
  std::string archivePath(const std::string& id, const std::string& name, int sys_folder = 1) const;
  std::string timestampFile(const std::string& id, const std::string& kind) const;
  std::string log() const { return readFile(log_); }
  // Waits until the meter finished a session with archives and is waiting again.
  bool waitFullSession(const std::string& id, int timeout_ms);

 private:
  TempDir dir_;
  std::string tty_;
  std::string log_;
  bool ready_ = false;
  std::unique_ptr<Child> sim_;
  std::unique_ptr<ConfServer> server_;
  std::unique_ptr<Child> daemon_;
  std::vector<std::string> ids_;
};

struct ArchiveLine {
  long timestamp;
  int quality;
  std::string value;
};
std::vector<ArchiveLine> readArchive(const std::string& path);

}  // namespace mtr_test
