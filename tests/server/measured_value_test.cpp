#include "server/measured_value.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

TEST(NameTables, Sizes) {
  EXPECT_EQ(320u, ValueNameTable.size());
  EXPECT_EQ(166u, ParamShortNameTable.size());
  EXPECT_EQ(21u, KindNameTable.size());
}

TEST(NameTables, EntriesPerKind) {
  // How many names each kind has; kinds 14 and 16..20 have none.
  const std::map<uint32_t, size_t> expected = {{0, 67},  {1, 17}, {2, 23}, {3, 23}, {4, 6},
                                               {5, 4},   {6, 48}, {7, 43}, {8, 4},  {9, 4},
                                               {10, 61}, {11, 8}, {12, 8}, {13, 2}, {15, 2}};
  std::map<uint32_t, size_t> counted;
  for (const auto& e : ValueNameTable) counted[static_cast<uint32_t>(e.first) >> 16]++;
  EXPECT_EQ(expected, counted);
}

TEST(NameTables, ValueNamesByKindAndCode) {
  struct Row {
    uint32_t kind, code;
    const char* name;
  };
  const Row rows[] = {
      {Current, 0, "Q1"},
      {Current, 13, "Ta"},
      {Current, 115, "Ta"},
      {Current, 12, "dP"},
      {Current, 151, "dP"},
      {Current, 51, "WA-"},
      {Current, 87, "_ResType"},
      {Current, 169, "TCW"},
      {Integral, 17, "IE1"},
      {Integral, 167, "VCW"},
      {Integral_daily, 51, "A210-"},
      {Integral_daily, 167, "A111"},
      {Integral_hourly, 58, "A240_tmp"},
      {Integral_hourly, 59, "A241_tmp"},
      {Integral_monthly, 141, "_A343"},
      {Integral_yearly, 53, "A231-"},
      {Hourly, 15, "_A57"},
      {Hourly, 16, "F57"},
      {Hourly, 168, "A103"},
      {Daily, 168, "A103"},
      {Hourly, 169, "A104"},
      {Daily, 169, "A104"},
      {Daily, 101, "_A48"},
      {Monthly, 53, "A223-"},
      {Yearly, 50, "A232"},
      {System, 8, "tx"},
      {System, 86, "Connected"},
      {System, 136, "ClearHistory"},
      {Delta_Hourly, 25, "A77"},
      {System_Private, 99, "_WeightedValue"},
      {Journal_Event, 158, "A335"},
      {Journal_Intervent, 157, "A334"},
  };
  for (const Row& r : rows) {
    const std::string* name = LookupName(ValueNameTable, value_key(r.code, r.kind));
    ASSERT_NE(nullptr, name) << r.kind << "/" << r.code;
    EXPECT_EQ(r.name, *name) << r.kind << "/" << r.code;
  }
}

TEST(NameTables, MissingPairsAreNotFound) {
  const std::pair<uint32_t, uint32_t> missing[] = {{Current, 16},
                                                   {Current, 170},
                                                   {Journal_Event_Next, 156},
                                                   {Journal_Intervent_Next, 157},
                                                   {Daily_Next, 50},
                                                   {Monthly, 0},
                                                   {Integral, 18},
                                                   {21, 0}};
  for (const auto& m : missing)
    EXPECT_EQ(nullptr, LookupName(ValueNameTable, value_key(m.second, m.first)))
        << m.first << "/" << m.second;
  EXPECT_EQ(320u, ValueNameTable.size());
}

TEST(NameTables, ValueKeyCombinesKindAndCode) {
  MeasuredValue v;
  v.kind = Journal_Intervent;
  v.param_code = 159;
  EXPECT_EQ((15 << 16) | 159, v.value_key());
  EXPECT_EQ(v.value_key(), value_key(159, 15));
  // The key is signed: a kind with the top bit set goes negative.
  EXPECT_LT(value_key(1, 0x8000), 0);
}

TEST(NameTables, ShortNames) {
  const std::pair<int, const char*> rows[] = {{0, "G1"},          {6, "t1"},
                                              {13, "ta"},         {17, "Q"},
                                              {51, "WAR"},        {57, "PFRR"},
                                              {69, "EMEvent"},    {70, "UNKNOWN"},
                                              {86, "Connection"}, {88, "Heat_Calculations"},
                                              {100, "EG2"},       {117, "GT1"},
                                              {122, "GT6"},       {134, "GetRegCard_JSONRPC"},
                                              {151, "dP"},        {12, "dP"},
                                              {159, "IN_PU"},     {169, "TCW"}};
  for (const auto& r : rows) {
    const std::string* name = LookupName(ParamShortNameTable, r.first);
    ASSERT_NE(nullptr, name) << r.first;
    EXPECT_EQ(r.second, *name);
  }
  for (int code : {58, 59, 87, 99, 170, -1})
    EXPECT_EQ(nullptr, LookupName(ParamShortNameTable, code)) << code;
  // Every other code from 0 to 169 has one.
  std::set<int> holes = {58, 59, 87, 99};
  for (int code = 0; code <= 169; ++code)
    EXPECT_EQ(holes.count(code) == 0, LookupName(ParamShortNameTable, code) != nullptr) << code;
}

template <typename F>
std::string joined(int from, int to, F name) {
  std::string out;
  for (int code = from; code <= to; ++code) out += (code > from ? "|" : "") + name(code);
  return out;
}

TEST(NameTables, KindNames) {
  EXPECT_EQ(
      "Current|Integral|Integral_daily|Integral_hourly|Integral_monthly|Integral_yearly|Hourly|"
      "Daily|Monthly|Yearly|System|Delta_Hourly|System_Private|Journal_Event|Journal_Event_Next|"
      "Journal_Intervent|Journal_Intervent_Next|Hourly_NameParam|Daily_NameParam|Hourly_Next|"
      "Daily_Next|-",
      joined(0, 21, [](int k) {
        const std::string* n = LookupName(KindNameTable, k);
        return n ? *n : std::string("-");
      }));
}

TEST(DisplayNames, DataTypesAndUnits) {
  EXPECT_EQ(
      "unknown data type|ignored!|time|date|date+hour|datetime|unknown data type|"
      "unknown data type|char|byte|bool|short|ushort|int|uint|float|double|bits|bits_16|bits_32|"
      "unknown data type",
      joined(-1, 19, DataTypeName));
  EXPECT_EQ(
      "absolute unknown data unit|unknown data type|MPa|kPa|Pa|kgs/sm2 (atm)|"
      "absolute unknown data unit|kgs/m2|bar|mm of mercury|m3|ths.m3|m3/h|grad|hour|procent|"
      "kg/m3|GCal|absolute unknown data unit|GJ|MEW*h|absolute unknown data unit",
      joined(-1, 20, UnitName));
}

TEST(DisplayNames, PressureFactors) {
  const std::pair<int, float> rows[] = {{1, 10.197162f},  {2, 0.010197162f}, {3, 1.0197162e-5f},
                                        {4, 1.0f},        {6, 0.0001f},      {7, 1.0197163f},
                                        {8, 0.001359506f}};
  for (const auto& r : rows) {
    float f = 0;
    EXPECT_TRUE(PressureFactor(r.first, f)) << r.first;
    EXPECT_EQ(r.second, f) << r.first;
  }
  // bar's factor differs from MPa's digits in the last float bit.
  float bar = 0;
  PressureFactor(7, bar);
  EXPECT_NE(1.0197162f, bar);
  for (int unit : {0, 5, 9, 12, 19, -3}) {
    float f = 123;
    EXPECT_FALSE(PressureFactor(unit, f)) << unit;
    EXPECT_EQ(-1.0f, f);
  }
}

}  // namespace
