// The CE2727 family as the simulator speaks it. Fixed frames below were worked
// out by hand (CRC-16/X-25 from an independent bitwise computation); frames
// that carry dates relative to today are checked field by field.
#include <gtest/gtest.h>

#include "sim_harness.h"

using namespace simtest;

namespace {

bool x25Ok(const Bytes& f) {
  return f.size() >= 3 && withX25(Bytes(f.begin(), f.end() - 2)) == f;
}

uint8_t bcdOf(int v) {
  return static_cast<uint8_t>((v / 10 % 10) << 4 | v % 10);
}

// 02, length, address, password, 01, command, parameters, CRC.
Bytes request(uint32_t address, uint32_t password, uint8_t cmd, const Bytes& params = {}) {
  Bytes b{0x02, static_cast<uint8_t>(14 + params.size())};
  putLE(b, address, 4);
  putLE(b, password, 4);
  b.push_back(0x01);
  b.push_back(cmd);
  b.insert(b.end(), params.begin(), params.end());
  return withX25(b);
}

// One request out; the answer in, as long as its length byte says.
Bytes roundTrip(Port& port, const Bytes& req, int silence_ms = 400) {
  port.sendRaw(req);
  Bytes a = port.receive(2, silence_ms);
  if (a.size() == 2 && a[1] > 2) {
    Bytes rest = port.receive(a[1] - 2u, silence_ms);
    a.insert(a.end(), rest.begin(), rest.end());
  }
  return a;
}

// Data bytes of a good answer from `address` to `cmd`; fails the test otherwise.
Bytes answerData(const Bytes& a, uint32_t address, uint8_t cmd) {
  bool good = a.size() >= 14 && a[0] == 2 && a[1] == a.size() && getLE(a, 2, 4) == address &&
              getLE(a, 6, 4) == 0 && a[10] == 0 && a[11] == cmd && x25Ok(a);
  EXPECT_TRUE(good) << hexText(a);
  return good ? Bytes(a.begin() + 12, a.end() - 2) : Bytes{};
}

// The return code of a 14-byte refusal, or -1 when it is not one.
int refusal(const Bytes& a, uint32_t address, uint8_t cmd) {
  if (a.size() != 14 || a[1] != 14 || getLE(a, 2, 4) != address || a[11] != cmd || !x25Ok(a))
    return -1;
  return a[10];
}

// Day parameter (BCD day, month, year); with `half` >= 0 the profile's half-day first.
Bytes dayParam(int days_back, int half = -1) {
  std::tm d = tmOf(midnight(days_back) + 3600 * 12);
  Bytes p{bcdOf(d.tm_mday), bcdOf(d.tm_mon + 1), bcdOf(d.tm_year % 100)};
  if (half >= 0) p.insert(p.begin(), {static_cast<uint8_t>(half), 0});
  return p;
}

TEST(CE2727Frames, ChecksumVectors) {
  // Command 1 to address 1 with password 0: 14 bytes, CRC over the first 12.
  EXPECT_EQ(hex("02 0E 01 00 00 00 00 00 00 00 01 01 CE 0F"), request(1, 0, 1));
  EXPECT_EQ(hex("02 10 78 56 34 12 CD AB 00 00 01 0B 00 01 EE 2D"),
            request(0x12345678, 0xABCD, 11, hex("00 01")));
}

const char* kMeters = R"({"meters": [
  {"protocol": "ce2727", "name": "alpha", "address": 305419896, "password": "ABCD",
   "serial": "12345678", "manufactured": "2021-03-15", "firmware": ["0x02", "0x17"],
   "errors": [1, 2, 768], "diagnostic": 32769, "versions": [3, 4], "status": 5,
   "tariff": 3, "energy": {"A+": [1.5, 2.25, 0, 100]},
   "journals": {
     "0": [{"off": "2024-03-05 10:20:30", "on": "2024-03-05 11:00:00", "code": 2},
           {"off": "2024-04-01 00:00:05", "on": "now+1h"}, {"off": "now+1d"}],
     "1": [{"at": "2024-05-06 07:08:09", "correction": -15, "interface": 1}],
     "5": [{"start": "2024-02-29 23:59:59", "stop": "2024-03-01 00:00:10", "phase": 2,
            "min_voltage": 180.5, "drop": 22}],
     "9": [{"at": "2024-06-10 00:00:00", "service": 7, "interface": 1}]}},
  {"protocol": "ce2727", "address": 7, "power": [-500, 1000.4, 250],
   "reactive": [100, -100, 0], "voltage": [230.5, 231, 229.99], "current": [1.5, 0, 10.123],
   "power_factor": [0.75, 0.5, 0.9, 1], "frequency": 49.95,
   "energy": {"A-": 7.5, "R+": [1, 1, 1, 1], "R-": 0.001}},
  {"protocol": "ce2727", "model": "ce2727", "address": "0xFFFFFFFE", "password": "43981",
   "password_type": "ascii"},
  {"protocol": "ce2727", "address": 9, "clock_offset": -93784},
  {"protocol": "ce2727", "address": 1, "password": "0xabcd"},
  {"protocol": "ce2727", "address": 2, "password": "0000ABCD"},
  {"protocol": "ce2727", "address": 3, "password": 43981},
  {"protocol": "ce2727", "address": 8, "layout": "table"}]})";

TEST(CE2727Frames, FixedAnswers) {
  Sim sim(kMeters);
  Port port(sim.device());
  struct Case {
    const char *request, *answer, *what;
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
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 05 00 DF 42",
       "02 20 78 56 34 12 00 00 00 00 00 0B 05 00 59 59 23 29 02 24 10 00 00 01 03 24 02 82 46 16 "
       "B5 51",
       "voltage drop on phase 2 down to 180.50 V, 22 %"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 09 00 7F EB",
       "02 1C 78 56 34 12 00 00 00 00 00 0B 09 00 00 00 00 10 06 24 07 01 46 95 01 00 41 13",
       "tariff program change with A+ 103750 Wh at that moment"},
      {"02 10 78 56 34 12 CD AB 00 00 01 0B 04 00 07 5B",
       "02 0E 78 56 34 12 00 00 00 00 03 0B 7A 3D", "no journal 4"},
      {"02 0E 08 00 00 00 00 00 00 00 01 17 77 3F",
       "02 1E 08 00 00 00 00 00 00 00 01 17 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 3C 23",
       "table layout: 01 at byte 10 of an answer with data"},
      {"02 0E 08 00 00 00 01 00 00 00 01 17 5C 3B", "02 0E 08 00 00 00 00 00 00 00 01 17 77 3F",
       "table layout: a refusal still carries its code"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(hexText(hex(c.answer)), hexText(roundTrip(port, hex(c.request)))) << c.what;
  EXPECT_EQ(4, refusal(roundTrip(port, request(7, 0, 11, hex("0A 00"))), 7, 11))
      << "an empty journal has no record 0";
  // One password value in each of the ways a configuration writes it.
  for (uint32_t a : {0x12345678u, 0xFFFFFFFEu, 1u, 2u, 3u}) {
    EXPECT_EQ(23u, roundTrip(port, request(a, 0xABCD, 1)).size()) << a;
    EXPECT_EQ(1, refusal(roundTrip(port, request(a, 0xABCD0000, 1)), a, 1)) << a;
  }
  // Date and time from the meter clock: BCD, Monday 1 to Sunday 7, summer flag.
  time_t before = time(nullptr) - 93784;
  Bytes d = answerData(roundTrip(port, request(9, 0, 1)), 9, 1);
  time_t after = time(nullptr) - 93784;
  ASSERT_EQ(9u, d.size());
  time_t t = localTimeOf(2000 + bcd(d[6]), bcd(d[5]), bcd(d[4]), bcd(d[2]), bcd(d[1]), bcd(d[0]));
  EXPECT_TRUE(t >= before && t <= after) << hexText(d);
  std::tm tm = tmOf(t);
  EXPECT_EQ(tm.tm_wday == 0 ? 7 : tm.tm_wday, bcd(d[3]));
  EXPECT_EQ(tm.tm_isdst > 0 ? 1 : 0, d[7]);
}

TEST(CE2727Frames, SilentOnWhatIsNotForItAndBackToBack) {
  Sim sim(kMeters);
  Port port(sim.device());
  for (const Bytes& r : {request(0x12345679, 0xABCD, 1),                        // another address
                         hex("02 0E 78 56 34 12 CD AB 00 00 01 01 14 3F"),      // bad CRC
                         withX25(hex("02 0E 78 56 34 12 CD AB 00 00 02 01")),   // byte 10 is not 01
                         withX25(hex("02 10 78 56 34 12 CD AB 00 00 01 01")),   // length says 16
                         withX25(hex("03 0E 78 56 34 12 CD AB 00 00 01 01"))})  // no start byte
    EXPECT_TRUE(roundTrip(port, r, 300).empty()) << hexText(r);
  std::string log = mtr_test::readFile(sim.logPath());
  EXPECT_NE(std::string::npos, log.find("bad CRC: ignored"));
  EXPECT_NE(std::string::npos, log.find("no such meter"));
  // The length byte ends a frame: two requests in one write get two answers.
  Bytes both = request(0x12345678, 0xABCD, 1), second = request(7, 0, 23);
  both.insert(both.end(), second.begin(), second.end());
  port.sendRaw(both);
  Bytes got = port.receive(23 + 30);
  ASSERT_EQ(53u, got.size());
  answerData(Bytes(got.begin(), got.begin() + 23), 0x12345678, 1);
  answerData(Bytes(got.begin() + 23, got.end()), 7, 23);
}

TEST(CE2727Archives, CountersProfileAndRefusals) {
  // A+ grows 1 Wh a second in tariff 2 from t0, so the registers at time t are
  // known: sum 10000 + (t - t0), 1000, 2000 + (t - t0), 3000, 4000.
  std::tm now = tmOf(time(nullptr));
  int year = now.tm_year + 1900;
  time_t t0 = localTimeOf(year - 3, 1, 1);
  Sim sim(R"({"meters": [{"protocol": "ce2727", "address": 42, "tariff": 2,
      "power": [1200, 1200, 1200], "energy": {"A+": [1, 2, 3, 4]}, "energy_at": )" +
          std::to_string(t0) + R"(, "depth": {"days": 10, "months": 14, "profile_days": 5},
      "profile_status": ["day-1 10:10", {"at": "day-1 11:45", "status": 128}],
      "bad_answers": [{"at": "day-2"}, {"cmd": 17, "at": "day-2 13:00", "defect": "short"}]},
    {"protocol": "ce2727", "address": 43, "installed": "day-3 06:00"}]})");
  Port port(sim.device());
  auto ask = [&](uint32_t addr, uint8_t cmd, const Bytes& p) {
    return roundTrip(port, request(addr, 0, cmd, p));
  };
  auto counters = [&](Bytes b, time_t t) {
    for (uint32_t v : {10000 + uint32_t(t - t0), 1000u, 2000 + uint32_t(t - t0), 3000u, 4000u})
      putLE(b, v, 4);
    return hexText(b);
  };
  // Closing counters: a day's at the next midnight, a month's on the next 1st.
  Bytes last_month{bcdOf((now.tm_mon + 11) % 12 + 1), bcdOf((year - (now.tm_mon ? 0 : 1)) % 100)};
  EXPECT_EQ(counters(dayParam(1), midnight()),
            hexText(answerData(ask(42, 15, dayParam(1)), 42, 15)));
  EXPECT_EQ(counters(last_month, localTimeOf(year, now.tm_mon + 1, 1)),
            hexText(answerData(ask(42, 13, last_month), 42, 13)));
  struct Case {
    uint8_t cmd;
    Bytes param;
    int code;  // 3 bad parameter, 4 no such record, 5 not over yet
  } cases[] = {{15, dayParam(0), 5},
               {15, dayParam(11), 4},
               {15, hex("31 02 24"), 3},
               {15, hex("1A 02 24"), 3},
               {13, Bytes{bcdOf(now.tm_mon + 1), bcdOf(year % 100)}, 5},
               {13, hex("13 23"), 3},
               {13, hex("01 00"), 4},
               {17, dayParam(-1, 0), 5},
               {17, dayParam(6, 1), 4},
               {17, dayParam(1, 2), 3}};
  for (const auto& c : cases)
    EXPECT_EQ(c.code, refusal(ask(42, c.cmd, c.param), 42, c.cmd)) << hexText(c.param);
  // Spoilt on purpose: a date that is not BCD, an afternoon cut after its date.
  EXPECT_EQ(counters(hex("FF FF FF"), midnight(1)),
            hexText(answerData(ask(42, 15, dayParam(2)), 42, 15)));
  Bytes afternoon = dayParam(2, 1);
  afternoon[1] = 30;
  EXPECT_EQ(hexText(afternoon), hexText(answerData(ask(42, 17, dayParam(2, 1)), 42, 17)));
  // Yesterday morning: 3600 W in every half hour (0E10), but 10:00 marked
  // invalid (status 2, no value) and 11:30 with status 80h.
  Bytes d = answerData(ask(42, 17, dayParam(1, 0)), 42, 17);
  ASSERT_EQ(77u, d.size());
  Bytes head = dayParam(1, 0);
  head[1] = 30;  // minutes a slot
  std::string want = hexText(head);
  for (int i = 0; i < 24; ++i)
    want += i == 20 ? " 02 00 00" : (i == 23 ? " 80 00 00" : " 01 10 0E");
  EXPECT_EQ(want, hexText(d));
  // Recording starts at the installation at 06:00: twelve empty slots, then values.
  EXPECT_EQ(4, refusal(ask(43, 15, dayParam(4)), 43, 15));
  EXPECT_EQ(37u, ask(43, 15, dayParam(3)).size()) << "the installation day ends after it";
  d = answerData(ask(43, 17, dayParam(3, 0)), 43, 17);
  ASSERT_EQ(77u, d.size());
  for (int i = 0; i < 24; ++i) EXPECT_EQ(i < 12 ? 0 : 1, d[5 + 3 * i]) << "slot " << i;
}

TEST(CE2727Faults, CorruptionsOfThisFamily) {
  // What meter 7 answers to command 23 when all is well.
  Bytes normal = hex(
      "02 1E 07 00 00 00 00 00 00 00 00 17 EE 02 00 00 0C FE FF FF E8 03 00 00 FA 00 00 00 DF D6");
  Bytes wrongaddr = normal;
  wrongaddr[2] = 8;
  for (const char* fault : {"badcrc:1:7", "wrongaddr:1:7", "error:1:7"}) {
    Sim sim(kMeters, {"--fault", fault});
    Port port(sim.device());
    port.sendRaw(request(7, 0, 23));
    Bytes r = port.receive(30, 300);
    if (fault[0] == 'e') {
      EXPECT_EQ("02 0E 07 00 00 00 00 00 00 00 03 17 1B A1", hexText(r));
      continue;
    }
    ASSERT_EQ(30u, r.size()) << fault;
    EXPECT_EQ(fault[0] == 'w', x25Ok(r)) << fault;
    Bytes& want = fault[0] == 'w' ? wrongaddr : normal;
    EXPECT_EQ(hexText(Bytes(want.begin(), want.end() - 2)), hexText(Bytes(r.begin(), r.end() - 2)));
  }
}

}  // namespace
