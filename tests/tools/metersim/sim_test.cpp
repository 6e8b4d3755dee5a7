// What the end-to-end tests trust: each fault kind spoils a reply; a seed repeats the plan.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "tools/sim_process.h"
#include "transport/serial_peers.h"

namespace {

using peers::Bytes;
using peers::hex;

bool has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The simulator with the daemon's end of its line opened raw.
struct Sim : mtr_test::SimProcess {
  int fd = -1;
  explicit Sim(const std::string& meters, const std::vector<std::string>& args = {})
      : SimProcess(meters, args) {
    fd = open(device.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    cfmakeraw(&t);
    tcsetattr(fd, TCSANOW, &t);
  }
  ~Sim() { close(fd); }
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
};

// Family f's request ('q'), normal reply ('n') or error reply ('e') for
// meter a: the Mercury test channel, the IEC sign-on, CE2727 command 23.
Bytes frame(int f, char what, uint8_t a) {
  if (f == 0) return peers::withCrc({a, uint8_t(what == 'e' ? 2 : 0)});
  // the error: STX (ERR02) ETX, then the 7-bit sum of all after STX, 0x19F -> 1F
  std::string iec = what == 'q'   ? "/?" + std::to_string(a) + "!\r\n"
                    : what == 'n' ? "/EKT5CE301v12\r\n"
                                  : "\x02(ERR02)\x03\x1F";
  if (f == 1) return Bytes(iec.begin(), iec.end());
  Bytes b{2, 14, a, 0, 0, 0, 0, 0, 0, 0, uint8_t(what == 'q' ? 1 : what == 'n' ? 0 : 3), 0x17};
  if (what == 'n') b[1] = 30, b.resize(28);  // no power: all zero
  return peers::withX25(b);
}

// Checksum, or line end, in place.
bool whole(int f, const Bytes& r) {
  Bytes head(r.begin(), r.end() - 2);
  return f == 1 ? r[0] == '/' && r.back() == '\n' && r[r.size() - 2] == '\r'
                : (f ? peers::withX25(head) : peers::withCrc(head)) == r;
}

// Per family: meters at addresses 1..5 with one fault kind each, and 6 without.
TEST(SimFaults, EachKindSpoilsItsMetersReplies) {
  const char* meter[] = {R"({"protocol": "mercury230", "address": %d})",
                         R"({"protocol": "iec61107", "address": "%d"})",
                         R"({"protocol": "ce2727", "address": %d})"};
  const std::string kinds[] = {"silence", "truncate", "badcrc", "wrongaddr", "error", "none"};
  for (int f = 0; f < 3; ++f) {
    std::string meters;
    std::vector<std::string> args;
    char one[64];
    for (int a = 1; a <= 6; ++a) {
      snprintf(one, sizeof one, meter[f], a);
      meters += (a > 1 ? ", " : "") + std::string(one);
      if (a < 6) args.insert(args.end(), {"--fault", kinds[a - 1] + ":1:" + std::to_string(a)});
    }
    Sim sim(R"({"meters": [)" + meters + "]}", args);
    for (uint8_t a = 1; a <= 6; ++a) {
      const std::string& kind = kinds[a - 1];
      Bytes r = sim.ask(frame(f, 'q', a)), n = frame(f, 'n', a), e = frame(f, 'e', a);
      bool same_head = r.size() > 2 && std::equal(r.begin(), r.end() - 2, n.begin());
      bool ok = kind == "silence" ? r.empty()
                : kind == "truncate"
                    ? !r.empty() && r.size() < n.size() && std::equal(r.begin(), r.end(), n.begin())
                : kind == "badcrc"    ? r.size() == n.size() && same_head && !whole(f, r)
                : kind == "wrongaddr" ? r.size() > 2 && whole(f, r) && r != n && r != e
                : kind == "error"     ? r == e
                                      : r == n;
      EXPECT_TRUE(ok) << meter[f] << " " << kind << ": " << peers::hexText(r);
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

}  // namespace
