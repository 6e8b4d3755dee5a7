#include <malloc.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/cmdline.h"
#include "app/supervisor.h"
#include "base/logger.h"
#include "drivers/framework/model_builder.h"

namespace {

// glibc keeps blocks a thread freed in a cache of that thread's own. An idle
// worker keeps them for the hour between its archive passes, and they pin
// their heap pages: about 5 kB a meter. The cache can only be turned off
// before the process starts, so the daemon starts itself once more without it
// (same process, same arguments). A value the user set stays.
void restartWithoutThreadCache(char** argv) {
  static const char kTunable[] = "glibc.malloc.tcache_count";
  const char* set = getenv("GLIBC_TUNABLES");
  if (set && strstr(set, kTunable)) return;
  std::string value = set && *set ? std::string(set) + ":" : std::string();
  value += kTunable;
  value += "=0";
  // The path, not /proc/self/exe itself: under an emulator that link names
  // the emulator.
  char self[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return;  // without /proc the daemon runs with the cache
  self[n] = '\0';
  if (setenv("GLIBC_TUNABLES", value.c_str(), 1) != 0) return;
  execv(self, argv);
}

}  // namespace

int main(int argc, char** argv) {
  restartWithoutThreadCache(argv);
  // One driver at a time talks to its meter, so per-thread malloc arenas buy no
  // speed, only a few hundred kilobytes of memory with many meters.
  mallopt(M_ARENA_MAX, 1);
  Options opts;
  int status = ParseOptions(argc, argv, opts);
  if (status >= 0) return status;

  if (opts.daemon) Daemonize();

  logger* log = opts.log_file.empty() ? logger::getInstance("mtr_main", true)
                                      : logger::getInstance(opts.log_file.c_str(), false);
  log->setLevel(opts.log_level);
  log->setStderr(opts.to_stderr);
  log->setMaxSize(opts.max_log_size);

  RegisterBuiltinModels();
  InstallSignalHandler();
  return RunMeters(opts.ids);
}
