#include "drivers/models/ce2727/ce2727_requests.h"

#include <cinttypes>
#include <cstdio>

#include "base/clock.h"
#include "server/measured_value.h"

namespace CmtrCE2727Requests {

const char* const kEventNames[8] = {
    "EvtOpenCase",    "EvtOnOff",       "EvtCorrectionTime", "EvtDateTime",
    "EvtDropVoltage", "EvtOverVoltage", "EvtTariff",         "EvtOpenClemma",
};

namespace {

constexpr uint32_t kSystemIndex = 70;
constexpr uint32_t kMDateTime = 85;
constexpr uint32_t kWA = 50;
constexpr uint32_t kPA = 31;
constexpr uint32_t kA240 = 54;
constexpr uint32_t kEvent = 69;

Request make(const char* name, uint8_t cmd, uint8_t p1, uint32_t param, uint32_t group,
             int parser) {
  Request r;
  r.name = name;
  r.cmd = cmd;
  r.p1 = p1;
  r.param = param;
  r.group = group;
  r.parser = parser;
  return r;
}

RequestSet baseSet() {
  RequestSet s;
  s.system = {make("SystemInfo", 0, 54, kSystemIndex, System, kParseSystem),
              make("SystemInfo", 21, 64, kSystemIndex, System, kParseSystem)};
  s.time = {make("DateTime", 1, 23, kMDateTime, System, kParseDateTime)};
  s.current = {make("CurrNrg", 3, 35, kWA, Current, kParseCurrNrg),
               make("CurrPwr", 23, 30, kPA, Current, kParseCurrPwr)};
  s.daily = {make("Daily", 15, 0, kWA, Integral_daily, kParseArchive)};
  s.monthly = {make("Monthly", 13, 0, kWA, Integral_monthly, kParseArchive)};
  s.yearly = {make("Yearly", 13, 0, kWA, Integral_yearly, kParseArchive)};
  s.profile = {make("Profile", 17, 0, kA240, Hourly, kParseProfile)};
  return s;
}

const int kJournals[] = {0, 1, 2, 3, 5, 6, 9, 10};

RequestSet makeCE2727() {
  RequestSet s = baseSet();
  for (int j : kJournals) {
    s.events.push_back(make("Events", 11, static_cast<uint8_t>(j), kEvent, Hourly, kParseEvents));
  }
  return s;
}

RequestSet makeCE2727A() {
  RequestSet s = baseSet();
  s.current.push_back(make("CurrenrState", 27, 92, 0, Current, kParseCurrentState));
  return s;
}

// Date-time fields take 6 bytes.
const std::vector<Field> kJournal0 = {{"DateOff", kFieldDateTime, 6, 0, kEvent, true},
                                      {"DateOn", kFieldDateTime, 6, 0, kEvent, true},
                                      {"CodeOn", kFieldByte, 1, 0, 0, false},
                                      {"reserv", kFieldSkip, 1, 0, 0, false}};
const std::vector<Field> kJournal1 = {{"Time", kFieldDateTime, 6, 0, kEvent, true},
                                      {"Correction", kFieldShort, 2, 0, 0, false},
                                      {"Interface", kFieldByte, 1, 0, 0, false},
                                      {"reserv", kFieldSkip, 1, 0, 0, false}};
const std::vector<Field> kJournal2 = {{"TimeOld", kFieldDateTime, 6, 0, 0, false},
                                      {"TimeNew", kFieldDateTime, 6, 0, kEvent, true},
                                      {"Interface", kFieldByte, 1, 0, 0, false},
                                      {"reserv", kFieldSkip, 1, 0, 0, false}};
const std::vector<Field> kJournalOpen = {{"TimeOpen", kFieldDateTime, 6, 0, kEvent, true},
                                         {"TimeStop", kFieldDateTime, 6, 0, kEvent, true}};
const std::vector<Field> kJournal5 = {{"TimeStart", kFieldDateTime, 6, 0, kEvent, true},
                                      {"TimeStop", kFieldDateTime, 6, 0, kEvent, true},
                                      {"Phase", kFieldByte, 1, 0, 0, false},
                                      {"minVoltage", kFieldUShort, 2, 0, 0, false},
                                      {"percentDrop", kFieldByte, 1, 0, 0, false}};
const std::vector<Field> kJournal6 = {{"TimeStart", kFieldDateTime, 6, 0, kEvent, true},
                                      {"TimeStop", kFieldDateTime, 6, 0, kEvent, true},
                                      {"Phase", kFieldByte, 1, 0, 0, false},
                                      {"reserv", kFieldSkip, 3, 0, 0, false}};
const std::vector<Field> kJournal9 = {{"Date", kFieldDateTime, 6, 0, kEvent, true},
                                      {"Service", kFieldByte, 1, 0, 0, false},
                                      {"Interface", kFieldByte, 1, 0, 0, false},
                                      {"WA", kFieldEnergy, 4, 0, 0, false}};

// Position of a journal's event in kEventNames.
int eventIndex(int journal) {
  switch (journal) {
    case 0:
      return 1;
    case 1:
      return 2;
    case 2:
      return 3;
    case 3:
      return 0;
    case 5:
      return 4;
    case 6:
      return 5;
    case 9:
      return 6;
    case 10:
      return 7;
    default:
      return -1;
  }
}

}  // namespace

const RequestSet* RequestSetFor(int model) {
  static const RequestSet ce2727 = makeCE2727();
  static const RequestSet ce2727a = makeCE2727A();
  if (model == 1) return &ce2727;
  if (model == 2) return &ce2727a;
  return nullptr;
}

const std::vector<Field>& DailyFields() {
  static const std::vector<Field> fields = {
      {"Date", kFieldDate, 3, 0, 70, false},  {"WA", kFieldEnergy, 4, 0, kWA, false},
      {"WA", kFieldEnergy, 4, 1, kWA, false}, {"WA", kFieldEnergy, 4, 2, kWA, false},
      {"WA", kFieldEnergy, 4, 3, kWA, false}, {"WA", kFieldEnergy, 4, 4, kWA, false}};
  return fields;
}

const std::vector<Field>& MonthlyFields() {
  static const std::vector<Field> fields = {
      {"Date", kFieldMonth, 2, 0, 70, false}, {"WA", kFieldEnergy, 4, 0, kWA, false},
      {"WA", kFieldEnergy, 4, 1, kWA, false}, {"WA", kFieldEnergy, 4, 2, kWA, false},
      {"WA", kFieldEnergy, 4, 3, kWA, false}, {"WA", kFieldEnergy, 4, 4, kWA, false}};
  return fields;
}

const std::vector<Field>* JournalFields(int journal) {
  switch (journal) {
    case 0:
      return &kJournal0;
    case 1:
      return &kJournal1;
    case 2:
      return &kJournal2;
    case 3:
      return &kJournalOpen;
    case 5:
      return &kJournal5;
    case 6:
      return &kJournal6;
    case 9:
      return &kJournal9;
    case 10:
      return &kJournalOpen;
    default:
      return nullptr;
  }
}

const char* JournalEventName(int journal) {
  int i = eventIndex(journal);
  return i < 0 ? nullptr : kEventNames[i];
}

int JournalEventValue(int journal) {
  int i = eventIndex(journal);
  return i < 0 ? 0 : 1 << i;
}

int Bcd(uint8_t b) {
  int hi = b >> 4, lo = b & 0x0F;
  return hi > 9 || lo > 9 ? -1 : hi * 10 + lo;
}

bool ValidDate(int day, int month, int year2) {
  return day >= 1 && day <= 31 && month >= 1 && month <= 12 && year2 >= 0 && year2 <= 99;
}

uint32_t U32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

time_t DateTime6(const uint8_t* p) {
  int s = Bcd(p[0]), mi = Bcd(p[1]), h = Bcd(p[2]), d = Bcd(p[3]), mo = Bcd(p[4]), y = Bcd(p[5]);
  if (s < 0 || s > 59 || mi < 0 || mi > 59 || h < 0 || h > 23 || !ValidDate(d, mo, y)) return -1;
  return mtr::localMoment(2000 + y, mo, d, h, mi, s);
}

bool ParseSystemInfo(const uint8_t* d, int n, SystemInfo& out) {
  if (n < 39) return false;
  char fw[16];
  snprintf(fw, sizeof fw, "%X.%02X", d[1], d[0]);
  out.firmware = fw;
  out.serial = U32(d + 12);
  out.net_address = U32(d + 16);
  return true;
}

time_t ParseMeterClock(const uint8_t* d, int n) {
  if (n < 7) return -1;
  // second, minute, hour, weekday, day, month, year: the weekday goes
  const uint8_t six[6] = {d[0], d[1], d[2], d[4], d[5], d[6]};
  return DateTime6(six);
}

std::string Scaled(int64_t v, int decimals) {
  int64_t div = 1;
  for (int i = 0; i < decimals; ++i) div *= 10;
  uint64_t a = v < 0 ? static_cast<uint64_t>(-v) : static_cast<uint64_t>(v);
  char buf[48];
  if (decimals == 0) {
    snprintf(buf, sizeof buf, "%s%" PRIu64, v < 0 ? "-" : "", a);
  } else {
    snprintf(buf, sizeof buf, "%s%" PRIu64 ".%0*" PRIu64, v < 0 ? "-" : "", a / div, decimals,
             a % div);
  }
  return buf;
}

ArchiveAnswer ParseArchiveAnswer(const std::vector<Field>& fields, const uint8_t* frame, int len,
                                 bool next_midnight, time_t from, time_t till) {
  ArchiveAnswer out;
  auto defect = [&](ArchiveDefect d, const Field& f, int pos) {
    out.defect = d;
    out.field = &f;
    out.position = pos;
    out.values.clear();
    return out;
  };
  int pos = kHeaderSize;
  time_t rec_time = 0;
  bool in_window = false;
  for (const auto& f : fields) {
    if (pos + f.size > len - 2) return defect(kArchiveOutOfPacket, f, pos);
    const uint8_t* p = frame + pos;
    switch (f.type) {
      case kFieldSkip:
        break;
      case kFieldDate:
      case kFieldMonth: {
        bool day_field = f.type == kFieldDate;
        int day = day_field ? Bcd(p[0]) : 1;
        int month = Bcd(p[day_field ? 1 : 0]);
        int year = Bcd(p[day_field ? 2 : 1]);
        if (!ValidDate(day, month, year)) return defect(kArchiveBadDate, f, pos);
        // Month m names the end of that month: the first of month m + 1.
        rec_time = day_field
                       ? mtr::localMoment(2000 + year, month, day) + (next_midnight ? 86400 : 0)
                       : mtr::localMoment(2000 + year, month + 1, 1);
        in_window = rec_time >= from && rec_time <= till;
        break;
      }
      case kFieldCount:
      case kFieldEnergy:
        if (in_window) {
          uint32_t count =
              uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
          out.values.push_back(
              {&f, f.type == kFieldEnergy ? Scaled(count, 3) : std::to_string(count), rec_time});
        }
        break;
      default:
        return defect(kArchiveUnknownType, f, pos);
    }
    pos += f.size;
  }
  return out;
}

}  // namespace CmtrCE2727Requests
