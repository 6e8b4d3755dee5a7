#include "server/packed_values.h"

#include <string>

namespace {

enum : uint8_t {
  kTime = 1,      // a time difference follows
  kMeta = 2,      // kind, sys, quality, error and unit follow
  kNumber = 4,    // the value is a decimal number's digits
  kNegative = 8,  // ... with a minus sign
  // bits 4-7: the number of decimals
};

void putVarint(std::vector<uint8_t>& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

uint64_t getVarint(const std::vector<uint8_t>& in, size_t& pos) {
  uint64_t v = 0;
  for (int shift = 0; pos < in.size() && shift < 64; shift += 7) {
    uint8_t b = in[pos++];
    v |= static_cast<uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) break;
  }
  return v;
}

uint64_t zigzag(int64_t v) {
  return (static_cast<uint64_t>(v) << 1) ^ (v < 0 ? ~0ULL : 0);
}
int64_t unzigzag(uint64_t v) {
  return static_cast<int64_t>(v >> 1) ^ -static_cast<int64_t>(v & 1);
}

void putText(std::vector<uint8_t>& out, const std::string& s) {
  putVarint(out, s.size());
  out.insert(out.end(), s.begin(), s.end());
}

void getText(const std::vector<uint8_t>& in, size_t& pos, std::string& s) {
  size_t n = static_cast<size_t>(getVarint(in, pos));
  if (n > in.size() - pos) n = in.size() - pos;
  s.assign(reinterpret_cast<const char*>(in.data() + pos), n);
  pos += n;
}

constexpr uint64_t kPow10[] = {1ULL,
                               10ULL,
                               100ULL,
                               1000ULL,
                               10000ULL,
                               100000ULL,
                               1000000ULL,
                               10000000ULL,
                               100000000ULL,
                               1000000000ULL,
                               10000000000ULL,
                               100000000000ULL,
                               1000000000000ULL,
                               10000000000000ULL,
                               100000000000000ULL,
                               1000000000000000ULL};

// "-12.3400" -> digits 123400, 4 decimals, negative. Only texts that come back
// the same from those: no leading zeros, no plus sign, at most 15 decimals and
// 18 digits.
bool parseNumber(const std::string& s, uint64_t& digits, int& decimals, bool& negative) {
  size_t i = 0;
  negative = !s.empty() && s[0] == '-';
  i += negative;
  const size_t int_start = i;
  digits = 0;
  int count = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') digits = digits * 10 + (s[i++] - '0'), ++count;
  const size_t int_len = i - int_start;
  if (int_len == 0 || (int_len > 1 && s[int_start] == '0')) return false;
  decimals = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && count < 19)
      digits = digits * 10 + (s[i++] - '0'), ++count, ++decimals;
    if (decimals == 0) return false;
  }
  return i == s.size() && count <= 18 && decimals <= 15;
}

void formatNumber(uint64_t digits, int decimals, bool negative, std::string& s) {
  char buf[48];
  char* end = buf + sizeof buf;
  char* p = end;
  for (int d = 0; d < decimals; ++d, digits /= 10) *--p = static_cast<char>('0' + digits % 10);
  if (decimals > 0) *--p = '.';
  do {
    *--p = static_cast<char>('0' + digits % 10);
    digits /= 10;
  } while (digits);
  if (negative) *--p = '-';
  s.assign(p, static_cast<size_t>(end - p));
}

}  // namespace

void PackedValueList::assign(const MeasuredValueList& values) {
  std::vector<uint8_t> out;
  out.reserve(values.size() * 8);
  MeasuredValue prev;
  for (const MeasuredValue& v : values) {
    uint8_t flags = 0;
    if (v.timestamp != prev.timestamp) flags |= kTime;
    if (v.kind != prev.kind || v.sys != prev.sys || v.opc_quality != prev.opc_quality ||
        v.error != prev.error || v.dim != prev.dim)
      flags |= kMeta;
    uint64_t digits = 0;
    int decimals = 0;
    bool negative = false;
    const bool number = parseNumber(v.value, digits, decimals, negative);
    if (number) flags |= kNumber | (negative ? kNegative : 0) | static_cast<uint8_t>(decimals << 4);
    out.push_back(flags);
    putVarint(out, v.param_code);
    if (flags & kTime) putVarint(out, zigzag(static_cast<int64_t>(v.timestamp) - prev.timestamp));
    if (flags & kMeta) {
      putVarint(out, v.kind);
      out.push_back(v.sys);
      putVarint(out, zigzag(v.opc_quality));
      out.push_back(v.error);
      putText(out, v.dim);
    }
    if (number) {
      // Fixed decimals often end in zeros: they cost three bits, not a byte.
      uint64_t zeros = 0;
      while (digits != 0 && digits % 10 == 0 && zeros < 7) digits /= 10, ++zeros;
      putVarint(out, digits << 3 | zeros);
    } else {
      putText(out, v.value);
    }
    prev.timestamp = v.timestamp;
    if (flags & kMeta) {
      prev.kind = v.kind;
      prev.sys = v.sys;
      prev.opc_quality = v.opc_quality;
      prev.error = v.error;
      prev.dim = v.dim;
    }
  }
  // Exactly the bytes needed: the block lives until the next read.
  data_.assign(out.begin(), out.end());
  data_.shrink_to_fit();
  count_ = values.size();
}

void PackedValueList::clear() {
  std::vector<uint8_t>().swap(data_);
  count_ = 0;
}

size_t PackedValueList::unpack(size_t pos, MeasuredValue& v) const {
  const uint8_t flags = data_[pos++];
  v.param_code = static_cast<uint32_t>(getVarint(data_, pos));
  if (flags & kTime)
    v.timestamp = static_cast<int32_t>(v.timestamp + unzigzag(getVarint(data_, pos)));
  if (flags & kMeta) {
    v.kind = static_cast<uint32_t>(getVarint(data_, pos));
    v.sys = pos < data_.size() ? data_[pos++] : 0;
    v.opc_quality = static_cast<int32_t>(unzigzag(getVarint(data_, pos)));
    v.error = pos < data_.size() ? data_[pos++] : 0;
    getText(data_, pos, v.dim);
  }
  if (flags & kNumber) {
    const uint64_t packed = getVarint(data_, pos);
    formatNumber((packed >> 3) * kPow10[packed & 7], flags >> 4, flags & kNegative, v.value);
  } else {
    getText(data_, pos, v.value);
  }
  return pos;
}
