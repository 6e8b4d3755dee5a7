// What the end-to-end tests take from the simulator on trust: each fault kind
// spoils a reply the way its family would see it, a seed repeats the fault
// plan, the frame log names meters and faults, SIGUSR1 mutes the line, the
// link goes with a clean stop, and the example descriptions load.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "transport/serial_peers.h"

namespace {

using peers::Bytes;
using peers::hex;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// mtr-metersim behind a link in its own folder, logging its frames; the
// daemon's end of the line opened raw.
struct Sim {
  mtr_test::TempDir dir;
  std::unique_ptr<mtr_test::Child> child;
  int fd = -1;
  explicit Sim(const std::string& meters, std::vector<std::string> args = {}) {
    mtr_test::writeFile(dir / "meters.json", meters);
    args.insert(args.begin(), {mtr_test::binPath("mtr-metersim"), "--link", dir / "tty", "--log",
                               dir / "log", dir / "meters.json"});
    child = std::make_unique<mtr_test::Child>(args, dir / "out", dir / "err");
    if (!mtr_test::waitFor([&] { return mtr_test::exists(dir / "tty"); }, 30000)) return;
    fd = open((dir / "tty").c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  ~Sim() { close(fd); }
  std::string log() const { return mtr_test::readFile(dir / "log"); }
  std::vector<std::string> outcomes() const {  // one line per request a meter took
    std::vector<std::string> out;
    for (const auto& l : mtr_test::splitLines(log()))
      if (has(l, " TX ") || has(l, ": no reply")) out.push_back(l);
    return out;
  }
  // The reply the log says went out (empty: none), once it has arrived.
  Bytes ask(const Bytes& request) {
    size_t before = outcomes().size();
    if (write(fd, request.data(), request.size()) != ssize_t(request.size())) return {};
    if (!mtr_test::waitFor([&] { return outcomes().size() > before; }, 20000)) return {1, 2, 3};
    std::string last = outcomes().back();
    Bytes sent = has(last, " TX ") ? hex(last.substr(last.find(" TX ") + 4)) : Bytes{};
    Bytes got;
    uint8_t buf[512];
    for (pollfd p{fd, POLLIN, 0}; got.size() < sent.size() && poll(&p, 1, 5000) > 0;)
      got.insert(got.end(), buf, buf + std::max<ssize_t>(0, read(fd, buf, sizeof buf)));
    EXPECT_EQ(peers::hexText(sent), peers::hexText(got));
    return got;
  }
  int stop() {
    child->kill(SIGTERM);
    mtr_test::ProcessResult r;
    return child->wait(5000, &r) ? r.status : -1;
  }
};

Bytes ce2727Frame(uint8_t address, uint8_t status, size_t data = 0) {
  Bytes b{2, uint8_t(14 + data), address, 0, 0, 0, 0, 0, 0, 0, status, 0x17};
  b.resize(b.size() + data);
  return peers::withX25(b);
}

Bytes text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Per family: meters at addresses 1..5 with one fault kind each, and 6 without.
TEST(SimFaults, EachKindSpoilsItsMetersReplies) {
  struct Family {
    const char* meter;  // one meter at address %d
    Bytes (*request)(uint8_t), (*normal)(uint8_t), (*error)(uint8_t);
    bool (*whole)(const Bytes&);  // checksum or line end in place
  } families[] = {
      {R"({"protocol": "mercury230", "address": %d})",  // the test channel
       [](uint8_t a) {
         return peers::withCrc({a, 0});
       },
       [](uint8_t a) {
         return peers::withCrc({a, 0});
       },
       [](uint8_t a) {
         return peers::withCrc({a, 2});
       },
       [](const Bytes& r) {
         return peers::withCrc({r.begin(), r.end() - 2}) == r;
       }},
      {R"({"protocol": "iec61107", "address": "%d"})",  // the sign-on
       [](uint8_t a) { return text("/?" + std::to_string(a) + "!\r\n"); },
       [](uint8_t) { return text("/EKT5CE301v12\r\n"); },
       // STX (ERR02) ETX, then the 7-bit sum of all after STX: 0x19F -> 1F
       [](uint8_t) { return text("\x02(ERR02)\x03\x1F"); },
       [](const Bytes& r) { return r[0] == '/' && r.back() == '\n' && r[r.size() - 2] == '\r'; }},
      {R"({"protocol": "ce2727", "address": %d})",  // command 23: power, all zero
       [](uint8_t a) { return ce2727Frame(a, 1); }, [](uint8_t a) { return ce2727Frame(a, 0, 16); },
       [](uint8_t a) { return ce2727Frame(a, 3); },
       [](const Bytes& r) {
         return peers::withX25({r.begin(), r.end() - 2}) == r;
       }},
  };
  const std::string kinds[] = {"silence", "truncate", "badcrc", "wrongaddr", "error", "none"};
  for (const Family& f : families) {
    std::string meters;
    std::vector<std::string> args;
    char one[64];
    for (int a = 1; a <= 6; ++a) {
      snprintf(one, sizeof one, f.meter, a);
      meters += (a > 1 ? ", " : "") + std::string(one);
      if (a < 6) args.insert(args.end(), {"--fault", kinds[a - 1] + ":1:" + std::to_string(a)});
    }
    Sim sim(R"({"meters": [)" + meters + "]}", args);
    for (uint8_t a = 1; a <= 6; ++a) {
      const std::string& kind = kinds[a - 1];
      Bytes r = sim.ask(f.request(a)), n = f.normal(a);
      bool same_head = r.size() > 2 && std::equal(r.begin(), r.end() - 2, n.begin());
      bool ok = kind == "silence" ? r.empty()
                : kind == "truncate"
                    ? !r.empty() && r.size() < n.size() && std::equal(r.begin(), r.end(), n.begin())
                : kind == "badcrc"    ? r.size() == n.size() && same_head && !f.whole(r)
                : kind == "wrongaddr" ? r.size() > 2 && f.whole(r) && r != n && r != f.error(a)
                : kind == "error"     ? r == f.error(a)
                                      : r == n;
      EXPECT_TRUE(ok) << f.meter << " " << kind << ": " << peers::hexText(r);
      EXPECT_EQ(kind != "none", has(sim.log(), "fault " + kind)) << kind;
    }
  }
}

TEST(SimFaults, SeedRepeatsTheFaultPlan) {
  std::string plans[2];
  for (auto& plan : plans) {
    Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1}]})",
            {"--seed", "7", "--fault", "silence:0.3", "--fault", "error:0.3"});
    for (int i = 0; i < 24; ++i) {
      Bytes r = sim.ask(peers::withCrc({1, 0}));
      plan += r.empty()                     ? '.'
              : r == peers::withCrc({1, 0}) ? 'A'
              : r == peers::withCrc({1, 2}) ? 'E'
                                            : '?';
    }
  }
  EXPECT_EQ(plans[0], plans[1]);
  for (const char* kind : {"A", ".", "E"}) EXPECT_TRUE(has(plans[0], kind)) << plans[0];
  EXPECT_FALSE(has(plans[0], "?")) << plans[0];
}

TEST(SimLine, FrameLogMutingAndCleanStop) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "name": "north", "address": 1}]})");
  const Bytes test = peers::withCrc({1, 0});
  EXPECT_EQ(test, sim.ask(test));
  for (bool back : {false, true}) {  // SIGUSR1 takes the meters off the line and back
    sim.child->kill(SIGUSR1);
    const char* event = back ? "unmuted: the meters are back" : "muted: the meters are gone";
    ASSERT_TRUE(mtr_test::waitFor([&] { return has(sim.log(), event); }, 10000));
    EXPECT_EQ(back ? test : Bytes{}, sim.ask(test));
  }
  EXPECT_EQ(0, sim.stop());
  EXPECT_FALSE(mtr_test::exists(sim.dir / "tty")) << "link removed on stop";
  std::string log = sim.log();
  for (const char* line : {" RX 01 00 00 20 ; meter 1: test channel\n", " TX 01 00 00 20\n",
                           "muted: no reply", "# stopped"})
    EXPECT_TRUE(has(log, line)) << line << " not in:\n" << log;
}

TEST(SimLine, ExampleDescriptionsLoad) {
  for (const char* file : {"metersim-mercury.json", "metersim-ce2727.json", "metersim-ce30x.json",
                           "metersim-ce30x-more.json"}) {
    Sim sim(mtr_test::readFile(std::string(MTR_SOURCE_DIR) + "/examples/" + file));
    EXPECT_GE(sim.fd, 0) << file << ": " << mtr_test::readFile(sim.dir / "err");
  }
}

}  // namespace
