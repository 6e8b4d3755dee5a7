#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>

enum ValueKind : uint32_t {
  Current = 0,
  Integral = 1,
  Integral_daily = 2,
  Integral_hourly = 3,
  Integral_monthly = 4,
  Integral_yearly = 5,
  Hourly = 6,
  Daily = 7,
  Monthly = 8,
  Yearly = 9,
  System = 10,
  Delta_Hourly = 11,
  System_Private = 12,
  Journal_Event = 13,
  Journal_Event_Next = 14,
  Journal_Intervent = 15,
  Journal_Intervent_Next = 16,
  Hourly_NameParam = 17,
  Daily_NameParam = 18,
  Hourly_Next = 19,
  Daily_Next = 20,
};

struct MeasuredValue {
  uint32_t param_code = 0;
  uint32_t kind = 0;
  std::string value;
  std::string dim;
  int32_t opc_quality = 0;
  uint8_t error = 0;
  uint8_t sys = 0;
  int32_t timestamp = 0;

  int32_t value_key() const { return static_cast<int32_t>(param_code | (kind << 16)); }
};

using MeasuredValueList = std::list<MeasuredValue>;

inline int32_t value_key(uint32_t param_code, uint32_t kind) {
  return static_cast<int32_t>(param_code | (kind << 16));
}

// Constant name tables, built before main runs. Lookups never insert.
using NameTable = std::map<int32_t, std::string>;
extern const NameTable ValueNameTable;       // value_key -> server name (320 entries)
extern const NameTable ParamShortNameTable;  // param code -> short name (166 entries)
extern const NameTable KindNameTable;        // kind -> kind name (21 entries)

// Null when the key is not in the table.
const std::string* LookupName(const NameTable& table, int32_t key);

std::string DataTypeName(int code);
std::string UnitName(int code);
// True and the factor to kgf/cm2 for the seven pressure units; else false and -1.0.
bool PressureFactor(int unit, float& factor);
