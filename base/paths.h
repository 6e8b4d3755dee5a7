#pragma once

#include <string>

namespace mtr {

// Every absolute path under /tmp, /mnt/storage or /proc/leds goes through this:
// with MTR_ROOT set it is prefixed, so tests and demos stay off the real folders.
std::string rootedPath(const std::string& absolute);

// The configuration server's and the sensor service's URLs.
std::string configUrl();  // MTR_CONFIG_URL, default http://127.0.0.1:8082/
std::string sensorUrl();  // MTR_SENSOR_URL, default http://127.0.0.1:4665/

}  // namespace mtr
