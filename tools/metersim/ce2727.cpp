// The CE2727 family (CE2727, CE2727A) as the meters answer on the line.
// Request: 02, length, address (4), password (4), 01, command, parameters,
// CRC-16/X-25 low byte first. Answer: 02, length, own address, four zero
// bytes, return code (or 01 in the "table" layout), the command echoed, data,
// CRC. A refusal carries no data, its code at byte 10 in either layout.
// Multi-byte fields are little-endian; dates are BCD in the meter's local time.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "base/crc.h"
#include "family.h"
#include "simtime.h"

namespace msim {

namespace {

enum Code : uint8_t {
  kDone = 0,
  kDenied = 1,  // wrong password
  kUnknownCommand = 2,
  kBadParams = 3,   // wrong length or values; also what the "error" fault sends
  kNoRecord = 4,    // older than the meter keeps, or before it was installed
  kPastNewest = 5,  // not recorded yet: the end of the archive
};

constexpr size_t kHeader = 12;
constexpr size_t kRefusal = 14;
constexpr int kSlots = 24;      // half hours in a half-day
constexpr time_t kSlot = 1800;  // seconds
constexpr uint8_t kInvalidSlot = 2;

void putU16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v & 0xFF));
  b.push_back(static_cast<uint8_t>((v >> 8) & 0xFF));
}

void putU32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>((v >> (8 * i)) & 0xFF));
}

uint32_t getU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint32_t clampU32(double v) {
  if (!(v > 0)) return 0;
  return v >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<uint32_t>(std::llround(v));
}

uint32_t clampS32(double v) {
  double r = std::round(v);
  r = std::max(-2147483648.0, std::min(2147483647.0, r));
  return static_cast<uint32_t>(static_cast<int32_t>(r));
}

uint32_t clampS16(double v) {
  double r = std::round(v);
  r = std::max(-32768.0, std::min(32767.0, r));
  return static_cast<uint16_t>(static_cast<int16_t>(r));
}

// -1 when the byte is not two decimal digits.
int fromBcd(uint8_t b) {
  if ((b >> 4) > 9 || (b & 0x0F) > 9) return -1;
  return (b >> 4) * 10 + (b & 0x0F);
}

// Second, minute, hour, day, month, year - 2000; six zeros for "not set".
void putStamp(Bytes& b, time_t t) {
  if (t == 0) {
    b.insert(b.end(), 6, 0);
    return;
  }
  std::tm tm = localTm(t);
  for (int v : {tm.tm_sec, tm.tm_min, tm.tm_hour, tm.tm_mday, tm.tm_mon + 1, tm.tm_year - 100})
    b.push_back(toBcd(v));
}

std::string dateText(int y, int m, int d) {
  char buf[32];
  snprintf(buf, sizeof buf, "%02d.%02d.%04d", d, m, y);
  return buf;
}

void appendCrc(Bytes& b) {
  uint16_t crc = mtr::crc16_x25(b.data(), b.size());
  b.push_back(static_cast<uint8_t>(crc & 0xFF));
  b.push_back(static_cast<uint8_t>(crc >> 8));
}

Bytes frame(uint32_t address, uint8_t code, uint8_t cmd, const Bytes& data, bool table = false) {
  Bytes b{0x02, static_cast<uint8_t>(kHeader + data.size() + 2)};
  putU32(b, address);
  putU32(b, 0);  // the meter never sends a password back
  b.push_back(table && code == kDone ? 0x01 : code);
  b.push_back(cmd);
  b.insert(b.end(), data.begin(), data.end());
  appendCrc(b);
  return b;
}

// One journal record. `made` is when the meter wrote it: it orders the journal
// and hides records the meter's clock has not reached yet.
struct JournalRecord {
  time_t made = 0;
  time_t t1 = 0, t2 = 0;  // date-time fields; t2 stays zero while in the future
  int n1 = 0, n2 = 0, n3 = 0;
};

struct JournalKind {
  int number;
  size_t size;              // record bytes
  const char* made_key;     // the key that stamps the record
  const char* first_key;    // first date-time field
  const char* second_key;   // second date-time field, or null
  const char* const* ints;  // keys of up to three small fields
  long lo[3], hi[3];        // their ranges
};

const char* const kOnOffInts[] = {"code", nullptr, nullptr};
const char* const kCorrectionInts[] = {"correction", "interface", nullptr};
const char* const kSetTimeInts[] = {nullptr, "interface", nullptr};
const char* const kNoInts[] = {nullptr, nullptr, nullptr};
const char* const kDropInts[] = {"phase", "min_voltage", "drop"};
const char* const kOverInts[] = {"phase", nullptr, nullptr};
const char* const kTariffInts[] = {"service", "interface", nullptr};

// min_voltage is in volts in the description and goes out in 0.01 V.
const JournalKind kJournalKinds[] = {
    {0, 14, "off", "off", "on", kOnOffInts, {0, 0, 0}, {255, 0, 0}},
    {1, 10, "at", "at", nullptr, kCorrectionInts, {-32768, 0, 0}, {32767, 255, 0}},
    {2, 14, "new", "old", "new", kSetTimeInts, {0, 0, 0}, {0, 255, 0}},
    {3, 12, "open", "open", "close", kNoInts, {0, 0, 0}, {0, 0, 0}},
    {5, 16, "start", "start", "stop", kDropInts, {1, 0, 0}, {3, 655, 100}},
    {6, 16, "start", "start", "stop", kOverInts, {1, 0, 0}, {3, 0, 0}},
    {9, 12, "at", "at", nullptr, kTariffInts, {0, 0, 0}, {255, 255, 0}},
    {10, 12, "open", "open", "close", kNoInts, {0, 0, 0}, {0, 0, 0}},
};

const JournalKind* journalKind(int number) {
  for (const auto& k : kJournalKinds)
    if (k.number == number) return &k;
  return nullptr;
}

// An archive answer spoilt on purpose: of command 15, 13 or 17, for the day,
// month or half-day that starts at `start`.
struct BadAnswer {
  uint8_t cmd;
  time_t start;
  bool cut;  // the answer ends after the date; else the date is not BCD
};

struct Depth {
  int days = 60;
  int months = 36;
  int profile_days = 60;
};

class CeMeter {
 public:
  std::unique_ptr<MeterCore> core;
  uint32_t address = 0;
  uint32_t password = 0;
  bool model_a = true;
  uint32_t serial = 1;
  int made_day = 15, made_month = 1, made_year = 2020;
  uint8_t fw_major = 1, fw_minor = 0;
  std::array<uint16_t, 3> errors{};
  uint16_t diagnostic = 0;
  uint8_t version_electric = 1, version_param = 1, status = 0;
  Depth depth;
  std::map<time_t, uint8_t> slot_status;               // slot start -> status byte
  std::map<int, std::vector<JournalRecord>> journals;  // oldest first
  bool table_layout = false;                           // 01 at byte 10 of a data answer
  std::vector<BadAnswer> bad_answers;

  // Return code; `data` filled when it is kDone.
  uint8_t respond(uint8_t cmd, const uint8_t* p, size_t np, Bytes& data, std::string& note) const;

 private:
  uint8_t systemInfo(Bytes& data) const;
  uint8_t dateTime(Bytes& data) const;
  uint8_t energy(Bytes& data) const;
  uint8_t power(Bytes& data) const;
  uint8_t state(Bytes& data) const;
  uint8_t daily(const uint8_t* p, Bytes& data, std::string& note) const;
  uint8_t monthly(const uint8_t* p, Bytes& data, std::string& note) const;
  uint8_t profile(const uint8_t* p, Bytes& data, std::string& note) const;
  uint8_t events(const uint8_t* p, Bytes& data, std::string& note) const;
  void counters(Bytes& data, double t) const;
  uint8_t slotStatus(time_t t0, time_t now) const;
  // Spoils the data of an answer that `bad_answers` names.
  void spoil(uint8_t cmd, time_t start, Bytes& data, std::string& note) const;
};

uint8_t CeMeter::systemInfo(Bytes& d) const {
  d.push_back(fw_minor);
  d.push_back(fw_major);
  for (uint16_t e : errors) putU16(d, e);
  putU16(d, diagnostic);
  d.insert(d.end(), 2, 0);
  putU32(d, serial);
  putU32(d, address);
  d.insert(d.end(), 16, 0);
  d.push_back(version_electric);
  d.push_back(version_param);
  d.push_back(status);
  d.push_back(0);
  return kDone;
}

uint8_t CeMeter::dateTime(Bytes& d) const {
  std::tm tm = localTm(core->meterSeconds());
  int weekday = tm.tm_wday == 0 ? 7 : tm.tm_wday;  // Monday 1 .. Sunday 7
  for (int v :
       {tm.tm_sec, tm.tm_min, tm.tm_hour, weekday, tm.tm_mday, tm.tm_mon + 1, tm.tm_year - 100})
    d.push_back(toBcd(v));
  d.push_back(tm.tm_isdst > 0 ? 1 : 0);
  d.push_back(0);
  return kDone;
}

// A+ of all tariffs, then tariffs 1..4, in Wh.
void CeMeter::counters(Bytes& d, double t) const {
  for (int tariff = 0; tariff <= kTariffs; ++tariff)
    putU32(d, clampU32(static_cast<double>(core->energy.reading(kAPlus, tariff, t))));
}

uint8_t CeMeter::energy(Bytes& d) const {
  d.push_back(static_cast<uint8_t>(core->tariff));
  counters(d, core->meterNow());
  return kDone;
}

uint8_t CeMeter::power(Bytes& d) const {
  for (int ph = 0; ph <= 3; ++ph) putU32(d, clampS32(core->activeW(ph)));
  return kDone;
}

// Power factors carry the sign of the phase's active power: negative on export.
uint8_t CeMeter::state(Bytes& d) const {
  for (double v : core->voltage) putU32(d, clampU32(v * 100.0));
  for (double a : core->current) putU32(d, clampU32(a * 1000.0));
  for (int ph = 0; ph <= 3; ++ph) putU32(d, clampS32(core->reactiveVar(ph)));
  for (int ph = 0; ph <= 3; ++ph) {
    double pf = core->power_factor[ph] * 1000.0;
    putU16(d, clampS16(core->activeW(ph) < 0 ? -pf : pf));
  }
  putU16(d, static_cast<uint16_t>(std::min(65535.0, std::round(core->frequency * 100.0))));
  double now = core->meterNow();
  for (Direction dir : {kAMinus, kRPlus, kRMinus})
    putU32(d, clampU32(static_cast<double>(core->energy.reading(dir, 0, now))));
  d.insert(d.end(), 16, 0);
  return kDone;
}

uint8_t CeMeter::daily(const uint8_t* p, Bytes& d, std::string& note) const {
  int day = fromBcd(p[0]), month = fromBcd(p[1]), yy = fromBcd(p[2]);
  note = "daily archive " + dateText(2000 + yy, month, day);
  if (day < 0 || month < 0 || yy < 0 || !validDate(2000 + yy, month, day)) {
    note = "daily archive: no such day";
    return kBadParams;
  }
  time_t now = core->meterSeconds();
  time_t start = localTime(2000 + yy, month, day);
  time_t end = localTime(2000 + yy, month, day + 1);
  if (end > now) {
    note += ": not over yet";
    return kPastNewest;
  }
  if (start < dayStart(now, depth.days) || !core->recorded(static_cast<double>(end))) {
    note += ": not kept";
    return kNoRecord;
  }
  d.insert(d.end(), p, p + 3);
  counters(d, static_cast<double>(end));
  spoil(15, start, d, note);
  return kDone;
}

// Counters at the end of the month; "Yearly" asks for December.
uint8_t CeMeter::monthly(const uint8_t* p, Bytes& d, std::string& note) const {
  int month = fromBcd(p[0]), yy = fromBcd(p[1]);
  char buf[48];
  snprintf(buf, sizeof buf, "monthly archive %02d.%04d", month, 2000 + yy);
  note = buf;
  if (month < 1 || month > 12 || yy < 0) {
    note = "monthly archive: no such month";
    return kBadParams;
  }
  time_t now = core->meterSeconds();
  time_t start = localTime(2000 + yy, month, 1);
  time_t end = localTime(2000 + yy, month + 1, 1);
  if (start >= monthStart(now)) {
    note += ": not over yet";
    return kPastNewest;
  }
  if (start < monthStart(now, depth.months) || !core->recorded(static_cast<double>(end))) {
    note += ": not kept";
    return kNoRecord;
  }
  d.insert(d.end(), p, p + 2);
  counters(d, static_cast<double>(end));
  spoil(13, start, d, note);
  return kDone;
}

uint8_t CeMeter::slotStatus(time_t t0, time_t now) const {
  if (t0 + kSlot > now || !core->recorded(static_cast<double>(t0))) return 0;
  auto it = slot_status.find(t0);
  return it == slot_status.end() ? 1 : it->second;
}

// Mean A+ power of each half hour in W: twice the half hour's energy in Wh.
uint8_t CeMeter::profile(const uint8_t* p, Bytes& d, std::string& note) const {
  int half = fromBcd(p[0]), day = fromBcd(p[2]), month = fromBcd(p[3]), yy = fromBcd(p[4]);
  note = "profile " + dateText(2000 + yy, month, day) + (half == 1 ? " 12:00" : " 00:00");
  if (half < 0 || half > 1 || day < 0 || month < 0 || yy < 0 || !validDate(2000 + yy, month, day)) {
    note = "profile: no such half-day";
    return kBadParams;
  }
  time_t now = core->meterSeconds();
  time_t start = localTime(2000 + yy, month, day, 12 * half);
  if (start > now) {
    note += ": not begun";
    return kPastNewest;
  }
  if (start < dayStart(now, depth.profile_days) ||
      !core->recorded(static_cast<double>(start + kSlots * kSlot))) {
    note += ": not kept";
    return kNoRecord;
  }
  d.push_back(toBcd(half));
  d.push_back(30);
  d.insert(d.end(), p + 2, p + 5);
  for (int i = 0; i < kSlots; ++i) {
    time_t t0 = start + kSlot * i;
    uint8_t st = slotStatus(t0, now);
    double w = 0;
    if (st == 1) {
      for (int t = 1; t <= kTariffs; ++t)
        w += 2.0 * (core->energy.wh(kAPlus, t, static_cast<double>(t0 + kSlot)) -
                    core->energy.wh(kAPlus, t, static_cast<double>(t0)));
    }
    d.push_back(st);
    putU16(d, static_cast<uint32_t>(std::max(0.0, std::min(65535.0, std::round(w)))));
  }
  spoil(17, start, d, note);
  return kDone;
}

void CeMeter::spoil(uint8_t cmd, time_t start, Bytes& d, std::string& note) const {
  for (const auto& b : bad_answers) {
    if (b.cmd != cmd || b.start != start) continue;
    // The date: day, month, year of a day; month, year; or the profile's
    // half-day and its date (byte 1 is the period).
    size_t date = cmd == 15 ? 3 : cmd == 13 ? 2 : 5;
    if (b.cut) {
      d.resize(date);
      note += ": cut short";
    } else {
      for (size_t i = 0; i < date; ++i)
        if (cmd != 17 || i != 1) d[i] = 0xFF;
      note += ": date spoilt";
    }
  }
}

uint8_t CeMeter::events(const uint8_t* p, Bytes& d, std::string& note) const {
  int number = p[0], index = p[1];
  note = "journal " + std::to_string(number) + " record " + std::to_string(index);
  const JournalKind* kind = journalKind(number);
  if (!kind) {
    note += ": no such journal";
    return kBadParams;
  }
  time_t now = core->meterSeconds();
  std::vector<const JournalRecord*> newest_first;
  auto it = journals.find(number);
  if (it != journals.end()) {
    for (auto r = it->second.rbegin(); r != it->second.rend(); ++r)
      if (r->made <= now) newest_first.push_back(&*r);
  }
  if (static_cast<size_t>(index) >= newest_first.size()) {
    note += ": none";
    return kNoRecord;
  }
  const JournalRecord& r = *newest_first[index];
  time_t t2 = r.t2 <= now ? r.t2 : 0;
  d.push_back(p[0]);
  d.push_back(p[1]);
  size_t at = d.size();
  switch (number) {
    case 0:
      putStamp(d, r.t1);
      putStamp(d, t2);
      d.push_back(static_cast<uint8_t>(r.n1));
      d.push_back(0);
      break;
    case 1:
      putStamp(d, r.t1);
      putU16(d, static_cast<uint16_t>(static_cast<int16_t>(r.n1)));
      d.push_back(static_cast<uint8_t>(r.n2));
      d.push_back(0);
      break;
    case 2:
      putStamp(d, r.t1);
      putStamp(d, t2);
      d.push_back(static_cast<uint8_t>(r.n2));
      d.push_back(0);
      break;
    case 5:
      putStamp(d, r.t1);
      putStamp(d, t2);
      d.push_back(static_cast<uint8_t>(r.n1));
      putU16(d, static_cast<uint32_t>(r.n2));
      d.push_back(static_cast<uint8_t>(r.n3));
      break;
    case 6:
      putStamp(d, r.t1);
      putStamp(d, t2);
      d.push_back(static_cast<uint8_t>(r.n1));
      d.insert(d.end(), 3, 0);
      break;
    case 9:
      putStamp(d, r.t1);
      d.push_back(static_cast<uint8_t>(r.n1));
      d.push_back(static_cast<uint8_t>(r.n2));
      putU32(d, clampU32(static_cast<double>(
                    core->energy.reading(kAPlus, 0, static_cast<double>(r.t1)))));
      break;
    default:  // 3 and 10: cover opened, closed again
      putStamp(d, r.t1);
      putStamp(d, t2);
      break;
  }
  if (d.size() - at != kind->size) {
    note += ": internal record size error";
    return kBadParams;
  }
  return kDone;
}

// Parameter bytes each command takes; -1 for commands the meter does not know.
int paramBytes(uint8_t cmd, bool model_a) {
  switch (cmd) {
    case 0:
    case 1:
    case 3:
    case 21:
    case 23:
      return 0;
    case 11:
    case 13:
      return 2;
    case 15:
      return 3;
    case 17:
      return 5;
    case 27:
      return model_a ? 2 : -1;
    default:
      return -1;
  }
}

uint8_t CeMeter::respond(uint8_t cmd, const uint8_t* p, size_t np, Bytes& d,
                         std::string& note) const {
  int want = paramBytes(cmd, model_a);
  if (want < 0) {
    note = "command " + std::to_string(cmd) + ": unknown";
    return kUnknownCommand;
  }
  if (np != static_cast<size_t>(want)) {
    note = "command " + std::to_string(cmd) + ": " + std::to_string(np) +
           " parameter bytes, expected " + std::to_string(want);
    return kBadParams;
  }
  switch (cmd) {
    case 0:
      note = "system info";
      return systemInfo(d);
    case 21:
      note = "manufacture date";
      d.push_back(toBcd(made_day));
      d.push_back(toBcd(made_month));
      d.push_back(toBcd(made_year - 2000));
      d.insert(d.end(), 47, 0);
      return kDone;
    case 1:
      note = "date and time";
      return dateTime(d);
    case 3:
      note = "energy";
      return energy(d);
    case 23:
      note = "power";
      return power(d);
    case 27:
      note = "current state";
      if (p[0] != 0 || p[1] != 0) {
        note += ": parameters must be 00 00";
        return kBadParams;
      }
      return state(d);
    case 15:
      return daily(p, d, note);
    case 13:
      return monthly(p, d, note);
    case 17:
      return profile(p, d, note);
    case 11:
      return events(p, d, note);
    default:
      return kUnknownCommand;
  }
}

// ---------------------------------------------------------------------------

// A 32-bit number: JSON integer, decimal text, or "0x" hex text.
uint32_t u32Field(const JsonFields& f, const char* key, uint32_t def) {
  if (!f.has(key)) return def;
  const Json::Value& v = f.raw(key);
  if (v.isIntegral()) {
    if (v.isUInt64() && v.asUInt64() <= 0xFFFFFFFFull) return static_cast<uint32_t>(v.asUInt64());
    f.fail(key, "out of range 0..4294967295");
  }
  if (v.isString()) {
    std::string s = v.asString();
    bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    std::string body = hex ? s.substr(2) : s;
    if (!body.empty() && body.find_first_not_of(digits) == std::string::npos) {
      unsigned long long n = strtoull(body.c_str(), nullptr, hex ? 16 : 10);
      if (body.size() <= (hex ? 8u : 10u) && n <= 0xFFFFFFFFull) return static_cast<uint32_t>(n);
      f.fail(key, "out of range 0..4294967295");
    }
  }
  f.fail(key, "expected a number 0..4294967295 (integer, decimal text or \"0x..\")");
}

// The password as the daemon's configuration writes it: "ascii" type is decimal
// text, any other type hexadecimal text with or without 0x.
uint32_t passwordField(const JsonFields& f) {
  std::string type = f.text("password_type", "hex");
  if (!f.has("password")) return 0;
  const Json::Value& v = f.raw("password");
  if (v.isIntegral()) return u32Field(f, "password", 0);
  if (!v.isString()) f.fail("password", "expected text or a number");
  std::string s = v.asString();
  bool ascii = type == "ascii";
  if (!ascii && s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s = s.substr(2);
  const char* digits = ascii ? "0123456789" : "0123456789abcdefABCDEF";
  if (s.empty() || s.find_first_not_of(digits) != std::string::npos)
    f.fail("password", ascii ? "\"ascii\" type expects decimal digits" : "expected hex digits");
  size_t sig = s.find_first_not_of('0');
  std::string trimmed = sig == std::string::npos ? "0" : s.substr(sig);
  unsigned long long n = strtoull(trimmed.c_str(), nullptr, ascii ? 10 : 16);
  if (trimmed.size() > (ascii ? 10u : 8u) || n > 0xFFFFFFFFull)
    f.fail("password", "does not fit 32 bits");
  return static_cast<uint32_t>(n);
}

class CE2727Family : public Family {
 public:
  std::vector<std::string> keys() const override {
    return {"address",        "password", "password_type", "model",      "serial", "manufactured",
            "firmware",       "errors",   "diagnostic",    "versions",   "status", "depth",
            "profile_status", "journals", "layout",        "bad_answers"};
  }

  void addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) override;

  // The length byte tells where a frame ends, so replies need not wait for silence.
  size_t frameLength(const Bytes& pending) const override {
    if (pending.size() < 2 || pending[0] != 0x02 || pending[1] < kRefusal) return 0;
    return pending[1];
  }

  bool answer(const Bytes& req, LineState& line, Answer& out) override {
    (void)line;
    if (req.size() < kRefusal || req[0] != 0x02 || req[1] != req.size()) {
      out.note = "not a CE2727 frame";
      return false;
    }
    uint16_t crc = mtr::crc16_x25(req.data(), req.size() - 2);
    if (req[req.size() - 2] != (crc & 0xFF) || req[req.size() - 1] != (crc >> 8)) {
      out.note = "bad CRC: ignored";
      return false;
    }
    uint32_t addr = getU32(&req[2]);
    CeMeter* m = nullptr;
    for (auto& mm : meters_)
      if (mm->address == addr) m = mm.get();
    if (!m) {
      out.note = "address " + std::to_string(addr) + ": no such meter";
      return false;
    }
    if (req[10] != 0x01) {
      out.note = "byte 10 is not 01: ignored";
      return false;
    }
    uint8_t cmd = req[11];
    uint32_t pw = getU32(&req[6]);
    Bytes data;
    uint8_t code;
    if (pw != m->password) {
      out.note = "command " + std::to_string(cmd) + ": wrong password";
      code = kDenied;
    } else {
      code = m->respond(cmd, req.data() + kHeader, req.size() - kHeader - 2, data, out.note);
    }
    if (code != kDone) data.clear();
    out.bytes = frame(m->address, code, cmd, data, m->table_layout);
    out.meter_id = std::to_string(m->address);
    out.meter_name = m->core->name;
    return true;
  }

  Bytes errorStatus(const Answer& normal) override {
    return frame(getU32(&normal.bytes[2]), kBadParams, normal.bytes[11], {});
  }

  Bytes wrongAddress(const Answer& normal) override {
    Bytes b(normal.bytes.begin(), normal.bytes.end() - 2);
    uint32_t other = getU32(&b[2]) + 1;
    for (int i = 0; i < 4; ++i) b[2 + i] = static_cast<uint8_t>((other >> (8 * i)) & 0xFF);
    appendCrc(b);
    return b;
  }

 private:
  std::vector<std::unique_ptr<CeMeter>> meters_;
};

JournalRecord journalRecord(const JsonFields& f, const JournalKind& k, const Json::Value& v,
                            const std::string& what) {
  JsonFields rf(v, f.where() + ": " + what, f.base());
  std::vector<std::string> allowed = {k.first_key};
  if (k.second_key) allowed.push_back(k.second_key);
  for (int i = 0; i < 3; ++i)
    if (k.ints[i]) allowed.push_back(k.ints[i]);
  rf.allowOnly(allowed);
  JournalRecord r;
  if (!rf.has(k.first_key)) rf.fail(k.first_key, "required");
  r.t1 = rf.time(k.first_key, 0);
  if (k.second_key) {
    if (k.number == 2 && !rf.has(k.second_key)) rf.fail(k.second_key, "required");
    r.t2 = rf.time(k.second_key, 0);
    if (r.t2 != 0 && r.t2 < r.t1 && k.number != 2)
      rf.fail(k.second_key, std::string("earlier than \"") + k.first_key + "\"");
  }
  int* slots[3] = {&r.n1, &r.n2, &r.n3};
  for (int i = 0; i < 3; ++i) {
    if (!k.ints[i]) continue;
    long def = k.lo[i] > 0 ? k.lo[i] : 0;
    if (k.number == 5 && i == 1) {  // volts in, 0.01 V out
      double volts = rf.number(k.ints[i], 0, 0, 655.35);
      *slots[i] = static_cast<int>(std::lround(volts * 100.0));
    } else {
      *slots[i] = static_cast<int>(rf.integer(k.ints[i], def, k.lo[i], k.hi[i]));
    }
  }
  r.made = std::string(k.made_key) == k.first_key ? r.t1 : r.t2;
  if (r.t1 == 0) rf.fail(k.first_key, "the time 0 means \"not set\"");
  return r;
}

void CE2727Family::addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) {
  auto m = std::make_unique<CeMeter>();
  if (!f.has("address")) f.fail("address", "required (0..4294967295)");
  m->address = u32Field(f, "address", 0);
  for (const auto& other : meters_)
    if (other->address == m->address) f.fail("address", "another meter on the line has it");
  m->password = passwordField(f);

  std::string model = f.text("model", "ce2727a");
  if (model != "ce2727" && model != "ce2727a") f.fail("model", "\"ce2727\" or \"ce2727a\"");
  m->model_a = model == "ce2727a";
  m->serial = u32Field(f, "serial", 1);

  time_t made = f.time("manufactured", localTime(2020, 1, 15));
  std::tm tm = localTm(made);
  m->made_day = tm.tm_mday;
  m->made_month = tm.tm_mon + 1;
  m->made_year = tm.tm_year + 1900;
  if (m->made_year < 2000 || m->made_year > 2099) f.fail("manufactured", "year 2000..2099");
  if (!core->installed_given) core->installed = dayStart(made);

  auto fw = f.bytes("firmware", 2, {0x01, 0x05});
  m->fw_major = fw[0];
  m->fw_minor = fw[1];
  auto errs = f.numbers("errors", 3, {0, 0, 0});
  for (int i = 0; i < 3; ++i) {
    if (errs[i] < 0 || errs[i] > 65535 || errs[i] != std::floor(errs[i]))
      f.fail("errors", "three numbers 0..65535");
    m->errors[i] = static_cast<uint16_t>(errs[i]);
  }
  m->diagnostic = static_cast<uint16_t>(f.integer("diagnostic", 0, 0, 65535));
  auto ver = f.bytes("versions", 2, {1, 1});
  m->version_electric = ver[0];
  m->version_param = ver[1];
  m->status = static_cast<uint8_t>(f.integer("status", 0, 0, 255));

  if (f.has("depth")) {
    JsonFields df(f.raw("depth"), f.where() + ": depth", f.base());
    df.allowOnly({"days", "months", "profile_days"});
    m->depth.days = static_cast<int>(df.integer("days", m->depth.days, 1, 10000));
    m->depth.months = static_cast<int>(df.integer("months", m->depth.months, 1, 1200));
    m->depth.profile_days =
        static_cast<int>(df.integer("profile_days", m->depth.profile_days, 1, 10000));
  }

  if (f.has("profile_status")) {
    const Json::Value& ps = f.raw("profile_status");
    if (!ps.isArray()) f.fail("profile_status", "expected [time, {\"at\": time, \"status\": n}]");
    for (Json::ArrayIndex i = 0; i < ps.size(); ++i) {
      std::string what = "profile_status[" + std::to_string(i) + "]";
      time_t at;
      uint8_t st = kInvalidSlot;
      if (ps[i].isObject()) {
        JsonFields pf(ps[i], f.where() + ": " + what, f.base());
        pf.allowOnly({"at", "status"});
        if (!pf.has("at")) pf.fail("at", "required");
        at = pf.time("at", 0);
        st = static_cast<uint8_t>(pf.integer("status", kInvalidSlot, 0, 255));
        if (st == 1) pf.fail("status", "1 is a good slot; give any other value");
      } else {
        at = f.timeValue(ps[i], what);
      }
      // The half hour of the local day that holds `at`.
      time_t day = dayStart(at);
      m->slot_status[day + (at - day) / kSlot * kSlot] = st;
    }
  }

  if (f.has("journals")) {
    const Json::Value& js = f.raw("journals");
    if (!js.isObject()) f.fail("journals", "expected {\"0\": [records], ...}");
    for (const auto& key : js.getMemberNames()) {
      char* end = nullptr;
      long number = strtol(key.c_str(), &end, 10);
      const JournalKind* kind =
          key.empty() || *end ? nullptr : journalKind(static_cast<int>(number));
      if (!kind) f.fail("journals", "no journal \"" + key + "\" (0, 1, 2, 3, 5, 6, 9, 10)");
      const Json::Value& list = js[key];
      if (!list.isArray()) f.fail("journals", "journal " + key + ": expected an array");
      if (list.size() > 255) f.fail("journals", "journal " + key + ": at most 255 records");
      auto& records = m->journals[kind->number];
      for (Json::ArrayIndex i = 0; i < list.size(); ++i)
        records.push_back(
            journalRecord(f, *kind, list[i], "journals." + key + "[" + std::to_string(i) + "]"));
      std::stable_sort(
          records.begin(), records.end(),
          [](const JournalRecord& a, const JournalRecord& b) { return a.made < b.made; });
    }
  }
  std::string layout = f.text("layout", "code");
  if (layout != "code" && layout != "table") f.fail("layout", "\"code\" or \"table\"");
  m->table_layout = layout == "table";

  if (f.has("bad_answers")) {
    const Json::Value& list = f.raw("bad_answers");
    if (!list.isArray()) f.fail("bad_answers", "expected [{\"cmd\": 15, \"at\": time}, ...]");
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
      std::string what = "bad_answers[" + std::to_string(i) + "]";
      int cmd = 15;
      time_t at;
      std::string defect = "date";
      if (list[i].isObject()) {
        JsonFields bf(list[i], f.where() + ": " + what, f.base());
        bf.allowOnly({"cmd", "at", "defect"});
        cmd = static_cast<int>(bf.integer("cmd", 15, 13, 17));
        if (cmd == 14 || cmd == 16) bf.fail("cmd", "15 daily, 13 monthly or 17 profile");
        if (!bf.has("at")) bf.fail("at", "required");
        at = bf.time("at", 0);
        defect = bf.text("defect", "date");
        if (defect != "date" && defect != "short") bf.fail("defect", "\"date\" or \"short\"");
      } else {
        at = f.timeValue(list[i], what);
      }
      std::tm tm = localTm(at);
      time_t start = cmd == 13 ? monthStart(at) : dayStart(at);
      if (cmd == 17 && tm.tm_hour >= 12)
        start = localTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 12);
      m->bad_answers.push_back({static_cast<uint8_t>(cmd), start, defect == "short"});
    }
  }
  m->core = std::move(core);
  meters_.push_back(std::move(m));
}

const bool registered =
    registerFamily("ce2727", [] { return std::unique_ptr<Family>(new CE2727Family); });

}  // namespace

}  // namespace msim
