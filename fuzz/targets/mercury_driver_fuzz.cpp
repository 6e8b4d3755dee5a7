#include "fuzz/harness/mercury_driver.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::mercuryDriverOne)
