#include "fuzz/harness/netstring.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::netstringOne)
