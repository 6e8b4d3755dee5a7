#pragma once

#include <cstddef>
#include <cstdint>

// The fuzzer aborts (libFuzzer keeps the input); the regression test records and goes on.
namespace mtr_fuzz {

void fail(const char* harness, const char* what);

}  // namespace mtr_fuzz

#define FUZZ_CHECK(harness, cond)                             \
  do {                                                        \
    if (!(cond)) ::mtr_fuzz::fail(harness, "failed: " #cond); \
  } while (0)
