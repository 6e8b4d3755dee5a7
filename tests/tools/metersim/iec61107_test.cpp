// Mode C sessions with the simulated CE30x/CE102M meters: frames and check
// characters worked out by hand, addressing, speed change, NAKs, faults, and
// what each model answers to each parameter.
#include <gtest/gtest.h>

#include <thread>

#include "sim_harness.h"

using simtest::Sim;

namespace {

const char SOH = 1, STX = 2, ETX = 3, ACK = 6, NAK = 0x15;
const std::string kAck(1, ACK), kNak(1, NAK);

char sum7(const std::string& s) {  // 8-bit sum masked to 7 bits
  unsigned v = 0;
  for (unsigned char c : s) v += c;
  return static_cast<char>(v & 0x7F);
}

std::string framed(const std::string& s) {
  return s + sum7(s.substr(1));
}

std::string command(char c, char d, const std::string& data) {
  return framed(std::string{SOH, c, d, STX} + data + ETX);
}

std::string answer(const std::string& body) {
  return framed(STX + body + ETX);
}

std::string skipNaks(std::string s) {
  return s.erase(0, s.find_first_not_of(NAK));
}

bool checkOk(const std::string& answer) {
  std::string f = skipNaks(answer);
  size_t n = f.size();
  return n >= 3 && (f[0] == STX || f[0] == SOH) && f[n - 2] == ETX &&
         sum7(f.substr(1, n - 2)) == f[n - 1];
}

// The master's side of a mode C exchange.
class Client {
 public:
  explicit Client(const std::string& device, speed_t speed = B9600) : port(device, speed) {}
  // Sends `request` and collects one answer: a line up to CR LF, a frame up
  // to ETX and its check character, a lone ACK or NAK. Empty after silence.
  std::string exchange(const std::string& request, int timeout_ms = 1200) {
    port.sendRaw(simtest::Bytes(request.begin(), request.end()));
    std::string out;
    for (int wait = timeout_ms; !complete(skipNaks(out)); wait = 500) {
      simtest::Bytes more = port.receive(1, wait);
      if (more.empty()) break;
      out.append(more.begin(), more.end());
    }
    return out;
  }
  std::string breakSession() { return exchange(std::string{SOH, 'B', '0', ETX, 0x75}, 300); }
  std::string signOn(const std::string& address) { return exchange("/?" + address + "!\r\n"); }
  std::string optionSelect(char speed = '5', char mode = '1') {
    return exchange(std::string{ACK, '0', speed, mode, '\r', '\n'});
  }
  // Break, sign-on and option select; true when the programming-mode answer came.
  bool program(const std::string& address) {
    breakSession();
    if (signOn(address).empty()) return false;
    std::string p0 = skipNaks(optionSelect());
    return p0.compare(0, 3, "\x01P0") == 0 && checkOk(p0);
  }
  std::string read(const std::string& name, const std::string& args = "") {
    return exchange(command('R', '1', name + "(" + args + ")"));
  }
  // The text between STX and ETX of a good answer; "<bad: ...>" otherwise.
  std::string body(const std::string& name, const std::string& args = "") {
    std::string a = skipNaks(read(name, args));
    return checkOk(a) && a[0] == STX ? a.substr(1, a.size() - 3) : "<bad: " + a + ">";
  }
  simtest::Port port;

 private:
  static bool complete(const std::string& b) {
    size_t n = b.size();
    if (n && b[0] == '/') return n >= 2 && b.compare(n - 2, 2, "\r\n") == 0;
    if (n && (b[0] == STX || b[0] == SOH)) return n >= 3 && b[n - 2] == ETX;
    return n > 0;  // ACK, or something no answer starts with
  }
};

TEST(Iec61107Check, HandWorkedVectors) {
  struct Case {
    const char* covered;  // after SOH/STX up to ETX
    char sum;
  } cases[] = {
      {"B0\x03", 0x75},  // the break: 0x75, where the XOR would give 0x71
      {"P0\x02(00000001)\x03", 0x57},
      {"(ERR12)\x03", 0x20},
      {"\xFF\xFF\x03", 0x01},  // carries out of 8 bits are dropped before the mask
  };
  for (const auto& c : cases) EXPECT_EQ(c.sum, sum7(c.covered)) << c.covered;
  // The read frame with an empty parameter: 13 bytes, check character 0x37.
  EXPECT_EQ(std::string("\x01R1\x02") + "ET0PE()\x03" + "7", command('R', '1', "ET0PE()"));
}

const std::string kIdent = "/EKT5CE301v12\r\n";
const std::string kP0 = "\x01P0\x02(00000001)\x03W";

TEST(Iec61107Session, SignOnProgrammingModeReadsAndReadout) {
  Sim sim(R"({"meters": [{"protocol": "iec61107", "address": "123",
    "energy": {"A+": [1234.5, 0.25, 0, 0]}}]})");
  Client c(sim.device());
  EXPECT_EQ("", c.breakSession()) << "a meter is silent on a break";
  EXPECT_EQ(kIdent, c.signOn("123"));
  EXPECT_EQ(kP0, c.optionSelect());
  std::string et0pe =
      "ET0PE(1234.750)\r\n(1234.500)\r\n(0.250)\r\n(0.000)\r\n(0.000)\r\n(0.000)\r\n";
  EXPECT_EQ(STX + et0pe + ETX + "1", c.read("ET0PE"));
  EXPECT_EQ("\x02(ERR12)\x03 ", c.read("XXXXX")) << "unknown parameter";
  EXPECT_EQ("\x02(ERR12)\x03 ", c.read("ET0QE")) << "a CE301 has no reactive";
  std::string bad = command('R', '1', "ET0PE()");
  bad.back() ^= 0x01;
  EXPECT_EQ(kNak, c.exchange(bad)) << "a wrong check character asks for a repeat";
  EXPECT_EQ(kNak, c.exchange(command('W', '1', "ET0PE(1)"))) << "no writes";
  EXPECT_EQ(et0pe, c.body("ET0PE")) << "the session goes on";
  EXPECT_EQ("", c.breakSession());
  EXPECT_EQ("", c.read("ET0PE")) << "the break ended programming mode";
  EXPECT_EQ("", c.optionSelect()) << "an option select needs a sign-on first";
  ASSERT_EQ(kIdent, c.signOn("")) << "a lone meter answers a sign-on without address";
  EXPECT_EQ("", c.read("ET0PE")) << "identified is not yet programming mode";
  std::string r = c.optionSelect('5', '0');  // data readout
  ASSERT_TRUE(checkOk(r)) << r;
  EXPECT_EQ(1u, r.find("ET0PE(1234.750)\r\nET0PE(1234.500)\r\n")) << r;
  EXPECT_EQ(r.size() - 5, r.find("!\r\n\x03")) << r;
  EXPECT_EQ("", c.read("ET0PE")) << "after a readout the meter is idle again";
}

TEST(Iec61107Session, AddressingPasswordsAndInactivity) {
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1001", "serial": "009217001001", "session_timeout": 1.5},
    {"protocol": "iec61107", "address": "1002", "model": "ce102m", "serial": "011734002"},
    {"protocol": "iec61107", "address": "7", "model": "ce308", "password": "123456"}]})");
  Client c(sim.device());
  EXPECT_EQ("", c.signOn("")) << "several meters would answer at once";
  EXPECT_EQ("", c.signOn("100")) << "addresses match whole";
  EXPECT_EQ("/EKT5CE102Mv01\r\n", c.signOn("1002"));
  EXPECT_EQ(framed("\x01P0\x02(011734002)\x03"), c.optionSelect());
  EXPECT_EQ("SNUMB(011734002)\r\n", c.body("SNUMB"));
  ASSERT_TRUE(c.program("7"));
  EXPECT_EQ(kNak, c.exchange("\x01P1\x02(111111)\x03}"));
  EXPECT_EQ(kAck, c.exchange("\x01P1\x02(123456)\x03\x0C"));
  ASSERT_TRUE(c.program("1001"));
  EXPECT_EQ(kAck, c.exchange(command('P', '1', "(777777)"))) << "no password set: any";
  for (int i = 0; i < 2; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    EXPECT_EQ("SNUMB(009217001001)\r\n", c.body("SNUMB")) << "each request restarts the timer";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_EQ("", c.read("SNUMB")) << "back to idle after the session timeout";
  ASSERT_TRUE(c.program("1001"));
  EXPECT_NE("", c.signOn("1002"));
  EXPECT_EQ("", c.read("SNUMB")) << "a sign-on to another meter ends the first one's session";
}

TEST(Iec61107Line, NaksRepeatsAndParityBits) {
  Sim sim(R"({"meters": [{"protocol": "iec61107", "naks": 2, "serial": "42"}]})");
  Client c(sim.device());
  EXPECT_EQ("\x15\x15" + kIdent, c.signOn(""));
  // 'P' '0' STX '(' '4' '2' ')' ETX: 50+30+02+28+34+32+29+03 = 0x13C -> 0x3C
  EXPECT_EQ("\x15\x15\x01P0\x02(42)\x03\x3C", c.optionSelect());
  std::string a = c.read("SNUMB");
  EXPECT_EQ("\x15\x15" + answer("SNUMB(42)\r\n"), a);
  EXPECT_EQ(a, c.exchange(kNak)) << "a NAK from the master repeats";
  auto even = [](std::string s) {  // a 7E1 master's characters as the line carries them
    for (auto& x : s)
      if (__builtin_parity(static_cast<unsigned char>(x))) x = static_cast<char>(x | 0x80);
    return s;
  };
  c.breakSession();
  EXPECT_EQ("\x15\x15" + kIdent, c.exchange(even("/?!\r\n")));
  EXPECT_TRUE(checkOk(c.exchange(even(std::string{ACK, '0', '5', '1', '\r', '\n'}))));
  EXPECT_TRUE(checkOk(c.exchange(even(command('R', '1', "SNUMB()")))));
}

TEST(Iec61107Line, SpeedChangesAfterOptionSelect) {
  // The line starts at 1200 Bd; meter 5 offers 9600 Bd, meter 6 4800 Bd.
  Sim sim(R"({"meters": [{"protocol": "iec61107", "address": "5"},
                         {"protocol": "iec61107", "address": "6", "speed": 4800}]})",
          {"--baud", "1200"});
  Client c(sim.device(), B1200);
  EXPECT_EQ("/EKT4CE301v12\r\n", c.signOn("6")) << "the speed character offered";
  EXPECT_EQ("", c.optionSelect('5')) << "faster than the meter offers";
  EXPECT_EQ(kIdent, c.signOn("5"));
  EXPECT_TRUE(checkOk(c.optionSelect('5'))) << "the answer still comes at the old speed";
  EXPECT_EQ("", c.read("SNUMB")) << "the meter now listens at 9600 Bd";
  c.port.setSpeed(B9600);
  EXPECT_EQ("SNUMB(00000001)\r\n", c.body("SNUMB"));
  EXPECT_EQ("", c.breakSession());
  EXPECT_EQ("", c.signOn("5")) << "after the break the meter is back at 1200 Bd";
  c.port.setSpeed(B1200);
  EXPECT_NE("", c.signOn("5"));
  EXPECT_TRUE(checkOk(c.optionSelect('2'))) << "staying at the speed it runs at";
  EXPECT_EQ("SNUMB(00000001)\r\n", c.body("SNUMB"));
}

TEST(Iec61107Faults, CorruptionsOfThisFamily) {
  const std::string meters = R"({"meters": [{"protocol": "iec61107", "address": "3"}]})";
  std::string error = answer("(ERR02)");
  auto garbled = [](std::string s) {  // the last byte's bits flipped within 7 bits
    s.back() ^= 0x25;
    return s;
  };
  struct Case {
    const char* fault;
    std::string ident, p0, data;  // what the meter sends instead
  } cases[] = {
      {"error:1", error, error, error},
      // Another meter's identification, another serial, another parameter.
      {"wrongaddr:1", "/EKT5CE102Mv01\r\n", framed("\x01P0\x02(00000002)\x03"),
       answer("VOLTA(00000001)\r\n")},
      // The line end garbled, the check characters wrong.
      {"badcrc:1", garbled(kIdent), garbled(kP0), garbled(answer("SNUMB(00000001)\r\n"))},
  };
  for (const auto& k : cases) {
    Sim sim(meters, {"--fault", k.fault});
    Client c(sim.device());
    EXPECT_EQ(k.ident, c.signOn("3")) << k.fault;
    EXPECT_EQ(k.p0, c.optionSelect()) << k.fault;
    EXPECT_EQ(k.data, c.read("SNUMB")) << k.fault;
  }
}

std::string timeText(const char* format, time_t t) {
  char b[32];
  std::tm tm = simtest::tmOf(t);
  strftime(b, sizeof b, format, &tm);
  return b;
}

std::string day(int back) {
  return timeText("%d.%m.%y", simtest::midnight(back));
}

std::string month(int back) {
  std::tm now = simtest::tmOf(time(nullptr));
  return timeText("%m.%y", simtest::localTimeOf(now.tm_year + 1900, now.tm_mon + 1 - back, 1));
}

// NAME(v1)\r\n(v2)\r\n... as the default layout writes it.
std::string lines(const std::string& name, const std::vector<std::string>& values) {
  std::string s = name + (values.empty() ? "()\r\n" : "");
  for (const auto& v : values) s += "(" + v + ")\r\n";
  return s;
}

// The total, tariffs 1 and 2, then three empty tariffs.
std::string tariffs(const std::string& name, double t1, double t2) {
  char b[128];
  snprintf(b, sizeof b, "(%.3f)\r\n(%.3f)\r\n(%.3f)\r\n", t1 + t2, t1, t2);
  return name + b + "(0.000)\r\n(0.000)\r\n(0.000)\r\n";
}

const char* kErr = "(ERR12)";

struct Read {
  const char* address;
  std::string name, args, body;  // body: between STX and ETX
};

void expectReads(Client& c, const std::vector<Read>& reads) {
  std::string current = "-";
  for (const auto& k : reads) {
    if (current != k.address) {
      ASSERT_TRUE(c.program(current = k.address)) << k.address;
    }
    EXPECT_EQ(k.body, c.body(k.name, k.args)) << k.address << " " << k.name << "(" << k.args << ")";
  }
}

TEST(Iec61107Values, ByModelLayoutAndJournal) {
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1", "model": "ce301", "ct_ratio": 40},
    {"protocol": "iec61107", "address": "2", "model": "ce303",
     "ident": "CE303 S31 543-JAVZ", "profile": {"period": 60},
     "voltage": [229.87, 230.02, 231.5], "power": [1000, -250, 0], "reactive": [100, 0, -50],
     "power_factor": [0.95, 0.9, 0.85, 0.8],
     "energy": {"A+": [100.5, 20.25, 0, 0], "R+": [7.001, 0, 0, 0]},
     "journals": {
       "PHASE": [{"start": "day-2 10:00:00", "end": "day-2 10:05:30"}, {"start": "day-1 23:30:00"},
                 {"start": "day-1 23:00:00", "end": "now+2h"}, {"start": "now+1d"}],
       "ACCES": ["day-1 09:30:15", "day-3 12:00:00", "now+1h"]}},
    {"protocol": "iec61107", "address": "3", "model": "ce308", "reactive": [100, 0, -50]},
    {"protocol": "iec61107", "address": "4", "model": "ce102m", "serial": "0123456789",
     "firmware": "v4.2", "ident": "CE102M R5 145-A", "voltage": [229.87, 230.02, 231.5],
     "journals": {"LOG02": ["day-2 13:14:15"]}},
    {"protocol": "iec61107", "address": "5", "layout": "compact", "voltage": [229.87, 230, 1]},
    {"protocol": "iec61107", "address": "6", "layout": "named", "voltage": [229.87, 230, 1]},
    {"protocol": "iec61107", "address": "8",
     "schedules": {"1": [["23:00", 2], ["07:00", 1]], "36": [["00:00", 8]]},
     "seasons": [{"from": "04-01", "schedules": [1, 1, 2, 2]},
                 {"from": "10-01", "schedules": [1, 36, 0, 0]}],
     "special_days": [["01-01", 2], ["05-09", 36]]},
    {"protocol": "iec61107", "address": "9", "energy": {"A+": [1.5, 2.25, 0, 0]},
     "schedules": {"1": [["23:00", 2], ["07:00", 1]]},
     "variants": {"date": "plain", "schedules": "dots", "tariffs": 2, "unreadable": "SNUMB",
                  "zero_record": ["ACCES", "PHASE"], "refuse": ["FREQU"]}},
    {"protocol": "iec61107", "address": "10", "model": "ce301", "reactive_energy": true,
     "reactive": [100, 0, -50]}]})");
  Client c(sim.device());
  expectReads(c,
              {
                  {"2", "VOLTA", "", "VOLTA(229.87)\r\n(230.02)\r\n(231.50)\r\n"},
                  {"2", "POWPP", "", "POWPP(1.000)\r\n(-0.250)\r\n(0.000)\r\n"},
                  {"2", "POWPQ", "", "POWPQ(0.100)\r\n(0.000)\r\n(-0.050)\r\n"},
                  {"2", "COS_f", "", "COS_f(0.950)\r\n(0.900)\r\n(0.850)\r\n(0.800)\r\n"},
                  {"2", "TAVER", "", "TAVER(60)\r\n"},
                  {"2", "IDENT", "", "IDENT(CE303 S31 543-JAVZ)\r\n"},
                  {"2", "ET0PE", "", tariffs("ET0PE", 100.5, 20.25)},
                  {"2", "ET0QE", "", tariffs("ET0QE", 7.001, 0)},
                  {"2", "PHASE", "",
                   lines("PHASE", {day(1) + ",23:30:00", day(1) + ",23:00:00",
                                   day(2) + ",10:00:00," + day(2) + ",10:05:30"})},
                  {"2", "ACCES", "", lines("ACCES", {day(1) + ",09:30:15", day(3) + ",12:00:00"})},
                  {"2", "LOG01", "", kErr},
                  {"1", "FCCUR", "", "FCCUR(40)\r\n"},
                  {"1", "POWEQ", "", kErr},
                  {"3", "POWEQ", "", "POWEQ(0.050)\r\n"},
                  {"3", "FCCUR", "", kErr},
                  {"4", "VOLTA", "", "VOLTA(229.87)\r\n"},
                  {"4", "VINFO", "", "VINFO(0123456789)\r\n(v4.2)\r\n(CE102M R5 145-A)\r\n"},
                  {"4", "LOG02", "", lines("LOG02", {day(2) + ",13:14:15"})},
                  {"4", "DATE_", "", kErr},
                  {"5", "VOLTA", "", "VOLTA(229.87)(230.00)(1.00)"},
                  {"5", "ACCES", "", "ACCES()"},
                  {"6", "VOLTA", "", "VOLTA(229.87)\r\nVOLTA(230.00)\r\nVOLTA(1.00)\r\n"},
                  {"8", "GRF01", "", lines("GRF01", {"07:00,1", "23:00,2"})},  // in time order
                  {"8", "GRF02", "", lines("GRF02", {})},
                  {"8", "SESON", "", lines("SESON", {"01.04,1,1,2,2", "01.10,1,36,0,0"})},
                  {"8", "EXDAY", "", lines("EXDAY", {"01.01,2", "09.05,36"})},
                  {"9", "DATE_", "", lines("DATE_", {day(0)})},
                  {"9", "GRF01", "", lines("GRF01", {"07.00.01", "23.00.02"})},
                  {"9", "ET0PE", "", lines("ET0PE", {"3.750", "1.500", "2.250"})},
                  {"9", "SNUMB", "", lines("SNUMB", {"0x0000001"})},
                  {"9", "ACCES", "", lines("ACCES", {"00.00.00,00:00:00"})},
                  {"9", "PHASE", "", lines("PHASE", {"00.00.00,00:00:00,00.00.00,00:00:00"})},
                  {"9", "FREQU", "", kErr},
                  {"10", "POWEQ", "", lines("POWEQ", {"0.050"})},
              });
}

// Day boundaries without daylight-saving jumps, in the simulator and here.
struct UtcZone {
  struct Tzset {
    ~Tzset() { tzset(); }  // after TZ is restored
  } after;
  mtr_test::ScopedEnv env{"TZ", "UTC0"};
  UtcZone() { tzset(); }
};

TEST(Iec61107Archives, DailyMonthlyAndProfile) {
  UtcZone utc;
  // Meter 30: 24 kWh and 12 kvarh over yesterday, installed at 06:00 of it.
  Sim sim(R"({"meters": [
    {"protocol": "iec61107", "address": "1", "model": "ce303", "installed": "day-3",
     "archive": {"days": 10},
     "history": [{"at": "day-3", "A+": [100, 2, 0, 0], "R+": [10, 0, 0, 0]},
                 {"at": "day-2", "A+": [110, 2, 0, 0], "R+": [11, 0, 0, 0]},
                 {"at": "day-1", "A+": [125.5, 2, 0, 0], "R+": [12.5, 0, 0, 0]}],
     "energy_at": "day-0", "energy": {"A+": [140, 2, 0, 0], "R+": [13, 0, 0, 0]}},
    {"protocol": "iec61107", "address": "3", "model": "ce102m", "installed": "month-2",
     "history": [{"at": "month-2", "A+": 1000}, {"at": "month-1", "A+": 1300}],
     "energy_at": "month-0", "energy": {"A+": 1450}},
    {"protocol": "iec61107", "address": "30", "model": "ce303", "installed": "day-1 06:00",
     "profile": {"period": 30, "days": 3}, "history": [{"at": "day-1", "A+": 100, "R+": 10}],
     "energy_at": "day-0", "energy": {"A+": 124, "R+": 22}}]})");
  Client c(sim.device());
  std::vector<std::string> empty;
  auto slots = [](int none, int filled, const char* v) {
    std::vector<std::string> s(none + filled, v);
    std::fill(s.begin(), s.begin() + none, "");
    return s;
  };
  expectReads(c,
              {
                  {"1", "DATED", "", lines("DATED", {day(0), day(1), day(2), day(3)})},
                  {"1", "ENDQE", day(2), tariffs("ENDQE", 11, 0)},
                  {"1", "EADQE", day(1), tariffs("EADQE", 0.5, 0)},
                  {"1", "EADPE", day(0), lines("EADPE", empty)},  // the day is not over
                  {"1", "ENDPE", day(4), lines("ENDPE", empty)},  // before the installation
                  {"1", "ENDPE", "31.02.25", kErr},
                  {"3", "DATEM", "", lines("DATEM", {month(0), month(1), month(2)})},
                  {"3", "ENMPE", month(1), tariffs("ENMPE", 1300, 0)},
                  {"3", "EAMPE", month(2), tariffs("EAMPE", 300, 0)},
                  {"3", "EAMPE", month(0), lines("EAMPE", empty)},
                  {"3", "ENMQE", month(1), kErr},  // no reactive on a CE102M
                  {"30", "GRAQE", day(1), lines("GRAQE", slots(12, 36, "0.500"))},
                  {"30", "GRAPE", day(2), lines("GRAPE", empty)},  // wholly before the installation
                  {"30", "GRAPE", "xx.yy.zz", kErr},
              });
}

}  // namespace
