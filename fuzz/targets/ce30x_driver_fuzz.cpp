#include "fuzz/harness/ce30x_driver.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::ce30xDriverOne(data, size);
  return 0;
}
