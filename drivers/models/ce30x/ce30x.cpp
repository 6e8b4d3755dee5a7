#include "drivers/models/ce30x/ce30x.h"

#include <cstdio>
#include <vector>

#include "base/logger.h"
#include "drivers/models/ce30x/ce_models.h"

using namespace iec61107;

namespace {

const char kInitError[] = "CmtrGost66107::init() - CAN'T INIT";
const char kCurrentError[] = "CmtrGost66107::get_all_curtime_cur_integ_values()";
const char kSystemError[] = "CmtrGost66107::get_all_system_values()";
const char kTimestampsError[] = "CmtrGost66107::GetTimestamps()";
const char kArchiveError[] = "CmtrGost66107::get_arch_values()";

// Device address characters allowed by the sign-on: at most 32 of 0-9, A-Z,
// a-z and blank.
bool validAddress(const std::string& a) {
  if (a.size() > 32) return false;
  for (char c : a) {
    const bool ok =
        (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == ' ';
    if (!ok) return false;
  }
  return true;
}

std::string timeText(time_t t) {
  struct tm tm;
  localtime_r(&t, &tm);
  char buf[32];
  strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace

std::string CeRecordText(const MeasuredValue& v) {
  char head[96];
  snprintf(head, sizeof head, "code=%u kind=%u sys=%u ts=%d q=%d value=", v.param_code, v.kind,
           v.sys, v.timestamp, v.opc_quality);
  std::string text = head + v.value;
  if (!v.dim.empty()) text += " " + v.dim;
  return text;
}

CmtrGost61107::CmtrGost61107() {
  arch_mode = 2;
}

CmtrGost61107::~CmtrGost61107() {
  // The cycle uses the model object: stop the thread before it goes.
  Stop();
}

std::string CmtrGost61107::deviceAddress() const {
  auto it = params.find("net_address");
  if (it == params.end()) return std::string();
  const std::string& raw = it->second;
  size_t b = raw.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  size_t e = raw.find_last_not_of(" \t");
  std::string text = raw.substr(b, e - b + 1);
  if (text.find_first_not_of('0') == std::string::npos) return std::string();
  return text;
}

Gost61107Settings CmtrGost61107::protocolSettings() const {
  Gost61107Settings s;
  s.id = meterNumber();
  s.name = settings.serial_text;
  s.address = deviceAddress();
  s.password = settings.password;
  s.map = params;
  return s;
}

void CmtrGost61107::SaveConnector(std::shared_ptr<CConnector> connector) {
  LOG_INFO("[%lld][%s] ------ CmtrGost61107::%s ------", meterNumber(), serialText(),
           "SaveConnector");
  connector_ = std::make_shared<CGost61107Connector>(std::move(connector), protocolSettings(),
                                                     kAnswerCapacity, &Clock());
}

std::string CeIdentify(CGost61107Connector& connector, const std::string& address) {
  const long long id = connector.id();
  const char* sn = connector.name();
  std::vector<uint8_t> rx(connector.capacity());
  const std::string signon = "/?" + address + "!\r\n";
  for (int attempt = 0; attempt < 3; ++attempt) {
    int32_t len = 1;
    connector.SendRequest(kBreakFrame, sizeof kBreakFrame, rx.data(), len, false);
    len = 21;
    if (!connector.SendRequest(reinterpret_cast<const uint8_t*>(signon.data()),
                               static_cast<uint16_t>(signon.size()), rx.data(), len, false) ||
        len < 0)
      throw CDisconnectException();
    if (rx[0] == '/' || (len >= 5 && rx[4] == '5')) {
      std::string model;
      for (int32_t i = 5; i < len && rx[i] != CR; ++i) model += static_cast<char>(rx[i]);
      return model;
    }
    LOG_ERR("[%lld][%s]cGost61107::%s() - Initialization failed. Received packet isn't identifier",
            id, sn, "init");
  }
  LOG_ERR("[%lld][%s]cGost61107::%s() - CAN'T SEND REQUEST !!!", id, sn, "init");
  throw CDisconnectException();
}

std::shared_ptr<cGost61107> CeModelFor(const std::string& name,
                                       std::shared_ptr<CGost61107Connector> connector,
                                       std::shared_ptr<CeMeterMemory> memory) {
  if (name.find("CE102M") != std::string::npos)
    return std::make_shared<CCE102M>(std::move(connector), std::move(memory));
  if (name.find("CE308") != std::string::npos)
    return std::make_shared<CCE308>(std::move(connector), std::move(memory));
  if (name.find("CE30") != std::string::npos)
    return std::make_shared<CCE30X>(std::move(connector), name.find("CE301") != std::string::npos,
                                    std::move(memory));
  return nullptr;
}

bool CmtrGost61107::init() {
  const long long id = meterNumber();
  const char* sn = serialText();
  LOG_INFO("[%lld][%s] ------ %s ------", id, sn, "init");
  if (!connector_) {
    LOG_ERR("[%lld][%s] CmtrGost61107::init() - no connector", id, sn);
    throw CDisconnectException();
  }
  const std::string address = deviceAddress();
  if (!validAddress(address)) {
    LOG_ERR("[%lld][%s] CmtrGost61107::init() - BAD net_address '%s' !!!", id, sn, address.c_str());
    throw SerialErrorException(kInitError);
  }

  const std::string previous = model_name_;
  model_name_ = CeIdentify(*connector_, address);
  // Another meter behind the address starts from nothing.
  if (!memory_ || previous != model_name_) memory_ = std::make_shared<CeMeterMemory>();
  LOG_INFO("[%lld][%s] cGost61107::%s, model %s", id, sn, "init", model_name_.c_str());

  std::shared_ptr<cGost61107> model = CeModelFor(model_name_, connector_, memory_);
  if (!model) {
    LOG_CRIT(
        "[%lld][%s] cGost61107::%s, CRITICAL EXCEPTION!!! unknown driver model. driver model "
        "is %s",
        id, sn, "init", model_name_.c_str());
    model_.reset();
    model_if_ = nullptr;
    throw SerialErrorException(kInitError);
  }
  model_ = model;
  model_if_ = model_.get();

  if (!model_if_->Init(dTZ(), protocolSettings())) {
    LOG_ERR("[%lld][%s] %s", id, sn, kInitError);
    throw SerialErrorException(kInitError);
  }
  return true;
}

void CmtrGost61107::logRecords(const char* title, const MeasuredValueList& values) const {
  for (const auto& v : values)
    LOG_INFO("[%lld][%s] <<< %s: %s", meterNumber(), serialText(), title, CeRecordText(v).c_str());
}

MeasuredValueList CmtrGost61107::get_all_curtime_cur_integ_values() {
  const long long id = meterNumber();
  const char* sn = serialText();
  LOG_INFO("[%lld][%s] ------ %s ------", id, sn, "get_all_curtime_cur_integ_values");
  MeasuredValueList values;
  if (!model_if_ || !model_if_->ReadCurrentValues(values)) {
    LOG_ERR("[%lld][%s] %s", id, sn, kCurrentError);
    throw SerialErrorException(kCurrentError);
  }
  LOG_INFO("[%lld][%s] <<< Current Parameters count = %d", id, sn, static_cast<int>(values.size()));
  logRecords("Current Parameters", values);
  return values;
}

MeasuredValueList CmtrGost61107::get_all_system_values() {
  const long long id = meterNumber();
  const char* sn = serialText();
  LOG_INFO("[%lld][%s] ------ %s ------", id, sn, "get_all_system_values");
  MeasuredValueList values;
  if (!model_if_ || !model_if_->ReadSystemValues(values)) {
    LOG_ERR("[%lld][%s] %s", id, sn, kSystemError);
    throw SerialErrorException(kSystemError);
  }
  LOG_INFO("[%lld][%s] <<< System Parameters count = %d", id, sn, static_cast<int>(values.size()));
  logRecords("System Parameters", values);
  return values;
}

bool CmtrGost61107::GetTimestamps(timestamps& out) {
  const long long id = meterNumber();
  const char* sn = serialText();
  LOG_INFO("[%lld][%s] ------ %s ------", id, sn, "GetTimestamps");
  timestamps read;
  if (!model_if_ || !model_if_->ReadTimestamps(read)) {
    LOG_ERR("[%lld][%s] %s", id, sn, kTimestampsError);
    throw SerialErrorException(kTimestampsError);
  }
  out = read;
  LOG_INFO("[%lld][%s] <<< Current Timestamp: %ld (%s)", id, sn, static_cast<long>(out.curr_time),
           timeText(static_cast<time_t>(out.curr_time)).c_str());
  return true;
}

int CmtrGost61107::get_arch_values(uint32_t kind, time_t from, time_t till,
                                   MeasuredValueList& values) {
  const long long id = meterNumber();
  const char* sn = serialText();
  LOG_INFO("[%lld][%s] ------ %s ------", id, sn, "get_arch_values");
  LOG_DEBUG("[%lld][%s] get_arch_values(%u) from %ld (%s) till %ld (%s)", id, sn, kind,
            static_cast<long>(from), timeText(from).c_str(), static_cast<long>(till),
            timeText(till).c_str());
  MeasuredValueList read;
  // A window that could not be read must not count as read and empty.
  if (!model_if_ || !model_if_->ReadArchiveValues(kind, from, till, read)) {
    LOG_ERR("[%lld][%s] %s", id, sn, kArchiveError);
    throw SerialErrorException(kArchiveError);
  }
  logRecords("Archive Parameters", read);
  const int count = static_cast<int>(read.size());
  values.splice(values.end(), read);
  return count;
}
