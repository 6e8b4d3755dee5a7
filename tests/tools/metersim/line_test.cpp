// The simulator as a process on a pseudo-terminal: start and stop, the link,
// the frame log, pacing, fault injection, bad descriptions and options.
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

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(SimLine, LinkFrameLogAndCleanStop) {
  mtr_test::TempDir dir;
  std::string link = dir / "ttyMeter";
  Sim sim(kTwoMeters, {"--link", link});
  {
    Port port(link);  // the daemon opens the link like any serial device
    EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4));
    EXPECT_TRUE(port.ask("07 00", 4, 200).empty());
  }
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, sim.stop());
  EXPECT_LT(msSince(t0), 2500);  // at once, not after a read timeout
  struct stat st;
  EXPECT_NE(0, lstat(link.c_str(), &st)) << "link removed on stop";
  std::string log = mtr_test::readFile(sim.logPath());
  for (const std::string& line : std::vector<std::string>{
           "# started: 2 meter(s) on " + sim.device(), " RX 01 00 00 20 ; meter 1: test channel\n",
           " TX 01 00 00 20\n",
           " RX " + hexText(withCrc(hex("07 00"))) + " ; address 7: no such meter\n", "# stopped"})
    EXPECT_TRUE(has(log, line)) << line << " not in:\n" << log;
}

TEST(SimLine, SilenceWhereNoMeterWouldAnswer) {
  Sim sim(kTwoMeters, {"--baud", "9600", "--fault", "silence:1:south"});
  Port port(sim.device());
  for (const char* bytes : {"01 00 00 21", "03 00 C1 30", "01 00", "5A A5 13 37 00 FF 42"}) {
    port.sendRaw(hex(bytes));  // bad CRC, nobody at 3, short frame, garbage
    EXPECT_TRUE(port.receive(1, 300).empty()) << bytes;
  }
  port.setSpeed(B19200);
  EXPECT_TRUE(port.ask("01 00", 4, 300).empty());
  port.setSpeed(B9600);
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4)) << "and the line still works";
  EXPECT_TRUE(has(mtr_test::readFile(sim.logPath()), "line at 19200 bit/s, meters at 9600"));
  EXPECT_TRUE(port.ask("02 00", 4, 300).empty()) << "a fault for one meter only";
  for (bool back : {false, true}) {  // SIGUSR1 takes the meters off the line and back
    sim.child().kill(SIGUSR1);
    const char* event = back ? "unmuted: the meters are back" : "muted: the meters are gone";
    ASSERT_TRUE(
        mtr_test::waitFor([&] { return has(mtr_test::readFile(sim.logPath()), event); }, 10000));
    EXPECT_EQ(back ? withCrc(hex("01 00")) : Bytes{}, port.ask("01 00", 4, 300));
  }
}

TEST(SimLine, PacingAtTheBaudRate) {
  // 123-byte profile reply + 6-byte request on the wire: 10 or 11 bits a byte.
  struct Case {
    std::vector<std::string> args;
    speed_t speed;
    double min_ms, max_ms;
  } cases[] = {
      // upper limits: what a busy machine adds, not what the pacing allows
      {{"--baud", "9600"}, B9600, 129 * 10 / 9.6, 129 * 10 / 9.6 + 1500},
      {{"--baud", "9600", "--format", "8E1"}, B9600, 129 * 11 / 9.6, 129 * 11 / 9.6 + 1500},
      {{"--baud", "19200", "--reply-delay", "100"},
       B19200,
       129 * 10 / 19.2 + 100,
       129 * 10 / 19.2 + 1600},
  };
  for (const auto& c : cases) {
    Sim sim(kTwoMeters, c.args);
    Port port(sim.device(), c.speed);
    port.open(1);
    port.sendRaw(withCrc(hex("01 06 03 00 00 78")));
    auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(123u, port.receive(123, 1000).size());
    double ms = msSince(t0);
    EXPECT_TRUE(ms >= c.min_ms - 2 && ms <= c.max_ms) << ms << " ms with " << c.args.size();
  }
}

TEST(SimFaults, EachKind) {
  struct Case {
    const char* fault;
    std::function<bool(const Bytes&)> ok;
  } cases[] = {
      {"silence:1", [](const Bytes& r) { return r.empty(); }},
      {"truncate:1", [](const Bytes& r) { return !r.empty() && r.size() < 10; }},
      {"badcrc:1", [](const Bytes& r) { return r.size() == 10 && r[0] == 1 && !crcOk(r); }},
      {"wrongaddr:1", [](const Bytes& r) { return r.size() == 10 && r[0] != 1 && crcOk(r); }},
      {"error:1", [](const Bytes& r) { return r == withCrc(hex("01 02")); }},
  };
  for (const auto& c : cases) {
    Sim sim(kTwoMeters, {"--fault", c.fault});
    Port port(sim.device());
    port.open(1);  // faults hit the opening too; the read then gets its own
    Bytes r = port.ask("01 08 00", 10, 300);
    EXPECT_TRUE(c.ok(r)) << c.fault << ": " << hexText(r);
    std::string kind(c.fault, std::string(c.fault).find(':'));
    EXPECT_TRUE(has(mtr_test::readFile(sim.logPath()), "fault " + kind)) << c.fault;
  }
}

TEST(SimFaults, DelayBeyondTheReadTimeoutAndPromptStop) {
  // Margins of seconds: a busy machine may hold either side back for a while.
  Sim sim(kTwoMeters, {"--fault", "delay:1", "--late", "3000"});
  Port port(sim.device());
  port.sendRaw(withCrc(hex("01 00")));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(port.receive(4, 900).empty()) << "nothing within the wait";
  EXPECT_EQ(withCrc(hex("01 00")), port.receive(4, 4000)) << "then the late reply";
  EXPECT_GE(msSince(t0), 2950);
  port.sendRaw(withCrc(hex("01 00")));
  usleep(100 * 1000);
  auto t1 = std::chrono::steady_clock::now();
  EXPECT_EQ(0, sim.stop());
  EXPECT_LT(msSince(t1), 2000);  // not after the late reply
}

TEST(SimFaults, SeedRepeatsTheSameFaults) {
  std::string patterns[2];
  for (auto& pattern : patterns) {
    Sim sim(kTwoMeters, {"--seed", "7", "--fault", "silence:0.3", "--fault", "error:0.3"});
    Port port(sim.device());
    for (int i = 0; i < 24; ++i) {
      Bytes r = port.ask("01 00", 4, 400);
      pattern += r.empty() ? '.' : r == withCrc(hex("01 00")) ? 'A' : r.size() == 4 ? 'E' : '?';
    }
  }
  EXPECT_EQ(patterns[0], patterns[1]);
  for (const char* kind : {"A", ".", "E"}) EXPECT_TRUE(has(patterns[0], kind)) << patterns[0];
  EXPECT_FALSE(has(patterns[0], "?")) << patterns[0];
}

TEST(SimConfig, BadDescriptionsAndOptions) {
  const char* one = R"({"protocol": "mercury230", "address": 1})";
  struct Case {
    std::vector<std::string> args;  // "@file" stands for a plain file
    const char* meters;             // inside {"meters": [...]}; null: no description file
    const char* message;
    int status = 1;
  } cases[] = {
      {{}, "{", "meters.json"},
      {{}, R"({"protocol": "dlms", "address": 1})", "unknown \"dlms\" (known: "},
      {{}, R"({"protocol": "mercury230", "adress": 1})", "unknown key \"adress\""},
      {{},
       R"({"protocol": "ce2727", "address": 1}, {"protocol": "ce2727", "address": "1"})",
       "another meter on the line"},
      {{}, R"({"protocol": "iec61107", "journals": {"LOG01": []}})", "not a journal of the CE301"},
      {{}, R"({"protocol": "iec61107", "address": "5"}, {"protocol": "iec61107"})", "\"address\""},
      {{"--baud", "12345"}, one, "not a standard serial speed", 2},
      {{"--fault", "smoke:0.5"}, one, "unknown kind", 2},
      {{"--clock-jumps", "3600,1h"}, one, "--clock-jumps: expected seconds", 2},
      {{"--link", "@file"}, one, "not a symlink"},
      {{}, nullptr, "no meter description file", 2},
  };
  for (const auto& c : cases) {
    mtr_test::TempDir dir;
    mtr_test::writeFile(dir / "file", "x");
    std::vector<std::string> argv = {mtr_test::binPath("mtr-metersim")};
    for (const auto& a : c.args) argv.push_back(a == "@file" ? dir / "file" : a);
    if (c.meters) {
      mtr_test::writeFile(dir / "meters.json", std::string(R"({"meters": [)") + c.meters + "]}");
      argv.push_back(dir / "meters.json");
    }
    auto r = mtr_test::runProcess(argv, 5000);
    EXPECT_EQ(c.status, r.status) << c.message;
    EXPECT_TRUE(has(r.err, c.message) && !has(r.out, "device=")) << c.message << ": " << r.err;
    EXPECT_EQ("x", mtr_test::readFile(dir / "file")) << "a file in the link's place stays";
  }
}

TEST(SimConfig, ExampleDescriptionsLoad) {
  for (const char* file : {"metersim-mercury.json", "metersim-ce2727.json", "metersim-ce30x.json",
                           "metersim-ce30x-more.json"}) {
    std::string text = mtr_test::readFile(std::string(MTR_SOURCE_DIR) + "/examples/" + file);
    ASSERT_FALSE(text.empty()) << file;
    EXPECT_NO_THROW(Sim{text}) << file;
  }
}

}  // namespace
