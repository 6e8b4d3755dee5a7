#include "fuzz/harness/modbus_answer.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::modbusAnswerOne(data, size);
  return 0;
}
