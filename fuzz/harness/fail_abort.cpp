#include <cstdio>
#include <cstdlib>

#include "fuzz/harness/check.h"

namespace mtr_fuzz {

void fail(const char* harness, const char* what) {
  fprintf(stderr, "%s: %s\n", harness, what);
  abort();
}

}  // namespace mtr_fuzz
