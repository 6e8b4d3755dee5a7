#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace probe {

// What keeps the probe off a line, each with its own exit status.
enum Exit {
  kExitFound = 0,
  kExitError = 1,
  kExitUsage = 2,
  kExitNoDevice = 3,
  kExitPermission = 4,
  kExitBusy = 5,
  kExitNothing = 6,
  kExitBadChecksum = 7,
};

// A running mtr_main that has the device open.
struct Holder {
  pid_t pid = 0;
  std::vector<std::string> identifiers;  // its -i / --id arguments
};

// The identifiers on an mtr_main command line (arguments after argv[0]).
std::vector<std::string> DaemonIdentifiers(const std::vector<std::string>& args);

// Running mtr_main processes (found under `proc_root`, normally "/proc") that
// hold a descriptor on the character device `rdev`; those whose descriptors
// cannot be read (another user's) go to `unknown`.
std::vector<Holder> DaemonsHolding(dev_t rdev, const std::string& proc_root = "/proc",
                                   std::vector<pid_t>* unknown = nullptr);

// Checks that `path` can be opened and is free; on success keeps an exclusive
// advisory lock on it until destruction. Otherwise `exit_code` and `message`
// say why.
class LineCheck {
 public:
  LineCheck() = default;
  ~LineCheck();
  LineCheck(const LineCheck&) = delete;
  LineCheck& operator=(const LineCheck&) = delete;

  bool check(const std::string& path, bool force);
  int exitCode() const { return exit_code_; }
  const std::string& message() const { return message_; }
  // Set when the line is free as far as could be seen, but not for certain.
  const std::string& warning() const { return warning_; }

 private:
  bool fail(int code, const std::string& message);
  int fd_ = -1;
  int exit_code_ = kExitFound;
  std::string message_;
  std::string warning_;
};

}  // namespace probe
