#include "drivers/models/ce2727/mtr_ce2727.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "base/clock.h"
#include "base/logger.h"

using namespace CmtrCE2727Requests;

namespace {

constexpr int kVersionMajor = 0x01;
constexpr int kVersionMinor = 0x00;
constexpr int kQualityGood = 192;
constexpr uint32_t kSerialNumber = 74;
constexpr uint32_t kMDateTime = 85;
const char* const kBanner = "----------------------------------------";

uint8_t toBcd(int v) {
  return static_cast<uint8_t>((v / 10) << 4 | (v % 10));
}

uint16_t u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

std::string timeText(time_t t) {
  struct tm tm {};
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%d.%m.%Y %H:%M:%S", &tm);
  return buf;
}

struct StateField {
  const char* name;
  uint32_t code;  // 0: not delivered
  int size;
  bool is_signed;
  int decimals;
  const char* unit;
};

const StateField kStateFields[] = {
    {"VA", 39, 4, false, 2, "В"},    {"VB", 40, 4, false, 2, "В"},
    {"VC", 41, 4, false, 2, "В"},    {"IA", 42, 4, false, 3, "А"},
    {"IB", 43, 4, false, 3, "А"},    {"IC", 44, 4, false, 3, "А"},
    {"RA", 35, 4, true, 3, "квар"},  {"RAA", 36, 4, true, 3, "квар"},
    {"RBA", 37, 4, true, 3, "квар"}, {"RCA", 38, 4, true, 3, "квар"},
    {"COS", 45, 2, true, 3, ""},     {"COSA", 46, 2, true, 3, ""},
    {"COSB", 47, 2, true, 3, ""},    {"COSC", 48, 2, true, 3, ""},
    {"FREQ", 49, 2, false, 2, "Гц"}, {"WA-", 51, 4, false, 3, ""},
    {"WR", 52, 4, false, 3, ""},     {"WR-", 53, 4, false, 3, ""},
    {"reserv", 0, 16, false, 0, ""},
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  return buf;
}

}  // namespace

CmtrCE2727::CmtrCE2727(int model) : model_(model) {
  arch_mode = 2;
}

CmtrCE2727::~CmtrCE2727() {
  // The worker uses this object's members: stop it before they go.
  Stop();
  LOG_INFO("[%lld][%s] --- CmtrCE2727::session_close() %s", meterNumber(), serialText(), kBanner);
}

void CmtrCE2727::SaveConnector(std::shared_ptr<CConnector> connector) {
  LOG_INFO("[%lld][%s] --- CmtrCE2727::SaveConnector() %s", meterNumber(), serialText(), kBanner);
  line_ = std::move(connector);
  connector_.reset();
  if (!line_) {
    LOG_ERR("[%lld][%s] CmtrCE2727::SaveConnector() - NO SERIAL CONNECTOR !!!", meterNumber(),
            serialText());
    return;
  }
  connector_ = std::make_unique<CCE2727Connector>(
      line_, meterNumber(), Settings().serial_text, static_cast<uint32_t>(netAddress()),
      Settings().password, Settings().password_type, clock);
  connector_->init();
}

[[noreturn]] void CmtrCE2727::fail(const std::string& text) {
  LOG_ERR("[%lld][%s] --- %s - PROBLEMS HAS OCCURED, EXCEPTION IS THROWN !!!", meterNumber(),
          serialText(), text.c_str());
  throw CDisconnectException();
}

void CmtrCE2727::unreadable(const Request& r, const std::string& value, const std::string& defect) {
  bool first = warned_.insert(r.name + "/" + value).second;
  auto say = [first](const std::string& text) {
    if (first) {
      LOG_WARNING("%s", text.c_str());
    } else {
      LOG_DEBUG("%s", text.c_str());
    }
  };
  say(defect);
  say(format("[%lld][%s] CmtrCE2727::parseResponse('%s'): VALUE '%s' IS UNREADABLE, ANSWER:",
             meterNumber(), serialText(), r.name.c_str(), value.c_str()));
  // Log lines are short: the answer goes out 20 bytes a line.
  const uint8_t* a = connector_->answer();
  for (int i = 0; i < connector_->answerLength(); i += 20) {
    std::string line = format("[%lld][%s]", meterNumber(), serialText());
    for (int k = i; k < i + 20 && k < connector_->answerLength(); ++k)
      line += format(" %02X", a[k]);
    say(line);
  }
}

MeasuredValue CmtrCE2727::record(uint32_t param, uint32_t group, const std::string& value,
                                 const std::string& dim, uint8_t sys, time_t ts) const {
  MeasuredValue v;
  v.param_code = param;
  v.kind = group;
  v.value = value;
  v.dim = dim;
  v.opc_quality = kQualityGood;
  v.error = 0;
  v.sys = sys;
  v.timestamp = static_cast<int32_t>(ts);
  return v;
}

void CmtrCE2727::logRecords(const char* what, const MeasuredValueList& values) {
  LOG_INFO("[%lld][%s] <<< %s count = %d", meterNumber(), serialText(), what,
           static_cast<int>(values.size()));
  for (const auto& v : values) {
    const std::string* name = LookupName(ValueNameTable, v.value_key());
    LOG_INFO("[%lld][%s] <<< %s: %s (%u/%u) = '%s' %s sys=%u time=%d (%s)", meterNumber(),
             serialText(), what, name ? name->c_str() : "?", v.kind, v.param_code, v.value.c_str(),
             v.dim.c_str(), v.sys, v.timestamp, timeText(v.timestamp).c_str());
  }
}

bool CmtrCE2727::init() {
  LOG_INFO("[%lld][%s] --- CmtrCE2727::init() %s", meterNumber(), serialText(), kBanner);
  LOG_INFO("[%lld][%s] CE2727 driver version %02X.%02X, compiled: %s %s", meterNumber(),
           serialText(), kVersionMajor, kVersionMinor, __DATE__, __TIME__);
  LOG_INFO(
      "[%lld][%s] CmtrCE2727::init(): netAddr = %d (0x%02x), password = '%s', serial = '%s', "
      "teplosystem count = %d",
      meterNumber(), serialText(), netAddress(), netAddress(), Settings().password.c_str(),
      serialText(), static_cast<int>(Settings().systems.size()));
  LOG_INFO("[%lld][%s] CmtrCE2727::init(): srv_TZ = %d, pu_TZ = %d, dTZ = %d", meterNumber(),
           serialText(), srvTZ(), puTZ(), dTZ());
  const RequestSet* set = RequestSetFor(model_);
  if (model_ == 1) {
    LOG_INFO("[%lld][%s] CmtrCE2727::init(): inited as CE2727 (%d)", meterNumber(), serialText(),
             model_);
  } else if (model_ == 2) {
    LOG_INFO("[%lld][%s] CmtrCE2727::init(): inited as CE2727A (%d)", meterNumber(), serialText(),
             model_);
  }
  if (!set) {
    LOG_ERR("[%lld][%s] CmtrCE2727::init() - UNKNOWN DEVICE MODEL %d !!!", meterNumber(),
            serialText(), model_);
    fail("CmtrCE2727::init() - UNKNOWM DEVICE MODEL");
  }
  system_list = set->system;
  time_list = set->time;
  current_list = set->current;
  daily_list = set->daily;
  monthly_list = set->monthly;
  yearly_list = set->yearly;
  profile_list = set->profile;
  events_list = set->events;
  journal_cache_.clear();
  warned_.clear();

  if (!connector_) fail("CmtrCE2727::init() - CONNECTOR ISN'T DEFINED");
  if (!connector_->ready()) fail("CmtrCE2727::init() - CAN'T INIT CONNECTOR");
  // The password travels in every frame: opening the session only clears the line.
  LOG_INFO("[%lld][%s] --- CmtrCE2727::session_open() %s", meterNumber(), serialText(), kBanner);
  if (line_) line_->FlushBuffer();
  return true;
}

bool CmtrCE2727::sendRequest(Request& r, MeasuredValueList& out, time_t from, time_t till) {
  if (!connector_ || !connector_->SendRequest(r)) {
    LOG_ERR("[%lld][%s] CmtrCE2727::sendRequest() - CAN'T SEND REQUEST !!!", meterNumber(),
            serialText());
    return false;
  }
  if (!parseResponse(r, out, from, till)) {
    LOG_ERR("[%lld][%s] CmtrCE2727::sendRequest() - CAN'T PARSE RESPONSE !!!", meterNumber(),
            serialText());
    return false;
  }
  return true;
}

bool CmtrCE2727::sendOneRequest(Request& r, MeasuredValueList& out, time_t from, time_t till) {
  if (!connector_ || !connector_->SendRequest(r)) {
    LOG_ERR("[%lld][%s] CmtrCE2727::sendOneRequest() - CAN'T SEND REQUEST !!!", meterNumber(),
            serialText());
    return false;
  }
  if (!parseResponse(r, out, from, till)) {
    LOG_ERR("[%lld][%s] CmtrCE2727::sendOneRequest() - CAN'T PARSE RESPONSE !!!", meterNumber(),
            serialText());
    return false;
  }
  return true;
}

bool CmtrCE2727::parseResponse(Request& r, MeasuredValueList& out, time_t from, time_t till) {
  LOG_DEBUG("[%lld][%s] --- CmtrCE2727::parseResponse('%s') parse=%d", meterNumber(), serialText(),
            r.name.c_str(), r.parser);
  if (!connector_->answerHasData()) {
    uint8_t code = connector_->answerCode();
    bool walk = r.parser == kParseArchive || r.parser == kParseProfile;
    if (walk || r.parser == kParseEvents) {
      // The meter holds nothing more: the end of a walk, not a failure.
      LOG_INFO("[%lld][%s] CmtrCE2727::parseError: Request {%s} return code %d", meterNumber(),
               serialText(), r.name.c_str(), code);
      if (!walk || code != kCodeNoRecord) r.device_end = true;
      return true;
    }
    LOG_WARNING("[%lld][%s] CmtrCE2727::parseError: Request {%s} return code %d", meterNumber(),
                serialText(), r.name.c_str(), code);
    // A wrong password fails everything; a command this meter lacks only
    // costs its values.
    return code != kCodeAccessDenied;
  }
  switch (r.parser) {
    case kParseSystem:
      return parseSystemParams(r, out);
    case kParseDateTime:
      return parseDateTime(r, out);
    case kParseCurrNrg:
      return parseCurrNrg(r, out);
    case kParseCurrPwr:
      return parseCurrPwr(r, out);
    case kParseCurrentState:
      return parseCurrentState(r, out);
    case kParseArchive:
      return parseArchive(r, out, from, till);
    case kParseProfile:
      return parseProfile(r, out, from, till);
    case kParseEvents: {
      bool more = false;
      bool ok = parseEvents(r, from, more);
      r.device_end = !more;
      return ok;
    }
    default:
      LOG_ERR("[%lld][%s] CmtrCE2727::parseResponse(%s): %d - WRONG PARSER TYPE !!!", meterNumber(),
              serialText(), r.name.c_str(), r.parser);
      return false;
  }
}

bool CmtrCE2727::parseSystemParams(const Request& r, MeasuredValueList& out) {
  const char* name = r.name.c_str();
  LOG_INFO("[%lld][%s] CmtrCE2727::parseSystemParams('%s')", meterNumber(), serialText(), name);
  const uint8_t* d = connector_->answerData();
  int n = connector_->answerDataLength();
  time_t now = Clock().now();
  auto logText = [&](const char* field, const std::string& value) {
    LOG_INFO("[%lld][%s] CmtrCE2727::parseSystemParams('%s'): value of '%s' = %s", meterNumber(),
             serialText(), name, field, value.c_str());
  };
  auto logInt = [&](const char* field, long long value) {
    LOG_INFO("[%lld][%s] CmtrCE2727::parseSystemParams('%s'): value of '%s' = %lld", meterNumber(),
             serialText(), name, field, value);
  };
  if (r.cmd == 0) {
    SystemInfo info;
    if (!ParseSystemInfo(d, n, info)) {
      LOG_ERR("[%lld][%s] CmtrCE2727::parseSystemParams('%s') - SHORT ANSWER OF %d BYTES !!!",
              meterNumber(), serialText(), name, n);
      return false;
    }
    std::string model = model_ == 1   ? "ЦЭ2727"
                        : model_ == 2 ? "ЦЭ2727А"
                        : model_ == 0 ? "Undefined"
                                      : "Unknown";
    logText("MeterModel", model);
    const std::string& fw = info.firmware;
    logText("FirmWare", fw);
    logInt("error1", u16(d + 2));
    logInt("error2", u16(d + 4));
    logInt("error3", u16(d + 6));
    logInt("State&diagnostic", u16(d + 8));
    uint32_t serial = info.serial;
    logInt("serial", serial);
    read_net_address_ = info.net_address;
    logInt("netAddr", read_net_address_);
    logInt("version electric", d[36]);
    logInt("version parametrisation", d[37]);
    logInt("status", d[38]);
    out.push_back(record(72, System, model, "", 0, now));
    out.push_back(record(73, System, fw, "", 0, now));
    out.push_back(record(kSerialNumber, System, std::to_string(serial), "", 0, now));
    return true;
  }
  if (r.cmd == 21) {
    int day = n >= 3 ? Bcd(d[0]) : -1, month = n >= 3 ? Bcd(d[1]) : -1;
    int year = n >= 3 ? Bcd(d[2]) : -1;
    if (!ValidDate(day, month, year)) {
      unreadable(
          r, "PrDate",
          format("[%lld][%s] CmtrCE2727::parseSystemParams('%s') - WRONG MANUFACTURE DATE !!!",
                 meterNumber(), serialText(), name));
      return true;
    }
    time_t t = mtr::localMoment(2000 + year, month, day);
    logText("PrDate", std::to_string(t) + " (" + timeText(t) + ")");
    out.push_back(record(75, System, std::to_string(t), "", 0, now));
    return true;
  }
  LOG_ERR(
      "[%lld][%s] CmtrCE2727::parseSystemParams('%s') - COMMAND %d HAS NO SYSTEM PARAMETERS !!!",
      meterNumber(), serialText(), name, r.cmd);
  return false;
}

bool CmtrCE2727::parseDateTime(const Request& r, MeasuredValueList& out) {
  const uint8_t* d = connector_->answerData();
  int n = connector_->answerDataLength();
  time_t t = ParseMeterClock(d, n);
  if (t < 0) {
    unreadable(r, "MDateTime",
               format("[%lld][%s] CmtrCE2727::parseDateTime('%s') - WRONG DATE TIME !!!",
                      meterNumber(), serialText(), r.name.c_str()));
    return true;
  }
  meter_time_ = t;
  long long value = static_cast<long long>(t) - dTZ();
  LOG_DEBUG("[%lld][%s] CmtrCE2727::parseDateTime('%s'): value of '%s' = %d ('%s') _dTZ=%d",
            meterNumber(), serialText(), r.name.c_str(), "MDateTime", static_cast<int>(value),
            timeText(t).c_str(), dTZ());
  out.push_back(record(kMDateTime, System, std::to_string(value), "", 0, Clock().now()));
  return true;
}

bool CmtrCE2727::parseCurrNrg(const Request& r, MeasuredValueList& out) {
  const uint8_t* d = connector_->answerData();
  if (connector_->answerDataLength() < 21) {
    LOG_ERR("[%lld][%s] CmtrCE2727::parseCurrNrg('%s') - SHORT ANSWER !!!", meterNumber(),
            serialText(), r.name.c_str());
    return false;
  }
  time_t now = Clock().now();
  for (int t = 0; t <= 4; ++t) {
    uint32_t count = U32(d + 1 + 4 * t);
    LOG_DEBUG("[%lld][%s] CmtrCE2727::parseCurrNrg: WA%d = %f", meterNumber(), serialText(), t,
              count * 0.001);
    out.push_back(record(r.param, Current, Scaled(count, 3), "", static_cast<uint8_t>(t), now));
  }
  return true;
}

bool CmtrCE2727::parseCurrPwr(const Request& r, MeasuredValueList& out) {
  const uint8_t* d = connector_->answerData();
  if (connector_->answerDataLength() < 16) {
    LOG_ERR("[%lld][%s] CmtrCE2727::parseCurrPwr('%s') - SHORT ANSWER !!!", meterNumber(),
            serialText(), r.name.c_str());
    return false;
  }
  time_t now = Clock().now();
  const char* names[4] = {"PA", "PAA", "PAB", "PAC"};
  for (int i = 0; i < 4; ++i) {
    int32_t w = static_cast<int32_t>(U32(d + 4 * i));
    LOG_DEBUG("[%lld][%s] CmtrCE2727::parseCurrPwr: %s = %f", meterNumber(), serialText(), names[i],
              w * 0.001);
    out.push_back(record(r.param + i, Current, Scaled(w, 3), "кВт", 0, now));
  }
  return true;
}

bool CmtrCE2727::parseCurrentState(const Request& r, MeasuredValueList& out) {
  const uint8_t* d = connector_->answerData();
  int len = connector_->answerLength();
  int pos = kHeaderSize;
  time_t now = Clock().now();
  MeasuredValueList values;
  for (const auto& f : kStateFields) {
    if (pos + f.size > len - 2) {
      unreadable(r, f.name,
                 format("[%lld][%s] --- CmtrCE2727::parseCurrentState('%s') - CURRENT POSITION %d "
                        "OUT PACKET SIZE %d !!!",
                        meterNumber(), serialText(), r.name.c_str(), pos, len));
      break;
    }
    const uint8_t* p = d + (pos - kHeaderSize);
    pos += f.size;
    if (f.code == 0) continue;
    int64_t v = f.size == 2 ? (f.is_signed ? int16_t(u16(p)) : u16(p))
                            : (f.is_signed ? int64_t(int32_t(U32(p))) : int64_t(U32(p)));
    std::string text = Scaled(v, f.decimals);
    LOG_DEBUG("[%lld][%s] CmtrCE2727::parseCurrentState('%s'): value of '%s' = %s", meterNumber(),
              serialText(), r.name.c_str(), f.name, text.c_str());
    values.push_back(record(f.code, Current, text, f.unit, 0, now));
  }
  out.splice(out.end(), values);
  return true;
}

bool CmtrCE2727::parseArchive(const Request& r, MeasuredValueList& out, time_t from, time_t till) {
  const char* name = r.name.c_str();
  const std::vector<Field>* fields = nullptr;
  if (r.group == Integral_daily) {
    fields = &DailyFields();
  } else if (r.group == Integral_monthly || r.group == Integral_yearly) {
    fields = &MonthlyFields();
  } else {
    const std::string* kind = LookupName(KindNameTable, static_cast<int32_t>(r.group));
    LOG_ERR("[%lld][%s] --- CmtrCE2727::parseArchive('%s') - UNKNOWN ARCHIVE TYPE %d ('%s')!!!",
            meterNumber(), serialText(), name, r.group, kind ? kind->c_str() : "unknown");
    return true;
  }
  ArchiveAnswer answer =
      ParseArchiveAnswer(*fields, connector_->answer(), connector_->answerLength(),
                         r.group == Integral_daily, from, till);
  const char* field = answer.field ? answer.field->name : "";
  switch (answer.defect) {
    case kArchiveGood:
      break;
    case kArchiveUnknownType:
      unreadable(r, field,
                 format("[%lld][%s] --- CmtrCE2727::parseArchive('%s') - UNKNOWN DATA TYPE %d !!!",
                        meterNumber(), serialText(), name, answer.field->type));
      return true;
    case kArchiveOutOfPacket:
      unreadable(
          r, field,
          format("[%lld][%s] --- CmtrCE2727::parseArchive('%s') - CURRENT POSITION %d OUT "
                 "PACKET SIZE %d !!!",
                 meterNumber(), serialText(), name, answer.position, connector_->answerLength()));
      return true;
    case kArchiveBadDate:
      unreadable(r, field,
                 format("[%lld][%s] --- CmtrCE2727::parseArchive('%s') - WRONG DATE IN ANSWER !!!",
                        meterNumber(), serialText(), name));
      return true;
  }
  if (answer.values.empty()) {
    LOG_DEBUG("[%lld][%s] CmtrCE2727::parseArchive('%s'): no record in the window", meterNumber(),
              serialText(), name);
  }
  for (const auto& v : answer.values) {
    out.push_back(record(v.field->param, r.group, v.text, "", v.field->tariff, v.time - dTZ()));
  }
  return true;
}

bool CmtrCE2727::parseProfile(const Request& r, MeasuredValueList& out, time_t from, time_t till) {
  const uint8_t* d = connector_->answerData();
  int n = connector_->answerDataLength();
  if (n < 5 + 24 * 3) {
    unreadable(r, "A240",
               format("[%lld][%s] --- CmtrCE2727::parseProfile('%s') - CURRENT POSITION %d OUT "
                      "PACKET SIZE %d !!!",
                      meterNumber(), serialText(), r.name.c_str(), kHeaderSize + 5 + 24 * 3,
                      connector_->answerLength()));
    return true;
  }
  int half = Bcd(d[0]), day = Bcd(d[2]), month = Bcd(d[3]), year = Bcd(d[4]);
  if ((half != 0 && half != 1) || !ValidDate(day, month, year)) {
    unreadable(
        r, "A240",
        format("[%lld][%s] --- CmtrCE2727::parseProfile('%s') - WRONG HALF-DAY IN ANSWER !!!",
               meterNumber(), serialText(), r.name.c_str()));
    return true;
  }
  time_t start = mtr::localMoment(2000 + year, month, day, 12 * half);
  LOG_INFO("[%lld][%s] CmtrCE2727::parseProfile: %s time = %d ('%s')", meterNumber(), serialText(),
           r.name.c_str(), static_cast<int>(start), timeText(start).c_str());
  last_profile_time_ = start;
  for (int i = 0; i < 24; ++i) {
    time_t t = start - dTZ() + 1800 * i;
    if (t > till) break;
    const uint8_t* slot = d + 5 + 3 * i;
    if (t < from || slot[0] != 1) continue;
    uint16_t w = u16(slot + 1);
    LOG_DEBUG("[%lld][%s] CmtrCE2727::parseProfile: time = %d ('%s') PFA = %f", meterNumber(),
              serialText(), static_cast<int>(t), timeText(t).c_str(), w * 0.001);
    out.push_back(record(r.param, r.group, Scaled(w, 3), "кВт", 0, t));
  }
  return true;
}

bool CmtrCE2727::parseEvents(Request& r, time_t from, bool& more) {
  more = false;
  const char* name = r.name.c_str();
  LOG_INFO("[%lld][%s] --- CmtrCE2727::parseEvents('%s')", meterNumber(), serialText(), name);
  int journal = r.p1;
  const std::vector<Field>* fields = JournalFields(journal);
  if (!fields) {
    LOG_ERR("[%lld][%s] --- CmtrCE2727::parseEvents('%s') - UNKNOWN Event TYPE %d !!!",
            meterNumber(), serialText(), name, journal);
    return true;
  }
  const uint8_t* a = connector_->answer();
  int len = connector_->answerLength();
  // An unreadable record costs that record; the older ones are still read.
  bool next = r.p3 + 1 < kJournalMaxRecords;
  if (len - 2 < kHeaderSize + 2 || a[kHeaderSize] != journal || a[kHeaderSize + 1] != r.p3) {
    unreadable(r, JournalEventName(journal),
               format("[%lld][%s] --- CmtrCE2727::parseEvents('%s') - ANSWER IS NOT RECORD %d OF "
                      "JOURNAL %d !!!",
                      meterNumber(), serialText(), name, r.p3, journal));
    more = next;
    return true;
  }
  int value = JournalEventValue(journal);
  LOG_DEBUG("[%lld][%s] CmtrCE2727::parseEvents('%s'): record %d of journal %d (%s)", meterNumber(),
            serialText(), name, r.p3, journal, JournalEventName(journal));
  int pos = kHeaderSize + 2;
  std::vector<Event> found;
  bool any_time = false;
  time_t latest = 0;
  for (const auto& f : *fields) {
    if (pos + f.size > len - 2) {
      unreadable(r, JournalEventName(journal),
                 format("[%lld][%s] --- CmtrCE2727::parseEvents('%s') - CURRENT POSITION %d OUT "
                        "PACKET SIZE %d !!!",
                        meterNumber(), serialText(), name, pos, len));
      more = next;
      return true;
    }
    const uint8_t* p = a + pos;
    pos += f.size;
    if (f.type == kFieldDateTime) {
      static const uint8_t kUnset[6] = {0};
      if (memcmp(p, kUnset, 6) == 0) continue;
      time_t t = DateTime6(p);
      if (t < 0) {
        unreadable(r, JournalEventName(journal),
                   format("[%lld][%s] --- CmtrCE2727::parseEvents('%s') - WRONG DATE TIME IN '%s' "
                          "!!!",
                          meterNumber(), serialText(), name, f.name));
        more = next;
        return true;
      }
      t -= dTZ();
      any_time = true;
      if (t > latest) latest = t;
      if (!f.event_time) continue;
      LOG_DEBUG("[%lld][%s] CmtrCE2727::parseEvents: time[%d] = %d ('%s') event = %d",
                meterNumber(), serialText(), r.p3, static_cast<int>(t), timeText(t).c_str(), value);
      found.push_back({t, value, journal});
    } else if (f.type != kFieldSkip) {
      long long v = f.type == kFieldByte     ? p[0]
                    : f.type == kFieldShort  ? int16_t(u16(p))
                    : f.type == kFieldUShort ? u16(p)
                                             : U32(p);
      LOG_DEBUG("[%lld][%s] CmtrCE2727::parseEvents('%s'): value of '%s' = %lld", meterNumber(),
                serialText(), name, f.name, v);
    }
  }
  auto& cache = journal_cache_[journal].events;
  cache.insert(cache.end(), found.begin(), found.end());
  // Records come newest first: one wholly before the window ends the walk.
  more = any_time && latest >= from && next;
  return true;
}

bool CmtrCE2727::isNextArchive(Request& r, time_t from, time_t till) {
  const char* name = r.name.c_str();
  bool profile = r.cmd == 17;
  struct tm tm {};
  if (!r.walk_started) {
    r.walk_started = true;
    r.device_end = false;
    time_t c = from;
    if (profile) {
      // Aligned to its half-day, so a window that starts mid-morning still
      // reaches the afternoon on the next step.
      c = from + dTZ();
      localtime_r(&c, &tm);
      tm.tm_hour = tm.tm_hour >= 12 ? 12 : 0;
      tm.tm_min = tm.tm_sec = 0;
      tm.tm_isdst = -1;
      c = mktime(&tm);
    } else if (r.group == Integral_daily || r.group == Daily) {
      c = from - 86400;
    } else if (r.group == Integral_monthly || r.group == Monthly || r.group == Integral_yearly ||
               r.group == Yearly) {
      localtime_r(&from, &tm);
      // Day 1: stepping a month from the 31st must not skip the next month.
      tm.tm_mday = 1;
      tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
      if (r.group == Integral_monthly || r.group == Monthly) {
        tm.tm_mon -= 1;
      } else {
        tm.tm_year -= 1;
      }
      tm.tm_isdst = -1;
      c = mktime(&tm);
    }
    r.cursor = c;
  } else {
    if (r.device_end) {
      LOG_INFO("[%lld][%s] CmtrCE2727::isNextArchive('%s'): stop reading by device", meterNumber(),
               serialText(), name);
      return false;
    }
    localtime_r(&r.cursor, &tm);
    tm.tm_isdst = -1;
    if (profile) {
      tm.tm_hour += 12;
    } else if (r.group == Integral_monthly || r.group == Monthly) {
      tm.tm_mon += 1;
    } else if (r.group == Integral_yearly || r.group == Yearly) {
      tm.tm_year += 1;
    } else if (r.group == Integral_daily || r.group == Daily) {
      tm.tm_mday += 1;
    } else {
      tm.tm_hour += 1;
    }
    r.cursor = mktime(&tm);
    // The profile cursor is meter time.
    time_t end = profile ? till + dTZ() : till;
    if (r.cursor > end) {
      LOG_INFO("[%lld][%s] CmtrCE2727::isNextArchive('%s'): stop reading by time = %d ('%s')",
               meterNumber(), serialText(), name, static_cast<int>(r.cursor),
               timeText(r.cursor).c_str());
      return false;
    }
    LOG_INFO("[%lld][%s] CmtrCE2727::isNextArchive('%s'): continue reading by time = %d ('%s')",
             meterNumber(), serialText(), name, static_cast<int>(r.cursor),
             timeText(r.cursor).c_str());
  }
  localtime_r(&r.cursor, &tm);
  if (tm.tm_year < 100) {
    // Two BCD digits carry the years 2000 to 2099: nothing older to ask for.
    struct tm first {};
    first.tm_year = 100;
    first.tm_mday = 1;
    first.tm_isdst = -1;
    r.cursor = mktime(&first);
    localtime_r(&r.cursor, &tm);
  }
  r.p1 = tm.tm_hour > 11 ? 1 : 0;
  r.p2 = toBcd(tm.tm_mday);
  r.p3 = toBcd(tm.tm_mon + 1);
  r.p4 = toBcd((tm.tm_year + 1900 - 2000) % 100);
  // A year's counters are those at the end of its December.
  if (r.group == Integral_yearly || r.group == Yearly) r.p3 = 0x12;
  return true;
}

bool CmtrCE2727::readArchiveEntry(Request& r, MeasuredValueList& out, time_t from, time_t till) {
  r.walk_started = false;
  r.device_end = false;
  while (isNextArchive(r, from, till)) {
    if (!sendOneRequest(r, out, from, till)) return false;
  }
  return true;
}

bool CmtrCE2727::readEvents(MeasuredValueList& out, time_t from, time_t till) {
  for (auto& r : events_list) {
    int journal = r.p1;
    JournalCache& cache = journal_cache_[journal];
    if (!cache.valid || cache.covered_from > from) {
      cache.valid = false;
      cache.events.clear();
      MeasuredValueList none;
      for (int index = 0; index < kJournalMaxRecords; ++index) {
        r.p3 = static_cast<uint8_t>(index);
        r.device_end = false;
        if (!sendOneRequest(r, none, from, till)) {
          cache.events.clear();
          return false;
        }
        if (r.device_end) break;
      }
      cache.valid = true;
      cache.covered_from = from;
    }
    for (const auto& e : cache.events) {
      if (e.time >= from && e.time <= till) {
        out.push_back(record(r.param, r.group, std::to_string(e.value), "", 0, e.time));
      }
    }
  }
  return true;
}

MeasuredValueList CmtrCE2727::get_all_curtime_cur_integ_values() {
  LOG_INFO("[%lld][%s] --- CmtrCE2727::get_all_curtime_cur_integ_values() %s", meterNumber(),
           serialText(), kBanner);
  // A new session: the journals may have grown, and unreadable values are
  // worth a warning again.
  journal_cache_.clear();
  warned_.clear();
  MeasuredValueList values;
  for (auto* list : {&time_list, &current_list}) {
    for (auto& r : *list) {
      if (!sendRequest(r, values)) {
        fail("CmtrCE2727::get_all_curtime_cur_integ_values() - CAN'T READ CURRENT VALUES");
      }
    }
  }
  logRecords("Current Parameter", values);
  return values;
}

MeasuredValueList CmtrCE2727::get_all_system_values() {
  LOG_INFO("[%lld][%s] --- CmtrCE2727::get_all_system_values() %s", meterNumber(), serialText(),
           kBanner);
  MeasuredValueList values;
  for (auto* list : {&system_list, &time_list}) {
    for (auto& r : *list) {
      if (!sendRequest(r, values)) {
        LOG_ERR(
            "[%lld][%s] CmtrCE2727::get_all_system_values() - CAN'T GET SYSTEM PARAMETER '%s' "
            "!!!",
            meterNumber(), serialText(), r.name.c_str());
        fail("CmtrCE2727::get_all_system_values() - CAN'T READ SYSTEM PARAMETER");
      }
    }
  }
  const MeasuredValue* serial = nullptr;
  for (const auto& v : values) {
    if (v.kind == System && v.param_code == kSerialNumber) serial = &v;
  }
  if (!serial) {
    LOG_ERR("[%lld][%s] CmtrCE2727::get_all_system_values(): CAN'T READ SERIAL NUMBER !!!",
            meterNumber(), serialText());
    throw SerialErrorException("No Data");
  }
  // Configured serials may carry leading zeros; an empty one is not checked.
  const std::string& given = Settings().serial_text;
  auto strip = [](const std::string& s) {
    size_t i = s.find_first_not_of('0');
    return i == std::string::npos ? std::string("0") : s.substr(i);
  };
  if (!given.empty() && strip(given) != strip(serial->value)) {
    LOG_ERR(
        "[%lld][%s] CmtrCE2727::get_all_system_values(): READ SERIAL '%s' != GIVEN SERIAL '%s' "
        "!!! EXCEPTION WILL BE THROWN.",
        meterNumber(), serialText(), serial->value.c_str(), given.c_str());
    throw SerialErrorException(serial->value);
  }
  logRecords("System Parameter", values);
  return values;
}

bool CmtrCE2727::GetTimestamps(timestamps& out) {
  LOG_INFO("[%lld][%s] --- CmtrCE2727::GetTimestamps() %s", meterNumber(), serialText(), kBanner);
  MeasuredValueList values;
  meter_time_ = 0;
  bool ok = true;
  for (auto& r : time_list) ok = sendRequest(r, values) && ok;
  if (!ok || meter_time_ == 0) {
    LOG_ERR("[%lld][%s] CmtrCE2727::GetTimestamps(): CAN'T READ CURRENT DATETIME !!!",
            meterNumber(), serialText());
    fail("CmtrCE2727::GetTimestamps() - CAN'T READ CURRENT DATETIME");
  }
  // The meter does not report how deep its archives go: the pass limits apply.
  out.min_time_hour = 0;
  out.min_time_day = 0;
  out.curr_time = meter_time_ - dTZ();
  LOG_INFO("[%lld][%s] <<< current time: %d ( %s )", meterNumber(), serialText(),
           static_cast<int>(out.curr_time), timeText(out.curr_time).c_str());
  return true;
}

int CmtrCE2727::get_arch_values(uint32_t kind, time_t from, time_t till,
                                MeasuredValueList& values) {
  const std::string* kind_name = LookupName(KindNameTable, static_cast<int32_t>(kind));
  const char* kname = kind_name ? kind_name->c_str() : "unknown";
  LOG_INFO("[%lld][%s] --- CmtrCE2727::get_arch_values(%s) from %d (%s) %s", meterNumber(),
           serialText(), kname, static_cast<int>(from), timeText(from).c_str(), kBanner);
  LOG_INFO("[%lld][%s] --- CmtrCE2727::get_arch_values(%s) till %d (%s) %s", meterNumber(),
           serialText(), kname, static_cast<int>(till), timeText(till).c_str(), kBanner);
  MeasuredValueList found;
  auto walk = [&](std::vector<Request>& list, time_t lo, const char* failure) {
    for (auto& r : list) {
      if (!readArchiveEntry(r, found, lo, till)) fail(failure);
    }
  };
  switch (kind) {
    case Hourly: {
      // Hourly windows come as [from, till], then from = till + 3600: the
      // half-hour slot and the events after each window's last hour start
      // belong to the next window, which reaches back to just after it.
      time_t lo = from - 3599;
      if (!readEvents(found, lo, till)) {
        fail("CmtrCE2727::get_arch_values(Event) - CAN'T READ ARCHIVE");
      }
      walk(profile_list, lo, "CmtrCE2727::get_arch_values(Hourly) - CAN'T READ ARCHIVE");
      break;
    }
    case Daily:
      walk(daily_list, from, "CmtrCE2727::get_arch_values(Daily) - CAN'T READ ARCHIVE");
      break;
    case Monthly:
      walk(monthly_list, from, "CmtrCE2727::get_arch_values(Monthly) - CAN'T READ ARCHIVE");
      break;
    case Yearly:
      walk(yearly_list, from, "CmtrCE2727::get_arch_values(Yearly) - CAN'T READ ARCHIVE");
      break;
    default:
      LOG_WARNING("[%lld][%s] CmtrCE2727::get_arch_values(%s) - ARCHIVE KIND %u IS NOT SUPPORTED",
                  meterNumber(), serialText(), kname, kind);
      return 0;
  }
  logRecords("Archive Parameter", found);
  int count = static_cast<int>(found.size());
  values.splice(values.end(), found);
  return count;
}
