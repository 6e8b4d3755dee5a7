#pragma once

#include <exception>
#include <string>

#include "fuzz/harness/check.h"
#include "server/netstring.h"

namespace mtr_fuzz {

// Decoding throws the codec's exception or yields the stated bytes; encoding round-trips.
inline void netstringOne(const uint8_t* data, size_t size) {
  static const char* h = "netstring";
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    std::string out = netstring::decode(text);
    size_t colon = text.find(':');
    FUZZ_CHECK(h, colon != std::string::npos);
    FUZZ_CHECK(h, text.compare(colon + 1, out.size(), out) == 0);
    FUZZ_CHECK(h, colon + 1 + out.size() == text.rfind(','));
    // The length field is all digits and states the size (leading zeros allowed).
    std::string digits = text.substr(0, colon);
    FUZZ_CHECK(h, digits.find_first_not_of("0123456789") == std::string::npos);
    size_t first = digits.find_first_not_of('0');
    std::string stated = first == std::string::npos ? "0" : digits.substr(first);
    FUZZ_CHECK(h, stated == std::to_string(out.size()));
  } catch (const netstring::NetstringException& e) {
    FUZZ_CHECK(h, std::string(e.what()).rfind("netstring: ", 0) == 0);
  } catch (const std::exception&) {
    fail(h, "decode threw something other than NetstringException");
  }
  try {
    std::string enc = netstring::encode(text);
    FUZZ_CHECK(h, enc == std::to_string(text.size()) + ":" + text + ",");
    FUZZ_CHECK(h, netstring::decode(enc) == text);
  } catch (const std::exception&) {
    fail(h, "decoding an encoded text threw");
  }
}

}  // namespace mtr_fuzz
