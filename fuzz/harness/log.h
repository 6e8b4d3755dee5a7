#pragma once

#include "base/logger.h"

namespace mtr_fuzz {

// With `verbose` every log line and frame dump is formatted and written to
// /dev/null, so the logging paths see the fuzzed bytes too; otherwise only
// emergencies get through.
inline void fuzzLogging(bool verbose) {
  logger* log = logger::instance();
  if (!log && !verbose) return;
  if (!log) log = logger::getInstance("/dev/null", false);
  log->setLevel(verbose ? TL_DEBUG : TL_EMERG);
}

}  // namespace mtr_fuzz
