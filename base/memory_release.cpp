#include "base/memory_release.h"

#include <malloc.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>

namespace mtr {

namespace {

// Below the caller's frame nothing is live: the pages there are given back
// and come back zeroed when the stack grows into them again.
void releaseStackBelowCaller() {
  if (getpid() == static_cast<pid_t>(syscall(SYS_gettid)))
    return;  // the main stack grows on its own
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  size_t size = 0, guard = 0;
  const bool ok = pthread_attr_getstack(&attr, &addr, &size) == 0 &&
                  pthread_attr_getguardsize(&attr, &guard) == 0;
  pthread_attr_destroy(&attr);
  if (!ok) return;
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t low = (reinterpret_cast<uintptr_t>(addr) + guard + page - 1) & ~(page - 1);
  // Room under this frame for its locals and the madvise call (a bare system
  // call); a whole page of margin would keep a third page on every idle
  // worker's stack.
  const uintptr_t margin = 512;
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (here < low + page + margin) return;
  const uintptr_t high = (here - margin) & ~(page - 1);
  madvise(reinterpret_cast<void*>(low), high - low, MADV_DONTNEED);
}

}  // namespace

void releaseFreeMemory() {
  malloc_trim(0);
  releaseStackBelowCaller();
}

}  // namespace mtr
