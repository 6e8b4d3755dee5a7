#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "support/test_support.h"

namespace {

using mtr_test::binPath;
using mtr_test::countLinesContaining;
using mtr_test::readFile;
using mtr_test::waitFor;

const char* const kSupervising = "main() - supervision of";
const char* const kSeparator = "---------------------------------------------------------";

// True once the handler has logged everything for the `n`-th signal `what`.
bool handled(const std::string& log, const std::string& what, int n = 1) {
  size_t p = std::string::npos;
  for (int i = 0; i < n; ++i) {
    p = log.find(what, p == std::string::npos ? 0 : p + 1);
    if (p == std::string::npos) return false;
  }
  return log.find(kSeparator, p) != std::string::npos;
}

// The daemon configured with one meter of a model this build has no driver
// for: it reaches supervision at once and touches no real serial port.
class RunningDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    server_ = std::make_unique<mtr_test::ConfServer>(
        R"({"1": {"manufacturer": "no-such-model", "port_params": {"name": "/dev/null"}}})");
    ASSERT_TRUE(server_->ok());
  }
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> argv{binPath("mtr_main"), "-v", "7", "-l", log_, "-i", "1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    child_ = std::make_unique<mtr_test::Child>(
        argv, dir_ / "out", dir_ / "err",
        std::vector<std::string>{"MTR_ROOT=" + dir_.path(), "MTR_CONFIG_URL=" + server_->url()});
    // A stop request is honoured once supervision has begun.
    ASSERT_TRUE(
        waitFor([&] { return countLinesContaining(readFile(log_), kSupervising) > 0; }, 30000))
        << readFile(log_);
  }
  std::string log() { return readFile(log_); }

  mtr_test::TempDir dir_;
  std::string log_ = dir_ / "daemon.log";
  std::unique_ptr<mtr_test::ConfServer> server_;
  std::unique_ptr<mtr_test::Child> child_;
};

TEST_F(RunningDaemon, SigtermEndsWithStatusZeroPromptly) {
  start();
  child_->kill(SIGTERM);
  mtr_test::ProcessResult r;
  // The supervisor sleeps in 5 s steps; a stop request ends the step.
  ASSERT_TRUE(child_->wait(3000, &r));
  EXPECT_EQ(0, r.status);
  std::string text = log();
  EXPECT_EQ(1, countLinesContaining(
                   text, "System signal number 15 (Terminated) is received from address"));
}

TEST(Signals, FirstSigintWaitsForTheRoundSecondExitsWithStatusOne) {
  // A meter that cannot answer: its driver holds the turn through the 180 s
  // pause, so the round in progress does not end by itself.
  mtr_test::TempDir dir;
  mtr_test::ConfServer server(
      R"({"2": {"manufacturer": "ce2727a", "port_params": {"name": "/dev/null"}}})");
  ASSERT_TRUE(server.ok());
  std::string log = dir / "log";
  mtr_test::Child c({binPath("mtr_main"), "-l", log, "-i", "2"}, dir / "out", dir / "err",
                    {"MTR_ROOT=" + dir.path(), "MTR_CONFIG_URL=" + server.url()});
  ASSERT_TRUE(
      waitFor([&] { return countLinesContaining(readFile(log), "EXCEPTION!!!") > 0; }, 90000))
      << readFile(log);
  c.kill(SIGINT);
  // The second SIGINT only after the first is handled: pending, they would be one.
  ASSERT_TRUE(waitFor([&] { return handled(readFile(log), "System signal number 2 "); }, 30000));
  EXPECT_TRUE(c.running());  // an orderly stop waits for the round
  c.kill(SIGINT);
  mtr_test::ProcessResult r;
  ASSERT_TRUE(c.wait(10000, &r));  // the round would last 180 s
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(1,
            countLinesContaining(readFile(log), "Application done due to SIGINT. Immediate exit!"));
}

TEST_F(RunningDaemon, SigintWhileStartingUpExitsAtOnce) {
  // Before supervision the stop flag is set: a first SIGINT already exits 1.
  mtr_test::TempDir d;
  std::string log = d / "log";
  mtr_test::Child c({binPath("mtr_main"), "-l", log, "-i", "1"}, d / "out", d / "err",
                    {"MTR_ROOT=" + d.path(), "MTR_CONFIG_URL=http://127.0.0.1:" +
                                                 std::to_string(mtr_test::freePort()) + "/"});
  ASSERT_TRUE(waitFor([&] { return !readFile(log).empty(); }, 5000));  // waiting for the server
  c.kill(SIGTERM);  // no lasting effect while starting
  ASSERT_TRUE(waitFor([&] { return handled(readFile(log), "System signal number 15 "); }, 30000));
  EXPECT_TRUE(c.running());
  c.kill(SIGINT);
  mtr_test::ProcessResult r;
  ASSERT_TRUE(c.wait(10000, &r));  // it would wait for the server for ever
  EXPECT_EQ(1, r.status);
}

TEST_F(RunningDaemon, SigsegvLogsBacktraceAndAborts) {
  start();
  child_->kill(SIGSEGV);
  mtr_test::ProcessResult r;
  ASSERT_TRUE(child_->wait(20000, &r));
  EXPECT_TRUE(r.signaled);
  EXPECT_EQ(SIGABRT, r.signal);
  std::string text = log();
  EXPECT_EQ(1, countLinesContaining(text, "Application done due to SIGSEGV."));
  EXPECT_EQ(1, countLinesContaining(text, "backtrace:"));
  // symbolised frames follow the backtrace line
  EXPECT_GE(countLinesContaining(text, ") [0x"), 1) << text;
#if defined(__x86_64__) || defined(__aarch64__)
  // frames of the binary too: here the unwinder crosses the signal frame (on
  // 32-bit ARM it may stop at the signal trampoline in libc)
  EXPECT_GE(countLinesContaining(text, "mtr_main("), 1) << text;
#endif
}

TEST_F(RunningDaemon, DaemonModeDetachesAndKeepsLogging) {
  mtr_test::ProcessResult r =
      mtr_test::runProcess({binPath("mtr_main"), "-d", "-l", log_, "-i", "1"}, 20000,
                           {"MTR_ROOT=" + dir_.path(), "MTR_CONFIG_URL=" + server_->url()});
  EXPECT_EQ(0, r.status);  // the parent leaves at once
  ASSERT_TRUE(waitFor([&] { return countLinesContaining(log(), kSupervising) > 0; }, 30000));
  // Find the daemon by its log and stop it.
  std::string text = log();
  size_t p = text.find("with PID = ");
  ASSERT_NE(std::string::npos, p);
  pid_t pid = atoi(text.c_str() + p + 11);
  ASSERT_GT(pid, 1);
  EXPECT_EQ(0, kill(pid, SIGTERM));
  // Gone, or a zombie where nothing reaps orphans (containers).
  auto gone = [pid] {
    if (kill(pid, 0) != 0) return true;
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t p = stat.rfind(')');
    return p != std::string::npos && p + 2 < stat.size() && stat[p + 2] == 'Z';
  };
  EXPECT_TRUE(waitFor(gone, 10000));
}

}  // namespace
