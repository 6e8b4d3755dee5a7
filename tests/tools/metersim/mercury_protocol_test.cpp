// The Mercury 230 family as the simulator speaks it, checked byte by byte
// against frames and values worked out by hand from the protocol.
#include <gtest/gtest.h>
#include <unistd.h>

#include "sim_harness.h"

using namespace simtest;

namespace {

TEST(MercuryFrames, ChecksumVectors) {
  EXPECT_EQ(hex("01 03 00 00 00 01 84 0A"), withCrc(hex("01 03 00 00 00 01")));
  EXPECT_EQ(hex("00 00 01 B0"), withCrc(hex("00 00")));
  EXPECT_EQ(hex("00 01 01 01 01 01 01 01 01 77 81"), withCrc(hex("00 01 01 01 01 01 01 01 01")));
  EXPECT_EQ(hex("01 01 01 01 02 03 04 00 00 EF F8"), withCrc(hex("01 01 01 01 02 03 04 00 00")));
}

TEST(MercuryChannel, LoneMeterAnswersBroadcast) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 17}]})");
  Port port(sim.device());
  EXPECT_EQ(hex("00 00 01 B0"), port.ask("00 00", 4));
  EXPECT_EQ(hex("00 00 01 B0"), port.ask("00 01 01 01 01 01 01 01 01", 4));
  EXPECT_EQ(withCrc(hex("11 00")), port.ask("11 00", 4)) << "its own address with its own";
}

TEST(MercuryChannel, PasswordsGateAndTimeout) {
  Sim sim(R"({"meters": [
    {"protocol": "mercury230", "address": 1, "password": "1234", "password_mode": "digit"},
    {"protocol": "mercury230", "address": 2, "password": "1234", "password_mode": "ascii"},
    {"protocol": "mercury230", "address": 3, "channel_timeout": 2}]})");
  Port port(sim.device());
  EXPECT_EQ(withCrc(hex("01 05")), port.ask("01 08 00", 4)) << "read before open: not opened";
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4)) << "test channel needs no open channel";
  struct Case {
    const char *request, *reply, *why;
  } cases[] = {
      {"01 01 01 01 02 03 04 00 00", "01 00 00 20", "digit mode: '1' as 01, padded with 00 00"},
      {"01 01 01 31 32 33 34 00 00", "01 03 40 21", "digit meter refuses ASCII bytes"},
      {"02 01 01 31 32 33 34 00 00", "02 00 00 D0", "ascii mode: '1' as 31"},
      {"02 01 01 01 02 03 04 00 00", "02 03 40 D1", "ascii meter refuses digit bytes"},
      {"01 01 02 01 02 03 04 00 00", "01 03 40 21", "level 2 wants the admin password"},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(c.reply), port.ask(c.request, 4)) << c.why;
  EXPECT_EQ(withCrc(hex("01 05")), port.ask("01 08 00", 4)) << "a wrong password closes";
  port.open(1, "01 02 03 04 00 00");
  EXPECT_EQ(10u, port.ask("01 08 00", 10).size());
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 02", 4));
  EXPECT_EQ(withCrc(hex("01 05")), port.ask("01 08 00", 4)) << "closed again";
  EXPECT_EQ(withCrc(hex("03 00")), port.open(3));
  EXPECT_EQ(10u, port.ask("03 08 00", 10).size());
  // (the open channel must outlast a busy machine's pause between two requests)
  usleep(2500 * 1000);
  EXPECT_EQ(withCrc(hex("03 05")), port.ask("03 08 00", 4)) << "idle channel timed out";
}

TEST(MercuryFrames, RepliesByteForByte) {
  Sim sim(R"({"meters": [
    {"protocol": "mercury230", "address": 5, "serial": "12345678", "manufactured": "2021-03-15",
     "variant": "00 03 40 00 00 40", "model": "mercury236",
     "clock_offset": -3600},
    {"protocol": "mercury230", "address": 1, "voltage": [230.15, 231.00, 229.50],
     "current": [1.5, 2.0, 0.25], "power": [-1234.56, 400.00, 300.00], "reactive": [100, -50, 0],
     "power_factor": [0.95, 0.5, 0.999], "frequency": 49.98},
    {"protocol": "mercury230", "address": 3, "installed": "day-0",
     "energy": {"A+": [1234.567, 10, 0.5, 0], "R-": [0, 0, 0, 4294967.295]},
     "holidays": ["01-01", "03-08", "12-31"],
     "schedule": [{"months": [1], "day_types": [1], "switches": [["07:00", 1], ["23:30", 2]]}],
     "journals": {"1": [{"first": "2024-05-03 14:03:11", "second": "2024-05-03 13:47:55"},
                        {"first": "2024-04-30 06:12:40", "second": "2024-04-30 05:58:02"},
                        {"first": "now+1d"}],
                  "7": ["2024-02-10 11:00:00"]}}]})");
  Port port(sim.device());
  for (int a : {5, 1, 3}) ASSERT_EQ(withCrc(Bytes{uint8_t(a), 0}), port.open(uint8_t(a)));
  const char* ff16 = "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF";
  struct Case {
    const char *request, *data, *why;
  } cases[] = {
      {"05 08 00", "0C 22 38 4E 0F 03 15", "serial as binary 12 34 56 78, made 15.03.(20)21"},
      {"05 08 01 00", "0C 22 38 4E 0F 03 15 08 04 01 00 03 40 00 00 40 00 00 00 00 00 00 00 00",
       "passport: serial, date, firmware in BCD (the 236 reports 8 first), variant"},
      {"01 08 11 11", "00 E7 59", "UA 23015 x 0.01 V: B0, low byte, middle byte"},
      {"01 08 11 40", "00 86 13", "frequency 4998 x 0.01 Hz"},
      {"01 08 11 01", "81 40 E2", "PA -1234.56 W: 123456, active-direction bit 7"},
      {"01 08 11 02", "40 40 9C", "PB 400 W with reactive exported: bit 6"},
      {"01 08 11 00", "80 D0 D0", "P sum -534.56 W"},
      {"01 08 11 06", "40 88 13", "QB -50 var: bit 6"},
      {"01 08 11 31", "80 B6 03", "cos A 0.950 with the phase's directions"},
      {"01 08 11 30", "80 30 03", "cos sum: mean of the phases, 0.816"},
      {"01 08 11 10", "01", "voltage has no sum: invalid parameter"},
      {"01 07", "01", "unknown request"},
      {"03 05 00 00", "12 00 8B FF 00 00 00 00 00 00 00 00 FF FF FE FF",
       "sum 1245067 Wh as B1 B0 B3 B2; a full register stops below FF FF FF FF"},
      {"03 05 C0 01", "12 00 87 D6 00 00 00 00 00 00 00 00 00 00 00 00", "start of today: T1"},
      {"03 05 D0 01", ff16, "yesterday is before installation"},
      {"03 05 50 00", ff16, "so is its consumption"},
      {"03 06 02 06 B7 10", "25 00 0E AD 00 00 00 00 00 00 00 00 00 00 00 00",
       "start of today, tariff 1, at 06A6 + 17 in half-Wh: 2469134"},
      {"03 06 02 1D 0A 04", "80 00 00 00", "holidays in March at 1D00 + 10: day 8 is bit 7"},
      {"03 08 23 01", "01 00 00 00", "January by month number"},
      {"03 06 02 10 00 10", "00 27 1E 57 FF FF FF FF FF FF FF FF FF FF FF FF",
       "month 1, day type 1, part 1 at 0FEF + 17: minute, tariff << 5 | hour"},
      {"03 06 02 11 10 10", ff16, "February (0FEF + 272 + 17) has no switches"},
      {"03 04 01 FF", "11 03 14 03 05 24 55 47 13 03 05 24 01",
       "newest record of journal 1 with its index; the future one not yet there"},
      {"03 04 07 FF", "00 00 11 10 02 24 00", "journal 7 keeps one time"},
  };
  for (const auto& c : cases) {
    Bytes want = hex(c.data), reply = port.ask(c.request, want.size() + 3);
    EXPECT_TRUE(crcOk(reply)) << c.why;
    EXPECT_EQ(hexText(want), hexText(body(reply))) << c.request << ": " << c.why;
  }
  Bytes all = body(port.ask("03 04 01 FE", 123));
  ASSERT_EQ(120u, all.size());
  EXPECT_EQ("11 03 14 03 05 24 55 47 13 03 05 24 40 12 06 30 04 24 02 58 05 30 04 24",
            hexText(Bytes(all.begin(), all.begin() + 24)))
      << "newest first";
  EXPECT_EQ(Bytes(96, 0), Bytes(all.begin() + 24, all.end())) << "empty records are zeros";
  for (const char* req : {"05 04 00", "05 08 14 E0"}) {
    Bytes d = body(port.ask(req, 11));
    ASSERT_EQ(8u, d.size()) << req;  // second, minute, hour, weekday, day, month, year, season
    time_t t = localTimeOf(2000 + bcd(d[6]), bcd(d[5]), bcd(d[4]), bcd(d[2]), bcd(d[1]), bcd(d[0]));
    EXPECT_NEAR(double(time(nullptr) - 3600), double(t), 2.0) << req;
  }
}

std::string format(const char* f, int a, int b = 0, int c = 0, int d = 0) {
  char buf[64];
  snprintf(buf, sizeof buf, f, a, b, c, d);
  return buf;
}

TEST(MercuryArchives, CalendarAndProfile) {
  // 1 Wh a second into tariff 1 from 100000 kWh at today's midnight, 5 kWh in
  // tariff 2; meter constant 500/kWh, so a half hour's 1800 Wh counts 1800.
  std::string meter = R"({"protocol": "mercury230", "power": [3600, 0, 0], "energy_at": )" +
                      std::to_string(midnight()) + R"(, "energy": {"A+": [100000, 5, 0, 0]}, )";
  Sim sim(R"({"meters": [)" + meter + R"("address": 1, "ext_archive": {"days": 10, "months": 3},
    "profile": {"depth": 5}},)" +
          meter + R"("address": 2}]})");
  Port port(sim.device());
  port.open(1);
  port.open(2);
  auto energyAt = [](time_t t) { return static_cast<uint32_t>(100000000 + (t - midnight())); };
  std::tm now = tmOf(time(nullptr));
  int year = now.tm_year + 1900, month = now.tm_mon + 1, next = month % 12 + 1;
  // Month m of this year if it has begun, else of last year.
  auto monthStart = [&](int m) { return localTimeOf(m <= month ? year : year - 1, m, 1); };
  time_t year0 = localTimeOf(year, 1, 1), year1 = localTimeOf(year - 1, 1, 1);
  std::tm y = tmOf(midnight(1));
  struct Case {
    std::string request;
    uint32_t a_plus;
  } cases[] = {
      {"01 05 C0 01", energyAt(midnight())},                               // start of today
      {"01 05 50 01", uint32_t(midnight() - midnight(1))},                 // yesterday's use
      {"01 05 20 01", uint32_t(year0 - year1)},                            // last year's use
      {"01 05 C0 00", energyAt(midnight()) + 5000},                        // sum over tariffs
      {format("01 05 %02X 01", 0xB0 + next), energyAt(monthStart(next))},  // last year's
      {format("01 18 00 %02X %02X %02X 01", y.tm_mday, y.tm_mon + 1, y.tm_year - 100),
       energyAt(midnight(1))},
      {format("01 18 01 01 %02X %02X 01", month, year - 2000), energyAt(monthStart(month))},
  };
  for (const auto& c : cases) {
    Bytes reply = port.ask(c.request, 19);
    ASSERT_EQ(19u, reply.size()) << c.request;
    EXPECT_EQ(c.a_plus, reg4(body(reply), 0)) << c.request;
    EXPECT_EQ(0u, reg4(body(reply), 4)) << c.request << ": A- untouched";
  }
  double so_far = static_cast<double>(time(nullptr) - monthStart(month));
  EXPECT_NEAR(so_far, reg4(body(port.ask(format("01 05 %02X 01", 0x30 + month), 19)), 0), 3.0)
      << "this month so far: energy grows with power";
  EXPECT_EQ(withCrc(hex("01 01")), port.ask(format("01 18 00 1F 02 %02X 01", year - 2000), 4))
      << "31 February";
  EXPECT_EQ(withCrc(hex("02 01")), port.ask("02 18 01 01 01 18 01", 4)) << "no extended archive";
  for (int back : {-1, 15}) {  // tomorrow is not recorded yet; beyond the ten days
    std::tm d = tmOf(midnight(back) + 43200);
    Bytes r = port.ask(
        format("01 18 00 %02X %02X %02X 01", d.tm_mday, d.tm_mon + 1, d.tm_year - 100), 19);
    EXPECT_EQ(back < 0 ? Bytes{1} : Bytes(16, 0xFF), body(r)) << back;
  }

  long long newest = time(nullptr) / 1800 - 1;
  Bytes last = body(port.ask("01 08 13", 12));
  ASSERT_EQ(9u, last.size());
  uint32_t addr = static_cast<uint32_t>(last[0]) << 8 | last[1];
  EXPECT_EQ(static_cast<uint32_t>(newest % 4096) * 16, addr) << "byte address of the newest slot";
  time_t t =
      localTimeOf(2000 + bcd(last[7]), bcd(last[6]), bcd(last[5]), bcd(last[3]), bcd(last[4]));
  EXPECT_EQ(newest * 1800, static_cast<long long>(t));
  EXPECT_EQ(30, last[8]);
  // Eight records ending at the newest, as the driver asks: (address bit 16) << 7 | 3.
  uint32_t from = (addr - 7 * 16) & 0x1FFFF;
  Bytes d = body(port.ask(
      format("01 06 %02X %02X %02X 78", (from >> 16) << 7 | 3, (from >> 8) & 0xFF, from & 0xFF),
      123));
  ASSERT_EQ(120u, d.size());
  for (int k = 0; k < 8; ++k) {
    Bytes rec(d.begin() + 15 * k, d.begin() + 15 * (k + 1));
    if (k < 3) {
      EXPECT_EQ(Bytes(15, 0xFF), rec) << "only five records kept";
      continue;
    }
    t = localTimeOf(2000 + bcd(rec[5]), bcd(rec[4]), bcd(rec[3]), bcd(rec[1]), bcd(rec[2]));
    EXPECT_EQ((newest - 7 + k) * 1800, static_cast<long long>(t)) << k;
    EXPECT_EQ("1E 08 07 00 00 00 00 00 00", hexText(Bytes(rec.begin() + 6, rec.end())))
        << "period 30, A+ 1800 little-endian, nothing else";
  }
}

}  // namespace
