#include <gtest/gtest.h>

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

TEST(CommandLine, ReleasePrintsVersionAtOnce) {
  const std::string bin = binPath("mtr_main");
  for (const auto& args : std::vector<std::vector<std::string>>{
           {bin, "-r"}, {bin, "--release"}, {bin, "-r", "-v", "99", "-l", ""}, {bin, "-r", "-h"}}) {
    auto r = runProcess(args);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(kVersion, r.out);
    EXPECT_EQ("", r.err);
  }
}

TEST(CommandLine, HelpPrintsUsageLineByLine) {
  const std::string bin = binPath("mtr_main");
  for (const char* opt : {"-h", "--help"}) {
    auto r = runProcess({bin, opt, "-r"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(usageLines(bin), mtr_test::splitLines(r.out)) << opt;
  }
}

TEST(CommandLine, ArgumentErrors) {
  const std::string bin = binPath("mtr_main");
  struct Case {
    std::vector<std::string> args;
    std::string message;
    bool usage;
  };
  const std::string level = "\nmain: Unacceptable logs level!\n";
  const std::string size = "\nmain: Unacceptable max logfile size!\n";
  const Case cases[] = {
      {{"-v", "8", "-i", "1"}, level, true},
      {{"-v", "-1", "-i", "1"}, level, true},
      {{"-v", "6x", "-i", "1"}, level, true},
      {{"--verbose", "", "-i", "1"}, level, true},
      {{"-s", "abc", "-i", "1"}, size, true},
      {{"-s", "12 ", "-i", "1"}, size, true},
      {{"-l", "", "-i", "1"}, "\nmain: Error logs file name!\n", true},
      {{"-v", "3"}, "\nmain: Do not set any ID of HeatMeter!\n", false},
      {{"--bogus", "-v", "7"}, "\nmain: Do not set any ID of HeatMeter!\n", false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{bin};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    auto r = runProcess(argv);
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(1, r.status) << joined;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << joined << ": " << r.err;
    if (c.usage)
      EXPECT_EQ(usageLines(bin), mtr_test::splitLines(r.out)) << joined;
    else
      EXPECT_EQ("", r.out) << joined;
  }
}

TEST(CommandLine, UnknownOptionIsIgnoredWithTheParsersDiagnostic) {
  auto r = runProcess({binPath("mtr_main"), "-x", "-r"});
  EXPECT_EQ(0, r.status);
  EXPECT_EQ(kVersion, r.out);
  EXPECT_NE(std::string::npos, r.err.find("invalid option"));
}

TEST(CommandLine, UnsafeIdentifiersAreRefused) {
  for (const char* id : {"", ".", "..", "a/b", "/etc"}) {
    auto r = runProcess({binPath("mtr_main"), "-i", id});
    EXPECT_EQ(1, r.status) << id;
    EXPECT_NE(std::string::npos, r.err.find("Unacceptable ID of HeatMeter")) << id;
  }
}

TEST(CommandLine, AcceptedLevelsGoOnToStartUp) {
  // Accepted arguments lead to the start-up, which waits for the configuration
  // server; the process is alive when we stop it.
  mtr_test::TempDir dir;
  for (const char* level : {"7", "0"}) {
    mtr_test::Child c({binPath("mtr_main"), "-v", level, "-s", "-5", "-l", dir / "log", "-i", "1"},
                      dir / "out", dir / "err",
                      {"MTR_ROOT=" + dir.path(), "MTR_CONFIG_URL=http://127.0.0.1:" +
                                                     std::to_string(mtr_test::freePort()) + "/"});
    EXPECT_FALSE(c.wait(700)) << level;
    c.kill(SIGKILL);
    // only the transport's complaint about the absent server, no argument error
    EXPECT_EQ(std::string::npos, mtr_test::readFile(dir / "err").find("main:"));
  }
}

}  // namespace
