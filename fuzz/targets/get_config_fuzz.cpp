#include "fuzz/harness/get_config.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::getConfigOne)
