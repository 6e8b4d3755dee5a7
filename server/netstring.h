#pragma once

#include <exception>
#include <string>

// Netstring framing: "<decimal length>:<bytes>,".
namespace netstring {

class NetstringException : public std::exception {
 public:
  explicit NetstringException(const std::string& msg) : msg_(msg) {}
  const char* what() const noexcept override { return msg_.c_str(); }

 private:
  std::string msg_;
};

std::string encode(const std::string& text);
// Throws NetstringException when `text` is not one well-formed netstring.
std::string decode(const std::string& text);

}  // namespace netstring
