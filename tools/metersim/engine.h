#pragma once

#include <memory>
#include <string>
#include <vector>

#include "family.h"
#include "faults.h"
#include "frame_log.h"
#include "pty_line.h"

namespace msim {

struct Options {
  std::string meters_file;
  std::string link;
  std::string log_file;
  int baud = 0;
  LineFormat format;
  int reply_delay_ms = 0;
  int late_ms = 6000;  // the delay fault: beyond the daemon's 5 s read timeout
  std::vector<FaultRule> faults;
  uint64_t seed = 0;
  bool seed_given = false;
  bool verbose = false;
  std::vector<long> clock_jumps;  // applied one per SIGUSR2, in turn
};

// Parses argv; false with `err` set on bad usage. `help` is set for --help.
bool parseOptions(int argc, char** argv, Options& opt, bool& help, std::string& err);
const char* usageText();

// Reads the meter description file into families (one per protocol used).
std::vector<std::unique_ptr<Family>> loadMeters(const std::string& path, size_t& meter_count);

// Stop, mute and wake-up through a self-pipe, so that every wait also watches
// for SIGTERM and SIGINT; SIGUSR1 toggles mute (all meters fall silent),
// SIGUSR2 moves the meter clocks by the next of Options::clock_jumps.
void installSignalHandlers();
bool stopRequested();

class Engine {
 public:
  Engine(const Options& opt, PtyLine& line, std::vector<std::unique_ptr<Family>> families,
         FrameLog& log);
  void run();  // until SIGTERM or SIGINT

 private:
  void process(const Bytes& frame, double first_byte_at);
  // Waits until the monotonic time `t`; false when a stop was requested.
  bool sleepUntil(double t);
  bool send(const Bytes& bytes, double byte_seconds);
  void checkSignals();

  const Options& opt_;
  PtyLine& line_;
  std::vector<std::unique_ptr<Family>> families_;
  FrameLog& log_;
  FaultInjector faults_;
  LineState state_;
  bool muted_ = false;
  int mute_seen_ = 0;
  int jumps_seen_ = 0;
};

}  // namespace msim
