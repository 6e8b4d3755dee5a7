#include "base/crc.h"

#include <gtest/gtest.h>

namespace {

// Check values, and CRC-16/MODBUS of frames worked out bit by bit (poly
// 0xA001, init 0xFFFF); on the wire they go low byte first.
TEST(Crc, CheckValuesAndFramesByHand) {
  const auto* check = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(0x4B37, mtr::crc16_modbus(check, 9));
  EXPECT_EQ(0x906E, mtr::crc16_x25(check, 9));
  EXPECT_EQ(0xFFFF, mtr::crc16_modbus(nullptr, 0));
  EXPECT_EQ(0x0000, mtr::crc16_x25(nullptr, 0));
  const uint8_t frame[] = {0x11, 0x04, 0x00, 0x08, 0x00, 0x01};  // others: the Modbus framing
  EXPECT_EQ(0x98B2, mtr::crc16_modbus(frame, sizeof frame));
}

}  // namespace
