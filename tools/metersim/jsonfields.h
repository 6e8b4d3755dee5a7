#pragma once

#include <json/json.h>

#include <cstdint>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

namespace msim {

// A meter description that cannot be used; the message names the meter and key.
class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the keys of one JSON object, with defaults and range checks. Every
// failure throws ConfigError prefixed with where the object sits.
class JsonFields {
 public:
  JsonFields(const Json::Value& obj, std::string where, time_t base);

  const std::string& where() const { return where_; }
  time_t base() const { return base_; }
  const Json::Value& object() const { return obj_; }
  bool has(const char* key) const { return obj_.isMember(key); }
  const Json::Value& raw(const char* key) const { return obj_[key]; }

  double number(const char* key, double def, double lo, double hi) const;
  long integer(const char* key, long def, long lo, long hi) const;
  std::string text(const char* key, const std::string& def) const;
  // Exactly n numbers.
  std::vector<double> numbers(const char* key, size_t n, const std::vector<double>& def) const;
  // Exactly n bytes: numbers 0..255, "0x.." strings, or one string of hex pairs.
  std::vector<uint8_t> bytes(const char* key, size_t n, const std::vector<uint8_t>& def) const;
  time_t time(const char* key, time_t def) const;
  time_t timeValue(const Json::Value& v, const std::string& what) const;

  // Rejects keys outside `allowed`, so a misspelt key is not silently ignored.
  void allowOnly(const std::vector<std::string>& allowed) const;

  [[noreturn]] void fail(const std::string& key, const std::string& msg) const;

 private:
  const Json::Value& obj_;
  std::string where_;
  time_t base_;
};

// A number or a "0x.." text as one byte; false when it is neither.
bool jsonByte(const Json::Value& v, uint8_t& out);

}  // namespace msim
