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

TEST(Led, FlashesForTheOnTimeAndIdlesBetween) {
  mtr_test::TempDir dir;
  const std::string path = dir / "led";  // a plain file keeps the history: "0", "10" a flash
  std::string history = "0";
  auto shows = [&](const std::string& s) {
    return mtr_test::waitFor([&] { return mtr_test::readFile(path) == s; }, 5000, 1);
  };
  std::unique_ptr<CLed> led(new CLed(path, 150000));
  led->Start(led.get(), "test LED");
  ASSERT_TRUE(mtr_test::waitFor([&] { return led->threadId() != 0; }, 2000, 1));
  ASSERT_TRUE(shows(history));
  // Requests made while lit give one more flash, after a 10 ms dark pause.
  struct Case {
    int more_while_lit;
    std::string adds;
    double min_ms;
  } cases[] = {{0, "10", 150}, {1, "1010", 310}, {3, "1010", 310}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.more_while_lit);
    peers::Stopwatch sw;  // from the request, so a late look cannot shorten the flash
    led->Blink();
    ASSERT_TRUE(shows(history + "1"));
    for (int i = 0; i < c.more_while_lit; ++i) led->Blink();
    history += c.adds;
    ASSERT_TRUE(shows(history));
    EXPECT_GE(sw.ms(), c.min_ms);
    EXPECT_LT(sw.ms(), c.min_ms + 1000);
  }
  long before = voluntarySwitches(led->threadId());
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(history, mtr_test::readFile(path));               // no flash of its own
  EXPECT_LE(voluntarySwitches(led->threadId()) - before, 2);  // a 10 ms poll would wake ~30 times
  led->Blink();
  ASSERT_TRUE(shows(history + "1"));
  peers::Stopwatch sw;
  led.reset();  // cancelled in the middle of the flash, and left dark
  EXPECT_LT(sw.ms(), 100);
  EXPECT_EQ(history + "10", mtr_test::readFile(path));
}

}  // namespace
