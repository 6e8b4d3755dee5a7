// The CE2727 family as the simulator speaks it. Fixed frames below were worked
// out by hand (CRC-16/X-25 from an independent bitwise computation); frames
// that carry dates relative to today are checked field by field.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "base/crc.h"
#include "sim_harness.h"

using namespace simtest;

namespace {

Bytes x25(Bytes b) {
  uint16_t crc = mtr::crc16_x25(b.data(), b.size());
  b.push_back(static_cast<uint8_t>(crc & 0xFF));
  b.push_back(static_cast<uint8_t>(crc >> 8));
  return b;
}

bool x25Ok(const Bytes& f) {
  if (f.size() < 3) return false;
  uint16_t crc = mtr::crc16_x25(f.data(), f.size() - 2);
  return f[f.size() - 2] == (crc & 0xFF) && f[f.size() - 1] == (crc >> 8);
}

void putLe(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint8_t bcdOf(int v) {
  return static_cast<uint8_t>((v / 10 % 10) << 4 | v % 10);
}

// A request frame: 02, length, address, password, 01, command, parameters, CRC.
Bytes request(uint32_t address, uint32_t password, uint8_t cmd, const Bytes& params = {}) {
  Bytes b{0x02, static_cast<uint8_t>(14 + params.size())};
  putLe(b, address);
  putLe(b, password);
  b.push_back(0x01);
  b.push_back(cmd);
  b.insert(b.end(), params.begin(), params.end());
  return x25(b);
}

// One request out; the answer in, as long as its length byte says (or what came).
Bytes roundTrip(Port& port, const Bytes& req, size_t want = 0, int silence_ms = 400) {
  port.sendRaw(req);
  if (want) return port.receive(want, silence_ms);
  Bytes a = port.receive(2, silence_ms);
  if (a.size() == 2 && a[1] > 2) {
    Bytes rest = port.receive(a[1] - 2u, silence_ms);
    a.insert(a.end(), rest.begin(), rest.end());
  }
  return a;
}

// Data bytes of a good answer from `address` to `cmd`; fails the test otherwise.
Bytes answerData(const Bytes& a, uint32_t address, uint8_t cmd) {
  EXPECT_GE(a.size(), 14u);
  if (a.size() < 14) return {};
  EXPECT_EQ(0x02, a[0]);
  EXPECT_EQ(a.size(), a[1]);
  EXPECT_EQ(address, le32(a, 2));
  EXPECT_EQ(0u, le32(a, 6)) << "no password in answers";
  EXPECT_EQ(0, a[10]) << "return code";
  EXPECT_EQ(cmd, a[11]);
  EXPECT_TRUE(x25Ok(a));
  return Bytes(a.begin() + 12, a.end() - 2);
}

// The return code of a 14-byte refusal, or -1 when it is not one.
int refusal(const Bytes& a, uint32_t address, uint8_t cmd) {
  if (a.size() != 14 || a[1] != 14 || le32(a, 2) != address || a[11] != cmd || !x25Ok(a)) return -1;
  return a[10];
}

struct Ymd {
  int y, m, d;
};

Ymd ymdOf(time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

time_t midnight(time_t t, int days_back = 0) {
  Ymd v = ymdOf(t);
  return localTimeOf(v.y, v.m, v.d - days_back);
}

TEST(CE2727Frames, ChecksumVectors) {
  const char* check = "123456789";
  EXPECT_EQ(0x906E, mtr::crc16_x25(reinterpret_cast<const uint8_t*>(check), 9));
  // Command 1 to address 1 with password 0: 14 bytes, CRC over the first 12.
  EXPECT_EQ(hex("02 0E 01 00 00 00 00 00 00 00 01 01 CE 0F"),
            x25(hex("02 0E 01 00 00 00 00 00 00 00 01 01")));
  EXPECT_EQ(hex("02 0E 78 56 34 12 CD AB 00 00 01 00 9D 2F"), request(0x12345678, 0xABCD, 0));
  EXPECT_EQ(hex("02 10 78 56 34 12 CD AB 00 00 01 0B 00 01 EE 2D"),
            request(0x12345678, 0xABCD, 11, hex("00 01")));
}

// Meter A: fixed registers, identity and journals with absolute times.
const char* kMeterA = R"(
  {"protocol": "ce2727", "name": "alpha", "address": 305419896, "password": "ABCD",
   "serial": "12345678", "manufactured": "2021-03-15", "firmware": ["0x02", "0x17"],
   "errors": [1, 2, 768], "diagnostic": 32769, "versions": [3, 4], "status": 5,
   "tariff": 3, "energy": {"A+": [1.5, 2.25, 0, 100]},
   "journals": {
     "0": [{"off": "2024-03-05 10:20:30", "on": "2024-03-05 11:00:00", "code": 2},
           {"off": "2024-04-01 00:00:05", "on": "now+1h"},
           {"off": "now+1d"}],
     "1": [{"at": "2024-05-06 07:08:09", "correction": -15, "interface": 1}],
     "3": [{"open": "2023-01-01 00:00:00"}],
     "5": [{"start": "2024-02-29 23:59:59", "stop": "2024-03-01 00:00:10", "phase": 2,
            "min_voltage": 180.5, "drop": 22}],
     "9": [{"at": "2024-06-10 00:00:00", "service": 7, "interface": 1}]}})";

// Meter B: instantaneous values; its registers do not move (no import of R, no export).
const char* kMeterB = R"(
  {"protocol": "ce2727", "address": 7, "power": [-500, 1000.4, 250],
   "reactive": [100, -100, 0], "voltage": [230.5, 231, 229.99], "current": [1.5, 0, 10.123],
   "power_factor": [0.75, 0.5, 0.9, 1], "frequency": 49.95,
   "energy": {"A-": 7.5, "R+": [1, 1, 1, 1], "R-": 0.001}})";

// Meter C: a CE2727 (no command 27) at the top of the address range, decimal password.
const char* kMeterC = R"(
  {"protocol": "ce2727", "model": "ce2727", "address": "0xFFFFFFFE", "password": "43981",
   "password_type": "ascii"})";

std::string meters(std::initializer_list<const char*> list) {
  std::string s = R"({"meters": [)";
  bool first = true;
  for (const char* m : list) {
    s += (first ? "" : ",") + std::string(m);
    first = false;
  }
  return s + "]}";
}

TEST(CE2727Frames, FixedAnswers) {
  Sim sim(meters({kMeterA, kMeterB, kMeterC}));
  Port port(sim.device());
  struct Case {
    const char* request;
    const char* answer;
    const char* what;
  } cases[] = {
      {"02 0E 78 56 34 12 CD AB 00 00 01 00 9D 2F",
       "02 36 78 56 34 12 00 00 00 00 00 00 17 02 01 00 02 00 00 03 01 80 00 00 4E 61 BC 00 "
       "78 56 34 12 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 03 04 05 00 F9 3B",
       "system info: firmware 2.17, errors, diagnostic, serial, address, versions, status"},
      {"02 0E 78 56 34 12 CD AB 00 00 01 15 B1 68",
       "02 40 78 56 34 12 00 00 00 00 00 15 15 03 21 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 00 AF 2A",
       "manufacture date 15.03.21"},
      {"02 0E 78 56 34 12 CD AB 00 00 01 03 06 1D",
       "02 23 78 56 34 12 00 00 00 00 00 03 03 46 95 01 00 DC 05 00 00 CA 08 00 00 00 00 00 00 "
       "A0 86 01 00 87 73",
       "energy: tariff 3, sum 103750 Wh, 1500, 2250, 0, 100000"},
      {"02 0E 78 56 34 12 CE AB 00 00 01 01 69 32", "02 0E 78 56 34 12 00 00 00 00 01 01 90 A1",
       "wrong password: access denied"},
      {"02 0E 78 56 34 12 CD AB 00 00 01 63 00 7E", "02 0E 78 56 34 12 00 00 00 00 02 63 EC CB",
       "unknown command"},
      {"02 0F 78 56 34 12 CD AB 00 00 01 01 00 B6 23", "02 0E 78 56 34 12 00 00 00 00 03 01 20 92",
       "date and time takes no parameter"},
      {"02 10 78 56 34 12 CD AB 00 00 01 1B 01 00 2A A0",
       "02 0E 78 56 34 12 00 00 00 00 03 1B FB 2D", "current state wants 00 00"},
      {"02 0E 07 00 00 00 00 00 00 00 01 17 AB 92",
       "02 1E 07 00 00 00 00 00 00 00 00 17 EE 02 00 00 0C FE FF FF E8 03 00 00 FA 00 00 00 DF D6",
       "power: 750, -500, 1000, 250 W"},
      {"02 10 07 00 00 00 00 00 00 00 01 1B 00 00 7E 3C",
       "02 5C 07 00 00 00 00 00 00 00 00 1B 0A 5A 00 00 3C 5A 00 00 D7 59 00 00 DC 05 00 00 00 "
       "00 00 00 8B 27 00 00 00 00 00 00 64 00 00 00 9C FF FF FF 00 00 00 00 EE 02 0C FE 84 03 "
       "E8 03 83 13 4C 1D 00 00 A0 0F 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
       "00 00 00 AC 50",
       "current state: volts, amps, vars, signed power factors, 49.95 Hz, A-, R+, R-"},
      {"02 10 FE FF FF FF CD AB 00 00 01 1B 00 00 C7 BF",
       "02 0E FE FF FF FF 00 00 00 00 02 1B 76 7A", "a CE2727 does not know command 27"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hexText(hex(c.answer)), hexText(roundTrip(port, hex(c.request)))) << c.what;
  }
}

TEST(CE2727Frames, SilentOnWhatIsNotForIt) {
  Sim sim(meters({kMeterA, kMeterC}));
  Port port(sim.device());
  struct Case {
    Bytes request;
    const char* why;
  } cases[] = {
      {request(0x12345679, 0xABCD, 1), "another address"},
      {hex("02 0E 78 56 34 12 CD AB 00 00 01 01 14 3F"), "bad CRC"},
      {x25(hex("02 0E 78 56 34 12 CD AB 00 00 02 01")), "byte 10 is not 01"},
      {x25(hex("02 10 78 56 34 12 CD AB 00 00 01 01")), "length byte says 16, frame has 14"},
      {x25(hex("03 0E 78 56 34 12 CD AB 00 00 01 01")), "no start byte"},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(roundTrip(port, c.request, 0, 300).empty()) << c.why;
  }
  // Still answering afterwards.
  EXPECT_EQ(23u, roundTrip(port, request(0x12345678, 0xABCD, 1)).size());
  std::string log = mtr_test::readFile(sim.logPath());
  EXPECT_NE(std::string::npos, log.find("bad CRC: ignored"));
  EXPECT_NE(std::string::npos, log.find("no such meter"));
}

TEST(CE2727Frames, PasswordForms) {
  // The same 32-bit value written the ways a configuration writes it.
  const char* forms[] = {
      R"("password": "ABCD")",     R"("password": "0xabcd")",
      R"("password": "0000ABCD")", R"("password": "43981", "password_type": "ascii")",
      R"("password": 43981)",
  };
  for (const char* form : forms) {
    SCOPED_TRACE(form);
    Sim sim(std::string(R"({"meters": [{"protocol": "ce2727", "address": 3, )") + form + "}]}");
    Port port(sim.device());
    EXPECT_EQ(23u, roundTrip(port, request(3, 0xABCD, 1)).size());
    EXPECT_EQ(1, refusal(roundTrip(port, request(3, 0xABCD0000, 1)), 3, 1));
    EXPECT_EQ(1, refusal(roundTrip(port, request(3, 0, 0)), 3, 0)) << "every command checks it";
  }
}

TEST(CE2727Frames, BackToBackFramesEachAnswered) {
  // The length byte ends a frame, so two requests in one write are two requests.
  Sim sim(meters({kMeterA, kMeterB}));
  Port port(sim.device());
  Bytes both = request(0x12345678, 0xABCD, 1);
  Bytes second = request(7, 0, 23);
  both.insert(both.end(), second.begin(), second.end());
  Bytes got = roundTrip(port, both, 23 + 30);
  ASSERT_EQ(53u, got.size());
  answerData(Bytes(got.begin(), got.begin() + 23), 0x12345678, 1);
  answerData(Bytes(got.begin() + 23, got.end()), 7, 23);
}

TEST(CE2727Frames, DateTimeFollowsTheMeterClock) {
  Sim sim(R"({"meters": [{"protocol": "ce2727", "address": 9, "clock_offset": -93784}]})");
  Port port(sim.device());
  time_t before = time(nullptr) - 93784;
  Bytes d = answerData(roundTrip(port, request(9, 0, 1)), 9, 1);
  time_t after = time(nullptr) - 93784;
  ASSERT_EQ(9u, d.size());
  time_t t = localTimeOf(2000 + bcd(d[6]), bcd(d[5]), bcd(d[4]), bcd(d[2]), bcd(d[1]), bcd(d[0]));
  EXPECT_GE(t, before);
  EXPECT_LE(t, after);
  std::tm tm{};
  localtime_r(&t, &tm);
  EXPECT_EQ(tm.tm_wday == 0 ? 7 : tm.tm_wday, bcd(d[3])) << "Monday is 1, Sunday 7";
  EXPECT_EQ(tm.tm_isdst > 0 ? 1 : 0, d[7]);
  EXPECT_EQ(0, d[8]);
}

TEST(CE2727Frames, JournalsNewestFirst) {
  Sim sim(meters({kMeterA}));
  Port port(sim.device());
  struct Case {
    const char* request;
    const char* answer;
    const char* what;
  } cases[] = {
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 00 00 67 3C",
       "02 1E 78 56 34 12 00 00 00 00 00 0B 00 00 05 00 00 01 04 24 00 00 00 00 00 00 00 00 64 E4",
       "on/off index 0: the newest record that has happened; power-on still ahead reads zeros"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 00 01 EE 2D",
       "02 1E 78 56 34 12 00 00 00 00 00 0B 00 01 30 20 10 05 03 24 00 00 11 05 03 24 02 00 45 7E",
       "on/off index 1: off, on, cause 2"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 00 02 75 1F",
       "02 0E 78 56 34 12 00 00 00 00 04 0B 72 70", "past the oldest record"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 01 00 BF 25",
       "02 1A 78 56 34 12 00 00 00 00 00 0B 01 00 09 08 07 06 05 24 F1 FF 01 00 EF DB",
       "clock correction of -15 s over interface 1"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 03 00 0F 16",
       "02 1C 78 56 34 12 00 00 00 00 00 0B 03 00 00 00 00 01 01 23 00 00 00 00 00 00 2D 0B",
       "case still open"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 05 00 DF 42",
       "02 20 78 56 34 12 00 00 00 00 00 0B 05 00 59 59 23 29 02 24 10 00 00 01 03 24 02 82 46 16 "
       "B5 51",
       "voltage drop on phase 2 down to 180.50 V, 22 %"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 09 00 7F EB",
       "02 1C 78 56 34 12 00 00 00 00 00 0B 09 00 00 00 00 10 06 24 07 01 46 95 01 00 41 13",
       "tariff program change with A+ 103750 Wh at that moment"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 04 00 07 5B",
       "02 0E 78 56 34 12 00 00 00 00 03 0B 7A 3D", "no journal 4"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hexText(hex(c.answer)), hexText(roundTrip(port, hex(c.request)))) << c.what;
  }
  // An empty journal has no record 0.
  Sim empty(R"({"meters": [{"protocol": "ce2727", "address": 5}]})");
  Port p2(empty.device());
  EXPECT_EQ(4, refusal(roundTrip(p2, request(5, 0, 11, hex("0A 00"))), 5, 11));
}

// Meter D: A+ grows by exactly 1 Wh a second in tariff 2 from `t0`, so every
// register at time t is known: 1000, 2000 + (t - t0), 3000, 4000.
struct GrowingMeter {
  time_t t0;
  std::string json;
  explicit GrowingMeter(const std::string& extra = "") {
    Ymd now = ymdOf(time(nullptr));
    t0 = localTimeOf(now.y - 3, 1, 1);
    json = R"({"meters": [{"protocol": "ce2727", "address": 42, "tariff": 2,
      "power": [1200, 1200, 1200], "energy": {"A+": [1, 2, 3, 4]}, "energy_at": )" +
           std::to_string(t0) +
           R"(, "depth": {"days": 10, "months": 14, "profile_days": 5},
      "profile_status": ["day-1 10:10", {"at": "day-1 11:45", "status": 128}])" +
           extra + "}]}";
  }
  Bytes counters(time_t t) const {
    Bytes b;
    uint32_t t2 = static_cast<uint32_t>(2000 + (t - t0));
    for (uint32_t v : {10000 + static_cast<uint32_t>(t - t0), 1000u, t2, 3000u, 4000u}) putLe(b, v);
    return b;
  }
};

TEST(CE2727Archives, DailyCountersAtTheEndOfTheDay) {
  GrowingMeter g;
  Sim sim(g.json);
  Port port(sim.device());
  time_t now = time(nullptr);
  struct Case {
    int days_back;
    int code;  // 0: answered
  } cases[] = {{1, 0}, {2, 0}, {10, 0}, {0, 5}, {-1, 5}, {11, 4}, {400, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE("day-" + std::to_string(c.days_back));
    Ymd d = ymdOf(midnight(now, c.days_back) + 3600 * 12);
    Bytes date{bcdOf(d.d), bcdOf(d.m), bcdOf(d.y - 2000)};
    Bytes a = roundTrip(port, request(42, 0, 15, date));
    if (c.code != 0) {
      EXPECT_EQ(c.code, refusal(a, 42, 15)) << hexText(a);
      continue;
    }
    ASSERT_EQ(37u, a.size());
    Bytes want = date;
    Bytes regs = g.counters(localTimeOf(d.y, d.m, d.d + 1));
    want.insert(want.end(), regs.begin(), regs.end());
    EXPECT_EQ(hexText(want), hexText(answerData(a, 42, 15)));
  }
  // Not a date: 31 February, and a non-BCD byte.
  EXPECT_EQ(3, refusal(roundTrip(port, request(42, 0, 15, hex("31 02 24"))), 42, 15));
  EXPECT_EQ(3, refusal(roundTrip(port, request(42, 0, 15, hex("1A 02 24"))), 42, 15));
}

TEST(CE2727Archives, MonthlyAndYearlyCountersAtTheEndOfTheMonth) {
  GrowingMeter g;
  Sim sim(g.json);
  Port port(sim.device());
  Ymd now = ymdOf(time(nullptr));
  struct Case {
    int months_back;
    int code;
  } cases[] = {{1, 0}, {2, 0}, {14, 0}, {0, 5}, {-1, 5}, {15, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE("month-" + std::to_string(c.months_back));
    Ymd m = ymdOf(localTimeOf(now.y, now.m - c.months_back, 1));
    Bytes month{bcdOf(m.m), bcdOf(m.y - 2000)};
    Bytes a = roundTrip(port, request(42, 0, 13, month));
    if (c.code != 0) {
      EXPECT_EQ(c.code, refusal(a, 42, 13)) << hexText(a);
      continue;
    }
    ASSERT_EQ(36u, a.size());
    Bytes want = month;
    Bytes regs = g.counters(localTimeOf(m.y, m.m + 1, 1));
    want.insert(want.end(), regs.begin(), regs.end());
    EXPECT_EQ(hexText(want), hexText(answerData(a, 42, 13)));
  }
  // The yearly pass asks for December: last December ends on 1 January.
  Bytes dec{0x12, bcdOf(now.y - 1 - 2000)};
  Bytes want = dec;
  Bytes regs = g.counters(localTimeOf(now.y, 1, 1));
  want.insert(want.end(), regs.begin(), regs.end());
  EXPECT_EQ(hexText(want), hexText(answerData(roundTrip(port, request(42, 0, 13, dec)), 42, 13)));
  EXPECT_EQ(5,
            refusal(roundTrip(port, request(42, 0, 13, Bytes{0x12, bcdOf(now.y - 2000)})), 42, 13))
      << "this December is not over";
  EXPECT_EQ(3, refusal(roundTrip(port, request(42, 0, 13, hex("13 23"))), 42, 13));
  EXPECT_EQ(3, refusal(roundTrip(port, request(42, 0, 13, hex("00 23"))), 42, 13));
}

TEST(CE2727Archives, NothingBeforeInstallation) {
  GrowingMeter g(R"(, "installed": "day-3 06:00")");
  Sim sim(g.json);
  Port port(sim.device());
  time_t now = time(nullptr);
  auto daily = [&](int back) {
    Ymd d = ymdOf(midnight(now, back) + 3600 * 12);
    return roundTrip(port, request(42, 0, 15, Bytes{bcdOf(d.d), bcdOf(d.m), bcdOf(d.y - 2000)}));
  };
  EXPECT_EQ(37u, daily(3).size()) << "the installation day ends after it";
  EXPECT_EQ(4, refusal(daily(4), 42, 15));
  auto half = [&](int back, int h) {
    Ymd d = ymdOf(midnight(now, back) + 3600 * 12);
    return roundTrip(port, request(42, 0, 17,
                                   Bytes{static_cast<uint8_t>(h), 0, bcdOf(d.d), bcdOf(d.m),
                                         bcdOf(d.y - 2000)}));
  };
  EXPECT_EQ(4, refusal(half(4, 1), 42, 17));
  Bytes d = answerData(half(3, 0), 42, 17);
  ASSERT_EQ(77u, d.size());
  for (int i = 0; i < 24; ++i) {
    // Recording starts at 06:00: twelve empty slots, then values.
    EXPECT_EQ(i < 12 ? 0 : 1, d[5 + 3 * i]) << "slot " << i;
  }
}

TEST(CE2727Archives, ProfileHalfDays) {
  GrowingMeter g;
  Sim sim(g.json);
  Port port(sim.device());
  time_t now = time(nullptr);
  auto ask = [&](time_t day, int h) {
    Ymd d = ymdOf(day + 3600 * 12);
    return roundTrip(port, request(42, 0, 17,
                                   Bytes{static_cast<uint8_t>(h), 0, bcdOf(d.d), bcdOf(d.m),
                                         bcdOf(d.y - 2000)}));
  };
  // Yesterday morning: 3600 W in every half hour (0E10), but 10:00 marked
  // invalid (status 2, no value) and 11:30 with status 80h.
  time_t y = midnight(now, 1);
  Ymd yd = ymdOf(y);
  Bytes d = answerData(ask(y, 0), 42, 17);
  ASSERT_EQ(77u, d.size());
  Bytes head{0x00, 30, bcdOf(yd.d), bcdOf(yd.m), bcdOf(yd.y - 2000)};
  EXPECT_EQ(hexText(head), hexText(Bytes(d.begin(), d.begin() + 5)));
  for (int i = 0; i < 24; ++i) {
    std::string slot = hexText(Bytes(d.begin() + 5 + 3 * i, d.begin() + 8 + 3 * i));
    EXPECT_EQ(i == 20 ? "02 00 00" : i == 23 ? "80 00 00" : "01 10 0E", slot) << "slot " << i;
  }
  // Its afternoon has every slot.
  d = answerData(ask(y, 1), 42, 17);
  ASSERT_EQ(77u, d.size());
  EXPECT_EQ(1, d[0]);
  for (int i = 0; i < 24; ++i)
    EXPECT_EQ("01 10 0E", hexText(Bytes(d.begin() + 5 + 3 * i, d.begin() + 8 + 3 * i)));
  // The running half-day: finished slots have values, the rest status 0.
  std::tm tm{};
  localtime_r(&now, &tm);
  int h = tm.tm_hour >= 12 ? 1 : 0;
  time_t start = localTimeOf(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 12 * h);
  d = answerData(ask(midnight(now), h), 42, 17);
  time_t later = time(nullptr);
  ASSERT_EQ(77u, d.size());
  for (int i = 0; i < 24; ++i) {
    time_t end = start + 1800 * (i + 1);
    if (end <= now) {
      EXPECT_EQ(1, d[5 + 3 * i]) << "slot " << i;
    } else if (end > later) {
      EXPECT_EQ("00 00 00", hexText(Bytes(d.begin() + 5 + 3 * i, d.begin() + 8 + 3 * i)))
          << "slot " << i;
    }
  }
  EXPECT_EQ(5, refusal(ask(midnight(now, -1), 0), 42, 17)) << "tomorrow has not begun";
  if (h == 0) {
    EXPECT_EQ(5, refusal(ask(midnight(now), 1), 42, 17)) << "this afternoon";
  }
  EXPECT_EQ(77u, answerData(ask(midnight(now, 5), 0), 42, 17).size()) << "oldest kept day";
  EXPECT_EQ(4, refusal(ask(midnight(now, 6), 1), 42, 17)) << "beyond the profile memory";
  EXPECT_EQ(3, refusal(ask(y, 2), 42, 17)) << "no third half-day";
}

TEST(CE2727Faults, EveryKindOnThisFamily) {
  struct Case {
    const char* fault;
    void (*check)(const Bytes& normal, const Bytes& got);
  } cases[] = {
      {"badcrc:1",
       [](const Bytes& n, const Bytes& r) {
         ASSERT_EQ(n.size(), r.size());
         EXPECT_FALSE(x25Ok(r));
         EXPECT_EQ(hexText(Bytes(n.begin(), n.end() - 2)), hexText(Bytes(r.begin(), r.end() - 2)));
       }},
      {"wrongaddr:1",
       [](const Bytes& n, const Bytes& r) {
         ASSERT_EQ(n.size(), r.size());
         EXPECT_TRUE(x25Ok(r));
         EXPECT_EQ(le32(n, 2) + 1, le32(r, 2));
         EXPECT_EQ(hexText(Bytes(n.begin() + 6, n.end() - 2)),
                   hexText(Bytes(r.begin() + 6, r.end() - 2)));
       }},
      {"error:1",
       [](const Bytes&, const Bytes& r) {
         EXPECT_EQ("02 0E 07 00 00 00 00 00 00 00 03 17 1B A1", hexText(r));
       }},
  };
  Bytes normal;
  {
    Sim sim(meters({kMeterB}));
    Port port(sim.device());
    normal = roundTrip(port, request(7, 0, 23));
    ASSERT_EQ(30u, normal.size());
  }
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Sim sim(meters({kMeterB}), {"--fault", std::string(c.fault) + ":7"});
    Port port(sim.device());
    c.check(normal, roundTrip(port, request(7, 0, 23), 30, 300));
  }
}

TEST(CE2727Config, BadDescriptions) {
  struct Case {
    const char* meter;
    const char* message;
  } cases[] = {
      {R"({"protocol": "ce2727"})", "\"address\": required"},
      {R"({"protocol": "ce2727", "address": 4294967296})", "out of range"},
      {R"({"protocol": "ce2727", "address": 1}, {"protocol": "ce2727", "address": "1"})",
       "another meter on the line"},
      {R"({"protocol": "ce2727", "address": 1, "model": "ce2728"})", "\"ce2727\" or \"ce2727a\""},
      {R"({"protocol": "ce2727", "address": 1, "password": "123456789"})", "does not fit 32 bits"},
      {R"({"protocol": "ce2727", "address": 1, "password": "12G4"})", "expected hex digits"},
      {R"({"protocol": "ce2727", "address": 1, "password": "0xAB", "password_type": "ascii"})",
       "decimal digits"},
      {R"({"protocol": "ce2727", "address": 1, "journals": {"4": []}})", "no journal \"4\""},
      {R"({"protocol": "ce2727", "address": 1, "journals": {"0": [{"on": "day-1"}]}})",
       "\"off\": required"},
      {R"({"protocol": "ce2727", "address": 1, "journals": {"3": [{"open": "day-1", "close": "day-2"}]}})",
       "earlier than"},
      {R"({"protocol": "ce2727", "address": 1, "journals": {"5": [{"start": "day-1", "phase": 4}]}})",
       "\"phase\": out of range"},
      {R"({"protocol": "ce2727", "address": 1, "profile_status": [{"at": "day-1", "status": 1}]})",
       "1 is a good slot"},
  };
  for (const auto& c : cases) {
    mtr_test::TempDir dir;
    mtr_test::writeFile(dir / "meters.json", std::string(R"({"meters": [)") + c.meter + "]}");
    auto r = mtr_test::runProcess({mtr_test::binPath("mtr-metersim"), dir / "meters.json"}, 5000);
    EXPECT_EQ(1, r.status) << c.message;
    EXPECT_NE(std::string::npos, r.err.find(c.message)) << c.message << ": " << r.err;
  }
}

TEST(CE2727Config, ExampleDescriptionAnswersEveryKind) {
  std::string example =
      mtr_test::readFile(std::string(MTR_SOURCE_DIR) + "/examples/metersim-ce2727.json");
  ASSERT_FALSE(example.empty());
  Sim sim(example);
  Port port(sim.device());
  const uint32_t addr = 2727001, pw = 0x12345678;
  time_t now = time(nullptr);
  Ymd y = ymdOf(midnight(now, 1));
  Ymd lm = ymdOf(localTimeOf(ymdOf(now).y, ymdOf(now).m - 1, 1));
  struct Case {
    uint8_t cmd;
    Bytes params;
    size_t length;
  } cases[] = {
      {0, {}, 54},
      {21, {}, 64},
      {1, {}, 23},
      {3, {}, 35},
      {23, {}, 30},
      {27, {0, 0}, 92},
      {15, {bcdOf(y.d), bcdOf(y.m), bcdOf(y.y - 2000)}, 37},
      {13, {bcdOf(lm.m), bcdOf(lm.y - 2000)}, 36},
      {13, {0x12, bcdOf(ymdOf(now).y - 1 - 2000)}, 36},
      {17, {0, 0, bcdOf(y.d), bcdOf(y.m), bcdOf(y.y - 2000)}, 91},
  };
  for (const auto& c : cases) {
    Bytes a = roundTrip(port, request(addr, pw, c.cmd, c.params));
    EXPECT_EQ(c.length, answerData(a, addr, c.cmd).size() + 14) << "command " << int(c.cmd);
  }
  int with_records = 0;
  for (int j : {0, 1, 2, 3, 5, 6, 9, 10}) {
    Bytes a = roundTrip(port, request(addr, pw, 11, Bytes{static_cast<uint8_t>(j), 0}));
    if (a.size() > 14 && a[10] == 0) ++with_records;
  }
  EXPECT_EQ(8, with_records) << "every journal has a record";
}

}  // namespace
