#include "fuzz/harness/ce2727_driver.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::ce2727DriverOne)
