#include "server/settings.h"

#include <cstdlib>

long settingsNumber(const std::string& text) {
  return strtol(text.c_str(), nullptr, 10);
}
