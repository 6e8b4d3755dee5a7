#include "jsonfields.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "simtime.h"

namespace msim {

JsonFields::JsonFields(const Json::Value& obj, std::string where, time_t base)
    : obj_(obj), where_(std::move(where)), base_(base) {
  if (!obj_.isObject()) throw ConfigError(where_ + ": expected a JSON object");
}

void JsonFields::fail(const std::string& key, const std::string& msg) const {
  throw ConfigError(where_ + ": \"" + key + "\": " + msg);
}

double JsonFields::number(const char* key, double def, double lo, double hi) const {
  if (!has(key)) return def;
  const Json::Value& v = obj_[key];
  if (!v.isNumeric()) fail(key, "expected a number");
  double d = v.asDouble();
  if (!(d >= lo && d <= hi))
    fail(key, "out of range " + Json::valueToString(lo) + ".." + Json::valueToString(hi));
  return d;
}

long JsonFields::integer(const char* key, long def, long lo, long hi) const {
  if (!has(key)) return def;
  const Json::Value& v = obj_[key];
  if (!v.isIntegral()) fail(key, "expected an integer");
  long n = static_cast<long>(v.asInt64());
  if (n < lo || n > hi) fail(key, "out of range " + std::to_string(lo) + ".." + std::to_string(hi));
  return n;
}

std::string JsonFields::text(const char* key, const std::string& def) const {
  if (!has(key)) return def;
  const Json::Value& v = obj_[key];
  if (!v.isString()) fail(key, "expected a string");
  return v.asString();
}

std::vector<double> JsonFields::numbers(const char* key, size_t n,
                                        const std::vector<double>& def) const {
  if (!has(key)) return def;
  const Json::Value& v = obj_[key];
  if (!v.isArray() || v.size() != n)
    fail(key, "expected an array of " + std::to_string(n) + " numbers");
  std::vector<double> out;
  for (const auto& e : v) {
    if (!e.isNumeric()) fail(key, "expected an array of " + std::to_string(n) + " numbers");
    out.push_back(e.asDouble());
  }
  return out;
}

bool jsonByte(const Json::Value& v, uint8_t& out) {
  if (v.isIntegral()) {
    long long n = v.asInt64();
    if (n < 0 || n > 255) return false;
    out = static_cast<uint8_t>(n);
    return true;
  }
  if (v.isString()) {
    std::string s = v.asString();
    char* end = nullptr;
    long n = strtol(s.c_str(), &end, 0);
    if (s.empty() || *end != 0 || n < 0 || n > 255) return false;
    out = static_cast<uint8_t>(n);
    return true;
  }
  return false;
}

std::vector<uint8_t> JsonFields::bytes(const char* key, size_t n,
                                       const std::vector<uint8_t>& def) const {
  if (!has(key)) return def;
  const Json::Value& v = obj_[key];
  std::vector<uint8_t> out;
  std::string what =
      "expected " + std::to_string(n) + " bytes (numbers, \"0x..\" or \"hex pairs\")";
  if (v.isString()) {
    std::string s = v.asString();
    s.erase(std::remove(s.begin(), s.end(), ' '), s.end());
    if (s.size() != 2 * n) fail(key, what);
    for (size_t i = 0; i < n; ++i) {
      char* end = nullptr;
      std::string pair = s.substr(2 * i, 2);
      long b = strtol(pair.c_str(), &end, 16);
      if (*end != 0) fail(key, what);
      out.push_back(static_cast<uint8_t>(b));
    }
    return out;
  }
  if (!v.isArray() || v.size() != n) fail(key, what);
  for (const auto& e : v) {
    uint8_t b;
    if (!jsonByte(e, b)) fail(key, what);
    out.push_back(b);
  }
  return out;
}

time_t JsonFields::timeValue(const Json::Value& v, const std::string& what) const {
  if (v.isNumeric()) return static_cast<time_t>(v.asInt64());
  if (!v.isString()) fail(what, "expected a time (text or Unix seconds)");
  time_t out;
  std::string err;
  if (!parseTimeSpec(v.asString(), base_, out, err)) fail(what, err);
  return out;
}

time_t JsonFields::time(const char* key, time_t def) const {
  if (!has(key)) return def;
  return timeValue(obj_[key], key);
}

void JsonFields::allowOnly(const std::vector<std::string>& allowed) const {
  for (const auto& name : obj_.getMemberNames()) {
    if (std::find(allowed.begin(), allowed.end(), name) == allowed.end())
      throw ConfigError(where_ + ": unknown key \"" + name + "\"");
  }
}

}  // namespace msim
