#include "base/crc.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Check values, and CRC-16/MODBUS of frames worked out bit by bit (poly
// 0xA001, init 0xFFFF); on the wire they go low byte first.
TEST(Crc, CheckValuesAndFramesByHand) {
  const auto* check = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(0x4B37, mtr::crc16_modbus(check, 9));
  EXPECT_EQ(0x906E, mtr::crc16_x25(check, 9));
  EXPECT_EQ(0xFFFF, mtr::crc16_modbus(nullptr, 0));
  EXPECT_EQ(0x0000, mtr::crc16_x25(nullptr, 0));
  const std::pair<std::vector<uint8_t>, uint16_t> frames[] = {
      {{0x01, 0x03, 0x00, 0x10, 0x00, 0x02}, 0xCEC5},
      {{0x11, 0x04, 0x00, 0x08, 0x00, 0x01}, 0x98B2},
      {{0x01, 0x83, 0x02}, 0xF1C0},
      {{0x01, 0x2B, 0x0E, 0x01, 0x00}, 0x7770},
  };
  for (const auto& f : frames)
    EXPECT_EQ(f.second, mtr::crc16_modbus(f.first.data(), f.first.size())) << f.second;
}

}  // namespace
