#pragma once

#include <list>
#include <map>
#include <string>

// Ordered string maps as the configuration delivers them.
using SettingsMap = std::map<std::string, std::string>;

struct PortGroup {
  SettingsMap port_params;
  std::list<SettingsMap> systems;
};

// The settings block a driver and its file connector copy from the identifier's
// JSON-RPC connector.
struct MeterSettings {
  std::string meter_id;        // the -i identifier
  long long meter_number = 0;  // meter_id as a number, used in log prefixes
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
  SettingsMap settings;  // the whole flattened settings map
};

// Decimal value the way the configuration is read everywhere: strtol, base 10,
// leading digits only, 0 when there is no number.
long settingsNumber(const std::string& text);
