// The simulator as a process on a pseudo-terminal: start and stop, the link,
// pacing at a baud rate, speed mismatch, fault injection, bad descriptions.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>

#include "sim_harness.h"

using namespace simtest;

namespace {

const char* kTwoMeters = R"({"meters": [
  {"protocol": "mercury230", "name": "north", "address": 1},
  {"protocol": "mercury230", "name": "south", "address": 2}]})";

double msSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

TEST(SimLine, DeviceLinkAndCleanStop) {
  mtr_test::TempDir dir;
  std::string link = dir / "ttyMeter";
  Sim sim(kTwoMeters, {"--link", link});
  char target[256] = {0};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(sim.device(), target);
  {
    Port port(link);  // the daemon opens the link like any serial device
    EXPECT_EQ(withCrc(hex("02 00")), port.ask("02 00", 4));
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, sim.stop());
  EXPECT_LT(msSince(t0), 1000);
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "link removed on stop";
  std::string log = mtr_test::readFile(sim.logPath());
  EXPECT_NE(std::string::npos, log.find("# started: 2 meter(s) on " + sim.device()));
  EXPECT_NE(std::string::npos, log.find("# stopped"));
}

TEST(SimLine, LinkOverAFileIsRefused) {
  mtr_test::TempDir dir;
  mtr_test::writeFile(dir / "file", "x");
  mtr_test::TempDir simdir;
  mtr_test::writeFile(simdir / "m.json", kTwoMeters);
  auto r = mtr_test::runProcess(
      {mtr_test::binPath("mtr-metersim"), "--link", dir / "file", simdir / "m.json"}, 5000);
  EXPECT_EQ(1, r.status);
  EXPECT_NE(std::string::npos, r.err.find("not a symlink"));
  EXPECT_EQ("x", mtr_test::readFile(dir / "file"));
}

TEST(SimLine, FrameLogHasEveryFrameInHex) {
  Sim sim(kTwoMeters);
  Port port(sim.device());
  port.ask("01 00", 4);
  port.ask("07 00", 4, 200);
  std::string log = mtr_test::readFile(sim.logPath());
  EXPECT_NE(std::string::npos, log.find(" RX 01 00 00 20 ; meter 1: test channel\n"));
  EXPECT_NE(std::string::npos, log.find(" TX 01 00 00 20\n"));
  EXPECT_NE(std::string::npos,
            log.find(" RX " + hexText(withCrc(hex("07 00"))) + " ; address 7: no such meter\n"));
}

TEST(SimLine, BadRequestsGetSilence) {
  Sim sim(kTwoMeters);
  Port port(sim.device());
  struct Case {
    const char* bytes;
    const char* why;
  } cases[] = {
      {"01 00 00 21", "bad CRC"},
      {"03 00 C1 30", "nobody at address 3 (good CRC)"},
      {"01 00", "short frame"},
      {"5A A5 13 37 00 FF 42", "garbage"},
  };
  for (const auto& c : cases) {
    port.sendRaw(hex(c.bytes));
    EXPECT_TRUE(port.receive(1, 300).empty()) << c.why;
  }
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4)) << "and the line still works";
}

TEST(SimLine, PacingAtTheBaudRate) {
  struct Case {
    std::vector<std::string> args;
    double min_ms, max_ms;
  } cases[] = {
      // 123-byte profile reply + 6-byte request on the wire: 10 or 11 bits a byte.
      {{"--baud", "9600"}, 129 * 10 / 9.6, 129 * 10 / 9.6 + 400},
      {{"--baud", "9600", "--format", "8E1"}, 129 * 11 / 9.6, 129 * 11 / 9.6 + 400},
      {{"--baud", "19200", "--reply-delay", "100"}, 129 * 10 / 19.2 + 100, 129 * 10 / 19.2 + 500},
      {{}, 0, 100},  // unpaced: far below the 134 ms at 9600
  };
  for (const auto& c : cases) {
    Sim sim(kTwoMeters, c.args);
    speed_t speed = c.args.size() >= 2 && c.args[1] == "19200" ? B19200 : B9600;
    Port port(sim.device(), speed);
    port.open(1);
    port.sendRaw(withCrc(hex("01 06 03 00 00 78")));
    auto t0 = std::chrono::steady_clock::now();
    Bytes reply = port.receive(123, 1000);
    double ms = msSince(t0);
    ASSERT_EQ(123u, reply.size());
    EXPECT_GE(ms, c.min_ms - 2) << c.args.size();
    EXPECT_LE(ms, c.max_ms) << c.args.size();
  }
}

TEST(SimLine, RequestsAtAnotherSpeedAreNotUnderstood) {
  Sim sim(kTwoMeters, {"--baud", "9600"});
  Port port(sim.device(), B19200);
  EXPECT_TRUE(port.ask("01 00", 4, 300).empty());
  port.setSpeed(B9600);
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4));
  EXPECT_NE(std::string::npos,
            mtr_test::readFile(sim.logPath()).find("line at 19200 bit/s, meters at 9600"));
}

TEST(SimFaults, EachKind) {
  struct Case {
    const char* fault;
    std::function<void(const Bytes&)> check;
  } cases[] = {
      {"silence:1", [](const Bytes& r) { EXPECT_TRUE(r.empty()); }},
      {"truncate:1",
       [](const Bytes& r) {
         EXPECT_GE(r.size(), 1u);
         EXPECT_LT(r.size(), 10u);
       }},
      {"badcrc:1",
       [](const Bytes& r) {
         ASSERT_EQ(10u, r.size());
         EXPECT_EQ(1, r[0]);
         EXPECT_FALSE(crcOk(r));
       }},
      {"wrongaddr:1",
       [](const Bytes& r) {
         ASSERT_EQ(10u, r.size());
         EXPECT_NE(1, r[0]);
         EXPECT_TRUE(crcOk(r));
       }},
      {"error:1", [](const Bytes& r) { EXPECT_EQ(withCrc(hex("01 02")), r); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    // Faults hit every answered request, the channel opening included.
    Sim sim(kTwoMeters, {"--fault", c.fault});
    Port port(sim.device());
    port.open(1);
    c.check(port.ask("01 08 00", 10, 300));
    EXPECT_NE(std::string::npos,
              mtr_test::readFile(sim.logPath())
                  .find(std::string("fault ") +
                        std::string(c.fault).substr(0, std::string(c.fault).find(':'))));
  }
}

TEST(SimFaults, DelayBeyondTheReadTimeout) {
  Sim sim(kTwoMeters, {"--fault", "delay:1", "--late", "1200"});
  Port port(sim.device());
  port.sendRaw(withCrc(hex("01 00")));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(port.receive(4, 900).empty()) << "nothing within the wait";
  EXPECT_EQ(withCrc(hex("01 00")), port.receive(4, 1000)) << "then the late reply";
  EXPECT_GE(msSince(t0), 1150);
  // A stop in the middle of a late reply is prompt.
  port.sendRaw(withCrc(hex("01 00")));
  usleep(100 * 1000);
  auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, sim.stop());
  EXPECT_LT(msSince(t1), 800);
}

std::string faultPattern(const std::vector<std::string>& args, int requests) {
  Sim sim(kTwoMeters, args);
  Port port(sim.device());
  std::string pattern;
  for (int i = 0; i < requests; ++i) {
    Bytes r = port.ask("01 00", 4, 400);
    pattern += r.empty() ? '.' : r == withCrc(hex("01 00")) ? 'A' : r.size() == 4 ? 'E' : '?';
  }
  return pattern;
}

TEST(SimFaults, SeedRepeatsTheSameFaults) {
  std::vector<std::string> args = {"--seed", "7", "--fault", "silence:0.3", "--fault", "error:0.3"};
  std::string a = faultPattern(args, 24);
  std::string b = faultPattern(args, 24);
  EXPECT_EQ(a, b);
  EXPECT_NE(std::string::npos, a.find('A'));
  EXPECT_NE(std::string::npos, a.find('.'));
  EXPECT_NE(std::string::npos, a.find('E'));
  EXPECT_EQ(std::string::npos, a.find('?'));
}

TEST(SimFaults, RestrictedToOneMeter) {
  Sim sim(kTwoMeters, {"--fault", "silence:1:south"});
  Port port(sim.device());
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4));
  EXPECT_TRUE(port.ask("02 00", 4, 300).empty());
}

TEST(SimFaults, MeterDisappearsAndReturns) {
  Sim sim(kTwoMeters);
  Port port(sim.device());
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4));
  sim.child().kill(SIGUSR1);
  usleep(100 * 1000);
  EXPECT_TRUE(port.ask("01 00", 4, 300).empty());
  sim.child().kill(SIGUSR1);
  usleep(100 * 1000);
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4));
}

TEST(SimConfig, BadDescriptionsAndOptions) {
  struct Case {
    std::vector<std::string> args;
    const char* json;  // null: no description file
    int status;
    const char* message;
  } cases[] = {
      {{}, "{\"meters\": [", 1, "meters.json"},
      {{}, R"({"meters": []})", 1, "at least one meter"},
      {{},
       R"({"meters": [{"protocol": "dlms", "address": 1}]})",
       1,
       "unknown \"dlms\" (known: "},
      {{}, R"({"meters": [{"protocol": "mercury230"}]})", 1, "\"address\": required"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1}, {"protocol": "mercury230", "address": 1}]})",
       1,
       "another meter on the line"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "adress": 2}]})",
       1,
       "unknown key \"adress\""},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "serial": "1234"}]})",
       1,
       "8 digits"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "password": "abc"}]})",
       1,
       "digit mode takes digits"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "voltage": [1, 2]}]})",
       1,
       "3 numbers"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "installed": "yesterday"}]})",
       1,
       "bad time"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "energy_at": "day-2",
               "history": [{"at": "day-1", "A+": 5}]}]})",
       1,
       "ascending time"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "energy_at": "day-0", "energy": {"A+": 4},
               "history": [{"at": "day-1", "A+": 5}]}]})",
       1,
       "cannot decrease"},
      {{},
       R"({"meters": [{"protocol": "mercury230", "address": 1, "profile": {"period": 7}}]})",
       1,
       "divide 60"},
      {{"--baud", "12345"}, kTwoMeters, 2, "not a standard serial speed"},
      {{"--fault", "smoke:0.5"}, kTwoMeters, 2, "unknown kind"},
      {{"--fault", "silence:2"}, kTwoMeters, 2, "probability"},
      {{"--format", "9N1"}, kTwoMeters, 2, "--format"},
      {{}, nullptr, 2, "no meter description file"},
  };
  for (const auto& c : cases) {
    mtr_test::TempDir dir;
    std::vector<std::string> argv = {mtr_test::binPath("mtr-metersim")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    if (c.json) {
      mtr_test::writeFile(dir / "meters.json", c.json);
      argv.push_back(dir / "meters.json");
    }
    auto r = mtr_test::runProcess(argv, 5000);
    EXPECT_EQ(c.status, r.status) << c.message;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("device=")) << c.message;
  }
}

TEST(SimConfig, ExampleDescriptionLoads) {
  std::string example =
      mtr_test::readFile(std::string(MTR_SOURCE_DIR) + "/examples/metersim-mercury.json");
  ASSERT_FALSE(example.empty());
  Sim sim(example);
  Port port(sim.device());
  EXPECT_EQ(withCrc(hex("01 00")), port.open(1));
  EXPECT_EQ(withCrc(hex("02 00")), port.open(2, "31 32 33 34 00 00"));
  EXPECT_EQ(10u, port.ask("02 08 00", 10).size());
}

}  // namespace
