// The Mercury 230 family as the simulator speaks it, checked byte by byte
// against frames and values worked out by hand from the protocol.
#include <gtest/gtest.h>

#include <cmath>

#include "base/crc.h"
#include "sim_harness.h"

using namespace simtest;

namespace {

std::string todayMidnightText() {
  time_t now = time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  return localText(localTimeOf(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday));
}

TEST(MercuryFrames, ChecksumVectors) {
  // Standard check value, a textbook Modbus frame, and the test-channel and
  // open-channel frames for address 0 as they appear in the field.
  const char* check = "123456789";
  EXPECT_EQ(0x4B37, mtr::crc16_modbus(reinterpret_cast<const uint8_t*>(check), 9));
  EXPECT_EQ(hex("01 03 00 00 00 01 84 0A"), withCrc(hex("01 03 00 00 00 01")));
  EXPECT_EQ(hex("00 00 01 B0"), withCrc(hex("00 00")));
  EXPECT_EQ(hex("00 01 01 01 01 01 01 01 01 77 81"), withCrc(hex("00 01 01 01 01 01 01 01 01")));
}

TEST(MercuryFrames, LoneMeterAnswersBroadcastFieldFrames) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 17}]})");
  Port port(sim.device());
  port.sendRaw(hex("00 00 01 B0"));
  EXPECT_EQ(hex("00 00 01 B0"), port.receive(4));
  port.sendRaw(hex("00 01 01 01 01 01 01 01 01 77 81"));
  EXPECT_EQ(hex("00 00 01 B0"), port.receive(4));
  // Its own address answers with its own address.
  EXPECT_EQ(withCrc(hex("11 00")), port.ask("11 00", 4));
}

const char* kPasswordMeters = R"({"meters": [
  {"protocol": "mercury230", "address": 1, "password": "1234", "password_mode": "digit"},
  {"protocol": "mercury230", "address": 2, "password": "1234", "password_mode": "ascii"}]})";

TEST(MercuryFrames, OpenChannelPasswordModes) {
  Sim sim(kPasswordMeters);
  Port port(sim.device());
  struct Case {
    const char* request;  // without CRC
    const char* reply;    // with CRC, worked out by hand
    const char* why;
  } cases[] = {
      {"01 01 01 01 02 03 04 00 00", "01 00 00 20", "digit mode: '1' as 01, padded with 00 00"},
      {"01 01 01 31 32 33 34 00 00", "01 03 40 21", "digit meter refuses ASCII bytes"},
      {"02 01 01 31 32 33 34 00 00", "02 00 00 D0", "ascii mode: '1' as 31"},
      {"02 01 01 01 02 03 04 00 00", "02 03 40 D1", "ascii meter refuses digit bytes"},
      {"01 01 02 01 02 03 04 00 00", "01 03 40 21", "level 2 wants the admin password"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex(c.reply), port.ask(c.request, 4)) << c.why;
  }
  // The worked CRC of the digit-mode frame.
  EXPECT_EQ(hex("01 01 01 01 02 03 04 00 00 EF F8"), withCrc(hex("01 01 01 01 02 03 04 00 00")));
}

TEST(MercuryFrames, ChannelStateGatesReads) {
  Sim sim(kPasswordMeters);
  Port port(sim.device());
  EXPECT_EQ(withCrc(hex("01 05")), port.ask("01 08 00", 4)) << "read before open: not opened";
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 00", 4)) << "test channel needs no open channel";
  port.open(1, "01 02 03 04 00 00");
  EXPECT_EQ(10u, port.ask("01 08 00", 10).size());
  // A wrong password closes what was open.
  EXPECT_EQ(withCrc(hex("01 03")), port.open(1, "09 09 09 09 00 00"));
  EXPECT_EQ(withCrc(hex("01 05")), port.ask("01 08 00", 4));
  port.open(1, "01 02 03 04 00 00");
  EXPECT_EQ(withCrc(hex("01 00")), port.ask("01 02", 4));
  EXPECT_EQ(withCrc(hex("01 05")), port.ask("01 08 00", 4)) << "closed again";
  // Meter 2's channel is its own.
  EXPECT_EQ(withCrc(hex("02 05")), port.ask("02 08 00", 4));
}

TEST(MercuryFrames, ChannelTimesOut) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 3, "channel_timeout": 0.4}]})");
  Port port(sim.device());
  EXPECT_EQ(withCrc(hex("03 00")), port.open(3));
  EXPECT_EQ(10u, port.ask("03 08 00", 10).size());
  usleep(700 * 1000);
  EXPECT_EQ(withCrc(hex("03 05")), port.ask("03 08 00", 4));
}

TEST(MercuryFrames, IdentityReplies) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 5, "serial": "12345678",
    "manufactured": "2021-03-15", "variant": "00 03 40 00 00 40", "ct_ratio": 40,
    "vt_ratio": 100, "state": [1, 2, 3, 4, 5, 6], "model": "mercury236"}]})");
  Port port(sim.device());
  port.open(5);
  struct Case {
    const char* request;
    const char* data;
  } cases[] = {
      // Serial bytes are binary 12 34 56 78; manufacture date 15.03.(20)21.
      {"05 08 00", "0C 22 38 4E 0F 03 15"},
      // Firmware in BCD; the 236 reports 8 first.
      {"05 08 03", "08 04 01"},
      {"05 08 12", "00 03 40 00 00 40"},
      {"05 08 02", "00 28 00 64"},
      {"05 08 0A", "01 02 03 04 05 06"},
      {"05 08 01 00", "0C 22 38 4E 0F 03 15 08 04 01 00 03 40 00 00 40 00 00 00 00 00 00 00 00"},
  };
  for (const auto& c : cases) {
    Bytes want = hex(c.data);
    Bytes reply = port.ask(c.request, want.size() + 3);
    EXPECT_TRUE(crcOk(reply)) << c.request;
    EXPECT_EQ(hexText(want), hexText(body(reply))) << c.request;
  }
}

TEST(MercuryFrames, InstantaneousValues) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1,
    "voltage": [230.15, 231.00, 229.50], "current": [1.5, 2.0, 0.25],
    "power": [-1234.56, 400.00, 300.00], "reactive": [100, -50, 0],
    "power_factor": [0.95, 0.5, 0.999], "frequency": 49.98}]})");
  Port port(sim.device());
  port.open(1);
  struct Case {
    const char* bwri;
    const char* data;
    const char* why;
  } cases[] = {
      {"11", "00 E7 59", "UA 23015 x 0.01 V: B0, low byte, middle byte"},
      {"12", "00 3C 5A", "UB 23100"},
      {"13", "00 A6 59", "UC 22950"},
      {"21", "00 DC 05", "IA 1500 x 0.001 A"},
      {"23", "00 FA 00", "IC 250"},
      {"40", "00 86 13", "frequency 4998 x 0.01 Hz"},
      {"01", "81 40 E2", "PA -1234.56 W: 123456, active-direction bit 7"},
      {"02", "40 40 9C", "PB 400 W with reactive exported: bit 6"},
      {"00", "80 D0 D0", "P sum -534.56 W"},
      {"05", "80 10 27", "QA 100 var: positive, bit 7 is the active direction"},
      {"06", "40 88 13", "QB -50 var: bit 6"},
      {"31", "80 B6 03", "cos A 0.950 with the phase's directions"},
      {"30", "80 30 03", "cos sum: mean of the phases, 0.816"},
      {"10", "01", "voltage has no sum: invalid parameter"},
      {"41", "01", "frequency has no phases"},
  };
  for (const auto& c : cases) {
    Bytes want = hex(c.data);
    Bytes reply = port.ask(std::string("01 08 11 ") + c.bwri, want.size() + 3);
    EXPECT_TRUE(crcOk(reply)) << c.why;
    EXPECT_EQ(hexText(want), hexText(body(reply))) << c.why;
  }
}

TEST(MercuryFrames, UnknownRequestsGetStatusOne) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1}]})");
  Port port(sim.device());
  port.open(1);
  for (const char* req :
       {"01 07", "01 08 7F", "01 05 00 05", "01 05 0C 00", "01 05 30 00", "01 05 E0 00",
        "01 06 05 00 00 10", "01 06 02 00 00 00", "01 04 18 FE", "01 08 14 E1", "01 08 23 0D"}) {
    EXPECT_EQ(withCrc(hex("01 01")), port.ask(req, 4)) << req;
  }
}

TEST(MercuryFrames, EnergyRegistersExact) {
  // No power: the registers stand still.
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1, "installed": "day-0",
    "energy": {"A+": [1234.567, 10, 0.5, 0], "R-": [0, 0, 0, 4294967.295]}}]})");
  Port port(sim.device());
  port.open(1);
  struct Case {
    const char* request;
    const char* data;
    const char* why;
  } cases[] = {
      {"01 05 00 00", "12 00 8B FF 00 00 00 00 00 00 00 00 FF FF FE FF",
       "sum 1245067 Wh as B1 B0 B3 B2; a full register stops below FF FF FF FF"},
      {"01 05 00 01", "12 00 87 D6 00 00 00 00 00 00 00 00 00 00 00 00", "tariff 1: 1234567"},
      {"01 05 00 03", "00 00 F4 01 00 00 00 00 00 00 00 00 00 00 00 00", "tariff 3: 500"},
      {"01 05 C0 01", "12 00 87 D6 00 00 00 00 00 00 00 00 00 00 00 00", "start of today"},
      {"01 05 D0 01", "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF",
       "yesterday is before installation"},
      {"01 05 50 00", "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF", "so is its consumption"},
  };
  for (const auto& c : cases) {
    Bytes want = hex(c.data);
    Bytes reply = port.ask(c.request, want.size() + 3);
    EXPECT_EQ(hexText(want), hexText(body(reply))) << c.why;
  }
}

// 1 Wh per second into tariff 1 from 100000 kWh at today's midnight.
std::string growingMeter(int address, const std::string& extra) {
  return R"({"protocol": "mercury230", "address": )" + std::to_string(address) +
         R"(, "power": [3600, 0, 0], "energy_at": ")" + todayMidnightText() +
         R"(", "energy": {"A+": [100000, 5, 0, 0]})" + extra + "}";
}

struct Calendar {
  time_t now, today, yesterday, year0, year1;
  int year, month;
  explicit Calendar(time_t t) : now(t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    year = tm.tm_year + 1900;
    month = tm.tm_mon + 1;
    today = localTimeOf(year, month, tm.tm_mday);
    yesterday = localTimeOf(year, month, tm.tm_mday - 1);
    year0 = localTimeOf(year, 1, 1);
    year1 = localTimeOf(year - 1, 1, 1);
  }
  // Month m of this year if it has begun, else of last year.
  time_t monthStart(int m, int plus = 0) const {
    return localTimeOf(m <= month ? year : year - 1, m + plus, 1);
  }
  uint32_t energyAt(time_t t) const { return static_cast<uint32_t>(100000000 + (t - today)); }
};

TEST(MercuryFrames, ArchiveArraysFollowTheCalendar) {
  Sim sim("{\"meters\": [" + growingMeter(1, "") + "]}");
  Port port(sim.device());
  port.open(1);
  Calendar cal(time(nullptr));
  int next = cal.month % 12 + 1;  // a month not yet begun this year (or January)
  char b_next[32], b_cur[32], c_next[32];
  snprintf(b_next, sizeof b_next, "01 05 %02X 01", 0xB0 + next);
  snprintf(b_cur, sizeof b_cur, "01 05 %02X 01", 0xB0 + cal.month);
  snprintf(c_next, sizeof c_next, "01 05 %02X 01", 0x30 + next);
  struct Case {
    std::string request;
    uint32_t a_plus;
    const char* why;
  } cases[] = {
      {"01 05 C0 01", cal.energyAt(cal.today), "start of today"},
      {"01 05 D0 01", cal.energyAt(cal.yesterday), "start of yesterday"},
      {"01 05 50 01", static_cast<uint32_t>(cal.today - cal.yesterday), "yesterday's use"},
      {"01 05 90 01", cal.energyAt(cal.year0), "start of this year"},
      {"01 05 A0 01", cal.energyAt(cal.year1), "start of last year"},
      {"01 05 20 01", static_cast<uint32_t>(cal.year0 - cal.year1), "last year's use"},
      {b_cur, cal.energyAt(cal.monthStart(cal.month)), "start of this month"},
      {b_next, cal.energyAt(cal.monthStart(next)), "start of a month to come: last year's"},
      {c_next, static_cast<uint32_t>(cal.monthStart(next, 1) - cal.monthStart(next)),
       "use in that month"},
  };
  for (const auto& c : cases) {
    Bytes reply = port.ask(c.request, 19);
    ASSERT_EQ(19u, reply.size()) << c.why;
    Bytes d = body(reply);
    EXPECT_EQ(c.a_plus, reg4(d, 0)) << c.why;
    EXPECT_EQ(0u, reg4(d, 4)) << c.why << ": A- untouched";
  }
  // The current month so far, and the sum over tariffs with tariff 2's 5 kWh.
  char c_cur[32];
  snprintf(c_cur, sizeof c_cur, "01 05 %02X 01", 0x30 + cal.month);
  double so_far = static_cast<double>(time(nullptr) - cal.monthStart(cal.month));
  EXPECT_NEAR(so_far, reg4(body(port.ask(c_cur, 19)), 0), 3.0);
  EXPECT_EQ(cal.energyAt(cal.today) + 5000, reg4(body(port.ask("01 05 C0 00", 19)), 0));
}

TEST(MercuryFrames, EnergyGrowsWithPower) {
  Sim sim("{\"meters\": [" + growingMeter(1, "") + "]}");
  Port port(sim.device());
  port.open(1);
  auto read = [&] {
    double t = static_cast<double>(time(nullptr));
    return std::make_pair(t, reg4(body(port.ask("01 05 00 01", 19)), 0));
  };
  auto first = read();
  usleep(2200 * 1000);
  auto second = read();
  EXPECT_GT(second.second, first.second);
  EXPECT_NEAR(second.first - first.first, double(second.second - first.second), 1.5);
  // And it sits where the configured power puts it.
  Calendar cal(time(nullptr));
  EXPECT_NEAR(double(cal.energyAt(time(nullptr))), double(second.second), 3.0);
}

TEST(MercuryFrames, ExtendedArchive) {
  Sim sim("{\"meters\": [" + growingMeter(1, R"(, "ext_archive": {"days": 10, "months": 3})") +
          "," + growingMeter(2, "") + "]}");
  Port port(sim.device());
  port.open(1);
  port.open(2);
  Calendar cal(time(nullptr));
  auto day = [&](int back, int tariff, int addr = 1) {
    time_t t = cal.today - back * 86400 + 43200;  // noon avoids daylight-saving edges
    std::tm tm{};
    localtime_r(&t, &tm);
    char req[64];
    snprintf(req, sizeof req, "%02X 18 00 %02X %02X %02X %02X", addr, tm.tm_mday, tm.tm_mon + 1,
             tm.tm_year - 100, tariff);
    return port.ask(req, 19);
  };
  EXPECT_EQ(cal.energyAt(cal.yesterday), reg4(body(day(1, 1)), 0));
  EXPECT_EQ(cal.energyAt(cal.today) + 5000, reg4(body(day(0, 0)), 0));
  EXPECT_EQ(withCrc(hex("01 01")), day(-1, 1)) << "tomorrow is not recorded yet";
  EXPECT_EQ(Bytes(16, 0xFF), body(day(15, 1))) << "beyond the archive's ten days";
  EXPECT_EQ(withCrc(hex("02 01")), day(1, 1, 2)) << "meter without the extended archive";
  char req[64];
  snprintf(req, sizeof req, "01 18 01 01 %02X %02X 01", cal.month, cal.year - 2000);
  EXPECT_EQ(cal.energyAt(cal.monthStart(cal.month)), reg4(body(port.ask(req, 19)), 0));
  snprintf(req, sizeof req, "01 18 00 1F 02 %02X 01", cal.year - 2000);
  EXPECT_EQ(withCrc(hex("01 01")), port.ask(req, 4)) << "31 February";
}

TEST(MercuryFrames, DateTimeWithClockOffset) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1, "clock_offset": -3600}]})");
  Port port(sim.device());
  port.open(1);
  for (const char* req : {"01 04 00", "01 08 14 E0"}) {
    Bytes d = body(port.ask(req, 11));
    ASSERT_EQ(8u, d.size()) << req;
    // second, minute, hour, weekday, day, month, year, season
    time_t meter =
        localTimeOf(2000 + bcd(d[6]), bcd(d[5]), bcd(d[4]), bcd(d[2]), bcd(d[1]), bcd(d[0]));
    EXPECT_NEAR(double(time(nullptr) - 3600), double(meter), 2.0) << req;
  }
}

TEST(MercuryFrames, PowerProfile) {
  // 1 Wh/s, meter constant code 3 (500/kWh): 1800 Wh per half hour counts 1800.
  Sim sim("{\"meters\": [" +
          growingMeter(
              1, R"(, "variant": "00 03 40 00 00 00", "profile": {"period": 30, "depth": 5})") +
          "]}");
  Port port(sim.device());
  port.open(1);
  Bytes last = body(port.ask("01 08 13", 12));
  ASSERT_EQ(9u, last.size());
  long long newest = time(nullptr) / 1800 - 1;
  uint32_t addr = static_cast<uint32_t>(last[0]) << 8 | last[1];
  EXPECT_EQ(static_cast<uint32_t>(newest % 4096) * 16, addr) << "byte address of the newest slot";
  time_t stamp =
      localTimeOf(2000 + bcd(last[7]), bcd(last[6]), bcd(last[5]), bcd(last[3]), bcd(last[4]));
  EXPECT_EQ(newest * 1800, static_cast<long long>(stamp));
  EXPECT_EQ(30, last[8]);

  // Eight records ending at the newest, as the driver asks: (address bit 16) << 7 | 3.
  uint32_t from = (addr - 7 * 16) & 0x1FFFF;
  char req[64];
  snprintf(req, sizeof req, "01 06 %02X %02X %02X 78", (from >> 16) << 7 | 3, (from >> 8) & 0xFF,
           from & 0xFF);
  Bytes d = body(port.ask(req, 123));
  ASSERT_EQ(120u, d.size());
  for (int k = 0; k < 8; ++k) {
    Bytes rec(d.begin() + 15 * k, d.begin() + 15 * (k + 1));
    if (k < 3) {
      EXPECT_EQ(Bytes(15, 0xFF), rec) << "only five records kept";
      continue;
    }
    long long interval = newest - 7 + k;
    time_t t = localTimeOf(2000 + bcd(rec[5]), bcd(rec[4]), bcd(rec[3]), bcd(rec[1]), bcd(rec[2]));
    EXPECT_EQ(interval * 1800, static_cast<long long>(t)) << k;
    EXPECT_EQ(hexText(hex("1E 08 07 00 00 00 00 00 00")),
              hexText(Bytes(rec.begin() + 6, rec.end())))
        << "period 30, A+ 1800 little-endian, nothing else";
  }
}

TEST(MercuryFrames, ProfileAddressesInRecordUnits) {
  // The 234 reports the newest record as a slot number and reads memory past 64 KiB.
  Sim sim("{\"meters\": [" +
          growingMeter(1, R"(, "model": "mercury234", "profile": {"period": 30})") + "]}");
  Port port(sim.device());
  port.open(1);
  long long newest = time(nullptr) / 1800 - 1;
  Bytes last = body(port.ask("01 08 13", 12));
  ASSERT_EQ(9u, last.size());
  EXPECT_EQ(newest % 8192, static_cast<long long>(last[0]) << 8 | last[1]);
  const long long slot = 5000;  // byte address 0x13880: bit 16 set
  Bytes rec = body(port.ask("01 06 83 38 80 0F", 18));
  ASSERT_EQ(15u, rec.size());
  long long interval = newest - ((newest % 8192 - slot + 8192) % 8192);
  time_t t = localTimeOf(2000 + bcd(rec[5]), bcd(rec[4]), bcd(rec[3]), bcd(rec[1]), bcd(rec[2]));
  EXPECT_EQ(interval * 1800, static_cast<long long>(t));
}

TEST(MercuryFrames, Journals) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1, "journals": {
    "1": [{"first": "2024-05-03 14:03:11", "second": "2024-05-03 13:47:55"},
          {"first": "2024-04-30 06:12:40", "second": "2024-04-30 05:58:02"},
          {"first": "now+1d"}],
    "7": ["2024-02-10 11:00:00"]}}]})");
  Port port(sim.device());
  port.open(1);
  Bytes all = body(port.ask("01 04 01 FE", 123));
  ASSERT_EQ(120u, all.size());
  // Newest first; the event still to come is not there.
  EXPECT_EQ(hexText(hex("11 03 14 03 05 24 55 47 13 03 05 24")),
            hexText(Bytes(all.begin(), all.begin() + 12)));
  EXPECT_EQ(localTimeOf(2024, 4, 30, 6, 12, 40), bcdStamp(all, 12));
  EXPECT_EQ(localTimeOf(2024, 4, 30, 5, 58, 2), bcdStamp(all, 18));
  EXPECT_EQ(Bytes(96, 0), Bytes(all.begin() + 24, all.end()));
  // The newest record with its index: what the driver reads as last on and off.
  EXPECT_EQ(hexText(hex("11 03 14 03 05 24 55 47 13 03 05 24 01")),
            hexText(body(port.ask("01 04 01 FF", 16))));
  Bytes seven = body(port.ask("01 04 07 FE", 63));
  ASSERT_EQ(60u, seven.size()) << "six-byte records";
  EXPECT_EQ(localTimeOf(2024, 2, 10, 11, 0, 0), bcdStamp(seven, 0));
  EXPECT_EQ(hexText(hex("00 00 11 10 02 24 00")), hexText(body(port.ask("01 04 07 FF", 10))));
  EXPECT_EQ(Bytes(60, 0), body(port.ask("01 04 08 FE", 63))) << "an empty journal";
}

TEST(MercuryFrames, HolidaysAndSchedule) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1,
    "holidays": ["01-01", "03-08", "12-31"],
    "schedule": [{"months": [1], "day_types": [1], "switches": [["07:00", 1], ["23:30", 2]]}]}]})");
  Port port(sim.device());
  port.open(1);
  struct Case {
    const char* request;
    const char* data;
    const char* why;
  } cases[] = {
      {"01 06 02 1D 00 04", "01 00 00 00", "January at 1D00: day 1 is bit 0"},
      {"01 06 02 1D 0A 04", "80 00 00 00", "March at 1D00 + (3*4 + 3 - 5): day 8 is bit 7"},
      {"01 06 02 1D 37 04", "00 00 00 40", "December: day 31 is bit 6 of byte 3"},
      {"01 08 23 03", "80 00 00 00", "the same by month number"},
      {"01 06 02 10 00 10", "00 27 1E 57 FF FF FF FF FF FF FF FF FF FF FF FF",
       "month 1, day type 1, part 1 at 0FEF + 17: minute, tariff << 5 | hour"},
      {"01 06 02 10 11 10", "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF", "part 2: empty"},
      {"01 06 02 11 10 10", "FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF FF",
       "February (0FEF + 272 + 17) has no switches"},
  };
  for (const auto& c : cases) {
    Bytes want = hex(c.data);
    Bytes reply = port.ask(c.request, want.size() + 3);
    EXPECT_EQ(hexText(want), hexText(body(reply))) << c.why;
  }
}

TEST(MercuryFrames, MemorySnapshotsInHalfWattHours) {
  Sim sim(R"({"meters": [{"protocol": "mercury230", "address": 1, "model": "vector-3",
    "energy": {"A+": [1234.567, 10, 0.5, 0]}}]})");
  Port port(sim.device());
  port.open(1);
  // Start of the current day at 06A6 + 17 x tariff, counted in half-Wh.
  EXPECT_EQ(2u * 1245067, reg4(body(port.ask("01 06 02 06 A6 10", 19)), 0));
  EXPECT_EQ(2u * 1234567, reg4(body(port.ask("01 06 02 06 B7 10", 19)), 0));
  EXPECT_EQ(2u * 1234567, reg4(body(port.ask("01 06 02 07 0C 10", 19)), 0))
      << "previous day, tariff 1";
}

}  // namespace
