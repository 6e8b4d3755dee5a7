#include "fuzz/harness/iec61107_answer.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::iec61107AnswerOne)
