#include "benchlib.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace bench {

double wallNow() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

double monoNow() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

void sleepSeconds(double s) {
  if (s > 0) std::this_thread::sleep_for(std::chrono::duration<double>(s));
}

bool waitUntil(const std::function<bool()>& pred, double timeout_s, double step_s) {
  const double end = monoNow() + timeout_s;
  for (;;) {
    if (pred()) return true;
    if (monoNow() > end) return false;
    sleepSeconds(step_s);
  }
}

Stats stats(std::vector<double> v) {
  Stats s;
  s.n = v.size();
  if (v.empty()) return s;
  std::sort(v.begin(), v.end());
  s.min = v.front();
  s.max = v.back();
  size_t m = v.size() / 2;
  s.median = v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
  return s;
}

std::string fmt(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  return buf;
}

std::vector<int> meterCounts(int argc, char** argv) {
  if (argc <= 1) return {1, 8, 32, 64};
  std::vector<int> counts;
  for (int i = 1; i < argc; ++i) counts.push_back(atoi(argv[i]));
  return counts;
}

int envInt(const char* name, int fallback) {
  const char* v = getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  long n = strtol(v, &end, 10);
  return *end ? fallback : static_cast<int>(n);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::string makeTempDir(const std::string& prefix) {
  std::string tmpl = prefix + "XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) return std::string();
  return buf.data();
}

void removeTree(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove_all(path, ec);
}

std::string binDir() {
  if (const char* b = getenv("BIN")) {
    if (*b) return std::filesystem::absolute(b).string();
  }
  // The benches live beside the executables they run.
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "build/bin";
  self[n] = '\0';
  return std::filesystem::path(self).parent_path().string();
}

std::string ramDir() {
  if (const char* r = getenv("BENCH_ROOT")) {
    if (*r) return r;
  }
  struct statfs fs;
  if (statfs("/dev/shm", &fs) == 0 && fs.f_type == TMPFS_MAGIC && access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return "/tmp";
}

std::string loadAverage() {
  std::string l = readFile("/proc/loadavg");
  std::istringstream in(l);
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

namespace {
constexpr int kMaxChildren = 512;
volatile pid_t g_children[kMaxChildren];

void track(pid_t pid, pid_t was) {
  for (int i = 0; i < kMaxChildren; ++i)
    if (g_children[i] == was) {
      g_children[i] = pid;
      return;
    }
}

void onSignal(int sig) {
  for (int i = 0; i < kMaxChildren; ++i)
    if (g_children[i] > 0) kill(g_children[i], SIGKILL);
  signal(sig, SIG_DFL);
  raise(sig);
}
}  // namespace

std::string startConfServer(std::unique_ptr<Proc>& proc, const std::string& config,
                            const std::string& dir) {
  proc =
      std::make_unique<Proc>(std::vector<std::string>{binDir() + "/mtr-confsrv", "--config", config,
                                                      "--port", "0", "--sensor-port", "-1"},
                             dir + "/conf.out", dir + "/conf.err");
  int port = -1;
  waitUntil(
      [&] {
        std::string out = readFile(dir + "/conf.out");
        size_t p = out.find("config-port=");
        if (p == std::string::npos || out.find('\n', p) == std::string::npos) return false;
        port = atoi(out.c_str() + p + 12);
        return true;
      },
      10, 0.02);
  return port > 0 ? "http://127.0.0.1:" + std::to_string(port) + "/" : "";
}

void killChildrenOnSignal() {
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

Proc::Proc(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
           const std::vector<std::string>& env, int rt_priority) {
  int ofd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int efd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    if (ofd >= 0) dup2(ofd, 1);
    if (efd >= 0) dup2(efd, 2);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    for (const auto& e : env) {
      size_t eq = e.find('=');
      if (eq != std::string::npos) setenv(e.substr(0, eq).c_str(), e.c_str() + eq + 1, 1);
    }
    if (rt_priority > 0) {
      sched_param sp{};
      sp.sched_priority = rt_priority;
      sched_setscheduler(0, SCHED_FIFO, &sp);
    }
    execv(args[0], args.data());
    _exit(127);
  }
  if (ofd >= 0) close(ofd);
  if (efd >= 0) close(efd);
  if (pid_ > 0) track(pid_, 0);
}

Proc::~Proc() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    int st;
    waitpid(pid_, &st, 0);
  }
  if (pid_ > 0) track(0, pid_);
}

void Proc::signal(int sig) {
  if (pid_ > 0 && !reaped_) kill(pid_, sig);
}

bool Proc::running() {
  if (pid_ <= 0 || reaped_) return false;
  int st;
  if (waitpid(pid_, &st, WNOHANG) == pid_) {
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return false;
  }
  return true;
}

bool Proc::wait(double timeout_s, int* status) {
  bool done = waitUntil([&] { return !running(); }, timeout_s, 0.005);
  if (done && status) *status = status_;
  return done;
}

bool realtimeAllowed() {
  sched_param sp{};
  sp.sched_priority = 1;
  pid_t pid = fork();
  if (pid == 0) _exit(sched_setscheduler(0, SCHED_FIFO, &sp) == 0 ? 0 : 1);
  int st = 0;
  waitpid(pid, &st, 0);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

double cpuSeconds(pid_t pid) {
  clockid_t cid;
  timespec ts;
  if (clock_getcpuclockid(pid, &cid) == 0 && clock_gettime(cid, &ts) == 0)
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
  // Tick resolution only, but better than nothing.
  std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  size_t p = stat.rfind(')');
  if (p == std::string::npos) return -1;
  std::istringstream in(stat.substr(p + 2));
  std::string f;
  unsigned long long ut = 0, st = 0;
  for (int i = 3; i <= 15 && in >> f; ++i) {
    if (i == 14) ut = std::stoull(f);
    if (i == 15) st = std::stoull(f);
  }
  return static_cast<double>(ut + st) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

namespace {
long statusField(const std::string& status, const char* key) {
  size_t p = status.find(std::string("\n") + key + ":");
  if (p == std::string::npos) return -1;
  return strtol(status.c_str() + p + strlen(key) + 2, nullptr, 10);
}
}  // namespace

MemFigures memFigures(pid_t pid) {
  std::string s = "\n" + readFile("/proc/" + std::to_string(pid) + "/status");
  MemFigures m;
  m.rss_anon_kb = statusField(s, "RssAnon");
  m.vm_rss_kb = statusField(s, "VmRSS");
  m.vm_hwm_kb = statusField(s, "VmHWM");
  m.threads = static_cast<int>(statusField(s, "Threads"));
  return m;
}

long heapKb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/smaps");
  if (!in) return -1;
  // glibc reserves each thread arena as one block aligned to its size
  // (64 MiB on 64-bit hosts, 1 MiB on 32-bit ones).
  const unsigned long align = sizeof(void*) == 8 ? 64UL << 20 : 1UL << 20;
  std::string l;
  bool counted = false;
  long total = 0;
  while (std::getline(in, l)) {
    unsigned long lo = 0, hi = 0;
    char perms[8] = {};
    if (sscanf(l.c_str(), "%lx-%lx %7s", &lo, &hi, perms) == 3) {  // a mapping's first line
      const bool anon = l.find('/') == std::string::npos && l.find('[') == std::string::npos;
      counted = l.find("[heap]") != std::string::npos ||
                (anon && perms[0] == 'r' && perms[1] == 'w' && lo % align == 0);
      continue;
    }
    if (counted && l.compare(0, 4, "Rss:") == 0) total += strtol(l.c_str() + 4, nullptr, 10);
  }
  return total;
}

bool resetPeak(pid_t pid) {
  int fd = open(("/proc/" + std::to_string(pid) + "/clear_refs").c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = write(fd, "5", 1) == 1;
  close(fd);
  return ok;
}

long voluntarySwitches(pid_t pid) {
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (!d) return -1;
  long total = 0;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::string s = "\n" + readFile(dir + "/" + e->d_name + "/status");
    long v = statusField(s, "voluntary_ctxt_switches");
    if (v > 0) total += v;
  }
  closedir(d);
  return total;
}

namespace {
std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + to.size()))
    s.replace(p, from.size(), to);
  return s;
}
}  // namespace

Line::Line(const LineOptions& opt) : opt_(opt) {
  root_ = makeTempDir(ramDir() + "/mtr-bench.");
  if (root_.empty()) {
    error_ = "cannot make a temporary folder";
    return;
  }
  mkdir((root_ + "/tmp").c_str(), 0755);
  const std::string bin = binDir();
  writeFile(root_ + "/meters.json", opt.meters_json);
  std::vector<std::string> sim{
      bin + "/mtr-metersim", root_ + "/meters.json", "--link",
      root_ + "/tty",        "--reply-delay",        std::to_string(opt.reply_delay_ms)};
  if (opt.baud > 0) {
    sim.push_back("--baud");
    sim.push_back(std::to_string(opt.baud));
  }
  if (opt.sim_log) {
    sim.push_back("--log");
    sim.push_back(simLogPath());
  }
  sim_ = std::make_unique<Proc>(sim, root_ + "/sim.out", root_ + "/sim.err",
                                std::vector<std::string>{}, opt.sim_rt);
  if (!waitUntil([&] { return exists(root_ + "/tty"); }, 10, 0.02)) {
    error_ = "mtr-metersim did not start: " + readFile(root_ + "/sim.err");
    return;
  }
  writeFile(root_ + "/config.json", replaceAll(opt.config_json, "@TTY@", root_ + "/tty"));
  url_ = startConfServer(conf_, root_ + "/config.json", root_);
  if (url_.empty()) {
    error_ = "mtr-confsrv did not start: " + readFile(root_ + "/conf.err");
    return;
  }
  ready_ = true;
}

Line::~Line() {
  daemon_.reset();
  conf_.reset();
  sim_.reset();
  if (!getenv("BENCH_KEEP")) removeTree(root_);
}

bool Line::startDaemon() {
  std::vector<std::string> argv{binDir() + "/mtr_main", "-v", std::to_string(opt_.log_level), "-l",
                                daemonLogPath()};
  for (const auto& id : opt_.ids) {
    argv.push_back("-i");
    argv.push_back(id);
  }
  daemon_ = std::make_unique<Proc>(
      argv, root_ + "/daemon.out", root_ + "/daemon.err",
      std::vector<std::string>{"MTR_ROOT=" + root_, "MTR_CONFIG_URL=" + url_}, opt_.daemon_rt);
  return daemon_->pid() > 0;
}

void Line::stopDaemon() {
  daemon_.reset();
}

int Line::countInLog(const std::string& needle) const {
  std::ifstream in(daemonLogPath());
  std::string l;
  int n = 0;
  while (std::getline(in, l))
    if (l.find(needle) != std::string::npos) ++n;
  return n;
}

std::string mercuryMeters(int n, bool int_rater) {
  std::string s = "{\"meters\": [\n";
  for (int i = 1; i <= n; ++i) {
    s +=
        fmt("  {\"protocol\": \"mercury230\", \"address\": %d, \"password\": \"111111\", "
            "\"serial\": \"%08d\", \"model\": \"mercury230\", \"variant\": \"%s\", "
            "\"voltage\": [229.87, 231.02, 230.44], \"current\": [3.214, 2.108, 1.556], "
            "\"power\": [702.4, 463.8, 341.9], \"reactive\": [120.5, -35.2, 60.0], "
            "\"energy\": {\"A+\": [%d.512, 12480.25, 0, 0]}}%s\n",
            i, 41000000 + i, int_rater ? "00 03 40 00 00 00" : "00 03 00 00 00 00", 30000 + i,
            i < n ? "," : "");
  }
  return s + "]}\n";
}

std::vector<std::string> mercuryIds(int n) {
  std::vector<std::string> ids;
  for (int i = 1; i <= n; ++i) ids.push_back(std::to_string(1000 + i));
  return ids;
}

std::string mercuryArchiveMeters(int n) {
  std::string s = "{\"meters\": [\n";
  for (int i = 1; i <= n; ++i) {
    s +=
        fmt("  {\"protocol\": \"mercury230\", \"address\": %d, \"password\": \"111111\", "
            "\"serial\": \"%08d\", \"model\": \"mercury230\", \"manufactured\": \"2020-01-15\", "
            "\"voltage\": [229.87, 231.02, 230.44], \"current\": [3.214, 2.108, 1.556], "
            "\"power\": [702.4, 463.8, 341.9], \"reactive\": [120.5, -35.2, 60.0], "
            "\"energy\": {\"A+\": [%d.512, 12480.25, 0, 0]}, "
            "\"profile\": {\"period\": 60, \"depth\": 2160}, "
            "\"ext_archive\": {\"days\": 124, \"months\": 12}, "
            "\"journals\": {\"1\": [{\"first\": \"day-2 03:10\", \"second\": \"day-2 03:40\"}], "
            "\"7\": [\"day-1 12:00\"]}}%s\n",
            i, 41000000 + i, 30000 + i, i < n ? "," : "");
  }
  return s + "]}\n";
}

std::string mercuryConfig(int n, const std::string& period, int baud) {
  std::string s = "{\n";
  for (int i = 1; i <= n; ++i) {
    s +=
        fmt("  \"%d\": {\"manufacturer\": \"mercury230\", \"serial\": \"%08d\", \"net_address\": "
            "\"%d\", \"password\": \"111111\", \"password_type\": \"digit\", \"period_current\": "
            "\"%s\", \"port_params\": {\"name\": \"@TTY@\", \"speed\": \"%d\"}}%s\n",
            1000 + i, 41000000 + i, i, period.c_str(), baud, i < n ? "," : "");
  }
  return s + "}\n";
}

std::vector<Frame> readSimLog(const std::string& path) {
  std::vector<Frame> frames;
  std::ifstream in(path);
  std::string l;
  while (std::getline(in, l)) {
    // 2024-05-01 12:00:00.123 RX 01 00 ... ; note
    std::tm tm{};
    int ms = 0;
    char dir[3] = {0};
    int used = 0;
    if (sscanf(l.c_str(), "%d-%d-%d %d:%d:%d.%d %2s %n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
               &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms, dir, &used) < 8)
      continue;
    if (strcmp(dir, "RX") != 0 && strcmp(dir, "TX") != 0) continue;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    tm.tm_isdst = -1;
    Frame f;
    f.t = static_cast<double>(mktime(&tm)) + ms / 1000.0;
    f.tx = dir[0] == 'T';
    std::string rest = l.substr(static_cast<size_t>(used));
    size_t semi = rest.find(" ;");
    std::string hex = semi == std::string::npos ? rest : rest.substr(0, semi);
    f.note = semi == std::string::npos ? "" : rest.substr(semi + 3);
    std::istringstream hs(hex);
    std::string tok;
    f.bytes = 0;
    while (hs >> tok) ++f.bytes;
    frames.push_back(f);
  }
  return frames;
}

std::vector<LogLine> readDaemonLog(const std::string& path, double near) {
  std::vector<LogLine> out;
  time_t n = static_cast<time_t>(near);
  std::tm day{};
  localtime_r(&n, &day);
  day.tm_hour = day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  const double midnight = static_cast<double>(mktime(&day));
  std::ifstream in(path);
  std::string l;
  while (std::getline(in, l)) {
    int h, m, s, ms, us, used = 0;
    if (sscanf(l.c_str(), "%2d:%2d:%2d.%3d.%3d %n", &h, &m, &s, &ms, &us, &used) < 5 || !used)
      continue;
    double t = midnight + h * 3600 + m * 60 + s + ms / 1e3 + us / 1e6;
    if (t - near > 43200) t -= 86400;
    if (near - t > 43200) t += 86400;
    out.push_back({t, l.substr(static_cast<size_t>(used))});
  }
  return out;
}

std::vector<Frame> framesIn(const std::vector<Frame>& frames, double from, double till) {
  std::vector<Frame> out;
  bool request_in = false;
  for (const Frame& f : frames) {
    // An answer goes with its request: it is logged after its last byte, which
    // the daemon may have read before the simulator wrote the line.
    if (!f.tx) request_in = f.t >= from - 0.001 && f.t < till - 0.001;
    if (request_in) out.push_back(f);
  }
  return out;
}

Session sessionBound(const std::vector<Frame>& frames, double start, const LineModel& m) {
  const double bt = m.bits_per_byte / m.baud;
  Session s;
  double end = 0;
  bool answered_any = false;
  for (size_t k = 0; k < frames.size(); ++k) {
    if (frames[k].tx) continue;  // answers are taken with their request
    const Frame* answer = k + 1 < frames.size() && frames[k + 1].tx ? &frames[k + 1] : nullptr;
    const size_t bytes = frames[k].bytes + (answer ? answer->bytes : 0);
    const double wire = static_cast<double>(bytes) * bt;
    ++s.exchanges;
    s.bytes += bytes;
    s.wire += wire;
    if (answer) {
      answered_any = true;
      const double line_time = wire + m.latency;
      s.bound += std::max(m.sleep_after_write, line_time);
      s.additive += line_time + m.sleep_after_write;
      s.waits += m.sleep_after_write;
      // The master is done when the answer is in and its own sleep is over.
      end = std::max(answer->t, frames[k].t + m.sleep_after_write);
    } else {
      ++s.unanswered;
      const double wait = m.sleep_after_write + m.read_timeout;
      s.bound += wait;
      s.additive += wire + wait;
      s.waits += wait;
    }
  }
  if (answered_any) s.measured = end - start;
  return s;
}

void summary(const std::string& figure, const std::string& measured, const std::string& goal,
             const std::string& verdict) {
  printf("SUMMARY|%s|%s|%s|%s\n", figure.c_str(), measured.c_str(), goal.c_str(), verdict.c_str());
  fflush(stdout);
}

}  // namespace bench
