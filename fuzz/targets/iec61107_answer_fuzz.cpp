#include "fuzz/harness/iec61107_answer.h"
#include "fuzz/targets/entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  mtr_fuzz::iec61107AnswerOne(data, size);
  return 0;
}
