#include "fuzz/harness/get_config.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::getConfigOne(data, size);
  return 0;
}
