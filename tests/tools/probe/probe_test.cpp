// mtr-probe against the meter simulator: what it finds, and the one-line
// verdicts (with their exit statuses) when it finds nothing usable.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <map>

#include "support/test_support.h"

namespace {

const char* kLine = R"({"meters": [
  {"protocol": "mercury230", "address": 3, "serial": "12345678", "clock_offset": -42},
  {"protocol": "mercury230", "address": 5, "serial": "00220011", "model": "mercury234",
   "firmware": [9, 1, 3], "clock_offset": 600},
  {"protocol": "iec61107", "serial": "009217011", "clock_offset": 75},
  {"protocol": "ce2727", "address": 4, "serial": 770011, "clock_offset": 3600}]})";

// mtr-metersim on a pty of its own, logging its frames.
class Sim {
 public:
  Sim(const std::string& meters_json, const std::vector<std::string>& args) {
    mtr_test::writeFile(dir_ / "meters.json", meters_json);
    std::vector<std::string> argv = {mtr_test::binPath("mtr-metersim"), "--log", logPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    argv.push_back(dir_ / "meters.json");
    child_ = std::make_unique<mtr_test::Child>(argv, dir_ / "out", dir_ / "err");
    std::string out;
    mtr_test::waitFor(
        [&] {
          return (out = mtr_test::readFile(dir_ / "out")).find('\n') != std::string::npos ||
                 !child_->running();
        },
        20000);
    if (out.compare(0, 7, "device=") != 0)
      throw std::runtime_error("simulator did not start: " + mtr_test::readFile(dir_ / "err"));
    device_ = out.substr(7, out.find('\n') - 7);
  }
  ~Sim() { stop(); }
  const std::string& device() const { return device_; }
  std::string logPath() const { return dir_ / "frames.log"; }
  void stop() {
    mtr_test::ProcessResult r;
    if (child_->running()) child_->kill(SIGTERM);
    child_->wait(3000, &r);
  }

 private:
  mtr_test::TempDir dir_;
  std::unique_ptr<mtr_test::Child> child_;
  std::string device_;
};

// A process that looks like a running daemon with the line open.
class FakeDaemon {
 public:
  explicit FakeDaemon(const std::string& device) {
    pid_ = fork();
    if (pid_ == 0) {
      setpgid(0, 0);
      if (open(device.c_str(), O_RDWR | O_NOCTTY) < 0) _exit(1);
      execl("/bin/sh", "mtr_main", "-c", "sleep 60; :", "-i", "4242", static_cast<char*>(nullptr));
      _exit(1);
    }
    setpgid(pid_, pid_);
    const std::string cmdline = "/proc/" + std::to_string(pid_) + "/cmdline";
    mtr_test::waitFor([&] { return mtr_test::readFile(cmdline).rfind("mtr_main", 0) == 0; }, 20000);
  }
  ~FakeDaemon() {
    kill(-pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

 private:
  pid_t pid_;
};

struct Row {
  const char* name;
  std::vector<std::string> sim_args;
  std::vector<std::string> args;
  int status;
  // Found meters by "family address": serial, model, clock offset, password.
  std::map<std::string, std::vector<std::string>> meters = {};
  std::vector<std::string> err = {};       // parts of the one-line verdict
  std::vector<std::string> requests = {};  // frames worked out by hand, as the line saw them
  bool busy = false;
  const char* device = nullptr;  // instead of the simulator's
};

const Row kRows[] = {
    {"mercury found, its frames",
     {"--baud", "9600"},
     {"--family", "mercury", "--address", "3", "--speed", "9600"},
     0,
     {{"mercury 3", {"12345678", "mercury230", "-42", "accepted"}}},
     {},
     // test channel, open channel with 111111 sent as digit values
     {"RX 03 00 01 40 ;", "RX 03 01 01 01 01 01 01 01 01 63 71 ;"}},
    {"ce2727 found, its frames",
     {"--baud", "9600"},
     {"--family", "ce2727", "--address", "4", "--speed", "9600"},
     0,
     {{"ce2727 4", {"770011", "CE2727A", "3600", "accepted"}}},
     {},
     {"RX 02 0E 04 00 00 00 00 00 00 00 01 00 FC 82 ;"}},
    {"iec61107 found, its frames",
     {"--baud", "9600"},
     {"--family", "iec61107", "--speed", "9600"},
     0,
     {{"iec61107 ", {"009217011", "CE301", "75", ""}}},
     {},
     // sign-on without address; SNUMB read with its 7-bit sum
     {"RX 2F 3F 21 0D 0A ;", "RX 01 52 31 02 53 4E 55 4D 42 28 29 03 5E ;"}},
    {"speed searched from the fastest",
     {"--baud", "2400"},
     {"--family", "mercury", "--address", "5"},
     0,
     {{"mercury 5", {"00220011", "mercury234", "600", "accepted", "2400"}}}},
    {"mercury wrong password",
     {},
     {"--family", "mercury", "--address", "3", "--speed", "9600", "--password", "123456"},
     0,
     {{"mercury 3", {"", "", "", "refused"}}}},
    {"ce2727 wrong password",
     {},
     {"--family", "ce2727", "--address", "4", "--speed", "9600", "--password", "5"},
     0,
     {{"ce2727 4", {"", "", "", "refused"}}}},
    {"wrong speed",
     {"--baud", "9600"},
     {"--family", "mercury", "--address", "3", "--speed", "4800"},
     6,
     {},
     {"nothing answered", "mercury 8N1 at 4800 to address 3"}},
    {"bad checksums",
     {"--fault", "badcrc:1"},
     {"--scan", "3-4", "--speed", "9600"},
     7,
     {},
     {"mercury address 3 answers at 9600 8N1 with a wrong checksum: likely wrong format or speed",
      "ce2727 address 4 answers", "iec61107 address \"\" answers at 9600 7E1"}},
    {"silent address",
     {},
     {"--family", "mercury", "--address", "9", "--speed", "9600"},
     6,
     {},
     {"nothing answered", "to address 9"}},
    {"line held by the daemon",
     {},
     {"--family", "mercury", "--address", "3", "--speed", "9600"},
     5,
     {},
     {"device busy", "mtr_main uses it", "identifier 4242", "--force"},
     {},
     true},
    {"--force past the daemon",
     {},
     {"--family", "mercury", "--address", "3", "--speed", "9600", "--force"},
     0,
     {{"mercury 3", {"12345678", "mercury230", "-42", "accepted"}}},
     {},
     {},
     true},
    {"no such device",
     {},
     {},
     3,
     {},
     {"no such device /nonexistent/ttyS9"},
     {},
     false,
     "/nonexistent/ttyS9"},
    {"mixed line scanned",
     {"--baud", "9600"},
     {"--scan", "1-6", "--speed", "9600"},
     0,
     {{"mercury 3", {"12345678", "mercury230", "-42", "accepted"}},
      {"mercury 5", {"00220011", "mercury234", "600", "accepted"}},
      {"ce2727 4", {"770011", "CE2727A", "3600", "accepted"}},
      {"iec61107 ", {"009217011", "CE301", "75", ""}}}},
};

std::string text(const Json::Value& v) {
  return v.isNull() ? "" : v.isString() ? v.asString() : std::to_string(v.asInt64());
}

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class ProbeRow : public ::testing::TestWithParam<Row> {};

TEST_P(ProbeRow, FindsOrSaysWhy) {
  const Row& row = GetParam();
  {
    mtr_test::TempDir root;
    Sim sim(kLine, row.sim_args);
    std::unique_ptr<FakeDaemon> daemon;
    if (row.busy) daemon = std::make_unique<FakeDaemon>(sim.device());
    // Generous silences: the simulator may be slow on a loaded machine.
    std::vector<std::string> argv = {
        mtr_test::binPath("mtr-probe"),        "--json", "--timeout", "800", "--device",
        row.device ? row.device : sim.device()};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    mtr_test::ProcessResult r = mtr_test::runProcess(argv, 120000, {"MTR_ROOT=" + root.path()});
    EXPECT_EQ(row.status, r.status) << r.err;

    std::map<std::string, Json::Value> found;
    for (const std::string& line : mtr_test::splitLines(r.out)) {
      Json::Value v;
      ASSERT_TRUE(Json::Reader().parse(line, v)) << line;
      found[v["family"].asString() + " " + v["address"].asString()] = v;
    }
    EXPECT_EQ(row.meters.size(), found.size()) << r.out;
    for (const auto& [key, want] : row.meters) {
      SCOPED_TRACE(key);
      const Json::Value& v = found[key];
      EXPECT_EQ(want[0], text(v["serial"]));
      EXPECT_EQ(want[1], text(v["model"]));
      if (!want[2].empty()) {
        // Read a moment apart from the system clock: allow a few seconds.
        ASSERT_TRUE(v["clock_offset"].isInt()) << v;
        EXPECT_NEAR(std::stol(want[2]), v["clock_offset"].asInt(), 5);
      }
      EXPECT_EQ(want[3], text(v["password"]));
      if (want.size() > 4) {
        EXPECT_EQ(want[4], text(v["speed"]));
      }
    }
    // One line per verdict: each meter with bad frames, or the one reason.
    if (row.status != 0) {
      EXPECT_EQ(row.status == 7 ? 3u : 1u, mtr_test::splitLines(r.err).size()) << r.err;
    }
    for (const std::string& part : row.err) EXPECT_NE(std::string::npos, r.err.find(part)) << r.err;
    sim.stop();
    const std::string log = mtr_test::readFile(sim.logPath());
    for (const std::string& frame : row.requests)
      EXPECT_NE(std::string::npos, log.find(frame)) << frame << " not in\n" << log;
  }
}

INSTANTIATE_TEST_SUITE_P(Lines, ProbeRow, ::testing::ValuesIn(kRows));

}  // namespace
