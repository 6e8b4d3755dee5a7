#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Request traces go to /dev/null; libFuzzer reports on standard error.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  return 0;
}

// The target's entry point: one run of the harness `one` per input.
#define MTR_FUZZ_TARGET(one)                                                \
  extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { \
    one(data, size);                                                        \
    return 0;                                                               \
  }
