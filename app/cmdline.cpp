#include "app/cmdline.h"

#include <execinfo.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>

#include "base/logger.h"

const char* const kVersionText = "version 1.3.35 (2017.06.05)";

std::atomic<unsigned char> stop_requested{1};

namespace {

// Readable once a stop is requested; the supervisor sleeps on it.
std::atomic<int> stop_event{-1};

int stopEvent() {
  int fd = stop_event.load();
  if (fd >= 0) return fd;
  int made = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (made < 0 || stop_event.compare_exchange_strong(fd, made)) return made;
  close(made);  // another thread was first
  return fd;
}

void drainStopEvent(int fd) {
  uint64_t count;
  while (fd >= 0 && read(fd, &count, sizeof count) > 0) {
  }
}

const char* const kSeparator =
    "\033[1;31m---------------------------------------------------------\033[0m";

// The whole text must be a decimal number.
template <typename T>
bool parseWhole(const char* text, T& out) {
  std::istringstream in(text);
  in >> out;
  return !in.fail() && in.eof();
}

bool validId(const std::string& id) {
  return !id.empty() && id != "." && id != ".." && id.find('/') == std::string::npos;
}

unsigned long programCounter(void* context) {
  if (!context) return 0;
  auto* uc = static_cast<ucontext_t*>(context);
#if defined(__x86_64__)
  return static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
  return static_cast<unsigned long>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__arm__)
  return static_cast<unsigned long>(uc->uc_mcontext.arm_pc);
#elif defined(__aarch64__)
  return static_cast<unsigned long>(uc->uc_mcontext.pc);
#else
  (void)uc;
  return 0;
#endif
}

// Symbolising allocates: kept out of line so that sanitizer suppressions can
// name the one place where the handler does (the process is lost by then).
[[noreturn]] __attribute__((noinline)) void logCrashBacktrace(void* const* frames, int n) {
  char** symbols = backtrace_symbols(frames, n);
  LOG_CRIT("\033[1;31mbacktrace:\033[0m");
  if (symbols) {
    // frame 0 is the handler itself
    for (int i = 1; i < n; ++i) LOG_CRIT("\033[1;31m%s\033[0m", symbols[i]);
    free(symbols);
  }
  LOG_CRIT("%s", kSeparator);
  abort();
}

void signalHandler(int sig, siginfo_t*, void* context) {
  LOG_CRIT("%s", kSeparator);
  LOG_CRIT("\033[1;31mSystem signal number %d (%s) is received from address %lx.\033[0m", sig,
           strsignal(sig), programCounter(context));
  if (sig == SIGSEGV) {
    LOG_CRIT("\033[1;31mApplication done due to SIGSEGV.\033[0m");
    void* frames[100];
    logCrashBacktrace(frames, backtrace(frames, 100));
  }
  if (sig == SIGINT && stop_requested.load()) {
    LOG_CRIT("\033[1;31mApplication done due to SIGINT. Immediate exit!");
    LOG_CRIT("%s", kSeparator);
    _exit(1);
  }
  RequestStop();
  LOG_CRIT("%s", kSeparator);
}

}  // namespace

void RequestStop() {
  stop_requested = 1;
  int fd = stop_event.load();
  uint64_t one = 1;
  if (fd >= 0 && write(fd, &one, sizeof one) < 0) {
    // a full counter is still readable
  }
}

void ClearStopRequest() {
  // Flag first: a request that comes in between stays set.
  stop_requested = 0;
  drainStopEvent(stopEvent());
}

bool WaitForStop(long ms) {
  const int fd = stopEvent();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stop_requested.load()) {
    long long left = -1;
    if (ms >= 0) {
      left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                   std::chrono::steady_clock::now())
                 .count();
      if (left <= 0) return false;
    }
    if (fd < 0) {  // no event: look at the flag ten times a second
      usleep(static_cast<useconds_t>(left < 0 || left > 100 ? 100000 : left * 1000));
      continue;
    }
    struct pollfd p {
      fd, POLLIN, 0
    };
    // A request that came just before a clear leaves the event set without the
    // flag: drained, or every step would end at once.
    if (poll(&p, 1, static_cast<int>(left < 0 ? -1 : std::min<long long>(left, INT32_MAX))) > 0 &&
        !stop_requested.load())
      drainStopEvent(fd);
  }
  return true;
}

void PrintUsage(const char* argv0) {
  std::cout << "Usage: " << argv0 << " [options]\n"
            << "    -r  --release               Version of the program.\n"
            << "    -h  --help                  Display this usage.\n"
            << "    -d  --daemon                Daemon mode.\n"
            << "    -v  --verbose <level>       Verbose logs level.\n"
            << "        logs levels:\n"
            << "             0 (TL_EMERG)   system is unusable;\n"
            << "             1 (TL_ALERT)   action must be taken immediately;\n"
            << "             2 (TL_CRIT)    critical conditions;\n"
            << "             3 (TL_ERR)     error conditions;\n"
            << "             4 (TL_WARNING) warning conditions;\n"
            << "             5 (TL_NOTICE)  normal, but significant, condition;\n"
            << "             6 (TL_INFO)    informational message (default);\n"
            << "             7 (TL_DEBUG)   debug-level message.\n"
            << "    -e  --stderr                Redirect the log messages to stderr.\n"
            << "    -i  --id                    ID of HeatMeter.\n"
            << "    -s  --logsize               Max size of log file (in bytes). After reach log "
               "file erase. 0 - unlimit\n";
  std::cout.flush();
}

int ParseOptions(int argc, char** argv, Options& opts) {
  static const struct option kLong[] = {{"release", no_argument, nullptr, 'r'},
                                        {"help", no_argument, nullptr, 'h'},
                                        {"verbose", required_argument, nullptr, 'v'},
                                        {"daemon", no_argument, nullptr, 'd'},
                                        {"stderr", no_argument, nullptr, 'e'},
                                        {"logname", required_argument, nullptr, 'l'},
                                        {"id", required_argument, nullptr, 'i'},
                                        {"logsize", required_argument, nullptr, 's'},
                                        {nullptr, 0, nullptr, 0}};
  optind = 1;
  int c;
  while ((c = getopt_long(argc, argv, "rhv:del:i:s:", kLong, nullptr)) != -1) {
    switch (c) {
      case 'r':
        std::cout << kVersionText << std::endl;
        return 0;
      case 'h':
        PrintUsage(argv[0]);
        return 0;
      case 'v': {
        unsigned int level = 0;
        if (!parseWhole(optarg, level) || optarg[0] == '-' || level > 7) {
          std::cerr << "\nmain: Unacceptable logs level!\n" << std::endl;
          PrintUsage(argv[0]);
          return 1;
        }
        opts.log_level = static_cast<int>(level);
        break;
      }
      case 'd':
        opts.daemon = true;
        break;
      case 'e':
        opts.to_stderr = true;
        break;
      case 'l':
        if (!optarg || !*optarg) {
          std::cerr << "\nmain: Error logs file name!\n" << std::endl;
          PrintUsage(argv[0]);
          return 1;
        }
        opts.log_file = optarg;
        break;
      case 'i':
        // The identifier becomes part of file paths.
        if (!validId(optarg)) {
          std::cerr << "\nmain: Unacceptable ID of HeatMeter '" << optarg
                    << "': it must not be empty, \".\", \"..\" or contain '/'!\n"
                    << std::endl;
          return 1;
        }
        opts.ids.push_back(optarg);
        break;
      case 's': {
        int size = 0;
        if (!parseWhole(optarg, size)) {
          std::cerr << "\nmain: Unacceptable max logfile size!\n" << std::endl;
          PrintUsage(argv[0]);
          return 1;
        }
        opts.max_log_size = size;
        break;
      }
      default:
        break;  // unknown options: getopt's own diagnostic is enough
    }
  }
  if (opts.ids.empty()) {
    std::cerr << "\nmain: Do not set any ID of HeatMeter!\n" << std::endl;
    return 1;
  }
  return -1;
}

void Daemonize() {
  if (getpid() != 1) {
    signal(SIGTTOU, SIG_IGN);
    signal(SIGTTIN, SIG_IGN);
    signal(SIGTSTP, SIG_IGN);
  }
  pid_t pid = fork();
  if (pid < 0) {
    std::cerr << "\nCan't fork for daemon mode.\n" << std::endl;
    exit(-1);
  }
  if (pid > 0) exit(0);
  umask(0);
  if (setsid() < 0) exit(-1);
  struct rlimit rl;
  rlim_t limit = 1024;
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY) limit = rl.rlim_cur;
  for (rlim_t fd = 0; fd < limit; ++fd) close(static_cast<int>(fd));
  int fd0 = open("/dev/null", O_RDWR);
  int fd1 = dup(0);
  int fd2 = dup(0);
  if (fd0 != 0 || fd1 != 1 || fd2 != 2) exit(-1);
}

void InstallSignalHandler() {
  stopEvent();
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_sigaction = signalHandler;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_SIGINFO | SA_RESTART;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGQUIT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGSEGV, &sa, nullptr);
}
