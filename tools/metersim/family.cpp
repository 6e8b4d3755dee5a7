#include "family.h"

#include <map>

namespace msim {

namespace {
std::map<std::string, FamilyFactory>& registry() {
  static std::map<std::string, FamilyFactory> r;
  return r;
}
}  // namespace

bool registerFamily(const std::string& protocol, FamilyFactory factory) {
  registry()[protocol] = factory;
  return true;
}

std::unique_ptr<Family> makeFamily(const std::string& protocol) {
  auto it = registry().find(protocol);
  return it == registry().end() ? nullptr : it->second();
}

std::vector<std::string> familyNames() {
  std::vector<std::string> names;
  for (const auto& kv : registry()) names.push_back(kv.first);
  return names;
}

std::string LineFormat::text() const {
  return std::to_string(data_bits) + parity + std::to_string(stop_bits);
}

bool LineFormat::parse(const std::string& s, LineFormat& out) {
  if (s.size() != 3 || s[0] < '5' || s[0] > '8' || (s[2] != '1' && s[2] != '2')) return false;
  char p = static_cast<char>(toupper(static_cast<unsigned char>(s[1])));
  if (p != 'N' && p != 'E' && p != 'O') return false;
  out.data_bits = s[0] - '0';
  out.parity = p;
  out.stop_bits = s[2] - '0';
  return true;
}

}  // namespace msim
