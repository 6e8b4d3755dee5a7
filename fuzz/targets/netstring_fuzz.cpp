#include "fuzz/harness/netstring.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::netstringOne(data, size);
  return 0;
}
