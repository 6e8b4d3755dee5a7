// The wait between sessions on the real clock: it ends at the period's end or
// at once on a forced update, and sleeps without waking in between.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "scripted_driver.h"
#include "server/jsonrpc_connector.h"
#include "support/test_support.h"

namespace {

using mtr_test::ScopedEnv;
using mtr_test::TempDir;

double secondsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

long threadWakeups() {
  std::ifstream in("/proc/thread-self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  return -1;
}

struct WaitFixture : ::testing::Test {
  TempDir dir;
  ScopedEnv root{"MTR_ROOT", dir.path().c_str()};
  CJSONRPCConnector rpc{"4242", 0};
  ScriptedDriver driver;
  void SetUp() override {
    driver.setJSONRPCConnector(&rpc);
    driver.InitFileConnector();
  }
  std::string marker() const { return dir / "tmp/kzp_force_update_4242"; }
};

TEST_F(WaitFixture, EndsWithThePeriodAndSleepsMeanwhile) {
  // Whole seconds on the wall clock: a 3 s period ends 2 to 3 s later.
  const long w0 = threadWakeups();
  auto t0 = std::chrono::steady_clock::now();
  driver.WaitDataRate(3);
  double took = secondsSince(t0);
  const long w1 = threadWakeups();
  EXPECT_GE(took, 1.9);
  EXPECT_LE(took, 6.0);  // not a second period
  // The former wait looked at the clock every second (and before that every
  // 2 ms); now only the deadline wakes it.
  ASSERT_GE(w0, 0);
  EXPECT_LE(w1 - w0, 2) << "wake-ups during a 3 s wait";
}

TEST_F(WaitFixture, ForcedUpdateEndsTheWaitAtOnceAndIsTaken) {
  std::thread toucher([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::ofstream(marker()) << "";
  });
  auto t0 = std::chrono::steady_clock::now();
  driver.WaitDataRate(60);
  double took = secondsSince(t0);
  toucher.join();
  EXPECT_GE(took, 0.25);
  EXPECT_LT(took, 30.0);  // the period is 60 s
  EXPECT_FALSE(mtr_test::exists(marker())) << "the marker is consumed";
}

TEST_F(WaitFixture, ShortPeriodsAndAMarkerLeftFromBeforeDoNotWait) {
  std::ofstream(marker()) << "";
  auto t0 = std::chrono::steady_clock::now();
  driver.WaitDataRate(60);
  EXPECT_LT(secondsSince(t0), 30.0);
  EXPECT_FALSE(mtr_test::exists(marker()));
  mtr_test::FakeClock clock;
  driver.setClock(&clock);
  const long long before = clock.nowMs();
  driver.WaitDataRate(1);
  driver.WaitDataRate(0);
  EXPECT_EQ(before, clock.nowMs());
}

// A marker made as the deadline comes, after the last look during the wait,
// is still taken: it must not cut the next wait short.
TEST_F(WaitFixture, MarkerMadeAtTheDeadlineIsTaken) {
  struct MarkerAtDeadline : mtr_test::FakeClock {
    std::string path;
    time_t at = 0;
    void sleepMs(long ms) override {
      FakeClock::sleepMs(ms);
      if (!path.empty() && now() >= at) {
        std::ofstream(path) << "";
        path.clear();
      }
    }
  } clock;
  clock.path = marker();
  clock.at = clock.now() + 3;
  driver.setClock(&clock);
  driver.WaitDataRate(3);
  EXPECT_TRUE(clock.path.empty()) << "made";
  EXPECT_FALSE(mtr_test::exists(marker()));
}

}  // namespace
