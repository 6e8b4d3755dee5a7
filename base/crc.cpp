#include "base/crc.h"

#include <array>

namespace mtr {

namespace {

// Separate high and low byte tables of the reflected 0xA001 polynomial.
struct ModbusTables {
  std::array<uint8_t, 256> hi{};
  std::array<uint8_t, 256> lo{};
  ModbusTables() {
    for (unsigned i = 0; i < 256; ++i) {
      uint16_t crc = static_cast<uint16_t>(i);
      for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
      lo[i] = static_cast<uint8_t>(crc & 0xFF);
      hi[i] = static_cast<uint8_t>(crc >> 8);
    }
  }
};

std::array<uint16_t, 256> makeX25Table() {
  std::array<uint16_t, 256> t{};
  for (unsigned i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i);
    for (int b = 0; b < 8; ++b) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    t[i] = crc;
  }
  return t;
}

}  // namespace

uint16_t crc16_modbus(const uint8_t* data, size_t len) {
  static const ModbusTables tables;
  uint8_t lo = 0xFF, hi = 0xFF;
  for (size_t i = 0; i < len; ++i) {
    uint8_t idx = lo ^ data[i];
    lo = hi ^ tables.lo[idx];
    hi = tables.hi[idx];
  }
  return static_cast<uint16_t>(hi << 8 | lo);
}

uint16_t crc16_x25(const uint8_t* data, size_t len) {
  static const std::array<uint16_t, 256> table = makeX25Table();
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < len; ++i) crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
  return crc ^ 0xFFFF;
}

}  // namespace mtr
