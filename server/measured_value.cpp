#include "server/measured_value.h"

#include <cstddef>

namespace {

struct ValueNameRow {
  uint32_t kind;
  uint32_t code;
  const char* name;
};

// Server names per (kind, code); a pair missing here is never sent or written.
// clang-format off
const ValueNameRow kValueNames[] = {
  // 0 Current
  {0, 0, "Q1"}, {0, 1, "Q2"}, {0, 2, "Q3"}, {0, 3, "M1"}, {0, 4, "M2"}, {0, 5, "M3"}, {0, 6, "T1"},
  {0, 7, "T2"}, {0, 8, "T3"}, {0, 9, "P1"}, {0, 10, "P2"}, {0, 11, "P3"}, {0, 12, "dP"},
  {0, 13, "Ta"}, {0, 14, "ER"}, {0, 15, "EG"}, {0, 31, "PA"}, {0, 32, "PAA"}, {0, 33, "PBA"},
  {0, 34, "PCA"}, {0, 35, "RA"}, {0, 36, "RAA"}, {0, 37, "RBA"}, {0, 38, "RCA"}, {0, 39, "VA"},
  {0, 40, "VB"}, {0, 41, "VC"}, {0, 42, "IA"}, {0, 43, "IB"}, {0, 44, "IC"}, {0, 45, "COS"},
  {0, 46, "COSA"}, {0, 47, "COSB"}, {0, 48, "COSC"}, {0, 49, "FREQ"}, {0, 50, "WA"},
  {0, 51, "WA-"}, {0, 52, "WR"}, {0, 53, "WR-"}, {0, 87, "_ResType"}, {0, 97, "F1C"},
  {0, 98, "F2C"}, {0, 115, "Ta"}, {0, 137, "P"}, {0, 138, "T"}, {0, 139, "Qw"}, {0, 140, "Q"},
  {0, 142, "Vw"}, {0, 144, "V"}, {0, 146, "VEw"}, {0, 148, "VE"}, {0, 149, "KK"}, {0, 150, "KC"},
  {0, 151, "dP"}, {0, 152, "W"}, {0, 153, "PW"}, {0, 156, "SG"}, {0, 160, "PassP"},
  {0, 161, "PassT"}, {0, 162, "PassS"}, {0, 163, "PassCO"}, {0, 164, "PassN2"}, {0, 165, "PassH2"},
  {0, 166, "PassStatus"}, {0, 167, "QCW"}, {0, 168, "PCW"}, {0, 169, "TCW"},
  // 1 Integral
  {1, 17, "IE1"}, {1, 19, "IT1"}, {1, 20, "IQ1"}, {1, 21, "IQ2"}, {1, 22, "IQ3"}, {1, 23, "IM1"},
  {1, 24, "IM2"}, {1, 25, "IM3"}, {1, 97, "F1I"}, {1, 98, "F2I"}, {1, 141, "IVw"}, {1, 143, "IV"},
  {1, 145, "IVEw"}, {1, 147, "IVE"}, {1, 154, "Vpo"}, {1, 155, "Vco"}, {1, 167, "VCW"},
  // 2 Integral_daily
  {2, 17, "A29"}, {2, 19, "A32"}, {2, 20, "A34"}, {2, 21, "A36"}, {2, 22, "A38"}, {2, 23, "A40"},
  {2, 24, "A42"}, {2, 25, "A44"}, {2, 26, "A65"}, {2, 27, "A66"}, {2, 28, "A67"}, {2, 29, "A68"},
  {2, 30, "A69"}, {2, 50, "A210"}, {2, 51, "A210-"}, {2, 52, "A211"}, {2, 53, "A211-"},
  {2, 141, "A323"}, {2, 143, "A325"}, {2, 147, "A327"}, {2, 154, "A337"}, {2, 155, "A339"},
  {2, 167, "A111"},
  // 3 Integral_hourly
  {3, 17, "A1"}, {3, 19, "A4"}, {3, 20, "A6"}, {3, 21, "A8"}, {3, 22, "A10"}, {3, 23, "A12"},
  {3, 24, "A14"}, {3, 25, "A16"}, {3, 26, "A60"}, {3, 27, "A61"}, {3, 28, "A62"}, {3, 29, "A63"},
  {3, 30, "A64"}, {3, 50, "A200"}, {3, 52, "A201"}, {3, 58, "A240_tmp"}, {3, 59, "A241_tmp"},
  {3, 141, "A303"}, {3, 143, "A305"}, {3, 147, "A307"}, {3, 154, "A313"}, {3, 155, "A315"},
  {3, 167, "A102"},
  // 4 Integral_monthly
  {4, 50, "A220"}, {4, 51, "A220-"}, {4, 52, "A221"}, {4, 53, "A221-"}, {4, 141, "_A343"},
  {4, 143, "_A345"},
  // 5 Integral_yearly
  {5, 50, "A230"}, {5, 51, "A230-"}, {5, 52, "A231"}, {5, 53, "A231-"},
  // 6 Hourly
  {6, 6, "A20"}, {6, 7, "A21"}, {6, 8, "A22"}, {6, 9, "A17"}, {6, 10, "A18"}, {6, 11, "A19"},
  {6, 13, "A80"}, {6, 14, "A28"}, {6, 15, "_A57"}, {6, 16, "F57"}, {6, 17, "A2"}, {6, 19, "A3"},
  {6, 20, "A5"}, {6, 21, "A7"}, {6, 22, "A9"}, {6, 23, "A11"}, {6, 24, "A13"}, {6, 25, "A15"},
  {6, 26, "A23"}, {6, 27, "A24"}, {6, 28, "A25"}, {6, 29, "A26"}, {6, 30, "A27"}, {6, 50, "A202"},
  {6, 52, "A203"}, {6, 54, "A240"}, {6, 55, "A240-"}, {6, 56, "A241"}, {6, 57, "A241-"},
  {6, 69, "A242"}, {6, 97, "F1H"}, {6, 98, "F2H"}, {6, 101, "_A20"}, {6, 102, "_A21"},
  {6, 137, "A301"}, {6, 138, "A302"}, {6, 142, "A304"}, {6, 144, "A306"}, {6, 148, "A308"},
  {6, 149, "A310"}, {6, 150, "A311"}, {6, 151, "A309"}, {6, 154, "A314"}, {6, 155, "A316"},
  {6, 156, "A312"}, {6, 167, "A101"}, {6, 168, "A103"}, {6, 169, "A104"},
  // 7 Daily
  {7, 6, "A48"}, {7, 7, "A49"}, {7, 8, "A50"}, {7, 9, "A45"}, {7, 10, "A46"}, {7, 11, "A47"},
  {7, 13, "A81"}, {7, 14, "A56"}, {7, 17, "A30"}, {7, 19, "A31"}, {7, 20, "A33"}, {7, 21, "A35"},
  {7, 22, "A37"}, {7, 23, "A39"}, {7, 24, "A41"}, {7, 25, "A43"}, {7, 26, "A51"}, {7, 27, "A52"},
  {7, 28, "A53"}, {7, 29, "A54"}, {7, 30, "A55"}, {7, 50, "A212"}, {7, 51, "A212-"},
  {7, 52, "A213"}, {7, 53, "A213-"}, {7, 97, "F1D"}, {7, 98, "F2D"}, {7, 101, "_A48"},
  {7, 102, "_A49"}, {7, 137, "A321"}, {7, 138, "A322"}, {7, 142, "A324"}, {7, 144, "A326"},
  {7, 148, "A328"}, {7, 149, "A330"}, {7, 150, "A331"}, {7, 151, "A329"}, {7, 154, "A338"},
  {7, 155, "A340"}, {7, 156, "A332"}, {7, 167, "A110"}, {7, 168, "A103"}, {7, 169, "A104"},
  // 8 Monthly
  {8, 50, "A222"}, {8, 51, "A222-"}, {8, 52, "A223"}, {8, 53, "A223-"},
  // 9 Yearly
  {9, 50, "A232"}, {9, 51, "A232-"}, {9, 52, "A233"}, {9, 53, "A233-"},
  // 10 System
  {10, 8, "tx"}, {10, 60, "ICf"}, {10, 61, "UCf"}, {10, 62, "Tsr"}, {10, 63, "TimeTableSeasons"},
  {10, 64, "TimeTableHolidays"}, {10, 65, "TimeTableSpecial"}, {10, 66, "SeasonsScheduleChecksum"},
  {10, 67, "HolidaysScheduleChecksum"}, {10, 68, "SpecialScheduleChecksum"},
  {10, 71, "MeterManufacturer"}, {10, 72, "MeterModel"}, {10, 73, "Firmware"},
  {10, 74, "SerialNumber"}, {10, 75, "PrDate"}, {10, 76, "PovDate"}, {10, 77, "NextPovDate"},
  {10, 78, "TSType"}, {10, 79, "S"}, {10, 80, "SA1"}, {10, 81, "SA2"}, {10, 82, "SA3"},
  {10, 83, "LastOff"}, {10, 84, "LastOn"}, {10, 85, "MDateTime"}, {10, 86, "Connected"},
  {10, 88, "SC"}, {10, 96, "TSMode"}, {10, 103, "RateHour"}, {10, 104, "RateDay"},
  {10, 105, "PortNum"}, {10, 106, "PortType"}, {10, 107, "Speed"}, {10, 108, "Parity"},
  {10, 109, "NumDataBits"}, {10, 110, "NumStopBits"}, {10, 111, "DataRate"}, {10, 112, "FWVer"},
  {10, 113, "PasswordSupply"}, {10, 114, "PasswordCustomer"}, {10, 116, "SincUU"},
  {10, 117, "GT1"}, {10, 118, "GT2"}, {10, 119, "GT3"}, {10, 120, "GT4"}, {10, 121, "GT5"},
  {10, 122, "GT6"}, {10, 123, "DN"}, {10, 124, "ImpWeight"}, {10, 125, "PConst"},
  {10, 126, "TConst"}, {10, 127, "Mmax"}, {10, 128, "Mmin"}, {10, 129, "SerialTempSensor"},
  {10, 130, "SerialPresSensor"}, {10, 131, "PressureSensType"}, {10, 132, "GetParamCard"},
  {10, 133, "SetParamCard"}, {10, 134, "GetRegCard"}, {10, 135, "SetRegCard"},
  {10, 136, "ClearHistory"},
  // 11 Delta_Hourly
  {11, 17, "A70"}, {11, 19, "A71"}, {11, 20, "A72"}, {11, 21, "A73"}, {11, 22, "A74"},
  {11, 23, "A75"}, {11, 24, "A76"}, {11, 25, "A77"},
  // 12 System_Private
  {12, 89, "DN1"}, {12, 90, "DN2"}, {12, 91, "DN3"}, {12, 92, "M1max"}, {12, 93, "M2max"},
  {12, 94, "M1min"}, {12, 95, "M2min"}, {12, 99, "_WeightedValue"},
  // 13 Journal_Event
  {13, 156, "A333"}, {13, 158, "A335"},
  // 15 Journal_Intervent
  {15, 157, "A334"}, {15, 159, "A336"},
};
// clang-format on

struct CodeNameRow {
  int32_t code;
  const char* name;
};

// Codes 58, 59, 87 and 99 have no short name.
// clang-format off
const CodeNameRow kShortNames[] = {
  {0, "G1"}, {1, "G2"}, {2, "G3"}, {3, "M1"}, {4, "M2"}, {5, "M3"}, {6, "t1"}, {7, "t2"},
  {8, "t3"}, {9, "P1"}, {10, "P2"}, {11, "P3"}, {12, "dP"}, {13, "ta"}, {14, "ER"}, {15, "EG"},
  {16, "EF"}, {17, "Q"}, {18, "Pq"}, {19, "TW"}, {20, "V1"}, {21, "V2"}, {22, "V3"}, {23, "IM1"},
  {24, "IM2"}, {25, "IM3"}, {26, "Terr_np"}, {27, "Terr_dt"}, {28, "Terr_lq"}, {29, "Terr_hq"},
  {30, "Terr_nw"}, {31, "PA"}, {32, "PAA"}, {33, "PBA"}, {34, "PCA"}, {35, "RA"}, {36, "RAA"},
  {37, "RBA"}, {38, "RCA"}, {39, "VA"}, {40, "VB"}, {41, "VC"}, {42, "IA"}, {43, "IB"}, {44, "IC"},
  {45, "COS"}, {46, "COSA"}, {47, "COSB"}, {48, "COSC"}, {49, "FREQ"}, {50, "WA"}, {51, "WAR"},
  {52, "WR"}, {53, "WRR"}, {54, "PFA"}, {55, "PFAR"}, {56, "PFR"}, {57, "PFRR"}, {60, "ICf"},
  {61, "UCf"}, {62, "Tsr"}, {63, "TimeTableSeasons"}, {64, "TimeTableHolidays"},
  {65, "TimeTableSpecial"}, {66, "SeasonsScheduleChecksum"}, {67, "HolidaysScheduleChecksum"},
  {68, "SpecialScheduleChecksum"}, {69, "EMEvent"}, {70, "UNKNOWN"}, {71, "MeterManufacturer"},
  {72, "MeterModel"}, {73, "Firmware"}, {74, "SerialNumber"}, {75, "PrDate"}, {76, "PovDate"},
  {77, "NextPovDate"}, {78, "TSType"}, {79, "S"}, {80, "SA1"}, {81, "SA2"}, {82, "SA3"},
  {83, "LastOff"}, {84, "LastOn"}, {85, "MDateTime"}, {86, "Connection"},
  {88, "Heat_Calculations"}, {89, "DN1"}, {90, "DN2"}, {91, "DN3"}, {92, "M1max"}, {93, "M2max"},
  {94, "M1min"}, {95, "M2min"}, {96, "TSMode"}, {97, "F1"}, {98, "F2"}, {100, "EG2"}, {101, "_t1"},
  {102, "_t2"}, {103, "RateHour"}, {104, "RateDay"}, {105, "PortNum"}, {106, "PortType"},
  {107, "Speed"}, {108, "Parity"}, {109, "NumDataBits"}, {110, "NumStopBits"}, {111, "DataRate"},
  {112, "FWVer"}, {113, "PasswordSupply"}, {114, "PasswordCustomer"}, {115, "Ta"}, {116, "SincUU"},
  {117, "GT1"}, {118, "GT2"}, {119, "GT3"}, {120, "GT4"}, {121, "GT5"}, {122, "GT6"}, {123, "DN"},
  {124, "ImpWeight"}, {125, "PConst"}, {126, "TConst"}, {127, "Mmax"}, {128, "Mmin"},
  {129, "SerialTempSensor"}, {130, "SerialPresSensor"}, {131, "PressureSensType"},
  {132, "GetParamCard"}, {133, "SetParamCard"}, {134, "GetRegCard_JSONRPC"},
  {135, "SetRegCard_JSONRPC"}, {136, "ClearHistory"}, {137, "P"}, {138, "T"}, {139, "Qw"},
  {140, "Q"}, {141, "IVw"}, {142, "Vw"}, {143, "IV"}, {144, "V"}, {145, "IVEw"}, {146, "VEw"},
  {147, "IVE"}, {148, "VE"}, {149, "KK"}, {150, "KC"}, {151, "dP"}, {152, "W"}, {153, "PW"},
  {154, "Vwsum"}, {155, "Vsum"}, {156, "EV"}, {157, "IN"}, {158, "EV_PU"}, {159, "IN_PU"},
  {160, "PassP"}, {161, "PassT"}, {162, "PassS"}, {163, "PassCO"}, {164, "PassN2"},
  {165, "PassH2"}, {166, "PassStatus"}, {167, "VCW"}, {168, "PCW"}, {169, "TCW"},
};
// clang-format on

const CodeNameRow kKindNames[] = {
    {0, "Current"},
    {1, "Integral"},
    {2, "Integral_daily"},
    {3, "Integral_hourly"},
    {4, "Integral_monthly"},
    {5, "Integral_yearly"},
    {6, "Hourly"},
    {7, "Daily"},
    {8, "Monthly"},
    {9, "Yearly"},
    {10, "System"},
    {11, "Delta_Hourly"},
    {12, "System_Private"},
    {13, "Journal_Event"},
    {14, "Journal_Event_Next"},
    {15, "Journal_Intervent"},
    {16, "Journal_Intervent_Next"},
    {17, "Hourly_NameParam"},
    {18, "Daily_NameParam"},
    {19, "Hourly_Next"},
    {20, "Daily_Next"},
};

NameTable buildValueNames() {
  NameTable t;
  for (const ValueNameRow& r : kValueNames) t.emplace(value_key(r.code, r.kind), r.name);
  return t;
}

template <size_t N>
NameTable buildCodeNames(const CodeNameRow (&rows)[N]) {
  NameTable t;
  for (const CodeNameRow& r : rows) t.emplace(r.code, r.name);
  return t;
}

}  // namespace

// Built during static initialisation in this order, before any worker exists.
const NameTable ValueNameTable = buildValueNames();
const NameTable ParamShortNameTable = buildCodeNames(kShortNames);
const NameTable KindNameTable = buildCodeNames(kKindNames);

const std::string* LookupName(const NameTable& table, int32_t key) {
  auto it = table.find(key);
  return it == table.end() ? nullptr : &it->second;
}

std::string DataTypeName(int code) {
  switch (code) {
    case 0:
      return "ignored!";
    case 1:
      return "time";
    case 2:
      return "date";
    case 3:
      return "date+hour";
    case 4:
      return "datetime";
    case 7:
      return "char";
    case 8:
      return "byte";
    case 9:
      return "bool";
    case 10:
      return "short";
    case 11:
      return "ushort";
    case 12:
      return "int";
    case 13:
      return "uint";
    case 14:
      return "float";
    case 15:
      return "double";
    case 16:
      return "bits";
    case 17:
      return "bits_16";
    case 18:
      return "bits_32";
    default:
      return "unknown data type";
  }
}

std::string UnitName(int code) {
  switch (code) {
    case 0:
      return "unknown data type";
    case 1:
      return "MPa";
    case 2:
      return "kPa";
    case 3:
      return "Pa";
    case 4:
      return "kgs/sm2 (atm)";
    case 6:
      return "kgs/m2";
    case 7:
      return "bar";
    case 8:
      return "mm of mercury";
    case 9:
      return "m3";
    case 10:
      return "ths.m3";
    case 11:
      return "m3/h";
    case 12:
      return "grad";
    case 13:
      return "hour";
    case 14:
      return "procent";
    case 15:
      return "kg/m3";
    case 16:
      return "GCal";
    case 18:
      return "GJ";
    case 19:
      return "MEW*h";
    default:
      return "absolute unknown data unit";
  }
}

bool PressureFactor(int unit, float& factor) {
  switch (unit) {
    case 1:
      factor = 10.197162f;
      return true;
    case 2:
      factor = 0.010197162f;
      return true;
    case 3:
      factor = 1.0197162e-5f;
      return true;
    case 4:
      factor = 1.0f;
      return true;
    case 6:
      factor = 0.0001f;
      return true;
    // The bar factor really is ...163, not ...162.
    case 7:
      factor = 1.0197163f;
      return true;
    case 8:
      factor = 0.001359506f;
      return true;
    default:
      factor = -1.0f;
      return false;
  }
}
