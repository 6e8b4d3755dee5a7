// mtr-probe against the simulator: what it finds, or its one-line verdicts.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "tools/sim_process.h"

namespace {

const char* kLine = R"({"meters": [
  {"protocol": "mercury230", "address": 3, "serial": "12345678", "clock_offset": -42},
  {"protocol": "mercury230", "address": 5, "serial": "00220011", "model": "mercury234",
   "firmware": [9, 1, 3], "clock_offset": 600},
  {"protocol": "iec61107", "serial": "009217011", "clock_offset": 75},
  {"protocol": "ce2727", "address": 4, "serial": 770011, "clock_offset": 3600}]})";

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

// Pieces of `s` between `sep`s; empty ones too when `keep_empty`.
std::vector<std::string> split(const std::string& s, char sep, bool keep_empty = false) {
  std::vector<std::string> out;
  for (size_t at = 0, end; at <= s.size(); at = end + 1) {
    end = std::min(s.find(sep, at), s.size());
    if (keep_empty || end > at) out.push_back(s.substr(at, end - at));
  }
  return out;
}

struct Row {
  const char* name;
  const char *sim_args, *args;  // space-separated
  int status;
  // Found meters, ';'-separated: "family address=serial,model,clock offset,password[,speed]".
  const char* meters;
  const char* err = "";  // '|'-separated parts of the one-line verdict
  bool busy = false;
  const char* device = nullptr;  // instead of the simulator's
  const char* requests = "";     // '|'-separated frames worked out by hand, as the line saw them
};

const Row kRows[] = {
    {"speed searched from the fastest", "--baud 2400", "--family mercury --address 5", 0,
     "mercury 5=00220011,mercury234,600,accepted,2400"},
    {"mercury wrong password", "", "--family mercury --address 3 --speed 9600 --password 123456", 0,
     "mercury 3=,,,refused"},
    {"ce2727 wrong password", "", "--family ce2727 --address 4 --speed 9600 --password 5", 0,
     "ce2727 4=,,,refused"},
    {"wrong speed", "--baud 9600", "--family mercury --address 3 --speed 4800", 6, "",
     "nothing answered|mercury 8N1 at 4800 to address 3"},
    {"bad checksums", "--fault badcrc:1", "--scan 3-4 --speed 9600", 7, "",
     "mercury address 3 answers at 9600 8N1 with a wrong checksum: likely wrong format or speed|"
     "ce2727 address 4 answers|iec61107 address \"\" answers at 9600 7E1"},
    {"silent address", "", "--family mercury --address 9 --speed 9600", 6, "",
     "nothing answered|to address 9"},
    {"line held by the daemon", "", "--family mercury --address 3 --speed 9600", 5, "",
     "device busy|mtr_main uses it|identifier 4242|--force", true},
    {"--force past the daemon", "", "--family mercury --address 3 --speed 9600 --force", 0,
     "mercury 3=12345678,mercury230,-42,accepted", "", true},
    {"no such device", "", "", 3, "", "no such device /nonexistent/ttyS9", false,
     "/nonexistent/ttyS9"},
    // mercury test and open channel (111111 as digit values), the ce2727 command 1,
    // the IEC sign-on without address and SNUMB with its 7-bit sum
    {"mixed line scanned", "--baud 9600", "--scan 1-6 --speed 9600", 0,
     "mercury 3=12345678,mercury230,-42,accepted;mercury 5=00220011,mercury234,600,accepted;"
     "ce2727 4=770011,CE2727A,3600,accepted;iec61107 =009217011,CE301,75,",
     "", false, nullptr,
     "RX 03 00 01 40 ;|RX 03 01 01 01 01 01 01 01 01 63 71 ;|"
     "RX 02 0E 04 00 00 00 00 00 00 00 01 00 FC 82 ;|RX 2F 3F 21 0D 0A ;|"
     "RX 01 52 31 02 53 4E 55 4D 42 28 29 03 5E ;"},
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
  mtr_test::TempDir root;
  mtr_test::SimProcess sim(kLine, split(row.sim_args, ' '));
  ASSERT_FALSE(sim.device.empty()) << mtr_test::readFile(sim.dir / "err");
  std::unique_ptr<FakeDaemon> daemon;
  if (row.busy) daemon = std::make_unique<FakeDaemon>(sim.device);
  // Generous silences: the simulator may be slow on a loaded machine.
  std::vector<std::string> argv = {
      mtr_test::binPath("mtr-probe"),      "--json", "--timeout", "800", "--device",
      row.device ? row.device : sim.device};
  for (const std::string& a : split(row.args, ' ')) argv.push_back(a);
  mtr_test::ProcessResult r = mtr_test::runProcess(argv, 120000, {"MTR_ROOT=" + root.path()});
  EXPECT_EQ(row.status, r.status) << r.err;

  std::map<std::string, Json::Value> found;
  for (const std::string& line : mtr_test::splitLines(r.out)) {
    Json::Value v;
    ASSERT_TRUE(Json::Reader().parse(line, v)) << line;
    found[v["family"].asString() + " " + v["address"].asString()] = v;
  }
  const std::vector<std::string> meters = split(row.meters, ';');
  EXPECT_EQ(meters.size(), found.size()) << r.out;
  for (const std::string& m : meters) {
    SCOPED_TRACE(m);
    const Json::Value& v = found[m.substr(0, m.find('='))];
    const std::vector<std::string> want = split(m.substr(m.find('=') + 1), ',', true);
    EXPECT_EQ(want[0], text(v["serial"]));
    EXPECT_EQ(want[1], text(v["model"]));
    if (!want[2].empty()) {
      // Read a moment apart from the system clock: allow a few seconds.
      ASSERT_TRUE(v["clock_offset"].isInt()) << v;
      EXPECT_NEAR(std::stol(want[2]), v["clock_offset"].asInt(), 5);
    }
    EXPECT_EQ(want[3], text(v["password"]));
    EXPECT_EQ(want.size() > 4 ? want[4] : "", want.size() > 4 ? text(v["speed"]) : "");
  }
  // One line per verdict: each meter with bad frames, or the one reason.
  if (row.status != 0) {
    EXPECT_EQ(row.status == 7 ? 3u : 1u, mtr_test::splitLines(r.err).size()) << r.err;
  }
  for (const std::string& part : split(row.err, '|'))
    EXPECT_NE(std::string::npos, r.err.find(part)) << r.err;
  sim.stop();
  const std::string log = sim.log();
  for (const std::string& frame : split(row.requests, '|'))
    EXPECT_NE(std::string::npos, log.find(frame)) << frame << " not in\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Lines, ProbeRow, ::testing::ValuesIn(kRows));

}  // namespace
