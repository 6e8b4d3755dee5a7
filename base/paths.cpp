#include "base/paths.h"

#include <cstdlib>

namespace mtr {

namespace {
std::string envOr(const char* name, const char* fallback) {
  const char* v = getenv(name);
  return (v && *v) ? std::string(v) : std::string(fallback);
}
}  // namespace

std::string rootedPath(const std::string& absolute) {
  const char* root = getenv("MTR_ROOT");
  if (!root || !*root) return absolute;
  std::string r(root);
  while (!r.empty() && r.back() == '/') r.pop_back();
  if (!absolute.empty() && absolute[0] != '/') return r + "/" + absolute;
  return r + absolute;
}

std::string configUrl() {
  return envOr("MTR_CONFIG_URL", "http://127.0.0.1:8082/");
}
std::string sensorUrl() {
  return envOr("MTR_SENSOR_URL", "http://127.0.0.1:4665/");
}

}  // namespace mtr
