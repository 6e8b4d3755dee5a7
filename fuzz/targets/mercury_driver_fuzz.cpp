#include "fuzz/harness/mercury_driver.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::mercuryDriverOne(data, size);
  return 0;
}
