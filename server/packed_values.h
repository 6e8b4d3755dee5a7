#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "server/measured_value.h"

// A value list packed into one block of bytes, for lists a driver keeps
// between uses (an archive cache held for an hour): a few bytes a record
// instead of a list node with two strings, so dozens of meters fit in little
// memory. Records come back exactly as stored, in order.
//
// Each record is a flag byte, the parameter code, then only what differs from
// the record before: the time as a difference, the kind with sys, quality,
// error and unit. A value text that is a plain decimal number is kept as its
// digits (sign and decimals in the flag byte); any other text as it is.
class PackedValueList {
 public:
  void assign(const MeasuredValueList& values);
  void clear();
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  size_t bytes() const { return data_.capacity(); }

  // Calls f(const MeasuredValue&) for each record in order; the record passed
  // is reused from call to call.
  template <class F>
  void forEach(F f) const {
    MeasuredValue v;
    size_t pos = 0;
    while (pos < data_.size()) {
      pos = unpack(pos, v);
      f(static_cast<const MeasuredValue&>(v));
    }
  }

 private:
  // Decodes the record at pos into v (which holds the previous record);
  // returns the position of the next one.
  size_t unpack(size_t pos, MeasuredValue& v) const;

  std::vector<uint8_t> data_;
  size_t count_ = 0;
};
