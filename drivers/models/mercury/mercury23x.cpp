#include "drivers/models/mercury/mercury23x.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "base/logger.h"

using namespace CmtrMercury23XRequets;

namespace {

const int kVersionMajor = 2;
const int kVersionMinor = 22;

const char* archName(uint32_t kind) {
  switch (kind) {
    case Hourly:
      return "hourly";
    case Daily:
      return "daily";
    case Monthly:
      return "monthly";
    case Yearly:
      return "yearly";
    default:
      return "unknown";
  }
}

bool contains(const std::string& s, const char* part) {
  return s.find(part) != std::string::npos;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

// The line buffers live while requests run; between sessions they are given back.
class ReleaseAfter {
 public:
  explicit ReleaseAfter(CMercury23XLowLevelConnector& ll) : ll_(ll) {}
  ~ReleaseAfter() { ll_.releaseBuffers(); }
  ReleaseAfter(const ReleaseAfter&) = delete;
  ReleaseAfter& operator=(const ReleaseAfter&) = delete;

 private:
  CMercury23XLowLevelConnector& ll_;
};

}  // namespace

CmtrMercury23X::CmtrMercury23X(const std::string& model, int variant)
    : model_(model), variant_(variant) {
  arch_mode = 2;
  state_.clock = &Clock();
  state_.direct_command = true;
  state_.ext_arch = 0;
  state_.int_rater = 1;
  profile_memory_size_ = 4096;
  modelInit();
  time_seq_ = std::make_shared<RequestSequence>(&state_);
  time_seq_->add(makeRequest(23));
  time_seq_->setDateTimeRequired(true);
}

// The worker thread calls into this object: stop it before members go.
CmtrMercury23X::~CmtrMercury23X() {
  Stop();
}

void CmtrMercury23X::refreshState() {
  state_.clock = &Clock();
  state_.dtz = dTZ();
}

// The members are made from their catalogue numbers each time the sequence
// runs; the sequence itself is kept.
CmtrMercury23X::SequencePtr CmtrMercury23X::sequence(std::initializer_list<int> numbers) {
  std::vector<uint8_t> list(numbers.begin(), numbers.end());
  const size_t count = list.size();
  auto seq = std::make_shared<RequestSequence>(
      &state_, count, [this, list = std::move(list)](size_t i) { return makeRequest(list[i]); });
  if (ll_) seq->setConnector(ll_);
  return seq;
}

void CmtrMercury23X::run(RequestSequence& seq, MeasuredValueList& values) {
  if (!ll_) throw CDisconnectException();
  refreshState();
  seq.setConnector(ll_);
  ReleaseAfter release(*ll_);
  seq.sendRequest(values);
}

CmtrMercury23X::RequestPtr CmtrMercury23X::makeRequest(int number) {
  MeterState* st = &state_;
  // Catalogue sequences make their members as they run (see RequestSequence).
  auto made = [st](size_t count, RequestSequence::Maker make) {
    return std::make_shared<RequestSequence>(st, count, std::move(make));
  };
  // Registers of one array code for tariffs 0-4, or of months 1-12 after the
  // array code; memory reads where the meter lacks command 05h.
  auto registers = [&](int code, bool memory_ok, int months = 0) {
    const bool memory = memory_ok && !st->direct_command;
    return made(months ? 60 : 5, [st, code, memory, months](size_t i) -> RequestPtr {
      const int array = months ? code + 1 + static_cast<int>(i / 5) : code;
      const int tariff = static_cast<int>(i % 5);
      if (memory) return std::make_shared<DmaIntegratorsRequest>(st, array, tariff);
      return std::make_shared<IntegratorsRequest>(st, array, tariff);
    });
  };
  switch (number) {
    case 0:
      return std::make_shared<TestRequest>(st);
    case 1:
      return std::make_shared<OpenChannelRequest>(st);
    case 2:
      return std::make_shared<CloseChannelRequest>(st);
    case 3:
      return std::make_shared<SerialRequest>(st);
    case 4:
    case 5:
    case 6:
      return std::make_shared<VoltageRequest>(st, number - 3);
    case 7:
    case 8:
    case 9:
      return std::make_shared<CurrentRequest>(st, number - 6);
    case 10:
      return std::make_shared<FrequencyRequest>(st);
    case 11:
    case 12:
    case 13:
    case 14:
      return std::make_shared<PowerRequest>(st, 0, number - 11);
    case 15:
    case 16:
    case 17:
    case 18:
      return std::make_shared<PowerRequest>(st, 1, number - 15);
    case 19:
    case 20:
    case 21:
    case 22:
      return std::make_shared<CosRequest>(st, number - 19);
    case 23:
      return std::make_shared<DateTimeRequest>(st);
    case 24:
      return std::make_shared<IcfUcfRequest>(st);
    case 25:
      return std::make_shared<FirmwareRequest>(st);
    case 26:
      return std::make_shared<IndividualParamsRequest>(st);
    case 27:
      return std::make_shared<ModelRequest>(st);
    case 28:
      return std::make_shared<LastOnOffRequest>(st);
    case 29:
      return std::make_shared<TsrRequest>(st);
    case 30:
      return std::make_shared<StateRequest>(st);
    case 31:
      return made(4, [st](size_t i) -> RequestPtr {
        // Journal, record size, event bit.
        static const uint8_t kJournals[4][3] = {
            {0x01, 12, 19}, {0x02, 12, 4}, {0x12, 12, 1}, {0x07, 6, 18}};
        const uint8_t* j = kJournals[i];
        return std::make_shared<ErrorHistoryRequest>(st, j[0], j[1], j[2]);
      });
    case 32:
      return registers(0x00, false);
    case 33:
      return made(2, [st](size_t i) -> RequestPtr {
        return std::make_shared<IntegratorsRequest>(st, 0x00, static_cast<int>(i));
      });
    case 34:
      return registers(0xD0, true);
    case 35:
      return registers(0xC0, true);
    case 36:
    case 38:
      return made(5, [st, monthly = number == 38](size_t i) -> RequestPtr {
        return std::make_shared<IntegratorsRequestExt>(st, monthly, static_cast<int>(i));
      });
    case 37:
      return registers(0xB0, true, 12);
    case 39:
      return registers(0xA0, true);
    case 40:
      return registers(0x90, true);
    case 41:
      return registers(0x30, false, 12);
    case 42:
      return registers(0x50, false);
    case 43:
      return registers(0x20, false);
    case 44:
      return std::make_shared<LastProfileRequest>(st);
    case 45:
      return made(
          static_cast<size_t>((profile_memory_size_ + 127) / 128), [st](size_t i) -> RequestPtr {
            return std::make_shared<ProfileMemoryRequest>(st, static_cast<uint32_t>(128 * i));
          });
    case 46:
      return made(12, [st](size_t i) -> RequestPtr {
        return std::make_shared<HolidaysRequest>(st, static_cast<int>(i) + 1);
      });
    case 47:
      // Month, day type 1-8, part 1-2.
      return made(12 * 8 * 2, [st](size_t i) -> RequestPtr {
        const int n = static_cast<int>(i);
        return std::make_shared<ScheduleRequest>(st, n / 16 + 1, n / 2 % 8 + 1, n % 2 + 1);
      });
    case 48:
      return std::make_shared<TimeTableSeasonsChangeRequest>(st);
    case 49:
      return std::make_shared<TimeTableHolidaysChangeRequest>(st);
    default:
      return nullptr;
  }
}

void CmtrMercury23X::modelInit() {
  if (model_ == "vector-3") {
    family_ = "vector";
    state_.model_number = 3;
    state_.direct_command = false;
  } else if (contains(model_, "mercury230") || contains(model_, "mercury231") ||
             contains(model_, "mercury233")) {
    family_ = "mercury";
    state_.model_number = contains(model_, "mercury230")   ? 230
                          : contains(model_, "mercury231") ? 231
                                                           : 233;
  } else if (contains(model_, "mercury234") || contains(model_, "mercury204") ||
             contains(model_, "mercury236") || contains(model_, "mercury238")) {
    family_ = "mercury";
    state_.model_number = contains(model_, "mercury234")   ? 234
                          : contains(model_, "mercury204") ? 204
                          : contains(model_, "mercury236") ? 236
                                                           : 238;
    profile_memory_size_ = 8192;
  } else {
    family_ = "unknown";
    state_.model_number = 0;
  }
  model_seq_ = sequence({27});
  hourly_seq_ = sequence({31, 45});
  yearly_seq_ = sequence({39, 40, 43});
  // Memory or command reads depend on the model: rebuild on next use.
  daily_ext_ = monthly_ext_ = -1;
}

void CmtrMercury23X::SaveConnector(std::shared_ptr<CConnector> connector) {
  std::string id =
      Settings().meter_id.empty() ? std::to_string(meterNumber()) : Settings().meter_id;
  ll_ = std::make_shared<CMercury23XLowLevelConnector>(std::move(connector), id, serialText());
  std::string password = Settings().password;
  std::string type = Settings().password_type;
  auto p = Params().find("password");
  if (password.empty() && p != Params().end()) password = p->second;
  auto pt = Params().find("password_type");
  if (type.empty() && pt != Params().end()) type = pt->second;
  ll_->setAddress(static_cast<uint8_t>(netAddress()));
  ll_->setPassword(password);
  ll_->setPasswordAscii(lower(type) == "ascii");
  LOG_INFO(
      "[%lld][%s] CmtrMercury23X::SaveConnector: net_addr = %d, password = %s, "
      "isASCIPassword = %d",
      meterNumber(), serialText(), ll_->address(), ll_->password(), ll_->passwordAscii() ? 1 : 0);
  for (auto* seq :
       {&model_seq_, &time_seq_, &hourly_seq_, &daily_seq_, &monthly_seq_, &yearly_seq_})
    if (*seq) (*seq)->setConnector(ll_);
}

namespace {
void versionLines(long long number, const char* serial, const std::string& family, int model) {
  LOG_INFO("[%lld][%s] CmtrMercury23X driver version %02X.%02X, compiled: %s %s", number, serial,
           kVersionMajor, kVersionMinor, __DATE__, __TIME__);
  LOG_INFO("[%lld][%s] CmtrMercury23X driver is working with \"%s-%d\" device", number, serial,
           family.c_str(), model);
  LOG_INFO("[%lld][%s] Repository revision Unknown.", number, serial);
}
}  // namespace

bool CmtrMercury23X::init() {
  LOG_INFO(
      "[%lld][%s] --- CmtrMercury23X::init() "
      "--------------------------------------------------",
      meterNumber(), serialText());
  versionLines(meterNumber(), serialText(), family_, state_.model_number);
  if (!testConnection()) {
    LOG_ERR("[%lld][%s] CmtrMercury23X::init() - CAN'T TEST CONNECTION !!!", meterNumber(),
            serialText());
    throw CDisconnectException();
  }
  LOG_INFO("[%lld][%s] CmtrMercury23X::init(): srv_TZ = %d, pu_TZ = %d, dTZ = %d", meterNumber(),
           serialText(), srvTZ(), puTZ(), dTZ());
  return true;
}

bool CmtrMercury23X::testConnection() {
  if (!ll_) return false;
  refreshState();
  TestRequest test(&state_);
  test.setConnector(ll_);
  ReleaseAfter release(*ll_);
  for (int attempt = 1; attempt <= 3; ++attempt) {
    LOG_INFO("[%lld][%s] CmtrMercury23X::testConnection() - %d attemp", meterNumber(), serialText(),
             attempt);
    try {
      MeasuredValueList none;
      test.sendRequest(none);
      return true;
    } catch (const CWrongPacketException&) {
      state_.sleepMs(1000);
    }
  }
  return false;
}

bool CmtrMercury23X::GetTimestamps(timestamps& out) {
  MeasuredValueList values;
  run(*time_seq_, values);
  out.min_time_hour = 0;
  out.min_time_day = 0;
  out.curr_time = state_.meter_time - state_.dtz;
  LOG_INFO("[%lld][%s] <<< current time: %d ( %s )", meterNumber(), serialText(),
           static_cast<int>(out.curr_time), formatTime(out.curr_time).c_str());
  return true;
}

std::string CmtrMercury23X::recordText(const MeasuredValue& v) const {
  const std::string* name = LookupName(ValueNameTable, v.value_key());
  char buf[256];
  snprintf(buf, sizeof buf, "%s [kind %u, code %u, tariff %u] = %s, quality %d, time %d (%s)",
           name ? name->c_str() : "?", v.kind, v.param_code, v.sys, v.value.c_str(), v.opc_quality,
           v.timestamp, formatTime(v.timestamp).c_str());
  return buf;
}

MeasuredValueList CmtrMercury23X::get_all_curtime_cur_integ_values() {
  LOG_INFO(
      "[%lld][%s] --- CmtrMercury23X::get_all_curtime_cur_integ_values() "
      "--------------------------------------------------",
      meterNumber(), serialText());
  versionLines(meterNumber(), serialText(), family_, state_.model_number);
  if (!current_seq_) {
    if (state_.direct_command && state_.int_rater == 0)
      current_seq_ = sequence(
          {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 30, 33});
    else
      current_seq_ = sequence(
          {4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 30, 32, 44});
    current_seq_->setAllOptional(true);
  }
  // Archives read before this turn are stale from here on.
  cache_.clear();
  cache_kind_ = 0;
  MeasuredValueList values;
  run(*current_seq_, values);
  LOG_INFO("[%lld][%s] <<< Current Parameter's count = %d", meterNumber(), serialText(),
           static_cast<int>(values.size()));
  for (const auto& v : values)
    LOG_INFO("[%lld][%s] <<< Current Parameter: %s", meterNumber(), serialText(),
             recordText(v).c_str());
  cache_.clear();
  cache_kind_ = 0;
  return values;
}

MeasuredValueList CmtrMercury23X::get_all_system_values() {
  LOG_INFO(
      "[%lld][%s] --- CmtrMercury23X::get_all_system_values() "
      "--------------------------------------------------",
      meterNumber(), serialText());
  MeasuredValueList model_values;
  run(*model_seq_, model_values);
  state_.ext_arch = state_.variant[5] & 0x40;
  state_.int_rater = state_.variant[2] & 0x40;
  LOG_INFO("[%lld][%s] CmtrMercury23X::get_all_system_values() extArch=%x intRater=%x",
           meterNumber(), serialText(), state_.ext_arch, state_.int_rater);

  if (!system_seq_) {
    if (state_.direct_command && state_.int_rater == 0)
      system_seq_ = sequence({27, 25, 3, 24, 23});
    else
      system_seq_ = sequence({27, 25, 3, 24, 28, 44, 47, 46, 48, 49, 23});
  }
  MeasuredValueList values;
  run(*system_seq_, values);

  bool have_time = false;
  for (const auto& v : values) {
    if (v.kind != System) continue;
    if (v.param_code == 74 && strncmp(v.value.c_str(), serialText(), 48) != 0) {
      LOG_ERR(
          "[%lld][%s] CmtrMercury23X::GetSystemValues(): READ SERIAL '%s' != GIVEN SERIAL "
          "'%s' !!! EXCEPTION WILL BE THROWN.",
          meterNumber(), serialText(), v.value.c_str(), serialText());
      throw SerialErrorException(v.value);
    }
    if (v.param_code == 72 && v.value != model_) {
      LOG_WARNING(
          "[%lld][%s] CmtrMercury23X::GetSystemValues(): METER MODEL '%s' != "
          "MANUFACTURER '%s' !!!",
          meterNumber(), serialText(), v.value.c_str(), model_.c_str());
      model_ = v.value;
      modelInit();
    }
    if (v.param_code == 85) have_time = true;
  }
  if (have_time) {
    const time_t now = state_.now();
    const std::string texts[3] = {state_.timetable.seasonsText(), state_.timetable.holidaysText(),
                                  state_.timetable.specialText()};
    for (int i = 0; i < 3; ++i) {
      MeasuredValue v;
      v.param_code = 63 + i;
      v.kind = System;
      v.value = texts[i];
      v.opc_quality = kQuality;
      v.timestamp = static_cast<int32_t>(now);
      values.push_back(std::move(v));
    }
  }
  LOG_INFO("[%lld][%s] <<< System Parameter's count = %d", meterNumber(), serialText(),
           static_cast<int>(values.size()));
  for (const auto& v : values)
    LOG_INFO("[%lld][%s] <<< System Parameter: %s", meterNumber(), serialText(),
             recordText(v).c_str());
  return values;
}

int CmtrMercury23X::get_arch_values(uint32_t kind, time_t from, time_t till,
                                    MeasuredValueList& values) {
  refreshState();
  const char* name = archName(kind);
  if (state_.direct_command && state_.int_rater == 0) {
    LOG_WARNING("[%lld][%s] CmtrMercury23X::get_arch_values - ARCHIVE %s NOT SUPPORTED !!!",
                meterNumber(), serialText(), name);
    return 0;
  }
  LOG_INFO(
      "[%lld][%s] --- CmtrMercury23X::get_arch_values(%s) from %d (%s) "
      "--------------------------------------",
      meterNumber(), serialText(), name, static_cast<int>(from), formatTime(from).c_str());
  LOG_INFO(
      "[%lld][%s] --- CmtrMercury23X::get_arch_values(%s) till %d (%s) "
      "--------------------------------------",
      meterNumber(), serialText(), name, static_cast<int>(till), formatTime(till).c_str());

  SequencePtr seq;
  switch (kind) {
    case Hourly:
      seq = hourly_seq_;
      from = from - from % 3600 - 3599;
      break;
    case Daily:
      if (!daily_seq_ || daily_ext_ != state_.ext_arch) {
        LOG_INFO("[%lld][%s] %s", meterNumber(), serialText(),
                 state_.ext_arch ? "init extended arch" : "init old arch");
        daily_seq_ = state_.ext_arch ? sequence({36}) : sequence({34, 35, 42});
        daily_ext_ = state_.ext_arch;
      }
      seq = daily_seq_;
      break;
    case Monthly:
      if (!monthly_seq_ || monthly_ext_ != state_.ext_arch) {
        LOG_INFO("[%lld][%s] %s", meterNumber(), serialText(),
                 state_.ext_arch ? "init extended arch" : "init old arch");
        monthly_seq_ = state_.ext_arch ? sequence({38}) : sequence({37, 41});
        monthly_ext_ = state_.ext_arch;
      }
      seq = monthly_seq_;
      break;
    case Yearly:
      seq = yearly_seq_;
      break;
    default:
      return 0;
  }

  if (cache_kind_ != kind) {
    cache_.clear();
    cache_kind_ = 0;
    LOG_INFO("[%lld][%s] === CmtrMercury23X::get_arch_values(%s) READ ARCHIVE REALLY ",
             meterNumber(), serialText(), name);
    seq->setPeriod(dayStart(from) + state_.dtz, state_.meter_time);
    MeasuredValueList got;
    run(*seq, got);
    cache_.assign(got);
    cache_kind_ = kind;
  }

  MeasuredValueList result;
  cache_.forEach([&](const MeasuredValue& v) {
    time_t t = v.timestamp;
    if (v.kind == Hourly) t -= state_.dtz;
    // Consumption counts at the end of the period it covers.
    if (v.kind == Daily) {
      t = addDays(t, 1);
    } else if (v.kind == Monthly) {
      t = addMonths(t, 1);
    } else if (v.kind == Yearly) {
      t = addMonths(t, 12);
    }
    if (t < from || t > till) return;
    MeasuredValue copy = v;
    copy.timestamp = static_cast<int32_t>(v.timestamp - state_.dtz);
    result.push_back(std::move(copy));
  });
  LOG_INFO("[%lld][%s] <<< Archive Parameter's count = %d", meterNumber(), serialText(),
           static_cast<int>(result.size()));
  for (const auto& v : result)
    LOG_INFO("[%lld][%s] <<< Archive Parameter: %s", meterNumber(), serialText(),
             recordText(v).c_str());
  values.splice(values.end(), result);
  return 0;
}
