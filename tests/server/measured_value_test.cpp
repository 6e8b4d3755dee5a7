#include "server/measured_value.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "server/packed_values.h"

namespace {

TEST(NameTables, Lookups) {
  // names shared by two codes or two kinds included; null: no entry
  const std::tuple<const NameTable*, int32_t, const char*> rows[] = {
      {&ValueNameTable, value_key(0, Current), "Q1"},
      {&ValueNameTable, value_key(13, Current), "Ta"},
      {&ValueNameTable, value_key(115, Current), "Ta"},
      {&ValueNameTable, value_key(151, Current), "dP"},
      {&ValueNameTable, value_key(51, Integral_daily), "A210-"},
      {&ValueNameTable, value_key(58, Integral_hourly), "A240_tmp"},
      {&ValueNameTable, value_key(168, Hourly), "A103"},
      {&ValueNameTable, value_key(168, Daily), "A103"},
      {&ValueNameTable, value_key(86, System), "Connected"},
      {&ValueNameTable, value_key(158, Journal_Event), "A335"},
      {&ValueNameTable, (15 << 16) | 159, "A336"},  // the kind in the high half
      {&ValueNameTable, value_key(16, Current), nullptr},
      {&ValueNameTable, value_key(156, Journal_Event_Next), nullptr},
      {&ValueNameTable, value_key(0, Monthly), nullptr},
      {&ParamShortNameTable, 12, "dP"},
      {&ParamShortNameTable, 151, "dP"},
      {&ParamShortNameTable, 70, "UNKNOWN"},
      {&ParamShortNameTable, 169, "TCW"},
      {&ParamShortNameTable, 58, nullptr},
      {&ParamShortNameTable, 170, nullptr},
      {&KindNameTable, 14, "Journal_Event_Next"},
      {&KindNameTable, 20, "Daily_Next"},
      {&KindNameTable, 21, nullptr},
  };
  for (const auto& r : rows) {
    const std::string* name = LookupName(*std::get<0>(r), std::get<1>(r));
    EXPECT_EQ(std::get<2>(r) ? std::get<2>(r) : "<none>", name ? *name : "<none>")
        << std::get<1>(r);
  }
}

TEST(DisplayNames, DataTypesUnitsAndPressureFactors) {
  const std::tuple<int, const char*, const char*> rows[] = {
      {-1, "unknown data type", "absolute unknown data unit"},
      {0, "ignored!", "unknown data type"},
      {4, "datetime", "kgs/sm2 (atm)"},
      {5, "unknown data type", "absolute unknown data unit"},
      {19, "unknown data type", "MEW*h"}};
  for (const auto& r : rows) {
    EXPECT_EQ(std::get<1>(r), DataTypeName(std::get<0>(r))) << std::get<0>(r);
    EXPECT_EQ(std::get<2>(r), UnitName(std::get<0>(r))) << std::get<0>(r);
  }
  const std::pair<int, float> factors[] = {{1, 10.197162f},   {4, 1.0f},  {7, 1.0197163f},
                                           {8, 0.001359506f}, {9, -1.0f}, {0, -1.0f}};
  for (const auto& f : factors) {
    float got = 123;
    EXPECT_EQ(f.second > 0, PressureFactor(f.first, got)) << f.first;
    EXPECT_EQ(f.second, got) << f.first;
  }
}

MeasuredValue record(uint32_t code, uint32_t kind, const char* value, int32_t t,
                     const char* dim = "", int32_t quality = 192, uint8_t error = 0,
                     uint8_t sys = 0) {
  return {code, kind, value, dim, quality, error, sys, t};
}

std::string fields(const MeasuredValue& v) {
  return std::to_string(v.param_code) + "/" + std::to_string(v.kind) + "/" + v.value + "/" + v.dim +
         "/" + std::to_string(v.opc_quality) + "/" + std::to_string(v.error) + "/" +
         std::to_string(v.sys) + "/" + std::to_string(v.timestamp);
}

TEST(PackedValueList, RecordsComeBackExactly) {
  // Texts that look like numbers but would not come back the same are kept
  // as text; each field may change from one record to the next.
  const MeasuredValueList rows = {
      record(54, Hourly, "0.70200", 1710000000),
      record(55, Hourly, "0.00000", 1710000000),
      record(56, Hourly, "-0.10000", 1710000000),
      record(57, Hourly, "-0", 1710003600),
      record(69, Hourly, "524288", 1709996400),
      record(50, Daily, "31250.512", -5, "kWh", -1, 0xFF, 4),
      record(50, Daily, "007", 0),
      record(51, Daily, "", 0),
      record(52, Daily, "1e5", 2147483647),
      record(53, Daily, "+1", -2147483647 - 1),
      record(1, Current, "12.", 7, "", 0, 0x1F, 10),
      record(2, Current, ".5", 7),
      record(3, Current, "1234567890123456789", 7),
      record(4, Current, "123456789012345678", 7),
      record(5, Current, "0.1234567890123456", 7),
      record(6, Current, "1.234567890123450", 7),
      record(7, Journal_Event_Next, "2024-03-15 10:20", 7, "h"),
      record(170000, 200, "100000000", 7),
      record(128, Hourly, "16", 7),  // 128 and 16 << 3: one varint byte too many
  };
  PackedValueList packed;
  packed.assign(rows);
  EXPECT_EQ(rows.size(), packed.size());
  auto want = rows.begin();
  packed.forEach([&](const MeasuredValue& v) {
    ASSERT_NE(rows.end(), want);
    EXPECT_EQ(fields(*want), fields(v));
    ++want;
  });
  EXPECT_EQ(rows.end(), want);
  packed.clear();
  EXPECT_TRUE(packed.empty());
  EXPECT_EQ(0u, packed.bytes());
  packed.forEach([](const MeasuredValue&) { ADD_FAILURE(); });
}

TEST(PackedValueList, AnHourlyProfileTakesAFewBytesARecord) {
  MeasuredValueList profile;
  for (int h = 0; h < 256; ++h)
    for (uint32_t code = 54; code <= 57; ++code) {
      char text[16];
      snprintf(text, sizeof text, "%.5f", (h * 37 % 1000 + code) / 1000.0);
      profile.push_back(record(code, Hourly, text, 1710000000 - 3600 * h));
    }
  PackedValueList packed;
  packed.assign(profile);
  EXPECT_LE(packed.bytes(), 5 * profile.size());
}

}  // namespace
