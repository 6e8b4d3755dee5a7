#include "base/thread.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>

#include "base/logger.h"
#include "support/test_support.h"

namespace {

class Counting : public myThreadAttached {
 public:
  explicit Counting(bool block) : block_(block) {}
  ~Counting() override { Stop(); }
  void functionThread(myThreadAttached*) override {
    ++runs;
    while (block_) pause();  // a cancellation point
  }
  std::atomic<int> runs{0};

 private:
  bool block_;
};

class ThreadLog : public ::testing::Test {
 protected:
  void SetUp() override {
    delete logger::instance();
    logger::getInstance(path_.c_str(), false)->setLevel(TL_DEBUG);
  }
  void TearDown() override { delete logger::instance(); }
  int logged(const std::string& s) {
    return mtr_test::countLinesContaining(mtr_test::readFile(path_), s);
  }

  mtr_test::TempDir dir_;
  std::string path_ = dir_ / "log", pid_ = std::to_string(getpid());
};

TEST_F(ThreadLog, StartStopAndTheirLogLines) {
  {
    Counting never(true);
    EXPECT_FALSE(never.isRunning());
  }  // Stop on a never-started object must not touch thread 0
  EXPECT_EQ(0, logged("STOPED"));
  Counting c(true);
  c.Start(&c, "meter");
  c.Start(&c, "meter");
  ASSERT_TRUE(mtr_test::waitFor([&] { return c.runs.load() == 1; }, 10000));
  usleep(50000);
  EXPECT_EQ(1, c.runs.load());
  EXPECT_EQ(1, logged("Attempting to restart thread \"meter\"!"));
  EXPECT_EQ(1, logged("A new thread \"meter\" has been STARTED with PID = " + pid_ + "."));
  c.Stop();  // cancels at pause() and joins
  EXPECT_FALSE(c.isRunning());

  // A body that returns logs its end; no restart of a finished body either.
  Counting d(false);
  d.Start(&d, "short");
  ASSERT_TRUE(mtr_test::waitFor([&] { return d.isFinished(); }, 10000));
  EXPECT_TRUE(d.isRunning());  // stays "running" until Stop joins it
  EXPECT_EQ(1, logged("Thread \"short\" (PID = " + pid_ + ") has been STOPED."));
  d.Start(&d, "short");
  EXPECT_EQ(1, d.runs.load());
  d.Stop();
  EXPECT_FALSE(d.isRunning());
}

}  // namespace
