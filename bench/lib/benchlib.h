#pragma once
// Helpers shared by the benches: child processes (optionally real-time),
// /proc figures, the simulated line (mtr-metersim + mtr-confsrv + mtr_main),
// log parsing and the result table lines that bench/run.sh collects.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bench {

double wallNow();  // CLOCK_REALTIME, seconds
double monoNow();
void sleepSeconds(double s);
bool waitUntil(const std::function<bool()>& pred, double timeout_s, double step_s = 0.1);

struct Stats {
  double min = 0, median = 0, max = 0;
  size_t n = 0;
};
Stats stats(std::vector<double> v);
std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
int envInt(const char* name, int fallback);
// The meter counts named on the command line, or 1, 8, 32 and 64.
std::vector<int> meterCounts(int argc, char** argv);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
bool exists(const std::string& path);
std::string makeTempDir(const std::string& prefix);
void removeTree(const std::string& path);
std::string binDir();  // where mtr_main and the tools are; $BIN overrides
// Parent folder for a daemon's MTR_ROOT: the concentrator's /tmp is RAM, so a
// tmpfs (/dev/shm) when there is one; $BENCH_ROOT overrides.
std::string ramDir();
std::string loadAverage();

// A child process with stdout and stderr in files. rt_priority > 0 runs it
// under SCHED_FIFO (set between fork and exec, so every thread inherits it).
class Proc {
 public:
  Proc(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
       const std::vector<std::string>& env = {}, int rt_priority = 0);
  ~Proc();  // SIGKILL if still running
  pid_t pid() const { return pid_; }
  void signal(int sig);
  bool wait(double timeout_s, int* status = nullptr);
  bool running();

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

// Starts mtr-confsrv on `config` (a free port, no sensor port), its output
// in `dir`; returns its URL, or "" when it did not come up within 10 s.
std::string startConfServer(std::unique_ptr<Proc>& proc, const std::string& config,
                            const std::string& dir);

// On SIGINT or SIGTERM every Proc still running is killed first, so that an
// interrupted bench leaves no simulator or daemon behind.
void killChildrenOnSignal();

// True when this process may use SCHED_FIFO (root or CAP_SYS_NICE).
bool realtimeAllowed();

// Process figures from /proc and the process CPU clock.
double cpuSeconds(pid_t pid);  // user + system of every thread, ns resolution
struct MemFigures {
  long rss_anon_kb = -1, vm_rss_kb = -1, vm_hwm_kb = -1;
  int threads = -1;
};
MemFigures memFigures(pid_t pid);
// Resident kB of the malloc heaps: the main arena ([heap]) and the thread
// arenas (anonymous mappings aligned to glibc's arena size). -1 when unknown.
long heapKb(pid_t pid);
// Restarts VmHWM at the current VmRSS (clear_refs 5); false when not allowed.
bool resetPeak(pid_t pid);
long voluntarySwitches(pid_t pid);  // summed over the threads: wake-ups after sleeping

// One line served by mtr-metersim, with mtr-confsrv answering get_config and
// mtr_main polling it, under a temporary MTR_ROOT.
struct LineOptions {
  std::string meters_json;  // simulator description
  std::string config_json;  // identifier -> get_config result; @TTY@ is the line
  std::vector<std::string> ids;
  int baud = 9600;
  int reply_delay_ms = 10;
  int log_level = 6;
  int sim_rt = 0;     // SCHED_FIFO priority of the simulator (0: normal)
  int daemon_rt = 0;  // SCHED_FIFO priority of mtr_main (0: normal)
  bool sim_log = true;
};

class Line {
 public:
  explicit Line(const LineOptions& opt);
  ~Line();
  bool ready() const { return ready_; }
  const std::string& error() const { return error_; }
  bool startDaemon();
  void stopDaemon();  // SIGKILL: the benches need no orderly end
  pid_t daemonPid() const { return daemon_ ? daemon_->pid() : -1; }
  const std::string& root() const { return root_; }
  std::string simLogPath() const { return root_ + "/sim.log"; }
  std::string daemonLogPath() const { return root_ + "/daemon.log"; }
  // Lines of the daemon log containing `needle`.
  int countInLog(const std::string& needle) const;

 private:
  LineOptions opt_;
  std::string root_;
  bool ready_ = false;
  std::string error_;
  std::string url_;
  std::unique_ptr<Proc> sim_, conf_, daemon_;
};

// Mercury 230 meters 1..n on one line, as the simulator and the
// configuration server describe them. int_rater=false keeps their passport
// reading short (no internal clock and schedule tables).
std::string mercuryMeters(int n, bool int_rater);
// The same meters with full archives: a 90-day hourly profile, the extended
// daily and monthly archive (command 18h) and a few journal events.
std::string mercuryArchiveMeters(int n);
std::string mercuryConfig(int n, const std::string& period, int baud = 9600);
std::vector<std::string> mercuryIds(int n);

// A frame of the simulator's --log.
struct Frame {
  double t;  // wall clock; RX: when the request was taken, TX: after its last byte
  bool tx;
  size_t bytes;
  std::string note;
};
std::vector<Frame> readSimLog(const std::string& path);

// A line of the daemon's log file, its time on the wall clock. The log shows
// the time of day only; `near` (a wall time within the run) fixes the date.
struct LogLine {
  double t;
  std::string text;
};
std::vector<LogLine> readDaemonLog(const std::string& path, double near);

// The exchanges whose request falls in [from, till) on the daemon's clock,
// answers included. The simulator's times are cut to whole milliseconds, so a
// request is taken by its millisecond: one logged a fraction of a millisecond
// before `till` may be the next session's.
std::vector<Frame> framesIn(const std::vector<Frame>& frames, double from, double till);

// The line-time model of one session. Per exchange: request and answer bytes
// at `bits_per_byte` / `baud`, plus `latency` when answered. `sleep_after_write`
// (the IEC 61107 master's 100 ms) overlaps with that: such an exchange costs
// the larger of the two. An unanswered request costs the sleep plus
// `read_timeout`. The "additive" bound adds the sleep on top instead.
struct LineModel {
  double baud, bits_per_byte, latency, sleep_after_write, read_timeout;
};
struct Session {
  int exchanges = 0, unanswered = 0;
  size_t bytes = 0;
  double wire = 0, waits = 0, bound = 0, additive = 0;
  double measured = 0;  // from `start` to the end of the last exchange; 0 without an answer
};
// `frames` are the simulator's frames of one session, in order; `start` is
// when the daemon began it.
Session sessionBound(const std::vector<Frame>& frames, double start, const LineModel& m);

// A row of the summary table: collected by bench/run.sh from every bench.
void summary(const std::string& figure, const std::string& measured, const std::string& goal,
             const std::string& verdict);

}  // namespace bench
