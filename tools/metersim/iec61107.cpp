// The Energomera IEC 61107 family (CE301, CE303, CE304, CE308, CE102M) as the
// meters answer in mode C: break, sign-on "/?addr!", identification, option
// select into programming mode, then R1 reads of five-letter parameters
// answered as STX NAME(v1)(v2)... ETX BCC, with a 7-bit sum as check character.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "family.h"
#include "simtime.h"

namespace msim {

namespace {

constexpr uint8_t SOH = 0x01;
constexpr uint8_t STX = 0x02;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t ACK = 0x06;
constexpr uint8_t LF = 0x0A;
constexpr uint8_t CR = 0x0D;
constexpr uint8_t NAK = 0x15;

// Check character: the bytes after the leading SOH/STX up to ETX, added in
// 8 bits, kept to 7 bits (the line may run 7E1).
uint8_t sum7(const uint8_t* p, size_t n) {
  uint8_t s = 0;
  for (size_t i = 0; i < n; ++i) s = static_cast<uint8_t>(s + p[i]);
  return s & 0x7F;
}

// Baud-rate characters of mode C.
const int kSpeeds[] = {300, 600, 1200, 2400, 4800, 9600, 19200};

const char* const kErrorUnknown = "ERR12";  // parameter unknown or argument refused
const char* const kErrorFault = "ERR02";    // what the error fault answers instead

struct ModelInfo {
  const char* key;
  const char* text;  // upper-case model name as the meter writes it
  const char* identification;
  int phases;
  bool reactive;
  bool ratios;  // FCCUR, FCVOL
  bool ce102m;  // WATCH, VINFO and the LOG journals instead of DATE_/TIME_/...
  bool ce308;
};

const ModelInfo kModels[] = {
    {"ce301", "CE301", "CE301v12", 3, false, true, false, false},
    {"ce303", "CE303", "CE303v12", 3, true, true, false, false},
    {"ce304", "CE304", "CE304v12", 3, true, true, false, false},
    {"ce308", "CE308", "CE308v10", 3, true, false, false, true},
    {"ce102m", "CE102M", "CE102Mv01", 1, false, false, true, false},
};

enum class JournalKind { kPoint, kInterval };

struct JournalInfo {
  const char* name;
  JournalKind kind;
  bool ce102m;
};

const JournalInfo kJournals[] = {
    {"ACCES", JournalKind::kPoint, false},    {"PHASE", JournalKind::kInterval, false},
    {"JSTAT", JournalKind::kPoint, false},    {"JOVER", JournalKind::kInterval, false},
    {"DENIA", JournalKind::kPoint, false},    {"JCORT", JournalKind::kPoint, false},
    {"ELOCK", JournalKind::kInterval, false}, {"JIOVE", JournalKind::kInterval, false},
    {"LOG01", JournalKind::kInterval, true},  {"LOG02", JournalKind::kPoint, true},
};

const JournalInfo* journalInfo(const std::string& name) {
  for (const auto& j : kJournals)
    if (name == j.name) return &j;
  return nullptr;
}

struct JournalEntry {
  time_t start = 0;
  time_t end = 0;  // 0: still lasting (or a point journal)
};

struct Switch {
  int minute_of_day;
  int tariff;
};

struct Season {
  int month, day;
  std::array<int, 4> schedules;  // working day, Saturday, Sunday, holiday
};

struct SpecialDay {
  int month, day, schedule;
};

constexpr int kSchedules = 36;
constexpr int kTariffColumns = 8;  // at most T1..T8 in energy answers

std::string fixed(double v, int decimals) {
  char buf[64];
  snprintf(buf, sizeof buf, "%.*f", decimals, v);
  std::string s = buf;
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) s.erase(0, 1);
  return s;
}

// Whole Wh as kWh with three decimals, exactly.
std::string kwh(uint64_t wh) {
  char buf[32];
  snprintf(buf, sizeof buf, "%llu.%03llu", static_cast<unsigned long long>(wh / 1000),
           static_cast<unsigned long long>(wh % 1000));
  return buf;
}

std::string two(int v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

std::string dateText(time_t t) {  // dd.mm.yy
  std::tm tm = localTm(t);
  return two(tm.tm_mday) + "." + two(tm.tm_mon + 1) + "." + two(tm.tm_year % 100);
}

std::string timeText(time_t t) {  // hh:mm:ss
  std::tm tm = localTm(t);
  return two(tm.tm_hour) + ":" + two(tm.tm_min) + ":" + two(tm.tm_sec);
}

// "dd.mm.yy" -> local midnight; false when it is not a calendar day.
bool parseDay(const std::string& s, time_t& out) {
  int d = 0, m = 0, y = 0, used = 0;
  if (s.size() != 8 || sscanf(s.c_str(), "%2d.%2d.%2d%n", &d, &m, &y, &used) != 3 || used != 8)
    return false;
  if (!validDate(2000 + y, m, d)) return false;
  out = localTime(2000 + y, m, d);
  return true;
}

// "mm.yy" -> local midnight of the month's first day.
bool parseMonth(const std::string& s, time_t& out) {
  int m = 0, y = 0, used = 0;
  if (s.size() != 5 || sscanf(s.c_str(), "%2d.%2d%n", &m, &y, &used) != 2 || used != 5 ||
      !validDate(2000 + y, m, 1))
    return false;
  out = localTime(2000 + y, m, 1);
  return true;
}

enum class Layout { kLines, kCompact, kNamed };

// Answer layouts that the family's parameter descriptions also allow, and
// answers a tolerant master must survive.
struct Variants {
  bool plain_date = false;            // DATE_ (dd.mm.yy) without the day of the week
  bool dot_schedule = false;          // GRFnn (hh.mm.tt) instead of (hh:mm,t)
  int tariffs = 5;                    // tariff brackets after the total in energy answers
  std::string unreadable;             // the first value of this name is garbled
  std::set<std::string> zero_record;  // journals ending with an all-zero record
  std::set<std::string> refuse;       // names answered (ERR12)
};

class IecMeter {
 public:
  std::unique_ptr<MeterCore> core;
  const ModelInfo* model = &kModels[0];
  std::string address;
  std::string manufacturer = "EKT";
  char speed_char = '5';
  std::string identification;
  std::string serial = "00000001";
  std::string firmware = "v12";
  std::string ident;
  double ct_ratio = 1, vt_ratio = 1;
  int archive_days = 44, archive_months = 12;
  int profile_period = 30, profile_days = 31;
  std::map<std::string, std::vector<JournalEntry>> journals;  // oldest first
  std::array<std::vector<Switch>, kSchedules> schedules;
  std::vector<Season> seasons;
  std::vector<SpecialDay> special_days;
  std::string password;  // empty: any password is taken
  int naks = 0;
  Layout layout = Layout::kLines;
  double session_timeout = 120;
  bool reactive = false;  // measures reactive energy (the model's, unless set)
  Variants variants;

  std::string id() const { return address.empty() ? serial : address; }

  // Values of a read, or false when the meter does not know the parameter or
  // refuses its argument.
  bool read(const std::string& name, const std::string& args, std::vector<std::string>& values,
            std::string& note) const;

 private:
  time_t now() const { return core->meterSeconds(); }
  std::vector<std::string> registers(Direction d, double t) const;
  std::vector<std::string> consumption(Direction d, double t0, double t1) const;
  bool dailyHeld(time_t day) const;
  bool monthHeld(time_t month) const;
  bool profileHeld(time_t day) const;
  std::vector<std::string> profileDay(Direction d, time_t day) const;
  std::vector<std::string> journal(const std::string& name) const;
  bool value(const std::string& name, const std::string& args, std::vector<std::string>& values,
             std::string& note) const;
};

std::vector<std::string> IecMeter::registers(Direction d, double t) const {
  std::vector<std::string> v{kwh(core->energy.reading(d, 0, t))};
  for (int tariff = 1; tariff <= variants.tariffs; ++tariff)
    v.push_back(kwh(tariff <= kTariffs ? core->energy.reading(d, tariff, t) : 0));
  return v;
}

std::vector<std::string> IecMeter::consumption(Direction d, double t0, double t1) const {
  auto diff = [&](int tariff) -> uint64_t {
    if (tariff > kTariffs) return 0;
    uint64_t a = core->energy.reading(d, tariff, t0), b = core->energy.reading(d, tariff, t1);
    return b > a ? b - a : 0;
  };
  uint64_t total = 0;
  for (int tariff = 1; tariff <= kTariffs; ++tariff) total += diff(tariff);
  std::vector<std::string> v{kwh(total)};
  for (int tariff = 1; tariff <= variants.tariffs; ++tariff) v.push_back(kwh(diff(tariff)));
  return v;
}

bool IecMeter::dailyHeld(time_t day) const {
  return day >= core->installed && day <= dayStart(now()) &&
         day >= dayStart(now(), archive_days - 1);
}

bool IecMeter::monthHeld(time_t month) const {
  return month >= core->installed && month <= monthStart(now()) &&
         month >= monthStart(now(), archive_months - 1);
}

// A profile day is held once its first interval has ended, while some of it
// lies after the installation, within the depth.
bool IecMeter::profileHeld(time_t day) const {
  std::tm tm = localTm(day);
  time_t next = localTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday + 1);
  return day + profile_period * 60 <= now() && next > core->installed &&
         day >= dayStart(now(), profile_days - 1);
}

// Average power of each interval in kW (kvar); a day in progress stops at the
// last completed interval, intervals before the installation are empty.
std::vector<std::string> IecMeter::profileDay(Direction d, time_t day) const {
  std::tm tm = localTm(day);
  std::vector<std::string> v;
  int per_day = 24 * 60 / profile_period;
  for (int i = 0; i < per_day; ++i) {
    time_t a = localTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 0, i * profile_period);
    time_t b = a + profile_period * 60;
    if (b > now()) break;
    if (a < core->installed) {
      v.push_back("");
      continue;
    }
    uint64_t ea = core->energy.reading(d, 0, static_cast<double>(a));
    uint64_t eb = core->energy.reading(d, 0, static_cast<double>(b));
    double w = static_cast<double>(eb > ea ? eb - ea : 0) * 60.0 / profile_period;
    v.push_back(fixed(w / 1000.0, 3));
  }
  return v;
}

std::vector<std::string> IecMeter::journal(const std::string& name) const {
  std::vector<std::string> v;
  auto it = journals.find(name);
  static const std::vector<JournalEntry> kNone;
  const std::vector<JournalEntry>& entries = it == journals.end() ? kNone : it->second;
  time_t t = now();
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
    if (e->start > t) continue;  // not happened yet
    std::string s = dateText(e->start) + "," + timeText(e->start);
    if (e->end != 0 && e->end <= t) s += "," + dateText(e->end) + "," + timeText(e->end);
    v.push_back(s);
  }
  auto zero = variants.zero_record.find(name);
  if (zero != variants.zero_record.end())
    v.push_back(journalInfo(name)->kind == JournalKind::kInterval
                    ? "00.00.00,00:00:00,00.00.00,00:00:00"
                    : "00.00.00,00:00:00");
  return v;
}

bool IecMeter::read(const std::string& name, const std::string& args, std::vector<std::string>& v,
                    std::string& note) const {
  if (variants.refuse.count(name)) {
    note = name + "(" + args + "): refused";
    return false;
  }
  if (!value(name, args, v, note)) return false;
  if (name == variants.unreadable) {
    // A stray letter after the first character: no reader takes it.
    if (v.empty()) v.push_back("");
    v[0].insert(v[0].empty() ? 0 : 1, "x");
    note += ": made unreadable";
  }
  return true;
}

bool IecMeter::value(const std::string& name, const std::string& args, std::vector<std::string>& v,
                     std::string& note) const {
  const ModelInfo& mi = *model;
  const bool three = mi.phases == 3;
  const bool ce3 = !mi.ce102m;
  const time_t t = now();
  const double tn = core->meterNow();
  auto phases = [&](const std::array<double, 3>& a, double scale, int decimals) {
    for (int p = 0; p < mi.phases; ++p) v.push_back(fixed(a[p] * scale, decimals));
  };
  auto perPhase = [&](bool reactive) {
    for (int p = 1; p <= mi.phases; ++p)
      v.push_back(fixed((reactive ? core->reactiveVar(p) : core->activeW(p)) / 1000.0, 3));
  };
  // Single-phase meters measure phase A only.
  auto total = [&](bool reactive) {
    int p = three ? 0 : 1;
    return (reactive ? core->reactiveVar(p) : core->activeW(p)) / 1000.0;
  };

  note = name + "(" + args + ")";
  if (name == "ET0PE") {
    v = registers(kAPlus, tn);
  } else if (name == "ET0QE" && reactive) {
    v = registers(kRPlus, tn);
  } else if (name == "VOLTA") {
    phases(core->voltage, 1, 2);
  } else if (name == "CURRE") {
    phases(core->current, 1, 3);
  } else if (name == "POWEP") {
    v.push_back(fixed(total(false), 3));
  } else if (name == "POWPP" && ce3) {
    perPhase(false);
  } else if (name == "POWEQ" && reactive) {
    v.push_back(fixed(total(true), 3));
  } else if (name == "POWPQ" && reactive) {
    perPhase(true);
  } else if (name == "COS_f") {
    if (three)
      for (int p = 0; p <= 3; ++p) v.push_back(fixed(core->power_factor[p], 3));
    else
      v.push_back(fixed(core->power_factor[1], 3));
  } else if (name == "FREQU") {
    v.push_back(fixed(core->frequency, 2));
  } else if (name == "DATE_" && ce3) {
    std::tm tm = localTm(t);
    v.push_back(variants.plain_date ? dateText(t) : two(tm.tm_wday) + "." + dateText(t));
  } else if (name == "TIME_" && ce3) {
    v.push_back(timeText(t));
  } else if (name == "WATCH" && mi.ce102m) {
    v.push_back(dateText(t) + "," + timeText(t));
  } else if (name == "SNUMB") {
    v.push_back(serial);
  } else if (name == "ID_FW" && ce3) {
    v.push_back(firmware);
  } else if (name == "IDENT" && ce3) {
    v.push_back(ident);
  } else if (name == "VINFO" && mi.ce102m) {
    v = {serial, firmware, ident};
  } else if ((name == "FCCUR" || name == "FCVOL") && mi.ratios) {
    char buf[32];
    snprintf(buf, sizeof buf, "%g", name == "FCCUR" ? ct_ratio : vt_ratio);
    v.push_back(buf);
  } else if (name == "TAVER") {
    v.push_back(std::to_string(profile_period));
  } else if (name.size() == 5 && name.compare(0, 3, "GRF") == 0 && isdigit(name[3]) &&
             isdigit(name[4])) {
    int n = (name[3] - '0') * 10 + (name[4] - '0');
    if (n < 1 || n > kSchedules) return false;
    for (const auto& s : schedules[n - 1])
      v.push_back(variants.dot_schedule
                      ? two(s.minute_of_day / 60) + "." + two(s.minute_of_day % 60) + "." +
                            two(s.tariff)
                      : two(s.minute_of_day / 60) + ":" + two(s.minute_of_day % 60) + "," +
                            std::to_string(s.tariff));
  } else if (name == "SESON") {
    for (const auto& s : seasons) {
      std::string e = two(s.day) + "." + two(s.month);
      for (int g : s.schedules) e += "," + std::to_string(g);
      v.push_back(e);
    }
  } else if (name == "EXDAY") {
    for (const auto& s : special_days)
      v.push_back(two(s.day) + "." + two(s.month) + "," + std::to_string(s.schedule));
  } else if (const JournalInfo* j = journalInfo(name)) {
    if (j->ce102m != mi.ce102m) return false;
    v = journal(name);
  } else if (name == "DATED") {
    for (int k = 0; k < archive_days; ++k) {
      time_t day = dayStart(t, k);
      if (!dailyHeld(day)) break;
      v.push_back(dateText(day));
    }
  } else if (name == "DATEM") {
    for (int k = 0; k < archive_months; ++k) {
      time_t m = monthStart(t, k);
      if (!monthHeld(m)) break;
      std::tm tm = localTm(m);
      v.push_back(two(tm.tm_mon + 1) + "." + two(tm.tm_year % 100));
    }
  } else if (name == "DATGR") {
    for (int k = 0; k < profile_days; ++k) {
      time_t day = dayStart(t, k);
      if (profileHeld(day)) v.push_back(dateText(day));
    }
  } else if (name == "ENDPE" || name == "EADPE" ||
             (reactive && (name == "ENDQE" || name == "EADQE"))) {
    time_t day;
    if (!parseDay(args, day)) return false;
    Direction d = name[3] == 'P' ? kAPlus : kRPlus;
    std::tm tm = localTm(day);
    time_t next = localTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday + 1);
    if (!dailyHeld(day)) {
      note += ": not held";
    } else if (name[1] == 'N') {
      v = registers(d, static_cast<double>(day));
    } else if (next <= t) {
      v = consumption(d, static_cast<double>(day), static_cast<double>(next));
    } else {
      note += ": day not over";
    }
  } else if (name == "ENMPE" || name == "EAMPE" ||
             (reactive && (name == "ENMQE" || name == "EAMQE"))) {
    time_t month;
    if (!parseMonth(args, month)) return false;
    Direction d = name[3] == 'P' ? kAPlus : kRPlus;
    std::tm tm = localTm(month);
    time_t next = localTime(tm.tm_year + 1900, tm.tm_mon + 2, 1);
    if (!monthHeld(month)) {
      note += ": not held";
    } else if (name[1] == 'N') {
      v = registers(d, static_cast<double>(month));
    } else if (next <= t) {
      v = consumption(d, static_cast<double>(month), static_cast<double>(next));
    } else {
      note += ": month not over";
    }
  } else if (name == "GRAPE" || (reactive && name == "GRAQE")) {
    time_t day;
    if (!parseDay(args, day)) return false;
    if (profileHeld(day))
      v = profileDay(name == "GRAPE" ? kAPlus : kRPlus, day);
    else
      note += ": not held";
  } else {
    return false;
  }
  return true;
}

// What the last answer was, so that a fault can be made from it.
enum class AnswerKind { kIdentification, kProgramming, kData, kError, kReadout, kShort };

class Iec61107Family : public Family {
 public:
  std::vector<std::string> keys() const override {
    return {"address",         "model",    "manufacturer", "speed",     "identification",
            "serial",          "firmware", "ident",        "ct_ratio",  "vt_ratio",
            "archive",         "profile",  "journals",     "schedules", "seasons",
            "special_days",    "password", "naks",         "layout",    "session_timeout",
            "reactive_energy", "variants"};
  }

  void addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) override;

  size_t frameLength(const Bytes& pending) const override;
  bool answer(const Bytes& frame, LineState& line, Answer& out) override;

  Bytes errorStatus(const Answer& normal) override {
    (void)normal;
    return dataFrame(last_meter_, "", {kErrorFault}, true);
  }

  Bytes wrongAddress(const Answer& normal) override;

  // Flips bits of the last byte within 7 bits: on a data frame that is the check
  // character, on a line answer its LF.
  Bytes badChecksum(const Answer& normal) override {
    Bytes b = normal.bytes;
    if (!b.empty()) b.back() ^= 0x25;
    return b;
  }

 private:
  enum class State { kIdle, kIdentified, kProgramming };

  void endSession(LineState& line);
  bool signOn(const Bytes& f, LineState& line, Answer& out);
  bool optionSelect(const Bytes& f, LineState& line, Answer& out);
  bool command(const Bytes& f, LineState& line, Answer& out);
  void reply(Answer& out, IecMeter* m, Bytes bytes, AnswerKind kind);

  Bytes identification(const IecMeter* m, const std::string& text) const;
  Bytes programmingAnswer(const IecMeter* m, const std::string& serial) const;
  // STX name(v1)(v2)... ETX BCC in the meter's layout; `bare` for the error
  // form STX (ERRnn) ETX BCC.
  Bytes dataFrame(const IecMeter* m, const std::string& name,
                  const std::vector<std::string>& values, bool bare = false) const;
  Bytes readout(const IecMeter* m) const;
  Bytes withNaks(const IecMeter* m, Bytes frame) const;

  std::vector<std::unique_ptr<IecMeter>> meters_;
  State state_ = State::kIdle;
  IecMeter* session_ = nullptr;
  double last_activity_ = 0;
  int base_baud_ = -1;  // the line speed outside a session
  Bytes last_reply_;    // repeated on a NAK from the master

  AnswerKind last_kind_ = AnswerKind::kShort;
  IecMeter* last_meter_ = nullptr;
  std::string last_name_;
  std::vector<std::string> last_values_;
};

Bytes Iec61107Family::withNaks(const IecMeter* m, Bytes frame) const {
  if (m && m->naks > 0) frame.insert(frame.begin(), static_cast<size_t>(m->naks), NAK);
  return frame;
}

Bytes Iec61107Family::identification(const IecMeter* m, const std::string& text) const {
  std::string s = "/" + m->manufacturer + m->speed_char + text + "\r\n";
  return withNaks(m, Bytes(s.begin(), s.end()));
}

Bytes Iec61107Family::programmingAnswer(const IecMeter* m, const std::string& serial) const {
  std::string s = "P0\x02(" + serial + ")\x03";
  Bytes b{SOH};
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(sum7(b.data() + 1, b.size() - 1));
  return withNaks(m, b);
}

Bytes Iec61107Family::dataFrame(const IecMeter* m, const std::string& name,
                                const std::vector<std::string>& values, bool bare) const {
  std::string s;
  if (bare) {
    for (const auto& v : values) s += "(" + v + ")";
  } else {
    Layout layout = m ? m->layout : Layout::kLines;
    std::string eol = layout == Layout::kCompact ? "" : "\r\n";
    s = name;
    if (values.empty()) s += "()" + eol;
    for (size_t i = 0; i < values.size(); ++i) {
      if (i > 0 && layout == Layout::kNamed) s += name;
      s += "(" + values[i] + ")" + eol;
    }
  }
  Bytes b{STX};
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(ETX);
  b.push_back(sum7(b.data() + 1, b.size() - 1));
  return withNaks(m, b);
}

// Data readout mode: the main registers and values, then "!" CR LF.
Bytes Iec61107Family::readout(const IecMeter* m) const {
  std::string s;
  std::vector<std::string> names = {"ET0PE"};
  if (m->reactive) names.push_back("ET0QE");
  for (const char* n : {"VOLTA", "CURRE", "POWEP", "FREQU"}) names.push_back(n);
  for (const auto& n : names) {
    std::vector<std::string> v;
    std::string note;
    m->read(n, "", v, note);
    for (const auto& x : v) s += n + "(" + x + ")\r\n";
  }
  s += "!\r\n";
  Bytes b{STX};
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(ETX);
  b.push_back(sum7(b.data() + 1, b.size() - 1));
  return withNaks(m, b);
}

Bytes Iec61107Family::wrongAddress(const Answer& normal) {
  const IecMeter* m = last_meter_;
  switch (last_kind_) {
    case AnswerKind::kIdentification:
      // Another make of the family answers the sign-on.
      return identification(m, m->model->ce102m ? "CE301v12" : "CE102Mv01");
    case AnswerKind::kProgramming: {
      std::string other = m->serial;
      other.back() = other.back() == '9' ? '0' : static_cast<char>(other.back() + 1);
      return programmingAnswer(m, other);
    }
    case AnswerKind::kData:
      return dataFrame(m, last_name_ == "SNUMB" ? "VOLTA" : "SNUMB", last_values_);
    default:
      return normal.bytes;
  }
}

size_t Iec61107Family::frameLength(const Bytes& pending) const {
  auto at = [&](size_t i) { return static_cast<uint8_t>(pending[i] & 0x7F); };
  auto lineEnd = [&](size_t from, size_t limit) -> size_t {
    for (size_t i = from; i + 1 < pending.size() && i + 1 < limit; ++i)
      if (at(i) == CR && at(i + 1) == LF) return i + 2;
    return 0;
  };
  if (pending.size() < 2) return 0;
  uint8_t c0 = at(0);
  if (c0 == '/' && at(1) == '?') return lineEnd(2, 40);
  if (c0 == ACK && pending.size() >= 6 && isdigit(at(1)) && isdigit(at(2)) && isdigit(at(3)))
    return lineEnd(4, 6);
  if (c0 == SOH && pending.size() >= 4 && isupper(at(1)) && isdigit(at(2)) &&
      (at(3) == STX || at(3) == ETX)) {
    for (size_t i = 3; i + 1 < pending.size(); ++i)
      if (at(i) == ETX) return i + 2;
  }
  return 0;
}

void Iec61107Family::endSession(LineState& line) {
  state_ = State::kIdle;
  session_ = nullptr;
  if (base_baud_ >= 0) line.baud = base_baud_;
}

void Iec61107Family::reply(Answer& out, IecMeter* m, Bytes bytes, AnswerKind kind) {
  out.bytes = std::move(bytes);
  out.meter_id = m->id();
  out.meter_name = m->core->name;
  last_reply_ = out.bytes;
  last_kind_ = kind;
  last_meter_ = m;
}

bool Iec61107Family::signOn(const Bytes& f, LineState& line, Answer& out) {
  // "/?" address "!" CR LF
  endSession(line);
  if (f.size() < 5 || f[f.size() - 3] != '!' || f[f.size() - 2] != CR || f.back() != LF) {
    out.note = "sign-on without \"!\" CR LF: ignored";
    return false;
  }
  std::string address(f.begin() + 2, f.end() - 3);
  IecMeter* m = nullptr;
  if (address.empty()) {
    // Everybody answers a sign-on without address; only a lone meter is heard.
    if (meters_.size() == 1) m = meters_[0].get();
  } else {
    for (auto& mm : meters_)
      if (mm->address == address) m = mm.get();
  }
  if (!m) {
    out.note = address.empty() ? "sign-on without address: several meters would answer at once"
                               : "sign-on to address \"" + address + "\": no such meter";
    return false;
  }
  state_ = State::kIdentified;
  session_ = m;
  out.note = "sign-on \"" + address + "\": identification";
  reply(out, m, identification(m, m->identification), AnswerKind::kIdentification);
  return true;
}

bool Iec61107Family::optionSelect(const Bytes& f, LineState& line, Answer& out) {
  // ACK V Z Y CR LF: protocol control, baud-rate character, mode.
  if (state_ != State::kIdentified || f.size() != 6) {
    out.note = "acknowledgement outside a sign-on: ignored";
    endSession(line);
    return false;
  }
  IecMeter* m = session_;
  char z = static_cast<char>(f[2]), y = static_cast<char>(f[3]);
  if (z < '0' || z > m->speed_char || (y != '0' && y != '1')) {
    out.note = std::string("option select speed '") + z + "' mode '" + y + "': refused";
    endSession(line);
    return false;
  }
  if (y == '0') {
    out.note = "option select: data readout";
    reply(out, m, readout(m), AnswerKind::kReadout);
    endSession(line);
    return true;
  }
  // The new speed applies from the next frame on.
  if (line.baud > 0) line.baud = kSpeeds[z - '0'];
  state_ = State::kProgramming;
  out.note =
      std::string("option select: programming mode at ") + std::to_string(kSpeeds[z - '0']) + " Bd";
  reply(out, m, programmingAnswer(m, m->serial), AnswerKind::kProgramming);
  return true;
}

bool Iec61107Family::command(const Bytes& f, LineState& line, Answer& out) {
  // SOH C D STX data ETX BCC, or SOH B 0 ETX BCC
  size_t n = f.size();
  bool sum_ok = n >= 5 && f[n - 2] == ETX && sum7(f.data() + 1, n - 2) == f[n - 1];
  if (sum_ok && f[1] == 'B') {
    out.note = "break: session ended";
    endSession(line);
    return false;
  }
  if (state_ != State::kProgramming) {
    out.note = "command outside programming mode: ignored";
    return false;
  }
  IecMeter* m = session_;
  if (!sum_ok || f[3] != STX) {
    // Asks the master to repeat.
    out.note = sum_ok ? "command without STX: NAK" : "wrong check character: NAK";
    reply(out, m, Bytes{NAK}, AnswerKind::kShort);
    return true;
  }
  std::string data(f.begin() + 4, f.end() - 2);
  char c = static_cast<char>(f[1]), d = static_cast<char>(f[2]);
  if (c == 'P' && d == '1') {
    bool ok = data.size() >= 2 && data.front() == '(' && data.back() == ')' &&
              (m->password.empty() || data.substr(1, data.size() - 2) == m->password);
    out.note = ok ? "password accepted" : "password refused";
    reply(out, m, Bytes{ok ? ACK : NAK}, AnswerKind::kShort);
    return true;
  }
  if (c != 'R' || d != '1') {
    out.note = std::string("command ") + c + d + ": not supported, NAK";
    reply(out, m, Bytes{NAK}, AnswerKind::kShort);
    return true;
  }
  size_t open = data.find('(');
  std::vector<std::string> values;
  std::string name = data.substr(0, open);
  bool known = open != std::string::npos && data.back() == ')' &&
               data.find('(', open + 1) == std::string::npos;
  if (known) {
    std::string args = data.substr(open + 1, data.size() - open - 2);
    known = m->read(name, args, values, out.note);
  }
  if (!known) {
    out.note = "R1 " + data + ": unknown, " + kErrorUnknown;
    reply(out, m, dataFrame(m, "", {kErrorUnknown}, true), AnswerKind::kError);
    return true;
  }
  out.note = "R1 " + out.note + ": " + std::to_string(values.size()) + " value(s)";
  last_name_ = name;
  last_values_ = values;
  reply(out, m, dataFrame(m, name, values), AnswerKind::kData);
  return true;
}

bool Iec61107Family::answer(const Bytes& raw, LineState& line, Answer& out) {
  if (base_baud_ < 0) base_baud_ = line.baud;
  // The characters are 7-bit; a line run at 7E1 may hand over parity bits.
  Bytes f(raw);
  for (auto& b : f) b &= 0x7F;
  if (f.empty()) return false;
  if (state_ != State::kIdle && session_ &&
      monoNow() - last_activity_ > session_->session_timeout) {
    endSession(line);
  }
  last_activity_ = monoNow();
  bool answered = false;
  if (f.size() >= 2 && f[0] == '/' && f[1] == '?') {
    answered = signOn(f, line, out);
  } else if (f[0] == ACK && f.size() > 1) {
    answered = optionSelect(f, line, out);
  } else if (f[0] == SOH && f.size() >= 4 && isupper(f[1])) {
    answered = command(f, line, out);
  } else if (f.size() == 1 && f[0] == NAK && state_ != State::kIdle && !last_reply_.empty()) {
    out.note = "NAK: repeat";
    out.bytes = last_reply_;
    out.meter_id = session_->id();
    out.meter_name = session_->core->name;
    answered = true;
  } else {
    out.note = "not an IEC 61107 frame";
  }
  return answered;
}

// ---------------------------------------------------------------------------

int monthDay(const JsonFields& f, const std::string& key, const Json::Value& v, int& month) {
  int mo = 0, d = 0, used = 0;
  std::string s = v.isString() ? v.asString() : "";
  if (sscanf(s.c_str(), "%2d-%2d%n", &mo, &d, &used) != 2 || s[used] != 0 ||
      !validDate(2024, mo, d))  // a leap year lets 02-29 through
    f.fail(key, "bad day \"" + s + "\" (MM-DD)");
  month = mo;
  return d;
}

int scheduleNumber(const JsonFields& f, const std::string& key, const Json::Value& v, bool zero) {
  if (!v.isIntegral() || v.asInt() < (zero ? 0 : 1) || v.asInt() > kSchedules)
    f.fail(key, std::string("schedule numbers ") + (zero ? "0" : "1") + "..36");
  return v.asInt();
}

bool printable(const std::string& s, const char* banned) {
  for (char c : s)
    if (c < 0x20 || c > 0x7E || strchr(banned, c)) return false;
  return true;
}

void Iec61107Family::addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) {
  auto m = std::make_unique<IecMeter>();

  std::string model = f.text("model", "ce301");
  m->model = nullptr;
  for (const auto& mi : kModels)
    if (model == mi.key) m->model = &mi;
  if (!m->model) f.fail("model", "unknown \"" + model + "\" (ce301, ce303, ce304, ce308, ce102m)");

  if (f.has("address") && f.raw("address").isIntegral() && f.raw("address").asInt64() >= 0)
    m->address = std::to_string(f.raw("address").asInt64());
  else
    m->address = f.text("address", "");
  if (m->address.size() > 32 ||
      m->address.find_first_not_of("0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                   " ") != std::string::npos)
    f.fail("address", "up to 32 digits, letters or spaces");
  for (const auto& other : meters_) {
    if (other->address.empty() || m->address.empty())
      f.fail("address", "several meters on one line need an address each");
    if (other->address == m->address) f.fail("address", "another meter on the line has it");
  }

  m->manufacturer = f.text("manufacturer", "EKT");
  if (m->manufacturer.size() != 3 || !isalpha(static_cast<unsigned char>(m->manufacturer[0])) ||
      !isalpha(static_cast<unsigned char>(m->manufacturer[1])) ||
      !isalpha(static_cast<unsigned char>(m->manufacturer[2])))
    f.fail("manufacturer", "three letters");
  long speed = f.integer("speed", 9600, 300, 19200);
  m->speed_char = 0;
  for (int i = 0; i < 7; ++i)
    if (kSpeeds[i] == speed) m->speed_char = static_cast<char>('0' + i);
  if (!m->speed_char) f.fail("speed", "300, 600, 1200, 2400, 4800, 9600 or 19200");
  m->identification = f.text("identification", m->model->identification);
  if (m->identification.empty() || m->identification.size() > 16 ||
      !printable(m->identification, "/!"))
    f.fail("identification", "1 to 16 printable characters, without '/' and '!'");

  const char* brackets = "()\x02\x03";
  m->serial = f.text("serial", "00000001");
  m->firmware = f.text("firmware", "v12");
  m->ident = f.text("ident", m->model->text);
  m->password = f.text("password", "");
  if (m->serial.empty() || m->serial.size() > 32 || !printable(m->serial, brackets))
    f.fail("serial", "1 to 32 printable characters without brackets");
  for (const char* key : {"firmware", "ident", "password"}) {
    const std::string& s = key[0] == 'f' ? m->firmware : key[0] == 'i' ? m->ident : m->password;
    if (s.size() > 32 || !printable(s, brackets))
      f.fail(key, "up to 32 printable characters without brackets");
  }
  m->ct_ratio = f.number("ct_ratio", 1, 1, 100000);
  m->vt_ratio = f.number("vt_ratio", 1, 1, 100000);

  if (f.has("archive")) {
    JsonFields a(f.raw("archive"), f.where() + ": archive", f.base());
    a.allowOnly({"days", "months"});
    m->archive_days = static_cast<int>(a.integer("days", 44, 1, 1000));
    m->archive_months = static_cast<int>(a.integer("months", 12, 1, 240));
  }
  if (f.has("profile")) {
    JsonFields p(f.raw("profile"), f.where() + ": profile", f.base());
    p.allowOnly({"period", "days"});
    m->profile_period = static_cast<int>(p.integer("period", 30, 30, 60));
    if (m->profile_period != 30 && m->profile_period != 60) p.fail("period", "30 or 60 minutes");
    m->profile_days = static_cast<int>(p.integer("days", 31, 1, 1000));
  }

  if (f.has("journals")) {
    const Json::Value& js = f.raw("journals");
    if (!js.isObject()) f.fail("journals", "expected {\"NAME\": [entries], ...}");
    for (const auto& name : js.getMemberNames()) {
      const JournalInfo* j = journalInfo(name);
      if (!j || j->ce102m != m->model->ce102m)
        f.fail("journals", "\"" + name + "\" is not a journal of the " + m->model->text +
                               (m->model->ce102m ? " (LOG01, LOG02)"
                                                 : " (ACCES, PHASE, JSTAT, JOVER, DENIA, JCORT, "
                                                   "ELOCK, JIOVE)"));
      const Json::Value& list = js[name];
      if (!list.isArray()) f.fail("journals", name + ": expected an array");
      auto& entries = m->journals[name];
      for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        std::string what = "journals." + name + "[" + std::to_string(i) + "]";
        JournalEntry e;
        if (list[i].isObject()) {
          if (j->kind != JournalKind::kInterval)
            f.fail(what, "a point journal takes times, not {\"start\", \"end\"}");
          JsonFields ef(list[i], f.where() + ": " + what, f.base());
          ef.allowOnly({"start", "end"});
          if (!ef.has("start")) f.fail(what, "needs \"start\"");
          e.start = f.timeValue(list[i]["start"], what + ".start");
          if (ef.has("end")) {
            e.end = f.timeValue(list[i]["end"], what + ".end");
            if (e.end < e.start) f.fail(what, "\"end\" before \"start\"");
          }
        } else {
          e.start = f.timeValue(list[i], what);
        }
        entries.push_back(e);
      }
      std::stable_sort(
          entries.begin(), entries.end(),
          [](const JournalEntry& a, const JournalEntry& b) { return a.start < b.start; });
    }
  }

  if (f.has("schedules")) {
    const Json::Value& ss = f.raw("schedules");
    if (!ss.isObject()) f.fail("schedules", "expected {\"1\": [[\"hh:mm\", tariff], ...], ...}");
    for (const auto& key : ss.getMemberNames()) {
      char* end = nullptr;
      long n = strtol(key.c_str(), &end, 10);
      if (key.empty() || *end || n < 1 || n > kSchedules)
        f.fail("schedules", "bad schedule number \"" + key + "\" (1..36)");
      const Json::Value& sw = ss[key];
      if (!sw.isArray() || sw.size() > 16)
        f.fail("schedules", "schedule " + key + ": up to 16 [\"hh:mm\", tariff] pairs");
      auto& list = m->schedules[n - 1];
      for (const auto& e : sw) {
        int hh = 0, mm = 0, used = 0;
        std::string s = e.isArray() && e.size() == 2 && e[0].isString() ? e[0].asString() : "";
        if (sscanf(s.c_str(), "%2d:%2d%n", &hh, &mm, &used) != 2 || s[used] != 0 || hh > 23 ||
            mm > 59 || hh < 0 || mm < 0 || !e[1].isIntegral() || e[1].asInt() < 1 ||
            e[1].asInt() > 8)
          f.fail("schedules", "schedule " + key + ": expected [\"hh:mm\", tariff 1..8] pairs");
        list.push_back({hh * 60 + mm, e[1].asInt()});
      }
      std::stable_sort(list.begin(), list.end(), [](const Switch& a, const Switch& b) {
        return a.minute_of_day < b.minute_of_day;
      });
    }
  }

  if (f.has("seasons")) {
    const Json::Value& ss = f.raw("seasons");
    if (!ss.isArray() || ss.size() > 12) f.fail("seasons", "up to 12 {\"from\", \"schedules\"}");
    for (Json::ArrayIndex i = 0; i < ss.size(); ++i) {
      std::string what = "seasons[" + std::to_string(i) + "]";
      JsonFields sf(ss[i], f.where() + ": " + what, f.base());
      sf.allowOnly({"from", "schedules"});
      Season s{};
      s.day = monthDay(sf, "from", sf.raw("from"), s.month);
      const Json::Value& g = sf.raw("schedules");
      if (!g.isArray() || g.size() != 4)
        sf.fail("schedules", "four schedule numbers: working day, Saturday, Sunday, holiday");
      for (Json::ArrayIndex k = 0; k < 4; ++k)
        s.schedules[k] = scheduleNumber(sf, "schedules", g[k], true);
      m->seasons.push_back(s);
    }
  }

  if (f.has("special_days")) {
    const Json::Value& ss = f.raw("special_days");
    if (!ss.isArray() || ss.size() > 32)
      f.fail("special_days", "up to 32 [\"MM-DD\", schedule] pairs");
    for (const auto& e : ss) {
      if (!e.isArray() || e.size() != 2) f.fail("special_days", "expected [\"MM-DD\", schedule]");
      SpecialDay s{};
      s.day = monthDay(f, "special_days", e[0], s.month);
      s.schedule = scheduleNumber(f, "special_days", e[1], false);
      m->special_days.push_back(s);
    }
  }

  m->naks = static_cast<int>(f.integer("naks", 0, 0, 16));
  std::string layout = f.text("layout", "lines");
  if (layout == "lines")
    m->layout = Layout::kLines;
  else if (layout == "compact")
    m->layout = Layout::kCompact;
  else if (layout == "named")
    m->layout = Layout::kNamed;
  else
    f.fail("layout", "\"lines\", \"compact\" or \"named\"");
  m->session_timeout = f.number("session_timeout", 120, 0.1, 86400);

  m->reactive = m->model->reactive;
  if (f.has("reactive_energy")) {
    if (!f.raw("reactive_energy").isBool()) f.fail("reactive_energy", "true or false");
    m->reactive = f.raw("reactive_energy").asBool();
  }
  if (f.has("variants")) {
    JsonFields vf(f.raw("variants"), f.where() + ": variants", f.base());
    vf.allowOnly({"date", "schedules", "tariffs", "unreadable", "zero_record", "refuse"});
    Variants& va = m->variants;
    std::string date = vf.text("date", "weekday"), grf = vf.text("schedules", "colon");
    if (date != "weekday" && date != "plain") vf.fail("date", "\"weekday\" or \"plain\"");
    if (grf != "colon" && grf != "dots") vf.fail("schedules", "\"colon\" or \"dots\"");
    va.plain_date = date == "plain";
    va.dot_schedule = grf == "dots";
    va.tariffs = static_cast<int>(vf.integer("tariffs", 5, 0, kTariffColumns));
    va.unreadable = vf.text("unreadable", "");
    auto names = [&](const char* key) {
      std::set<std::string> out;
      const Json::Value& list = vf.raw(key);
      if (vf.has(key) && !list.isArray()) vf.fail(key, "expected [\"NAME\", ...]");
      for (const auto& n : list) {
        if (!n.isString() || n.asString().size() != 5) vf.fail(key, "five-letter names");
        out.insert(n.asString());
      }
      return out;
    };
    va.refuse = names("refuse");
    va.zero_record = names("zero_record");
    for (const auto& j : va.zero_record)
      if (!journalInfo(j) || journalInfo(j)->ce102m != m->model->ce102m)
        vf.fail("zero_record", "\"" + j + "\" is not a journal of the " + m->model->text);
  }

  m->core = std::move(core);
  meters_.push_back(std::move(m));
}

const bool registered =
    registerFamily("iec61107", [] { return std::unique_ptr<Family>(new Iec61107Family); });

}  // namespace

}  // namespace msim
