#include "server/measured_value.h"

#include <gtest/gtest.h>

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

}  // namespace
