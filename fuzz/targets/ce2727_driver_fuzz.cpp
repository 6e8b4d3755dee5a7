#include "fuzz/harness/ce2727_driver.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::ce2727DriverOne(data, size);
  return 0;
}
