#pragma once

#include <json/json.h>

#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "server/measured_value.h"
#include "server/settings.h"

// The identifier's link to the configuration server (and the sensor service).
// Requests retry until a parseable answer arrives.
class CJSONRPCConnector {
 public:
  CJSONRPCConnector(const std::string& meter_id, int current_system);
  virtual ~CJSONRPCConnector();

  // "get_config": blocks until the server answers; fills the typed fields.
  std::list<PortGroup> GetInitParameters1();

  bool ExecJSONRPCFunc(const std::string& method, const Json::Value& params, Json::Value& response);
  bool SendParameters(const std::string& request, Json::Value& response);
  // The request envelope with the next id, as the fast writer prints it.
  std::string BuildRequest(const std::string& method, const Json::Value& params);

  // Value delivery.
  bool SendParameters_right(const MeasuredValueList& values);  // "put_current_value"
  bool SendParameters2(const MeasuredValueList& values);       // "put_one_value"
  bool SendAllCurrentValues(const MeasuredValueList& values);  // "put_all_current_values"
  bool ExecSensorsJSONRPCFunc(bool state, int serial_line);    // "create_action"

  // The settings block drivers and file connectors copy.
  MeterSettings Settings() const;

  const std::string& meterId() const { return meter_id; }
  int mode() const { return mode_; }
  int currentSystem() const { return current_system; }
  uint32_t nextRequestId() const { return request_id; }

  // Seconds between configuration-server attempts (5; tests may shorten it).
  void setRetrySeconds(int seconds) { retry_seconds_ = seconds; }

  std::string meter_id;
  uint32_t request_id = 1;
  int current_system = 0;
  int serial = 0;
  std::string serial_text;
  std::string true_serial;
  std::string manufacturer;
  std::string password;
  std::string password_type;
  std::string password1;
  std::string password2;
  int data_rate = 0;
  int speed = 0;
  std::string alias;
  std::map<int, std::string> systems;
  SettingsMap settings;  // the flattened settings of the last get_config

 private:
  int mode_;
  int retry_seconds_ = 5;
};
