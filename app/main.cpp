#include "app/cmdline.h"
#include "app/supervisor.h"
#include "base/logger.h"
#include "drivers/framework/model_builder.h"

int main(int argc, char** argv) {
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
