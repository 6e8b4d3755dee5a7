#include "fuzz/harness/modbus_answer.h"
#include "fuzz/targets/entry.h"

MTR_FUZZ_TARGET(mtr_fuzz::modbusAnswerOne)
