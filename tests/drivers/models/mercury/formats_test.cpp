// Number formats of the replies and what the parsers make of them.
#include <gtest/gtest.h>

#include "mercury_test_util.h"

using namespace mercury_test;
using namespace CmtrMercury23XRequets;

namespace {

// Feeds one reply (data bytes, address 0x23) to a request and returns its records.
MeasuredValueList parse(BaseRequest& request, const std::string& data_hex) {
  auto line = std::make_shared<ScriptedConnector>();
  auto ll = std::make_shared<CMercury23XLowLevelConnector>(line, "1", "s");
  ll->setAddress(0x23);
  request.setConnector(ll);
  Bytes reply{0x23};
  Bytes data = hex(data_hex);
  reply.insert(reply.end(), data.begin(), data.end());
  line->replyFrame(reply);
  MeasuredValueList values;
  request.sendRequest(values);
  return values;
}

std::string valueOf(const MeasuredValueList& values, uint32_t kind, uint32_t code,
                    uint8_t sys = 0) {
  const MeasuredValue* v = find(values, kind, code, sys);
  return v ? v->value : "<absent>";
}

}  // namespace

TEST(MercuryFormats, ThreeAndFourByteValues) {
  // B0 B1 B2 = (B0 << 16) | (B2 << 8) | B1
  EXPECT_EQ(0x123456u, value3(hex("12 56 34").data()));
  EXPECT_EQ(0xC12345u, value3(hex("C1 45 23").data()));
  EXPECT_EQ(0x012345u, value3Masked(hex("C1 45 23").data()));
  // B0 B1 B2 B3 = (B1 << 24) | (B0 << 16) | (B3 << 8) | B2
  EXPECT_EQ(0x12345678u, register4(hex("34 12 78 56").data()));
  EXPECT_EQ(0u, register4(hex("FF FF FF FF").data()));
  EXPECT_EQ(0xFFFFFF00u, register4(hex("FF FF 00 FF").data()));
}

TEST(MercuryFormats, TimeStamps) {
  time_t t = 0;
  // second, minute, hour, day, month, year
  ASSERT_TRUE(timeStamp6(hex("30 20 10 15 03 24").data(), &t));
  EXPECT_EQ(utc(2024, 3, 15, 10, 20, 30), t);
  ASSERT_TRUE(timeStamp6(hex("00 00 00 29 02 24").data(), &t));
  EXPECT_EQ(utc(2024, 2, 29), t);
  struct {
    const char* bytes;
  } bad[] = {{"FF FF FF FF FF FF"}, {"00 00 00 00 00 00"}, {"00 60 00 01 01 24"},
             {"00 00 24 01 01 24"}, {"00 00 00 31 04 24"}, {"00 00 00 01 13 24"},
             {"0A 00 00 01 01 24"}, {"00 00 00 30 02 24"}};
  for (const auto& b : bad) EXPECT_FALSE(timeStamp6(hex(b.bytes).data(), &t)) << b.bytes;
}

TEST(MercuryFormats, MeterConstant) {
  const int expected[6] = {5000, 25000, 1250, 500, 1000, 250};
  for (int code = 0; code < 16; ++code) {
    EXPECT_EQ(code < 6 ? expected[code] : 1, meterConstant(static_cast<uint8_t>(0xA0 | code)))
        << code;
  }
}

TEST(MercuryFormats, MeasuredQuantities) {
  MeterState st;
  mtr_test::FakeClock clock(1710498030);
  st.clock = &clock;
  struct Case {
    std::shared_ptr<BaseRequest> request;
    const char* data;
    uint32_t code;
    const char* value;
  } cases[] = {
      // 0x005998 = 22936 -> 229.36 V
      {std::make_shared<VoltageRequest>(&st, 1), "00 98 59", 39, "229.36"},
      {std::make_shared<VoltageRequest>(&st, 3), "00 10 5A", 41, "230.56"},
      // 0x001388 = 5000 -> 5.000 A
      {std::make_shared<CurrentRequest>(&st, 2), "00 88 13", 43, "5.000"},
      // 0x001388 = 5000 -> 50.00 Hz
      {std::make_shared<FrequencyRequest>(&st), "00 88 13", 49, "50.00"},
      // 0x0003E8 = 1000 -> 1.000; direction bits do not count
      {std::make_shared<CosRequest>(&st, 0), "C0 E8 03", 45, "1.000"},
      {std::make_shared<CosRequest>(&st, 2), "00 52 03", 47, "0.850"},
      // 0x01E240 = 123456 * 0.01 W = 1.23456 kW
      {std::make_shared<PowerRequest>(&st, 0, 0), "01 40 E2", 31, "1.23456"},
      {std::make_shared<PowerRequest>(&st, 0, 3), "00 40 E2", 34, "0.57920"},
      // Active power: bit 7 of B0 is the sign, bit 6 is not.
      {std::make_shared<PowerRequest>(&st, 0, 1), "81 40 E2", 32, "-1.23456"},
      {std::make_shared<PowerRequest>(&st, 0, 1), "41 40 E2", 32, "1.23456"},
      // Reactive power: bit 6 is the sign, bit 7 is not.
      {std::make_shared<PowerRequest>(&st, 1, 0), "81 40 E2", 35, "1.23456"},
      {std::make_shared<PowerRequest>(&st, 1, 2), "41 40 E2", 37, "-1.23456"},
      {std::make_shared<PowerRequest>(&st, 1, 3), "C0 00 00", 38, "0.00000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    MeasuredValueList values = parse(*c.request, c.data);
    ASSERT_EQ(1u, values.size());
    const MeasuredValue& v = values.front();
    EXPECT_EQ(c.code, v.param_code);
    EXPECT_EQ(0u, v.kind);
    EXPECT_EQ(c.value, v.value);
    EXPECT_EQ(192, v.opc_quality);
    EXPECT_EQ(1710498030, v.timestamp);
  }
}

TEST(MercuryFormats, EnergyRegistersByArrayCode) {
  MeterState st;
  mtr_test::FakeClock clock(utc(2024, 3, 15, 12));
  st.clock = &clock;
  st.meter_time = utc(2024, 3, 15, 10, 20, 30);
  // A+ 0x00012345 = 74565 -> 74.565, A- FF.. -> 0, R+ 0x01000000, R- 0x00000010.
  const char* data = "01 00 45 23 FF FF FF FF 00 01 00 00 00 00 10 00";
  struct Case {
    int code;
    bool record;
    uint32_t kind;
    time_t time;
  } cases[] = {
      {0x00, true, 0, utc(2024, 3, 15, 12)},  // since reset: reading time
      {0x20, true, 9, utc(2023, 1, 1)},       // previous year
      {0x31, true, 8, utc(2024, 1, 1)},       // January, this year
      {0x33, false, 0, 0},                    // the current month: nothing
      {0x34, true, 8, utc(2023, 4, 1)},       // a later month: last year
      {0x3C, true, 8, utc(2023, 12, 1)},
      {0x50, true, 7, utc(2024, 3, 14)},  // previous day
      {0x90, true, 5, utc(2024, 1, 1)},   // start of this year
      {0xA0, true, 5, utc(2023, 1, 1)},   // start of previous year
      {0xB3, true, 4, utc(2024, 3, 1)},   // start of this month
      {0xB2, true, 4, utc(2024, 2, 1)},
      {0xB4, true, 4, utc(2023, 4, 1)},
      {0xC0, true, 2, utc(2024, 3, 15)},  // start of today
      {0xD0, true, 2, utc(2024, 3, 14)},  // start of yesterday
      {0x10, false, 0, 0},
      {0x60, false, 0, 0},
      {0x3D, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    IntegratorsRequest request(&st, c.code, 2);
    MeasuredValueList values = parse(request, data);
    if (!c.record) {
      EXPECT_TRUE(values.empty());
      continue;
    }
    ASSERT_EQ(4u, values.size());
    EXPECT_EQ("74.565", valueOf(values, c.kind, 50, 2));
    EXPECT_EQ("0.000", valueOf(values, c.kind, 51, 2));
    EXPECT_EQ("16777.216", valueOf(values, c.kind, 52, 2));
    EXPECT_EQ("0.016", valueOf(values, c.kind, 53, 2));
    for (const auto& v : values) {
      EXPECT_EQ(c.time, v.timestamp);
      EXPECT_EQ(2, v.sys);
      EXPECT_EQ(192, v.opc_quality);
    }
  }
}

TEST(MercuryFormats, MemoryRegistersCountHalves) {
  MeterState st;
  st.meter_time = utc(2024, 3, 15, 10);
  DmaIntegratorsRequest request(&st, 0xC0, 1);
  MeasuredValueList values = parse(request, "00 00 39 30 00 00 00 00 00 00 00 00 00 00 01 00");
  // 0x3039 = 12345 / 2 * 0.001
  EXPECT_EQ("6.1725", valueOf(values, 2, 50, 1));
  EXPECT_EQ("0.0005", valueOf(values, 2, 53, 1));
}

TEST(MercuryFormats, IdentityReplies) {
  MeterState st;
  mtr_test::FakeClock clock(1710498030);
  st.clock = &clock;
  st.dtz = 3600;

  SerialRequest serial(&st);
  MeasuredValueList v = parse(serial, "0C 22 38 4E 0F 06 15");
  EXPECT_EQ("12345678", valueOf(v, 10, 74));
  EXPECT_EQ(std::to_string(utc(2021, 6, 15)), valueOf(v, 10, 75));
  v = parse(serial, "01 02 03 04 0F 06 15");
  EXPECT_EQ("01020304", valueOf(v, 10, 74));

  FirmwareRequest firmware(&st);
  v = parse(firmware, "09 01 12");
  EXPECT_EQ("9.1.12", valueOf(v, 10, 73));
  EXPECT_EQ("mercury234", valueOf(v, 10, 72));
  EXPECT_EQ(12, st.firmware[2]);
  const std::pair<int, const char*> models[] = {
      {2, "mercury230"},  {3, "mercury231at"},    {7, "mercury233"},     {8, "mercury236"},
      {9, "mercury234"},  {10, "mercury204"},     {11, "mercury231art"}, {12, "mercury238"},
      {13, "mercury208"}, {1, "mercury-unknown"}, {4, "mercury-unknown"}};
  for (const auto& m : models) EXPECT_EQ(m.second, FirmwareRequest::modelName(m.first));

  IcfUcfRequest ratios(&st);
  v = parse(ratios, "00 96 01 F4");
  EXPECT_EQ("150", valueOf(v, 10, 60));
  EXPECT_EQ("500", valueOf(v, 10, 61));

  // Both times are meter clock minus dTZ.
  LastOnOffRequest onoff(&st);
  v = parse(onoff, "00 00 08 14 03 24  30 15 07 14 03 24  00");
  EXPECT_EQ(std::to_string(utc(2024, 3, 14, 8) - 3600), valueOf(v, 10, 84));
  EXPECT_EQ(std::to_string(utc(2024, 3, 14, 7, 15, 30) - 3600), valueOf(v, 10, 83));

  ModelRequest model(&st);
  EXPECT_TRUE(parse(model, "11 A2 43 04 05 46").empty());
  EXPECT_EQ(0xA2, st.variant[1]);
  EXPECT_EQ(0x46, st.variant[5]);

  st.ext_arch = 0;
  st.int_rater = 0;
  IndividualParamsRequest individual(&st);
  parse(individual, "0C 22 38 4E 0F 06 15 02 05 01 11 A3 40 00 00 40 00 00 01 02 00 00 00 00");
  EXPECT_NE(0, st.ext_arch);
  EXPECT_NE(0, st.int_rater);
  EXPECT_EQ(0xA3, st.variant[1]);
  EXPECT_EQ(5, st.firmware[1]);

  TimeTableSeasonsChangeRequest seasons(&st);
  v = parse(seasons, "00 30 12 01 02 24 00");
  EXPECT_EQ(std::to_string(utc(2024, 2, 1, 12, 30)), valueOf(v, 10, 66));
  TimeTableHolidaysChangeRequest holidays(&st);
  EXPECT_TRUE(parse(holidays, "00 00 00 00 00 00 00").empty());
}

TEST(MercuryFormats, DateTimeReplies) {
  MeterState st;
  mtr_test::FakeClock clock(utc(2024, 3, 15, 10));
  st.clock = &clock;
  st.dtz = -7200;
  st.int_rater = 0x40;
  DateTimeRequest request(&st);
  // second, minute, hour, weekday, day, month, year, season
  MeasuredValueList v = parse(request, "30 20 10 05 15 03 24 01");
  EXPECT_EQ(utc(2024, 3, 15, 10, 20, 30), st.meter_time);
  ASSERT_EQ(1u, v.size());
  EXPECT_EQ(85u, v.front().param_code);
  EXPECT_EQ(10u, v.front().kind);
  EXPECT_EQ(std::to_string(utc(2024, 3, 15, 12, 20, 30)), v.front().value);

  DateTime2Request second(&st);
  parse(second, "00 00 00 01 01 01 24 00");
  EXPECT_EQ(utc(2024, 1, 1), st.meter_time);

  // Garbage in the clock is a bad packet.
  EXPECT_THROW(parse(request, "99 20 10 05 15 03 24 01"), CWrongPacketException);
  EXPECT_THROW(parse(request, "00 00 00 05 32 03 24 01"), CWrongPacketException);
}

TEST(MercuryFormats, StateWord) {
  // Bit 0 of byte 0 never counts.
  EXPECT_EQ(0u, StateRequest::stateWord(hex("01 00 00 00 00 00").data()));
  // Bit 1 -> T[0] = 16, bit 2 -> T[1] = 3, bit 4 -> T[3] = 0 (nothing).
  EXPECT_EQ((1u << 16) | (1u << 3), StateRequest::stateWord(hex("06 00 00 00 00 00").data()));
  EXPECT_EQ(0u, StateRequest::stateWord(hex("10 00 00 00 00 00").data()));
  // Bit 3 -> T[2] = 15, bit 6 -> T[5] = 2.
  EXPECT_EQ((1u << 15) | (1u << 2), StateRequest::stateWord(hex("48 00 00 00 00 00").data()));
  // Bit 40 -> T[39] = 0; bit 41 -> T[40] = 3; bit 47 -> T[46] = 4.
  EXPECT_EQ(0u, StateRequest::stateWord(hex("00 00 00 00 00 01").data()));
  EXPECT_EQ(1u << 3, StateRequest::stateWord(hex("00 00 00 00 00 02").data()));
  EXPECT_EQ(1u << 4, StateRequest::stateWord(hex("00 00 00 00 00 80").data()));
  // Bits 43-46 -> T[42..45] = 0.
  EXPECT_EQ(0u, StateRequest::stateWord(hex("00 00 00 00 00 78").data()));
  // All bits: 16, 3, 15, 2 and 4.
  EXPECT_EQ((1u << 16) | (1u << 15) | (1u << 4) | (1u << 3) | (1u << 2),
            StateRequest::stateWord(hex("FF FF FF FF FF FF").data()));
  MeterState st;
  StateRequest request(&st);
  MeasuredValueList v = parse(request, "06 00 00 00 00 00");
  EXPECT_EQ(std::to_string((1 << 16) | (1 << 3)), valueOf(v, 0, 14));
}

TEST(MercuryFormats, PowerProfileRecords) {
  MeterState st;
  st.variant[1] = 0x00;  // constant 5000
  ProfileMemoryRequest request(&st, 0);
  request.setPeriod(utc(2024, 3, 15, 9), utc(2024, 3, 15, 11));
  // Record: state, hour, minute, day, month, year (BCD), T, then A+, A-, R+, R- little-endian.
  std::string data;
  data += "00 10 00 15 03 24 1E  E8 03  FF FF  64 00  00 00 ";  // 10:00, T 30
  data += "00 10 30 15 03 24 1E  D0 07  01 00  FF FF  FF FF ";  // 10:30
  data += "00 08 00 15 03 24 1E  01 00  01 00  01 00  01 00 ";  // 08:00, before the window
  data += "00 11 00 15 03 24 00  01 00  01 00  01 00  01 00 ";  // T = 0
  data += "FF FF FF FF FF FF FF  FF FF  FF FF  FF FF  FF FF ";  // empty slot
  data += "00 12 00 15 03 24 1E  01 00  01 00  01 00  01 00 ";  // after the window
  data += "00 09 00 15 03 24 3C  10 27  00 00  00 00  00 00 ";  // 09:00, T 60
  data += "00 45 00 15 03 24 1E  01 00  01 00  01 00  01 00 ";  // hour 45: not a time
  MeasuredValueList v = parse(request, data);
  // N * 60 / T / (2 * C): 1000 * 60 / 30 / 10000 = 0.2
  std::map<std::pair<time_t, uint32_t>, std::string> got;
  for (const auto& r : v) {
    EXPECT_EQ(6u, r.kind);
    got[{r.timestamp, r.param_code}] = r.value;
  }
  std::map<std::pair<time_t, uint32_t>, std::string> want = {
      {{utc(2024, 3, 15, 10), 54}, "0.20000"},     {{utc(2024, 3, 15, 10), 56}, "0.02000"},
      {{utc(2024, 3, 15, 10), 57}, "0.00000"},     {{utc(2024, 3, 15, 10, 30), 54}, "0.40000"},
      {{utc(2024, 3, 15, 10, 30), 55}, "0.00020"}, {{utc(2024, 3, 15, 9), 54}, "1.00000"},
      {{utc(2024, 3, 15, 9), 55}, "0.00000"},      {{utc(2024, 3, 15, 9), 56}, "0.00000"},
      {{utc(2024, 3, 15, 9), 57}, "0.00000"},
  };
  EXPECT_EQ(want, got);
  // Walked from the last record to the first.
  EXPECT_EQ(utc(2024, 3, 15, 9), v.front().timestamp);

  // Constant codes 6 to 15 divide by 2 only: 1000 * 60 / 30 / 2 = 1000.
  st.variant[1] = 0x0B;
  request.setPeriod(utc(2024, 3, 15, 10), utc(2024, 3, 15, 10));
  v = parse(request, data);
  EXPECT_EQ("1000.00000", valueOf(v, 6, 54));
  // Code 1: 25000.
  st.variant[1] = 0x01;
  v = parse(request, data);
  EXPECT_EQ("0.04000", valueOf(v, 6, 54));
}

TEST(MercuryFormats, LastProfileRecord) {
  MeterState st;
  LastProfileRequest request(&st);
  st.model_number = 230;
  parse(request, "12 34 00 14 30 15 03 24 1E");
  EXPECT_EQ(0x1234u, st.last_profile_addr);
  EXPECT_EQ(utc(2024, 3, 15, 14, 30), st.last_profile_time);
  EXPECT_EQ(30, st.last_profile_period);
  // Larger models count in 16-byte units.
  for (int model : {233, 234, 236, 238, 204}) {
    st.model_number = model;
    parse(request, "12 34 00 14 30 15 03 24 1E");
    EXPECT_EQ(0x12340u, st.last_profile_addr) << model;
  }
  st.model_number = 231;
  parse(request, "12 34 00 14 30 15 03 24 1E");
  EXPECT_EQ(0x1234u, st.last_profile_addr);
}

TEST(MercuryFormats, Journals) {
  MeterState st;
  st.dtz = 0;
  // 12-byte records: two stamps each.
  ErrorHistoryRequest off(&st, 0x01, 12, 19);
  off.setPeriod(utc(2024, 3, 15, 8), utc(2024, 3, 15, 12));
  std::string data;
  data += "00 00 09 15 03 24  00 30 09 15 03 24 ";  // both inside
  data += "00 00 07 15 03 24  00 00 09 15 03 24 ";  // first before the window
  data += "00 00 08 15 03 24  00 00 13 15 03 24 ";  // start excluded, second after
  data += "00 00 12 15 03 24  00 00 00 00 00 00 ";  // end included; empty second
  for (int i = 4; i < 10; ++i) data += "00 00 00 00 00 00  00 00 00 00 00 00 ";
  MeasuredValueList v = parse(off, data);
  std::vector<time_t> times;
  for (const auto& r : v) {
    EXPECT_EQ(69u, r.param_code);
    EXPECT_EQ(6u, r.kind);
    EXPECT_EQ(std::to_string(1 << 19), r.value);
    times.push_back(r.timestamp);
  }
  EXPECT_EQ((std::vector<time_t>{utc(2024, 3, 15, 9), utc(2024, 3, 15, 9, 30), utc(2024, 3, 15, 9),
                                 utc(2024, 3, 15, 12)}),
            times);

  // 6-byte records: one stamp each.
  ErrorHistoryRequest six(&st, 0x07, 6, 18);
  six.setPeriod(utc(2024, 3, 15, 8), utc(2024, 3, 15, 12));
  data = "00 00 09 15 03 24 00 00 10 15 03 24 ";
  for (int i = 2; i < 10; ++i) data += "FF FF FF FF FF FF ";
  v = parse(six, data);
  ASSERT_EQ(2u, v.size());
  EXPECT_EQ(std::to_string(1 << 18), v.front().value);
}

TEST(MercuryFormats, HolidaysAndSchedules) {
  MeterState st;
  HolidaysRequest january(&st, 1);
  // Bits 0 and 6 of byte 0 (days 1 and 7), bit 7 of byte 3 (day 32: no such day).
  parse(january, "41 00 00 80");
  HolidaysRequest march(&st, 3);
  parse(march, "00 80 00 00");  // day 16
  EXPECT_EQ((std::set<std::pair<int, int>>{{1, 1}, {1, 7}, {3, 16}}), st.timetable.holidays());
  // Reading a month again replaces that month.
  parse(january, "01 00 00 00");
  EXPECT_EQ((std::set<std::pair<int, int>>{{1, 1}, {3, 16}}), st.timetable.holidays());

  ScheduleRequest part1(&st, 2, 3, 1);
  // minute, then hour in the low 5 bits and tariff in the top 3; hour >= 24 is empty.
  parse(part1, "00 27 1E 4F 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF");
  ScheduleRequest part2(&st, 2, 3, 2);
  parse(part2, "00 37 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF");
  auto sw = st.timetable.switches(2, 3);
  ASSERT_EQ(3u, sw.size());
  EXPECT_EQ((7 * 60) * 60, sw[0].seconds);  // 0x27: hour 7, tariff 1
  EXPECT_EQ(1, sw[0].tariff);
  EXPECT_EQ((15 * 60 + 30) * 60, sw[1].seconds);  // 0x4F: hour 15, tariff 2
  EXPECT_EQ(2, sw[1].tariff);
  EXPECT_EQ(23 * 3600, sw[2].seconds);  // 0x37: hour 23, tariff 1
  // The first block read again starts that day type afresh.
  parse(part1, "00 27 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF");
  EXPECT_EQ(1u, st.timetable.switches(2, 3).size());
}
