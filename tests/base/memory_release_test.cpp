#include "base/memory_release.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace {

bool resident(uintptr_t addr) {
  const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  unsigned char v = 0;
  return mincore(reinterpret_cast<void*>(addr & ~(page - 1)), page, &v) == 0 && (v & 1);
}

// Touches 64 kB of stack; the lowest address it used.
__attribute__((noinline)) uintptr_t deepCall() {
  volatile char block[64 * 1024];
  for (size_t i = 0; i < sizeof block; i += 512) block[i] = 1;
  return reinterpret_cast<uintptr_t>(&block[0]);
}

TEST(MemoryRelease, WorkerKeepsItsLiveFramesAndGivesBackTheStackBelow) {
  std::thread([] {
    volatile char live[64] = {7};
    const uintptr_t deep = deepCall();
    ASSERT_TRUE(resident(deep));
    mtr::releaseFreeMemory();
    EXPECT_FALSE(resident(deep));
    EXPECT_FALSE(resident(deep + 48 * 1024));
    EXPECT_TRUE(resident(reinterpret_cast<uintptr_t>(&live[0])));
    EXPECT_EQ(7, live[0]);
    EXPECT_NE(0u, deepCall());  // the stack grows into the pages again
  }).join();
}

}  // namespace
