#include "fuzz/harness/archive_line.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::archiveLineOne(data, size);
  return 0;
}
