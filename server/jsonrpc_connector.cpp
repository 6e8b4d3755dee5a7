#include "server/jsonrpc_connector.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>

#include "base/logger.h"
#include "base/paths.h"
#include "server/jsonrpc_client.h"

namespace {

// One write, so that lines of several threads do not mix.
void writeStdout(const std::string& text) {
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
}

void sleepFor(long ms) {
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = (ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// The old jsoncpp reader with comments allowed. Input nested beyond its stack
// limit makes it throw; that is just one more unparseable answer.
bool parseJson(const std::string& text, Json::Value& out) {
  try {
    Json::Reader reader;
    Json::Value parsed;
    if (!reader.parse(text, parsed, true)) return false;
    out.swap(parsed);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// The jsoncpp text of a scalar; false for objects and arrays, which have none.
bool scalarText(const Json::Value& v, std::string& out) {
  if (v.isObject() || v.isArray()) return false;
  out = v.asString();
  return true;
}

// Members with an object or array value are left out.
void flatten(const Json::Value& obj, SettingsMap& out) {
  if (!obj.isObject()) return;
  for (auto it = obj.begin(); it != obj.end(); ++it) {
    std::string text;
    if (scalarText(*it, text)) out[it.name()] = text;
  }
}

// Config numbers are strtol'd; out-of-range values clamp instead of wrapping.
int toInt(const std::string& text) {
  long v = settingsNumber(text);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

// Member name of a systems entry with its system digit at position 7.
bool systemNumber(const std::string& name, int& number) {
  if (name.size() < 8) return false;
  char digit[2] = {name[7], '\0'};
  number = static_cast<int>(strtol(digit, nullptr, 10));
  return true;
}

const std::string* keyIn(const SettingsMap& map, const char* key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

std::string hexLower(unsigned value) {
  char buf[8];
  snprintf(buf, sizeof buf, "%x", value);
  return buf;
}

}  // namespace

CJSONRPCConnector::CJSONRPCConnector(const std::string& id, int system)
    : meter_id(id), request_id(1), current_system(system), mode_(0) {
  Json::Rpc::HttpClient::GlobalInit();
}

CJSONRPCConnector::~CJSONRPCConnector() = default;

std::string CJSONRPCConnector::BuildRequest(const std::string& method, const Json::Value& params) {
  Json::Value req(Json::objectValue);
  req["id"] = Json::Value(request_id++);
  req["jsonrpc"] = "2.0";
  req["method"] = method;
  if (!params.isNull()) req["params"] = params;
  Json::FastWriter writer;
  return writer.write(req);
}

bool CJSONRPCConnector::ExecJSONRPCFunc(const std::string& method, const Json::Value& params,
                                        Json::Value& response) {
  std::string request = BuildRequest(method, params);
  writeStdout("CJSONRPCConnector::ExecJSONRPCFunc query is " + request);
  return SendParameters(request, response);
}

bool CJSONRPCConnector::SendParameters(const std::string& request, Json::Value& response) {
  for (;;) {
    std::unique_ptr<Json::Rpc::HttpClient> client(new Json::Rpc::HttpClient(mtr::configUrl()));
    int rc = client->Send(request);
    if (rc != 0) {
      LOG_ERR(
          "CJSONRPCConnector::SendParameters - Error while sending data! retry!!! wait 5 sec. "
          "Error code - %d",
          rc);
    } else {
      // libcurl may hand the body over in several pieces.
      std::string text, chunk;
      while (client->Recv(chunk) > 0) text += chunk;
      std::string shown = text;
      while (!shown.empty() && (shown.back() == '\n' || shown.back() == '\r')) shown.pop_back();
      writeStdout("result JSONRPC " + shown + "\n");
      if (parseJson(text, response)) return true;
      LOG_ERR("CJSONRPCConnector::SendParameters - Error while parsing data! retry!!! wait 5 sec");
      LOG_ERR("Response String - %s", text.c_str());
    }
    sleepFor(retry_seconds_ * 1000L);
  }
}

std::list<PortGroup> CJSONRPCConnector::GetInitParameters1() {
  LOG_INFO("CJSONRPCConnector::GetInitParameters1 meter %s", meter_id.c_str());
  Json::Value params(Json::objectValue);
  params["heat_meter"] = meter_id;
  Json::Value response;
  ExecJSONRPCFunc("get_config", params, response);

  // Read through const references only: a non-const operator[] would insert.
  Json::Value result(Json::objectValue);
  const Json::Value& answer = response;
  if (answer.isObject() && answer["result"].isObject())
    result = answer["result"];
  else
    LOG_WARNING("CJSONRPCConnector::GetInitParameters1 no configuration for meter %s",
                meter_id.c_str());

  SettingsMap port_map, map;
  const Json::Value& cresult = result;
  flatten(cresult["port_params"], port_map);
  flatten(result, map);

  std::string model;
  if (const std::string* m = keyIn(map, "manufacturer")) model = *m;
  if (!keyIn(map, "period_current")) {
    if (model == "vkt-7")
      map["period_current"] = "14400";
    else if (model == "vkt-9")
      map["period_current"] = "5400";
    else if (model.find("km-5") != std::string::npos)
      map["period_current"] = "300";
    else
      map["period_current"] = "20";
  }
  map["manufacturer"] = model;

  // Members are expected to look like "system_N..." with the digit at 7.
  const Json::Value& sys = cresult["systems"];
  std::string joined;
  bool have_systems = false;
  if (sys.isObject()) {
    for (auto it = sys.begin(); it != sys.end(); ++it) {
      std::string value;
      if (!scalarText(*it, value) || value.empty()) continue;
      int number;
      if (!systemNumber(it.name(), number)) {
        LOG_WARNING("CJSONRPCConnector::GetInitParameters1 system name '%s' too short, skipped",
                    it.name().c_str());
        continue;
      }
      joined += value + ";";
      have_systems = true;
      systems[number] = value;
    }
  }
  if (have_systems) map["systems"] = joined;

  if (const std::string* v = keyIn(map, "true_serial")) true_serial = *v;
  if (const std::string* v = keyIn(map, "serial")) {
    serial = toInt(*v);
    serial_text = *v;
  }
  if (const std::string* v = keyIn(map, "password")) password = *v;
  if (const std::string* v = keyIn(map, "password_type")) password_type = *v;
  if (const std::string* v = keyIn(map, "password1")) password1 = *v;
  if (const std::string* v = keyIn(map, "password2")) password2 = *v;
  if (const std::string* v = keyIn(map, "manufacturer")) manufacturer = *v;
  if (const std::string* v = keyIn(map, "data_rate")) data_rate = toInt(*v);
  if (const std::string* v = keyIn(port_map, "speed")) speed = toInt(*v);
  if (const std::string* v = keyIn(port_map, "alias")) alias = *v;

  settings = map;
  PortGroup group;
  group.port_params = port_map;
  group.systems.push_back(map);

  // A configured system at or below the start index moves it below that system.
  if (sys.isObject()) {
    for (auto it = sys.begin(); it != sys.end(); ++it) {
      std::string value;
      int number;
      if (!scalarText(*it, value) || value.empty() || !systemNumber(it.name(), number)) continue;
      if (current_system >= number) current_system = number - 1;
    }
  }

  LOG_INFO("CJSONRPCConnector::GetInitParameters1 meter %s model '%s' port '%s'", meter_id.c_str(),
           manufacturer.c_str(), keyIn(port_map, "name") ? keyIn(port_map, "name")->c_str() : "");
  return {group};
}

MeterSettings CJSONRPCConnector::Settings() const {
  MeterSettings s;
  s.meter_id = meter_id;
  s.meter_number = strtoll(meter_id.c_str(), nullptr, 10);
  s.current_system = current_system;
  s.serial = serial;
  s.serial_text = serial_text;
  s.true_serial = true_serial;
  s.manufacturer = manufacturer;
  s.password = password;
  s.password_type = password_type;
  s.password1 = password1;
  s.password2 = password2;
  s.data_rate = data_rate;
  s.speed = speed;
  s.alias = alias;
  s.systems = systems;
  s.settings = settings;
  return s;
}

bool CJSONRPCConnector::SendParameters_right(const MeasuredValueList& values) {
  for (const MeasuredValue& v : values) {
    const std::string* name = LookupName(ValueNameTable, v.value_key());
    if (!name) continue;
    Json::Value params(Json::objectValue);
    params["value_name"] = *name;
    params["value"] = v.value;
    params["opc_quality"] = v.opc_quality;
    params["timestamp"] = v.timestamp;
    std::string request = BuildRequest("put_current_value", params);
    writeStdout("CJSONRPCConnector::SendParameters_right query is " + request);
    Json::Value response;
    SendParameters(request, response);
  }
  return true;
}

namespace {

Json::Value fullRecord(const MeasuredValue& v, const std::string& name, const char* name_key,
                       const char* quality_key) {
  Json::Value o(Json::objectValue);
  o[name_key] = name;
  o["value"] = v.value;
  o["dim"] = v.dim;
  o[quality_key] = v.opc_quality;
  o["error"] = hexLower(v.error);
  o["sys"] = std::to_string(static_cast<unsigned>(v.sys));
  o["timestamp"] = v.timestamp;
  return o;
}

}  // namespace

bool CJSONRPCConnector::SendParameters2(const MeasuredValueList& values) {
  for (const MeasuredValue& v : values) {
    const std::string* name = LookupName(ValueNameTable, v.value_key());
    if (!name) continue;
    std::string request =
        BuildRequest("put_one_value", fullRecord(v, *name, "value_name", "opc_quality"));
    writeStdout("CJSONRPCConnector::SendParameters2 query is " + request);
    Json::Value response;
    SendParameters(request, response);
  }
  return true;
}

bool CJSONRPCConnector::SendAllCurrentValues(const MeasuredValueList& values) {
  Json::Value params;  // stays null, and is left out, when nothing is deliverable
  for (const MeasuredValue& v : values) {
    const std::string* name = LookupName(ValueNameTable, v.value_key());
    if (!name) continue;
    params.append(fullRecord(v, *name, "name", "quality"));
  }
  Json::Value response;
  ExecJSONRPCFunc("put_all_current_values", params, response);
  return true;
}

bool CJSONRPCConnector::ExecSensorsJSONRPCFunc(bool state, int serial_line) {
  const char* output;
  if (serial_line == 1) {
    output = "teploKV.SRVC_OUT2";
  } else if (serial_line == 2) {
    output = "teploKV.SRVC_OUT3";
  } else {
    LOG_ERR("CJSONRPCConnector::ExecSensorsJSONRPCFunc - WRONG RS232 NUMBER %d", serial_line);
    return false;
  }
  Json::Value params(Json::arrayValue);
  params.append("EventRelay");
  params.append("SensorTeploKVbinary");
  params.append(state);
  params.append(0);
  params.append(output);
  std::string request = BuildRequest("create_action", params);
  std::string url = mtr::sensorUrl();
  LOG_DEBUG("CJSONRPCConnector::ExecSensorsJSONRPCFunc(): request = '%s'", request.c_str());
  LOG_DEBUG("CJSONRPCConnector::ExecSensorsJSONRPCFunc(): send request to '%s'", url.c_str());

  for (;;) {
    std::unique_ptr<Json::Rpc::HttpClient> client(new Json::Rpc::HttpClient(url));
    int rc = client->Send(request);
    if (rc != 0) {
      LOG_ERR("CJSONRPCConnector::ExecSensorsJSONRPCFunc() - ERROR SENDING DATA = %d", rc);
    } else {
      std::string text, chunk;
      while (client->Recv(chunk) > 0) text += chunk;
      LOG_DEBUG("CJSONRPCConnector::ExecSensorsJSONRPCFunc(): response = '%s'", text.c_str());
      Json::Value response;
      if (parseJson(text, response)) return true;
      LOG_ERR("CJSONRPCConnector::ExecSensorsJSONRPCFunc() - ERROR PARSING DATA");
    }
    sleepFor(5);
  }
}
