#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace mtr_test {

// mtr-metersim logging its frames; `device` empty when it did not start.
struct SimProcess {
  TempDir dir;
  std::unique_ptr<Child> child;
  std::string device;

  SimProcess(const std::string& meters, const std::vector<std::string>& args) {
    writeFile(dir / "meters.json", meters);
    std::vector<std::string> argv = {binPath("mtr-metersim"), "--log", dir / "log"};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(dir / "meters.json");
    child = std::make_unique<Child>(argv, dir / "out", dir / "err");
    std::string out;  // a sanitized build starts slowly on a busy machine
    auto started = [&] { return (out = readFile(dir / "out")).find('\n') != out.npos; };
    waitFor([&] { return started() || !child->running(); }, 30000);
    if (out.rfind("device=", 0) == 0) device = out.substr(7, out.find('\n') - 7);
  }
  std::string log() const { return readFile(dir / "log"); }
  void stop() {
    if (child->running()) child->kill(SIGTERM);
    child->wait(3000);
  }
};

}  // namespace mtr_test
