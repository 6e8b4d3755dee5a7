#include <malloc.h>

#include "app/cmdline.h"
#include "app/supervisor.h"
#include "base/logger.h"
#include "drivers/framework/model_builder.h"

int main(int argc, char** argv) {
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
