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

// A plain file keeps the history: "0", then "10" for every flash. The lit
// state is never waited for where a busy machine could let it pass unseen.
TEST(Led, FlashesForTheOnTimeAndIdlesBetween) {
  mtr_test::TempDir dir;
  auto shows = [&](const std::string& path, const std::string& s) {
    return mtr_test::waitFor([&] { return mtr_test::readFile(path) == s; }, 5000, 1);
  };
  const std::string path = dir / "led";
  std::unique_ptr<CLed> led(new CLed(path, 150000));
  peers::Stopwatch sw;
  for (int i = 0; i < 3; ++i) led->Blink();  // before the thread runs: one flash
  led->Start(led.get(), "test LED");
  ASSERT_TRUE(shows(path, "010"));
  EXPECT_GE(sw.ms(), 160);  // a 10 ms start, then the on-time
  EXPECT_LT(sw.ms(), 3000);
  // A request made once the LED has lit gives one more flash, after a dark pause.
  sw = {};
  led->Blink();
  ASSERT_TRUE(mtr_test::waitFor([&] { return mtr_test::readFile(path).size() > 3; }, 5000, 1));
  led->Blink();
  ASSERT_TRUE(shows(path, "0101010"));
  EXPECT_GE(sw.ms(), 310);
  EXPECT_LT(sw.ms(), 4000);
  long before = voluntarySwitches(led->threadId());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ("0101010", mtr_test::readFile(path));             // no flash of its own
  EXPECT_LE(voluntarySwitches(led->threadId()) - before, 2);  // a 10 ms poll would wake ~30 times

  const std::string slow_path = dir / "slow";  // lit far longer than any stall of this test
  led.reset(new CLed(slow_path, 20000000));
  led->Start(led.get(), "test LED");
  led->Blink();
  ASSERT_TRUE(shows(slow_path, "01"));
  sw = {};
  led.reset();  // cancelled in the middle of the flash, and left dark
  EXPECT_LT(sw.ms(), 5000);
  EXPECT_EQ("010", mtr_test::readFile(slow_path));
}

}  // namespace
