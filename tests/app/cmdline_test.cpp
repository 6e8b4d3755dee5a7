#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

using mtr_test::binPath;
using mtr_test::runProcess;

const char* const kVersion = "version 1.3.35 (2017.06.05)\n";

std::vector<std::string> usageLines(const std::string& argv0) {
  return {
      "Usage: " + argv0 + " [options]",
      "    -r  --release               Version of the program.",
      "    -h  --help                  Display this usage.",
      "    -d  --daemon                Daemon mode.",
      "    -v  --verbose <level>       Verbose logs level.",
      "        logs levels:",
      "             0 (TL_EMERG)   system is unusable;",
      "             1 (TL_ALERT)   action must be taken immediately;",
      "             2 (TL_CRIT)    critical conditions;",
      "             3 (TL_ERR)     error conditions;",
      "             4 (TL_WARNING) warning conditions;",
      "             5 (TL_NOTICE)  normal, but significant, condition;",
      "             6 (TL_INFO)    informational message (default);",
      "             7 (TL_DEBUG)   debug-level message.",
      "    -e  --stderr                Redirect the log messages to stderr.",
      "    -i  --id                    ID of HeatMeter.",
      "    -s  --logsize               Max size of log file (in bytes). After reach log file "
      "erase. 0 - unlimit",
  };
}

// Rows: arguments, status, stdout, a text stderr must hold (null: stderr empty).
TEST(CommandLine, OptionsAndArgumentErrors) {
  const std::string bin = binPath("mtr_main");
  enum Out { kVersionOut, kUsageOut, kNoOut, kAnyOut };
  struct Case {
    std::vector<std::string> args;
    int status;
    Out out;
    const char* err;
  };
  const char* level = "\nmain: Unacceptable logs level!\n";
  const char* no_id = "\nmain: Do not set any ID of HeatMeter!\n";
  const char* bad_id = "Unacceptable ID of HeatMeter";
  const int killed = 128 + SIGKILL;
  mtr_test::TempDir dir;
  const std::string log = dir / "log";
  const Case cases[] = {
      {{"-r"}, 0, kVersionOut, nullptr},
      {{"--release"}, 0, kVersionOut, nullptr},
      {{"-r", "-v", "99", "-l", ""}, 0, kVersionOut, nullptr},
      {{"-h", "-r"}, 0, kUsageOut, ""},
      {{"--help", "-r"}, 0, kUsageOut, ""},
      // an unknown option is ignored with the parser's diagnostic
      {{"-x", "-r"}, 0, kVersionOut, "invalid option"},
      {{"-v", "8", "-i", "1"}, 1, kUsageOut, level},
      {{"-v", "-1", "-i", "1"}, 1, kUsageOut, level},
      {{"-v", "6x", "-i", "1"}, 1, kUsageOut, level},
      {{"--verbose", "", "-i", "1"}, 1, kUsageOut, level},
      {{"-s", "12 ", "-i", "1"}, 1, kUsageOut, "\nmain: Unacceptable max logfile size!\n"},
      {{"-l", "", "-i", "1"}, 1, kUsageOut, "\nmain: Error logs file name!\n"},
      {{"-v", "3"}, 1, kNoOut, no_id},
      {{"--bogus", "-v", "7"}, 1, kNoOut, no_id},
      {{"-i", ""}, 1, kAnyOut, bad_id},
      {{"-i", "."}, 1, kAnyOut, bad_id},
      {{"-i", ".."}, 1, kAnyOut, bad_id},
      {{"-i", "a/b"}, 1, kAnyOut, bad_id},
      // accepted: the start-up waits for the absent server until killed
      {{"-v", "7", "-s", "-5", "-l", log, "-i", "1"}, killed, kAnyOut, nullptr},
      {{"-v", "0", "-s", "-5", "-l", log, "-i", "1"}, killed, kAnyOut, nullptr},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{bin};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = runProcess(argv, c.status == killed ? 700 : 10000,
                        {"MTR_ROOT=" + dir.path(), "MTR_CONFIG_URL=http://127.0.0.1:" +
                                                       std::to_string(mtr_test::freePort()) + "/"});
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(c.status, r.status) << joined;
    if (c.status == killed) {
      // only the transport's complaint about the absent server
      EXPECT_EQ(std::string::npos, r.err.find("main:")) << joined;
    } else if (c.err) {
      EXPECT_NE(std::string::npos, r.err.find(c.err)) << joined << ": " << r.err;
    } else {
      EXPECT_EQ("", r.err) << joined;
    }
    if (c.out == kUsageOut) {
      EXPECT_EQ(usageLines(bin), mtr_test::splitLines(r.out)) << joined;
    } else if (c.out != kAnyOut) {
      EXPECT_EQ(c.out == kVersionOut ? kVersion : "", r.out) << joined;
    }
  }
}

}  // namespace
