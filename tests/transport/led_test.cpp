#include "transport/led.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "transport/transport_support.h"

namespace {

using transport_test::Clock;
using transport_test::msSince;

// Reads a LED control FIFO in the background and notes when each state came.
class LedRecorder {
 public:
  explicit LedRecorder(const std::string& path) {
    mkfifo(path.c_str(), 0644);
    fd_ = open(path.c_str(), O_RDONLY | O_NONBLOCK);
    t0_ = Clock::now();
    thread_ = std::thread([this] { run(); });
  }
  ~LedRecorder() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  struct Event {
    char state;
    double ms;
  };
  std::vector<Event> events() {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
  }
  std::string states() {
    std::string s;
    for (const auto& e : events()) s += e.state;
    return s;
  }
  bool waitStates(const std::string& want, int timeout_ms) {
    return mtr_test::waitFor([&] { return states() == want; }, timeout_ms, 2);
  }

 private:
  void run() {
    while (!stop_) {
      struct pollfd p = {fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      char buf[64];
      ssize_t n = read(fd_, buf, sizeof buf);
      double at = msSince(t0_);
      std::lock_guard<std::mutex> lock(m_);
      for (ssize_t i = 0; i < n; ++i) events_.push_back({buf[i], at});
      if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));  // no writer yet
    }
  }

  int fd_;
  Clock::time_point t0_;
  std::atomic<bool> stop_{false};
  std::mutex m_;
  std::vector<Event> events_;
  std::thread thread_;
};

long voluntarySwitches(pid_t tid) {
  std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
  }
  return -1;
}

class LedTest : public ::testing::Test {
 protected:
  std::unique_ptr<CLed> start(uint32_t on_us = 150000) {
    std::unique_ptr<CLed> led(new CLed(path, on_us));
    led->Start(led.get(), "test LED");
    EXPECT_TRUE(mtr_test::waitFor([&] { return led->threadId() != 0; }, 2000, 1));
    return led;
  }
  mtr_test::TempDir dir;
  std::string path = dir / "led";
  LedRecorder rec{path};
};

TEST_F(LedTest, FlashIsOnForTheOnTime) {
  auto led = start();
  ASSERT_TRUE(rec.waitStates("0", 1000));  // dark from construction
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  double asked = 0;
  {
    auto t = rec.events();
    asked = t.back().ms;
  }
  auto t0 = Clock::now();
  led->Blink();
  double blink_cost = msSince(t0);
  ASSERT_TRUE(rec.waitStates("010", 2000));
  auto ev = rec.events();
  double on = ev[2].ms - ev[1].ms;
  EXPECT_GE(on, 148);
  EXPECT_LT(on, 260);
  EXPECT_GT(ev[1].ms, asked);
  EXPECT_LT(blink_cost, 5);  // the requester never waits for the LED
}

TEST_F(LedTest, RequestsWhileLitGiveExactlyOneMoreFlash) {
  auto led = start(100000);
  ASSERT_TRUE(rec.waitStates("0", 1000));
  led->Blink();
  ASSERT_TRUE(rec.waitStates("01", 1000));
  for (int i = 0; i < 5; ++i) {
    led->Blink();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_TRUE(rec.waitStates("01010", 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ("01010", rec.states());
  auto ev = rec.events();
  EXPECT_GE(ev[3].ms - ev[2].ms, 9.5);  // a visible dark pause between the flashes
}

TEST_F(LedTest, IdleThreadDoesNotWakeUp) {
  auto led = start();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  long before = voluntarySwitches(led->threadId());
  ASSERT_GE(before, 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  long after = voluntarySwitches(led->threadId());
  // A 10 ms poll would have woken about 50 times.
  EXPECT_LE(after - before, 1);
  // And it still answers afterwards.
  led->Blink();
  EXPECT_TRUE(rec.waitStates("010", 2000));
}

TEST_F(LedTest, DestroyedWhileLitOrIdleLeavesItDarkPromptly) {
  {
    auto led = start(2000000);
    led->Blink();
    ASSERT_TRUE(rec.waitStates("01", 1000));
    auto t0 = Clock::now();
    led.reset();  // cancelled in the middle of a 2 s flash
    EXPECT_LT(msSince(t0), 200);
    EXPECT_TRUE(rec.waitStates("010", 1000));
  }
  for (int i = 0; i < 20; ++i) {
    auto led = start();
    if (i % 2) led->Blink();
    auto t0 = Clock::now();
    led.reset();
    EXPECT_LT(msSince(t0), 200);
  }
}

TEST(LedFile, MissingFileIsSilent) {
  mtr_test::TempDir dir;
  std::unique_ptr<CLed> led(new CLed(dir / "no/such/dir/led", 1000));
  EXPECT_FALSE(led->isOpen());
  led->Start(led.get(), "test LED");
  for (int i = 0; i < 10; ++i) led->Blink();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  led.reset();
  EXPECT_FALSE(mtr_test::exists(dir / "no"));
}

TEST(LedFile, PlainFileHoldsTheCurrentState) {
  mtr_test::TempDir dir;
  std::string path = dir / "led";
  mtr_test::writeFile(path, "stale content");
  std::unique_ptr<CLed> led(new CLed(path, 300000));
  EXPECT_EQ("0", mtr_test::readFile(path));
  led->Start(led.get(), "test LED");
  led->Blink();
  EXPECT_TRUE(mtr_test::waitFor([&] { return mtr_test::readFile(path) == "1"; }, 1000, 2));
  EXPECT_TRUE(mtr_test::waitFor([&] { return mtr_test::readFile(path) == "0"; }, 1000, 2));
  led->Blink();
  EXPECT_TRUE(mtr_test::waitFor([&] { return mtr_test::readFile(path) == "1"; }, 1000, 2));
  led.reset();
  EXPECT_EQ("0", mtr_test::readFile(path));
}

}  // namespace
