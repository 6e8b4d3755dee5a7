#include "fuzz/harness/archive_line.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::archiveLineOne)
