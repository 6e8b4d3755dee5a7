#include <gtest/gtest.h>

#include "fuzz/harness/check.h"

namespace mtr_fuzz {

// A harness property that fails here is a test failure, not an abort, so one
// bad input does not hide the others.
void fail(const char* harness, const char* what) {
  ADD_FAILURE() << harness << ": " << what;
}

}  // namespace mtr_fuzz
