#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"

namespace mtr_test {

// A fresh folder removed with everything in it at scope end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Sets (or unsets with null) an environment variable for the scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();

 private:
  std::string name_;
  bool had_;
  std::string old_;
};

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  bool signaled = false;
  int signal = 0;
  std::string out;
  std::string err;
};

// Runs argv to completion (killing it after timeout_ms) and collects its output.
ProcessResult runProcess(const std::vector<std::string>& argv, int timeout_ms = 10000,
                         const std::vector<std::string>& env = {});

// A child process running in the background, its stdout and stderr in files.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& out_file,
        const std::string& err_file, const std::vector<std::string>& env = {});
  ~Child();  // SIGKILL if still running
  pid_t pid() const { return pid_; }
  void kill(int sig);
  // Waits for exit; false on timeout. `status` as in ProcessResult.
  bool wait(int timeout_ms, ProcessResult* result = nullptr);
  bool running();

 private:
  pid_t pid_;
  bool reaped_ = false;
  ProcessResult result_;
};

bool waitFor(const std::function<bool()>& pred, int timeout_ms, int step_ms = 10);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool exists(const std::string& path);
std::vector<std::string> splitLines(const std::string& text);
int countLinesContaining(const std::string& text, const std::string& needle);
std::string binPath(const std::string& name);  // build/bin/<name>
int freePort();

// A clock that only moves when slept on.
class FakeClock : public mtr::Clock {
 public:
  explicit FakeClock(time_t start = 1700000000) : ms_(static_cast<long long>(start) * 1000) {}
  time_t now() override { return static_cast<time_t>(ms_.load() / 1000); }
  void sleepMs(long ms) override;
  void advance(long ms) { ms_ += ms; }
  long long nowMs() { return ms_.load(); }

 private:
  std::atomic<long long> ms_;
};

}  // namespace mtr_test
