#include "fuzz/harness/ce30x_driver.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::ce30xDriverOne)
