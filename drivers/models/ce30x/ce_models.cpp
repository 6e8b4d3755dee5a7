#include "drivers/models/ce30x/ce_models.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/logger.h"

using namespace iec61107;

namespace {

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t");
  return s.substr(b, e - b + 1);
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find(sep, start);
    parts.push_back(trim(s.substr(start, pos - start)));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return parts;
}

bool allDigits(const std::string& s, size_t min_len, size_t max_len) {
  if (s.size() < min_len || s.size() > max_len) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Plain decimal: optional sign, digits, at most one point, at least one digit.
bool isNumber(const std::string& s) {
  size_t i = 0, digits = 0, points = 0;
  if (i < s.size() && (s[i] == '-' || s[i] == '+')) ++i;
  for (; i < s.size(); ++i) {
    if (s[i] >= '0' && s[i] <= '9')
      ++digits;
    else if (s[i] == '.' && ++points == 1)
      continue;
    else
      return false;
  }
  return digits > 0;
}

// "hh:mm:ss" or "hh:mm".
bool parseClock(const std::string& text, int& h, int& m, int& s) {
  std::vector<std::string> p = split(text, ':');
  if (p.size() < 2 || p.size() > 3) return false;
  for (const auto& f : p)
    if (!allDigits(f, 1, 2)) return false;
  h = atoi(p[0].c_str());
  m = atoi(p[1].c_str());
  s = p.size() == 3 ? atoi(p[2].c_str()) : 0;
  return h < 24 && m < 60 && s < 60;
}

const char* unitOf(uint32_t param) {
  if (param >= 31 && param <= 34) return "кВт";
  if (param >= 35 && param <= 38) return "квар";
  if (param >= 39 && param <= 41) return "В";
  if (param >= 42 && param <= 44) return "А";
  if (param == 49) return "Гц";
  if (param == 50 || param == 51) return "кВт*ч";
  if (param == 52 || param == 53) return "квар*ч";
  if (param == 54 || param == 55) return "кВт";
  if (param == 56 || param == 57) return "квар";
  if (param == 62) return "мин";
  return "";
}

const int kDaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

}  // namespace

bool ParseDayMonth(const std::string& text, int& day, int& month) {
  day = 1;
  month = 1;
  std::vector<std::string> p = split(text, '.');
  if (p.size() != 2 || !allDigits(p[0], 1, 2) || !allDigits(p[1], 1, 2)) return false;
  int d = atoi(p[0].c_str()), m = atoi(p[1].c_str());
  if (m < 1 || m > 12 || d < 1 || d > (m == 2 ? 29 : kDaysInMonth[m])) return false;
  day = d;
  month = m;
  return true;
}

// ---------------------------------------------------------------------------
// Time table text. Seasons:
//   [{"from":101,"to":331,"from_s":"01.01","to_s":"31.03",
//     "days":{"work":[[0,2],[25200,1]],"sat":[[0,2]],"sun":[[0,2]],"hol":[[0,2]]}},...]
// "from"/"to" are month * 100 + day, "from_s"/"to_s" the same as "dd.mm"; the
// day lists are the switching points [second of the day, tariff] of the
// schedule named for that day type ([] when none). Special days:
//   [{"from":308,"to":308,"from_s":"08.03","to_s":"08.03","days":[[0,2]]},...]
// Entries are sorted by date, so equal tables give equal text.
// ---------------------------------------------------------------------------
void CeTimeTable::setSchedule(int grf, std::vector<std::pair<int, int>> points) {
  schedules_[grf] = std::move(points);
}

const std::vector<std::pair<int, int>>* CeTimeTable::schedule(int grf) const {
  auto it = schedules_.find(grf);
  return it == schedules_.end() ? nullptr : &it->second;
}

std::string CeTimeTable::renderPoints(int grf) const {
  std::string text = "[";
  if (const auto* points = schedule(grf)) {
    for (size_t i = 0; i < points->size(); ++i) {
      if (i) text += ",";
      text += "[" + std::to_string((*points)[i].first) + "," + std::to_string((*points)[i].second) +
              "]";
    }
  }
  return text + "]";
}

namespace {

std::string dayMonthText(int day, int month) {
  char buf[8];
  snprintf(buf, sizeof buf, "%02d.%02d", day % 100, month % 100);
  return buf;
}

std::string rangeHead(int fd, int fm, int td, int tm) {
  return "{\"from\":" + std::to_string(fm * 100 + fd) + ",\"to\":" + std::to_string(tm * 100 + td) +
         ",\"from_s\":\"" + dayMonthText(fd, fm) + "\",\"to_s\":\"" + dayMonthText(td, tm) + "\"";
}

void dayBefore(int day, int month, int& d, int& m) {
  if (day > 1) {
    d = day - 1;
    m = month;
  } else {
    m = month == 1 ? 12 : month - 1;
    d = kDaysInMonth[m];
  }
}

}  // namespace

std::string CeTimeTable::renderSeasons(std::vector<Season> seasons) const {
  std::sort(seasons.begin(), seasons.end(), [](const Season& a, const Season& b) {
    return a.month * 100 + a.day < b.month * 100 + b.day;
  });
  std::string text = "[";
  static const char* const kTypes[4] = {"work", "sat", "sun", "hol"};
  for (size_t i = 0; i < seasons.size(); ++i) {
    const Season& s = seasons[i];
    // Runs to the day before the next start; the last one wraps to the first.
    const Season& next = seasons[(i + 1) % seasons.size()];
    int td, tm;
    dayBefore(next.day, next.month, td, tm);
    if (i) text += ",";
    text += rangeHead(s.day, s.month, td, tm) + ",\"days\":{";
    for (int t = 0; t < 4; ++t) {
      if (t) text += ",";
      text += std::string("\"") + kTypes[t] + "\":" + renderPoints(s.grf[t]);
    }
    text += "}}";
  }
  return text + "]";
}

std::string CeTimeTable::renderSpecial(std::vector<Special> days) const {
  std::stable_sort(days.begin(), days.end(), [](const Special& a, const Special& b) {
    return a.month * 100 + a.day < b.month * 100 + b.day;
  });
  std::string text = "[";
  for (size_t i = 0; i < days.size(); ++i) {
    if (i) text += ",";
    text += rangeHead(days[i].day, days[i].month, days[i].day, days[i].month) +
            ",\"days\":" + renderPoints(days[i].grf) + "}";
  }
  return text + "]";
}

// ---------------------------------------------------------------------------

CCE102M::~CCE102M() = default;

uint8_t CCE102M::CalcBcc(const uint8_t* buf, uint16_t len) {
  return Sum7Bcc(buf, len);
}

bool CCE102M::Init(int dtz, const Gost61107Settings& settings) {
  settings_ = settings;
  return cGost61107::Init(dtz, settings);
}

MeasuredValue CCE102M::record(const Descriptor& d, const std::string& value, const char* dim,
                              uint32_t param_offset, uint8_t sys) const {
  MeasuredValue v;
  v.param_code = d.param + param_offset;
  v.kind = d.group;
  v.value = value;
  v.dim = dim;
  v.opc_quality = 192;
  v.error = 0;
  v.sys = sys;
  v.timestamp = static_cast<int32_t>(connector_ ? connector_->clock().now() : time(nullptr));
  return v;
}

time_t CCE102M::meterToUnix(int year, int month, int day, int hour, int minute, int second) const {
  return mtr::localMoment(year, month, day, hour, minute, second) - init_value_;
}

std::string CCE102M::dateArg(const MeterDate& d, bool with_day) const {
  char buf[16];
  if (with_day)
    snprintf(buf, sizeof buf, "%02d.%02d.%02d", d.day % 100, d.month % 100, d.year % 100);
  else
    snprintf(buf, sizeof buf, "%02d.%02d", d.month % 100, d.year % 100);
  return buf;
}

CCE102M::Reply CCE102M::exchange(const std::string& name, const std::string& args,
                                 std::vector<std::string>& values) {
  const long long id = logId();
  const char* who = logName();
  values.clear();
  if (!connector_) {
    LOG_ERR("[%lld][%s] CCE102M::%s() - CONNECTOR ISN'T DEFINED !!!", id, who, "sendRequest");
    return Reply::kFailed;
  }
  if (name.size() + args.size() + 8 > kTxSize) {
    LOG_ERR("[%lld][%s] CCE102M::%s() - request %s(%s) is too long", id, who, "sendRequest",
            name.c_str(), args.c_str());
    return Reply::kFailed;
  }
  const uint16_t n = MakeReadRequest(tx_, name.c_str(), args.c_str());
  LOG_DEBUG("[%lld][%s] CCE102M::sendRequest Cmd %s(%s)", id, who, name.c_str(), args.c_str());

  uint8_t* rx = rx_.data();
  int refusals = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt) connector_->clock().sleepMs(kRetryPauseMs);
    values.clear();
    int32_t len = kExpectedAnswer;
    if (!connector_->SendRequest(tx_, n, rx, len, true)) continue;
    // STX, "(", a bracket's content, ")", ETX and the check byte at least.
    if (len < static_cast<int32_t>(name_length_) + 5) {
      LOG_ERR("[%lld][%s] CCE102M::%s() - ERROR: must read: %d, realy read: %d", id, who,
              "sendRequest", kExpectedAnswer, len);
      continue;
    }
    if (rx[0] != STX || rx[len - 2] != ETX) {
      LOG_ERR("[%lld][%s] CCE102M::%s() - RESPONSE ERROR. Packet isn't information message", id,
              who, "sendRequest");
      Init(init_value_, settings_);
      continue;
    }
    const uint8_t calculated = CalcBcc(rx, static_cast<uint16_t>(len));
    if (calculated != rx[len - 1]) {
      LOG_ERR(
          "[%lld][%s] CCE102M::%s() - RESPONSE ERROR. Wrong checksum. Calculated %x Received %x",
          id, who, "sendRequest", calculated, rx[len - 1]);
      continue;
    }
    const std::string body(reinterpret_cast<const char*>(rx + 1), static_cast<size_t>(len - 3));
    // An error message: "(ERRnn)", with or without the name ahead.
    const size_t open_at = body.find('(');
    if (open_at != std::string::npos && body.compare(open_at + 1, 3, "ERR") == 0 &&
        (open_at == 0 || body.compare(0, open_at, name) == 0)) {
      const std::string error = body.substr(open_at, body.find(')', open_at) - open_at + 1);
      LOG_ERR(
          "[%lld][%s] CCE102M::%s() - RESPONSE ERROR. Packet isn't answer to %s. Packet is "
          "answer to %s",
          id, who, "sendRequest", name.c_str(), error.c_str());
      if (!memory_->answered.count(name)) {
        // A name the meter never answered: asked once more at once, since a
        // line fault can look like an error; a second error says it does not
        // have the name.
        if (++refusals < 2) continue;
        memory_->refused.insert(name);
        LOG_WARNING("[%lld][%s] CCE102M::%s() - %s refused by the meter: %s; not asked again", id,
                    who, "sendRequest", name.c_str(), error.c_str());
        return Reply::kRefused;
      }
      Init(init_value_, settings_);
      continue;
    }
    std::string answered = body.substr(0, std::min(name_length_, body.size()));
    if (answered != name) {
      LOG_ERR(
          "[%lld][%s] CCE102M::%s() - RESPONSE ERROR. Packet isn't answer to %s. Packet is "
          "answer to %s",
          id, who, "sendRequest", name.c_str(), answered.c_str());
      Init(init_value_, settings_);
      continue;
    }
    // Bracket contents in order; text between brackets (line ends, repeated
    // names) carries nothing.
    bool open = false, broken = false;
    std::string cur;
    for (size_t i = name_length_; i < body.size(); ++i) {
      const char c = body[i];
      if (c == '(') {
        if (open) broken = true;
        open = true;
        cur.clear();
      } else if (c == ')') {
        if (!open) broken = true;
        open = false;
        values.push_back(cur);
      } else if (open) {
        cur += c;
      }
    }
    if (open || broken || values.empty()) {
      values.clear();
      LOG_ERR("[%lld][%s] CCE102M::%s() - RESPONSE ERROR. Packet isn't information message", id,
              who, "sendRequest");
      Init(init_value_, settings_);
      continue;
    }
    memory_->answered.insert(name);
    return Reply::kValues;
  }
  LOG_ERR("[%lld][%s] CCE102M::%s() - CAN'T SEND REQUEST !!!", id, who, "sendRequest");
  return Reply::kFailed;
}

bool CCE102M::cachedRequest(const Descriptor& d, const std::string& args, MeasuredValueList& out,
                            time_t needed_after) {
  if (!asks(d.name)) return true;
  const std::string key = d.name + "(" + args + ")";
  auto it = cache_.find(key);
  if (it != cache_.end() && it->second.read_at >= needed_after) {
    runParser(d, it->second.values, out);
    return true;
  }
  std::vector<std::string> values;
  const Reply r = exchange(d.name, args, values);
  if (r != Reply::kValues) return r == Reply::kRefused;
  runParser(d, values, out);
  if (cache_.size() >= kCacheLimit) cache_.clear();
  cache_[key] = CacheEntry{values, connector_->clock().now() + meter_offset_};
  return true;
}

void CCE102M::runParser(const Descriptor& d, const std::vector<std::string>& values,
                        MeasuredValueList& out) {
  Parser parser = d.parser ? d.parser : &CCE102M::parseFirst;
  if ((this->*parser)(d, values, out)) return;
  if (!memory_->warned.insert(d.name).second) return;
  std::string text;
  for (const auto& v : values) text += "(" + v + ")";
  LOG_WARNING("[%lld][%s] CCE102M::%s() - Bad value %s in answer to %s; value skipped", logId(),
              logName(), "sendRequest", text.c_str(), d.name.c_str());
}

bool CCE102M::sendRequest(const Descriptor& d, const std::string& args, MeasuredValueList& out) {
  if (!asks(d.name)) return true;
  std::vector<std::string> values;
  const Reply r = exchange(d.name, args, values);
  if (r == Reply::kValues) runParser(d, values, out);
  return r != Reply::kFailed;
}

bool CCE102M::readList(const std::vector<Descriptor>& list, MeasuredValueList& out) {
  for (const Descriptor& d : list) {
    if (!sendRequest(d, "", out)) return false;
  }
  return true;
}

bool CCE102M::ReadCurrentValues(MeasuredValueList& out) {
  // A session starts with its system values or, after the first, here.
  if (!memory_->session_open) memory_->warned.clear();
  memory_->session_open = false;
  if (!Init(init_value_, settings_)) return false;
  return readList(time_list_, out) && readList(current_list_, out);
}

bool CCE102M::ReadSystemValues(MeasuredValueList& out) {
  memory_->warned.clear();
  memory_->session_open = true;
  time_table_.clear();
  for (int n = 1; n <= 36; ++n) {
    char name[16];
    snprintf(name, sizeof name, "GRF%02d", n);
    Descriptor d{name, kCeTypeSchedule, 70, System, &CCE102M::parseSchedule, n};
    if (!sendRequest(d, "", out)) return false;
  }
  return readList(time_list_, out) && readList(system_list_, out);
}

bool CCE102M::ReadTimestamps(timestamps& out) {
  MeasuredValueList scratch;
  meter_time_ = 0;
  if (!readList(time_list_, scratch) || meter_time_ == 0) return false;
  out.min_time_hour = 0;
  out.min_time_day = 0;
  out.curr_time = meter_time_;
  return true;
}

bool CCE102M::ReadArchiveValues(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) {
  return readArchives(kind, from, till, out, false, false);
}

// The CE301 is asked the reactive names too: some measure reactive energy,
// and one that does not refuses them once.
bool CCE30X::ReadArchiveValues(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) {
  return readArchives(kind, from, till, out, true, true);
}

bool CCE308::ReadArchiveValues(uint32_t kind, time_t from, time_t till, MeasuredValueList& out) {
  return readArchives(kind, from, till, out, true, true);
}

bool CCE308::Init(int dtz, const Gost61107Settings& settings) {
  if (!CCE102M::Init(dtz, settings)) return false;
  if (settings.password.empty()) return true;
  // Some CE308 data are only read after the password; the meter still answers
  // the rest without it, so a refusal is reported, not fatal.
  std::vector<uint8_t> frame = {SOH, 'P', '1', STX, '('};
  frame.insert(frame.end(), settings.password.begin(), settings.password.end());
  frame.push_back(')');
  frame.push_back(ETX);
  frame.push_back(0);
  frame.back() = CalcBcc(frame.data(), static_cast<uint16_t>(frame.size()));
  int32_t len = 1;
  if (!connector_->SendRequest(frame.data(), static_cast<uint16_t>(frame.size()), rx_.data(), len,
                               false))
    throw CDisconnectException();
  if (len >= 1 && rx_[0] == ACK) {
    LOG_DEBUG("[%lld][%s] CCE308::Init() - password accepted", logId(), logName());
  } else {
    LOG_WARNING("[%lld][%s] CCE308::Init() - PASSWORD NOT ACCEPTED !!!", logId(), logName());
  }
  return true;
}

// ---------------------------------------------------------------------------
// Archives. Request and answer layouts are described with the tables in
// ce_tables.cpp.

namespace {

const CCE102M::Descriptor kArchDated{"DATED", kCeTypeDate, 0, Daily, &CCE102M::parseDateList, 0};
const CCE102M::Descriptor kArchDatem{"DATEM", kCeTypeDate, 0, Monthly, &CCE102M::parseDateList, 1};
const CCE102M::Descriptor kArchDatgr{"DATGR", kCeTypeDate, 0, Hourly, &CCE102M::parseDateList, 0};

// arg 0: stamped with the start of the period, 1: with the start of the next.
const CCE102M::Descriptor kArchDaily[] = {
    {"ENDPE", kCeTypeEnergy, 50, Integral_daily, &CCE102M::parseArchEnergy, 0},
    {"ENDQE", kCeTypeEnergy, 52, Integral_daily, &CCE102M::parseArchEnergy, 0},
    {"EADPE", kCeTypeEnergy, 50, Daily, &CCE102M::parseArchEnergy, 1},
    {"EADQE", kCeTypeEnergy, 52, Daily, &CCE102M::parseArchEnergy, 1},
};
const CCE102M::Descriptor kArchMonthly[] = {
    {"ENMPE", kCeTypeEnergy, 50, Integral_monthly, &CCE102M::parseArchEnergy, 0},
    {"ENMQE", kCeTypeEnergy, 52, Integral_monthly, &CCE102M::parseArchEnergy, 0},
    {"EAMPE", kCeTypeEnergy, 50, Monthly, &CCE102M::parseArchEnergy, 1},
    {"EAMQE", kCeTypeEnergy, 52, Monthly, &CCE102M::parseArchEnergy, 1},
};
const CCE102M::Descriptor kArchProfile[] = {
    {"GRAPE", kCeTypeProfile, 54, Hourly, &CCE102M::parseProfile, 0},
    {"GRAQE", kCeTypeProfile, 56, Hourly, &CCE102M::parseProfile, 0},
};

}  // namespace

bool CCE102M::readArchives(uint32_t kind, time_t from, time_t till, MeasuredValueList& out,
                           bool reactive, bool profile) {
  arch_from_ = from;
  arch_till_ = till;
  MeasuredValueList scratch;

  if (kind == Hourly) {
    // Earlier answers serve later windows of the same pass when they were
    // read after the window's last hour had ended.
    const time_t needed = till + 3600;
    for (const Descriptor& d : journal_list_) {
      if (!cachedRequest(d, "", out, needed)) return false;
    }
    if (!profile) return true;
    arch_dates_.clear();
    if (!cachedRequest(kArchDatgr, "", scratch, needed)) return false;
    const std::vector<MeterDate> dates = arch_dates_;
    for (const MeterDate& date : dates) {
      const time_t start = meterToUnix(date.year, date.month, date.day);
      const time_t end = meterToUnix(date.year, date.month, date.day + 1);
      if (start > till || end <= from) continue;
      for (const Descriptor& d : kArchProfile) {
        if (!reactive && d.name[3] == 'Q') continue;
        arch_date_ = date;
        if (!cachedRequest(d, dateArg(date, true), out, needed)) return false;
      }
    }
    return true;
  }

  if (kind != Daily && kind != Monthly) return true;
  const bool monthly = kind == Monthly;
  const Descriptor& list_d = monthly ? kArchDatem : kArchDated;
  arch_dates_.clear();
  if (!sendRequest(list_d, "", scratch)) return false;
  const std::vector<MeterDate> dates = arch_dates_;
  for (const MeterDate& date : dates) {
    const time_t start = meterToUnix(date.year, date.month, monthly ? 1 : date.day);
    const time_t next = monthly ? meterToUnix(date.year, date.month + 1, 1)
                                : meterToUnix(date.year, date.month, date.day + 1);
    for (const Descriptor& d : monthly ? kArchMonthly : kArchDaily) {
      if (!reactive && d.name[3] == 'Q') continue;
      // Only the names whose stamp falls in the window are asked for.
      arch_stamp_ = d.arg ? next : start;
      if (!inWindow(arch_stamp_)) continue;
      if (!sendRequest(d, dateArg(date, !monthly), out)) return false;
    }
  }
  return true;
}

// ---------------------------------------------------------------------------
// Parsers. Each adds the records it could read and returns false when some
// value of the answer was unreadable (the caller logs it). The variants they
// accept are listed with the tables in ce_tables.cpp.

namespace {

// Splits at any of `seps`; fields trimmed, empty ones kept.
std::vector<std::string> fields(const std::string& s, const char* seps) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t pos = s.find_first_of(seps, start);
    parts.push_back(trim(s.substr(start, pos - start)));
    if (pos == std::string::npos) break;
    start = pos + 1;
  }
  return parts;
}

bool allDigitFields(const std::vector<std::string>& p, size_t max_len) {
  for (const auto& f : p)
    if (!allDigits(f, 1, max_len)) return false;
  return true;
}

// A number, with a "*unit" suffix dropped ("229.87*V").
bool numberText(const std::string& raw, std::string& out) {
  out = trim(raw.substr(0, raw.find('*')));
  return isNumber(out);
}

// Padding of fixed-size lists: nothing but zeros and separators.
bool allZero(const std::string& s) {
  return s.find_first_of("123456789") == std::string::npos && s.find('0') != std::string::npos;
}

// "dd.mm.yy", "ww.dd.mm.yy" (day of the week first), year also as yyyy.
bool parseMeterDate(const std::string& text, int& day, int& month, int& year) {
  std::vector<std::string> p = fields(text, ".");
  if (p.size() == 4) p.erase(p.begin());
  if (p.size() != 3 || !allDigits(p[0], 1, 2) || !allDigits(p[1], 1, 2) ||
      !(allDigits(p[2], 1, 2) || allDigits(p[2], 4, 4)))
    return false;
  day = atoi(p[0].c_str());
  month = atoi(p[1].c_str());
  year = atoi(p[2].c_str());
  if (year < 100) year += 2000;
  return month >= 1 && month <= 12 && day >= 1 && day <= (month == 2 ? 29 : kDaysInMonth[month]);
}

// The first two of "dd.mm,..." or "dd.mm.x..."; the rest after them.
std::vector<std::string> dayMonthFields(const std::string& entry) {
  return fields(entry, ".,;");
}

}  // namespace

bool CCE102M::parseFirst(const Descriptor& d, const std::vector<std::string>& v,
                         MeasuredValueList& out) {
  std::string value = trim(v[0]);
  if (d.type == kCeTypeNumber) {
    if (value.empty()) return true;
    if (!numberText(v[0], value)) return false;
  }
  out.push_back(record(d, value, unitOf(d.param)));
  return true;
}

bool CCE102M::parsePhases(const Descriptor& d, const std::vector<std::string>& v,
                          MeasuredValueList& out) {
  // COS_f of three brackets: the phases without the sum.
  const uint32_t first = d.arg == 4 && v.size() == 3 ? 1 : 0;
  bool readable = true;
  for (size_t i = 0; i < v.size() && i + first < static_cast<size_t>(d.arg); ++i) {
    std::string value;
    if (trim(v[i]).empty()) continue;
    if (!numberText(v[i], value)) {
      readable = false;
      continue;
    }
    const uint32_t offset = static_cast<uint32_t>(i) + first;
    out.push_back(record(d, value, unitOf(d.param + offset), offset));
  }
  return readable;
}

bool CCE102M::parseTariffs(const Descriptor& d, const std::vector<std::string>& v,
                           MeasuredValueList& out) {
  bool readable = true;
  for (size_t i = 0; i < v.size() && i < static_cast<size_t>(d.arg); ++i) {
    std::string value;
    if (trim(v[i]).empty()) continue;
    if (!numberText(v[i], value)) {
      readable = false;
      continue;
    }
    out.push_back(record(d, value, unitOf(d.param), 0, static_cast<uint8_t>(i)));
  }
  return readable;
}

bool CCE102M::parseDate(const Descriptor&, const std::vector<std::string>& v, MeasuredValueList&) {
  MeterDate date;
  if (!parseMeterDate(trim(v[0]), date.day, date.month, date.year)) return false;
  clock_date_ = date;
  have_date_ = true;
  return true;
}

bool CCE102M::parseTime(const Descriptor& d, const std::vector<std::string>& v,
                        MeasuredValueList& out) {
  // Without a date (refused or unreadable, and logged as such) no clock.
  if (!have_date_) return true;
  int h, m, s;
  if (!parseClock(trim(v[0]), h, m, s)) return false;
  have_date_ = false;
  const time_t now = connector_->clock().now();
  meter_time_ = meterToUnix(clock_date_.year, clock_date_.month, clock_date_.day, h, m, s);
  meter_offset_ = meter_time_ - now;
  out.push_back(record(d, std::to_string(static_cast<long long>(meter_time_)), ""));
  return true;
}

bool CCE102M::parseWatch(const Descriptor& d, const std::vector<std::string>& v,
                         MeasuredValueList& out) {
  bool got_date = false, got_time = false;
  MeterDate date;
  int h = 0, m = 0, s = 0;
  for (const auto& bracket : v) {
    for (const auto& token : split(bracket, ',')) {
      if (!got_date && parseMeterDate(token, date.day, date.month, date.year))
        got_date = true;
      else if (!got_time && parseClock(token, h, m, s))
        got_time = true;
    }
  }
  if (!got_date || !got_time) return false;
  const time_t now = connector_->clock().now();
  meter_time_ = meterToUnix(date.year, date.month, date.day, h, m, s);
  meter_offset_ = meter_time_ - now;
  out.push_back(record(d, std::to_string(static_cast<long long>(meter_time_)), ""));
  return true;
}

bool CCE102M::parseVinfo(const Descriptor& d, const std::vector<std::string>& v,
                         MeasuredValueList& out) {
  static const uint32_t kParams[3] = {74, 73, 72};  // serial, firmware, model
  for (size_t i = 0; i < v.size() && i < 3; ++i) {
    MeasuredValue r = record(d, trim(v[i]), "");
    r.param_code = kParams[i];
    out.push_back(r);
  }
  return true;
}

bool CCE102M::parseSchedule(const Descriptor& d, const std::vector<std::string>& v,
                            MeasuredValueList&) {
  std::vector<std::pair<int, int>> points;
  for (const auto& entry : v) {
    if (trim(entry).empty()) continue;
    // hh mm [ss] t, whatever separates them
    std::vector<std::string> p = fields(entry, ".:,; ");
    if ((p.size() != 3 && p.size() != 4) || !allDigitFields(p, 2)) return false;
    const int h = atoi(p[0].c_str()), m = atoi(p[1].c_str()),
              s = p.size() == 4 ? atoi(p[2].c_str()) : 0, t = atoi(p.back().c_str());
    if (h > 23 || m > 59 || s > 59 || t > 8) return false;
    if (t == 0) continue;  // an unused slot
    points.emplace_back((h * 60 + m) * 60 + s, t);
  }
  std::sort(points.begin(), points.end());
  time_table_.setSchedule(d.arg, std::move(points));
  return true;
}

bool CCE102M::parseSeasons(const Descriptor& d, const std::vector<std::string>& v,
                           MeasuredValueList& out) {
  std::vector<CeTimeTable::Season> seasons;
  for (const auto& entry : v) {
    if (trim(entry).empty() || allZero(entry)) continue;
    std::vector<std::string> p = dayMonthFields(entry);
    CeTimeTable::Season s;
    // an unreadable date stays 01.01
    if (p.size() >= 2) ParseDayMonth(p[0] + "." + p[1], s.day, s.month);
    // one schedule for every kind of day, or one per kind
    for (int k = 0; k < 4; ++k) {
      const size_t at = p.size() == 3 ? 2 : 2 + static_cast<size_t>(k);
      s.grf[k] = at < p.size() && allDigits(p[at], 1, 2) ? atoi(p[at].c_str()) : 0;
    }
    seasons.push_back(s);
  }
  out.push_back(record(d, time_table_.renderSeasons(seasons), ""));
  return true;
}

bool CCE102M::parseSpecial(const Descriptor& d, const std::vector<std::string>& v,
                           MeasuredValueList& out) {
  std::vector<CeTimeTable::Special> days;
  for (const auto& entry : v) {
    if (trim(entry).empty() || allZero(entry)) continue;
    std::vector<std::string> p = dayMonthFields(entry);
    CeTimeTable::Special s;
    if (p.size() >= 2) ParseDayMonth(p[0] + "." + p[1], s.day, s.month);
    s.grf = p.size() > 2 && allDigits(p[2], 1, 2) ? atoi(p[2].c_str()) : 0;
    days.push_back(s);
  }
  out.push_back(record(d, time_table_.renderSpecial(days), ""));
  return true;
}

bool CCE102M::eventRecord(const Descriptor& d, const std::string& date, const std::string& time,
                          uint32_t bit, MeasuredValueList& out) {
  if (date.find(':') != std::string::npos && time.find('.') != std::string::npos)
    return eventRecord(d, time, date, bit, out);  // time first
  if (allZero(date)) return true;                 // no event in this record
  int day, month, year, h, m, s;
  if (!parseMeterDate(date, day, month, year) || !parseClock(time, h, m, s)) return false;
  const time_t t = meterToUnix(year, month, day, h, m, s);
  // Windows are whole hours: an event belongs to the hour it happened in.
  const time_t hour = t - ((t % 3600) + 3600) % 3600;
  if (hour < arch_from_ || hour > arch_till_) return true;
  MeasuredValue r = record(d, std::to_string(1UL << bit), "");
  r.timestamp = static_cast<int32_t>(t);
  out.push_back(r);
  return true;
}

namespace {

// "date,time[,date,time]"; a blank may stand for the comma.
std::vector<std::string> journalFields(const std::string& entry) {
  std::vector<std::string> p = split(entry, ',');
  if (p.size() != 1) return p;
  p.clear();
  for (const auto& f : fields(entry, " "))
    if (!f.empty()) p.push_back(f);
  return p;
}

}  // namespace

bool CCE102M::parsePointJournal(const Descriptor& d, const std::vector<std::string>& v,
                                MeasuredValueList& out) {
  bool readable = true;
  for (const auto& entry : v) {
    if (trim(entry).empty()) continue;
    std::vector<std::string> p = journalFields(entry);
    if (p.size() != 2 || !eventRecord(d, p[0], p[1], d.type, out)) readable = false;
  }
  return readable;
}

bool CCE102M::parseIntervalJournal(const Descriptor& d, const std::vector<std::string>& v,
                                   MeasuredValueList& out) {
  bool readable = true;
  for (const auto& entry : v) {
    if (trim(entry).empty()) continue;
    std::vector<std::string> p = journalFields(entry);
    if ((p.size() != 2 && p.size() != 4) || !eventRecord(d, p[0], p[1], d.type, out)) {
      readable = false;
      continue;
    }
    // the end is empty, missing or zero while the condition lasts
    if (p.size() == 4 && !(p[2].empty() && p[3].empty()) &&
        !eventRecord(d, p[2], p[3], static_cast<uint32_t>(d.arg), out))
      readable = false;
  }
  return readable;
}

bool CCE102M::parseDateList(const Descriptor& d, const std::vector<std::string>& v,
                            MeasuredValueList&) {
  std::vector<MeterDate> dates;
  bool readable = true;
  for (const auto& entry : v) {
    const std::string text = trim(entry);
    if (text.empty() || allZero(text)) continue;
    MeterDate date;
    std::vector<std::string> p = fields(text, ".");
    if (d.arg && p.size() >= 2 && p.size() <= 4 && allDigitFields(p, 4)) {
      // months: "mm.yy", or a date of that month
      date.month = atoi(p[p.size() - 2].c_str());
      date.year = atoi(p.back().c_str());
      if (date.year < 100) date.year += 2000;
      if (date.month >= 1 && date.month <= 12) {
        dates.push_back(date);
        continue;
      }
    } else if (!d.arg && parseMeterDate(text, date.day, date.month, date.year)) {
      dates.push_back(date);
      continue;
    }
    readable = false;
  }
  arch_dates_ = std::move(dates);
  return readable;
}

bool CCE102M::parseArchEnergy(const Descriptor& d, const std::vector<std::string>& v,
                              MeasuredValueList& out) {
  bool readable = true;
  for (size_t i = 0; i < v.size() && i < 6; ++i) {
    std::string value;
    if (trim(v[i]).empty()) continue;
    if (!numberText(v[i], value)) {
      readable = false;
      continue;
    }
    MeasuredValue r = record(d, value, unitOf(d.param), 0, static_cast<uint8_t>(i));
    r.timestamp = static_cast<int32_t>(arch_stamp_);
    out.push_back(r);
  }
  return readable;
}

bool CCE102M::parseAveraging(const Descriptor& d, const std::vector<std::string>& v,
                             MeasuredValueList& out) {
  std::string value;
  if (trim(v[0]).empty()) return true;
  if (!numberText(v[0], value)) return false;
  out.push_back(record(d, value, unitOf(d.param)));
  const double minutes = strtod(value.c_str(), nullptr);
  const int whole = static_cast<int>(minutes);
  memory_->profile_minutes = whole == minutes && whole >= 1 && 60 % whole == 0 ? whole : 0;
  return memory_->profile_minutes != 0;
}

bool CCE102M::parseProfile(const Descriptor& d, const std::vector<std::string>& v,
                           MeasuredValueList& out) {
  bool readable = true;
  std::vector<std::string> slots;  // empty: no value
  for (const auto& raw : v) {
    std::string value;
    if (!trim(raw).empty() && !numberText(raw, value)) {
      readable = false;
      value.clear();
    }
    slots.push_back(value);
  }
  const time_t day = meterToUnix(arch_date_.year, arch_date_.month, arch_date_.day);
  int per_hour = memory_->profile_minutes ? 60 / memory_->profile_minutes : 0;
  if (!per_hour) {
    // No averaging time: the fewest slots per hour that the count allows,
    // on the day in progress for the hours it has had so far.
    const time_t elapsed = meter_time_ - day;
    const size_t hours =
        elapsed >= 0 && elapsed < 86400 ? static_cast<size_t>(elapsed / 3600) + 1 : 24;
    for (int minutes : {60, 30, 20, 15, 12, 10, 6, 5, 4, 3, 2, 1}) {
      per_hour = 60 / minutes;
      if (slots.size() <= hours * static_cast<size_t>(per_hour)) break;
    }
    if (memory_->warned.insert(d.name + " slots").second)
      LOG_WARNING("[%lld][%s] CCE102M::%s() - No averaging time: %s taken as %d per hour", logId(),
                  logName(), "sendRequest", d.name.c_str(), per_hour);
  }
  for (int h = 0; h < 24; ++h) {
    const size_t first = static_cast<size_t>(h * per_hour);
    if (first + static_cast<size_t>(per_hour) > slots.size()) break;
    std::string value;
    double sum = 0;
    bool whole = true;
    for (size_t i = first; i < first + static_cast<size_t>(per_hour); ++i) {
      if (slots[i].empty()) whole = false;
      sum += strtod(slots[i].c_str(), nullptr);
    }
    if (!whole) continue;  // an hour needs all its slots
    if (per_hour == 1) {
      value = slots[first];
    } else {
      char buf[32];
      snprintf(buf, sizeof buf, "%.10g", sum / per_hour);
      value = buf;
    }
    const time_t t = meterToUnix(arch_date_.year, arch_date_.month, arch_date_.day, h);
    if (!inWindow(t)) continue;
    MeasuredValue r = record(d, value, unitOf(d.param));
    r.timestamp = static_cast<int32_t>(t);
    out.push_back(r);
  }
  return readable;
}
