#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

// Code under test prints request traces to standard output; libFuzzer reports
// on standard error, so the traces go to /dev/null.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (fd >= 0) {
    dup2(fd, STDOUT_FILENO);
    close(fd);
  }
  return 0;
}
