#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jsonfields.h"
#include "meter.h"

namespace msim {

using Bytes = std::vector<uint8_t>;

// Speed and character format of the line as the meters expect it. A family
// may change it during a session (IEC 61107 mode C switches speed).
struct LineFormat {
  int data_bits = 8;
  char parity = 'N';  // N, E or O
  int stop_bits = 1;

  int bitsPerByte() const { return 1 + data_bits + (parity == 'N' ? 0 : 1) + stop_bits; }
  std::string text() const;
  static bool parse(const std::string& s, LineFormat& out);  // "8N1", "7E1", ...
};

struct LineState {
  int baud = 0;  // 0: no pacing and no speed check
  LineFormat format;
  double byteSeconds() const { return baud > 0 ? format.bitsPerByte() / double(baud) : 0.0; }
};

// One meter's answer to a frame heard on the line.
struct Answer {
  Bytes bytes;           // the reply exactly as the meter sends it
  std::string meter_id;  // the meter's address as the protocol writes it
  std::string meter_name;
  std::string note;  // what the meter made of the request, for the frame log
};

// A protocol family: the meters of one protocol on the line. The engine hands
// every frame it hears to each family; the family checks address and checksum
// and lets the addressed meter answer from its own state.
class Family {
 public:
  virtual ~Family() = default;

  // Keys a meter description of this family may carry besides MeterCore::keys().
  virtual std::vector<std::string> keys() const = 0;
  // Takes one meter; throws ConfigError on a bad description.
  virtual void addMeter(const JsonFields& f, std::unique_ptr<MeterCore> core) = 0;

  // Length of a complete frame at the start of `pending`, when the protocol can
  // tell; 0 leaves framing to the silence between frames.
  virtual size_t frameLength(const Bytes& pending) const {
    (void)pending;
    return 0;
  }

  // True and `out` filled when one of this family's meters answers `frame`.
  // When nobody answers, `out.note` may say why (for the frame log).
  virtual bool answer(const Bytes& frame, LineState& line, Answer& out) = 0;

  // The same answer damaged as the fault kinds need it.
  virtual Bytes errorStatus(const Answer& normal) = 0;
  virtual Bytes wrongAddress(const Answer& normal) = 0;
  virtual Bytes badChecksum(const Answer& normal) {
    Bytes b = normal.bytes;
    if (!b.empty()) b.back() ^= 0xA5;
    return b;
  }
};

using FamilyFactory = std::unique_ptr<Family> (*)();

// Families register themselves from their own source file:
//   static const bool registered = registerFamily("name", [] { ... });
bool registerFamily(const std::string& protocol, FamilyFactory factory);
std::unique_ptr<Family> makeFamily(const std::string& protocol);
std::vector<std::string> familyNames();

}  // namespace msim
