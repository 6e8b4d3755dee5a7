#include "server/netstring.h"

#include <cstdio>

namespace netstring {

std::string encode(const std::string& text) {
  char len[32];
  snprintf(len, sizeof len, "%lu:", static_cast<unsigned long>(text.size()));
  std::string out(len);
  out += text;
  out += ',';
  return out;
}

std::string decode(const std::string& text) {
  size_t colon = text.find(':');
  if (colon == std::string::npos) throw NetstringException("netstring: missing ':' character");
  size_t comma = text.rfind(',');
  if (comma == std::string::npos) throw NetstringException("netstring: missing ',' character");

  size_t len = 0;
  for (size_t i = 0; i < colon; ++i) {
    char c = text[i];
    if (c < '0' || c > '9') throw NetstringException("netstring: parsing error");
    size_t next = len * 10 + static_cast<size_t>(c - '0');
    // A length that overflows cannot match any text we hold.
    if (next / 10 != len) throw NetstringException("netstring: size mismatch");
    len = next;
  }
  if (comma < colon || comma - colon - 1 != len)
    throw NetstringException("netstring: size mismatch");
  return text.substr(colon + 1, len);
}

}  // namespace netstring
