#pragma once

#include <cstdlib>

#include "base/logger.h"

namespace mtr_fuzz {

// With `verbose` every log line and frame dump is formatted and written to
// /dev/null, so the logging paths see the fuzzed bytes too; otherwise only
// emergencies get through. MTR_FUZZ_LOG=FILE logs everything to FILE instead
// (to read what a finding's input does).
inline void fuzzLogging(bool verbose) {
  static const char* file = getenv("MTR_FUZZ_LOG");
  if (file) verbose = true;
  logger* log = logger::instance();
  if (!log && !verbose) return;
  if (!log) log = logger::getInstance(file ? file : "/dev/null", false);
  log->setLevel(verbose ? TL_DEBUG : TL_EMERG);
}

}  // namespace mtr_fuzz
