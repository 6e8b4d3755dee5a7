#include "transport/led.h"

#include <fstream>

#include "transport/serial_peers.h"

namespace {

long voluntarySwitches(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  return -1;
}

TEST(Led, IdleUntilAskedThenLitForTheOnTime) {
  mtr_test::TempDir dir;
  const std::string path = dir / "led";  // a plain file keeps just the current state
  auto shows = [&](const char* s) {
    return mtr_test::waitFor([&] { return mtr_test::readFile(path) == s; }, 1000, 1);
  };
  std::unique_ptr<CLed> led(new CLed(path, 150000));
  led->Start(led.get(), "test LED");
  ASSERT_TRUE(mtr_test::waitFor([&] { return led->threadId() != 0; }, 2000, 1));
  EXPECT_TRUE(shows("0"));
  long before = voluntarySwitches(led->threadId());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LE(voluntarySwitches(led->threadId()) - before, 1);  // a 10 ms poll would wake ~30 times
  peers::Stopwatch sw;  // from the request, so a late look cannot shorten the flash
  led->Blink();
  ASSERT_TRUE(shows("1"));
  ASSERT_TRUE(shows("0"));
  EXPECT_GE(sw.ms(), 149);
  EXPECT_LT(sw.ms(), 300);
  led->Blink();
  ASSERT_TRUE(shows("1"));
  sw = {};
  led.reset();  // cancelled in the middle of the flash, and left dark
  EXPECT_LT(sw.ms(), 100);
  EXPECT_EQ("0", mtr_test::readFile(path));
}

}  // namespace
