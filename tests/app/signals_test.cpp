#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "fault_support.h"

namespace {

using mtr_test::countLinesContaining;
using mtr_test::FaultLine;
using mtr_test::readFile;
using mtr_test::waitFor;

const char* const kSeparator = "---------------------------------------------------------";

// True once the handler has logged everything for the signal `what`.
bool handled(const std::string& log, const std::string& what) {
  size_t p = log.find(what);
  return p != std::string::npos && log.find(kSeparator, p) != std::string::npos;
}

// Three models without a driver end at once, touching no serial port; then a signal.
TEST(Signals, AfterStartUpOfThreeDrivers) {
  struct Case {
    int sig;
    int wait_ms;
    int status;  // 128 + signal when killed by one
    std::vector<const char*> once;
  };
  const Case cases[] = {
      // The supervisor sleeps in 5 s steps; a stop request ends the step.
      {SIGTERM, 3000, 0, {"System signal number 15 (Terminated) is received from address"}},
      {SIGSEGV, 20000, 128 + SIGABRT, {"Application done due to SIGSEGV.", "backtrace:"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sig);
    FaultLine d("", R"({
      "11": {"manufacturer": "model-a", "serial": "1001", "port_params": {"name": "/dev/null"}},
      "12": {"manufacturer": "model-b", "serial": "1002", "port_params": {"name": "/dev/zero"}},
      "13": {"manufacturer": "model-c", "serial": "1003", "port_params": {"name": "/dev/full"}}
    })");
    ASSERT_TRUE(d.startServer());
    d.startDaemon({"11", "12", "13"});
    ASSERT_TRUE(d.logged("has been STOPED", 3, 60000)) << d.log();
    // A stop is honoured from the start of supervision on; the drivers'
    // threads may end before it.
    ASSERT_TRUE(d.logged("main() - supervision of 3 driver(s) begins.", 1, 60000));
    std::string text = d.log();
    for (const char* once : {"The CConnector is created in as simple UART.",
                             "main() - supervision of 3 driver(s) begins."})
      EXPECT_EQ(1, countLinesContaining(text, once)) << once;
    EXPECT_EQ(3, countLinesContaining(text, "has been STOPED"));
    // configured in command-line order
    size_t a = text.find("create_and_init() as 'model-a'");
    size_t b = text.find("create_and_init() as 'model-b'");
    ASSERT_NE(std::string::npos, a);
    EXPECT_LT(a, b);
    EXPECT_LT(b, text.find("create_and_init() as 'model-c'"));
    // one get_config request per identifier, each with id 1
    for (const char* id : {"11", "12", "13"})
      EXPECT_NE(std::string::npos,
                d.recorded().find(
                    std::string(R"({\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"get_config\",)"
                                R"(\"params\":{\"heat_meter\":\")") +
                    id))
          << d.recorded();

    d.daemon().kill(c.sig);
    mtr_test::ProcessResult r;
    ASSERT_TRUE(d.daemon().wait(c.wait_ms, &r));
    EXPECT_EQ(c.status, r.status);
    EXPECT_EQ(c.status > 128, r.signaled);
    text = d.log();
    for (const char* line : c.once) EXPECT_EQ(1, countLinesContaining(text, line)) << line;
    if (c.sig != SIGSEGV) continue;
    // symbolised frames follow the backtrace line
    EXPECT_GE(countLinesContaining(text, ") [0x"), 1) << text;
#if defined(__x86_64__) || defined(__aarch64__)
    // frames of the binary too: here the unwinder crosses the signal frame (on
    // 32-bit ARM it may stop at the signal trampoline in libc)
    EXPECT_GE(countLinesContaining(text, "mtr_main("), 1) << text;
#endif
  }
}

TEST(Signals, FirstSigintWaitsForTheRoundSecondExitsWithStatusOne) {
  // A meter that cannot answer: its driver holds the turn through the 180 s
  // pause, so the round in progress does not end by itself.
  FaultLine d("", R"({"2": {"manufacturer": "ce2727a", "port_params": {"name": "/dev/null"}}})");
  ASSERT_TRUE(d.startServer());
  d.startDaemon({"2"});
  ASSERT_TRUE(d.logged("EXCEPTION!!!", 1, 90000)) << d.log();
  d.daemon().kill(SIGINT);
  // The second SIGINT only after the first is handled: pending, they would be one.
  ASSERT_TRUE(waitFor([&] { return handled(d.log(), "System signal number 2 "); }, 30000));
  EXPECT_TRUE(d.daemon().running());  // an orderly stop waits for the round
  d.daemon().kill(SIGINT);
  mtr_test::ProcessResult r;
  ASSERT_TRUE(d.daemon().wait(10000, &r));  // the round would last 180 s
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(1, countLinesContaining(d.log(), "Application done due to SIGINT. Immediate exit!"));
}

TEST(Signals, SigintWhileStartingUpExitsAtOnce) {
  // Before supervision the stop flag is set: a first SIGINT already exits 1.
  FaultLine d("", "");  // no server: it waits for one for ever
  d.startDaemon({"1"});
  ASSERT_TRUE(waitFor([&] { return !d.log().empty(); }, 5000));  // waiting for the server
  // Started once more in the same process, without glibc's per-thread cache
  // (not under qemu-arm: without binfmt_misc an emulated program cannot exec).
  std::string env = readFile("/proc/" + std::to_string(d.daemon().pid()) + "/environ");
  if (!getenv("MTR_TEST_BIN_DIR")) {
    EXPECT_NE(std::string::npos,
              env.find(std::string("GLIBC_TUNABLES=glibc.malloc.tcache_count=0\0", 43)));
  }
  d.daemon().kill(SIGTERM);  // no lasting effect while starting
  ASSERT_TRUE(waitFor([&] { return handled(d.log(), "System signal number 15 "); }, 30000));
  EXPECT_TRUE(d.daemon().running());
  d.daemon().kill(SIGINT);
  mtr_test::ProcessResult r;
  ASSERT_TRUE(d.daemon().wait(10000, &r));  // it would wait for the server for ever
  EXPECT_EQ(1, r.status);
}

TEST(Signals, DaemonModeDetachesAndKeepsLogging) {
  FaultLine d("",
              R"({"1": {"manufacturer": "no-such-model", "port_params": {"name": "/dev/null"}}})");
  ASSERT_TRUE(d.startServer());
  d.startDaemon({"1"}, {"-d"});
  mtr_test::ProcessResult r;
  ASSERT_TRUE(d.daemon().wait(20000, &r));
  EXPECT_EQ(0, r.status);  // the parent leaves at once
  ASSERT_TRUE(d.logged("main() - supervision of", 1, 30000));
  // Find the daemon by its log and stop it.
  std::string text = d.log();
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
