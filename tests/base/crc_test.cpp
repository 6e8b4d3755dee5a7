#include "base/crc.h"

#include <gtest/gtest.h>

namespace {

TEST(Crc, CheckValuesEmptyInputAndAFrameByHand) {
  const auto* check = reinterpret_cast<const uint8_t*>("123456789");
  EXPECT_EQ(0x4B37, mtr::crc16_modbus(check, 9));
  EXPECT_EQ(0x906E, mtr::crc16_x25(check, 9));
  EXPECT_EQ(0xFFFF, mtr::crc16_modbus(nullptr, 0));
  EXPECT_EQ(0x0000, mtr::crc16_x25(nullptr, 0));
  // Read 2 holding registers at 0x0010 from slave 1: C5 CE on the wire, low byte first.
  const uint8_t frame[] = {0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
  EXPECT_EQ(0xCEC5, mtr::crc16_modbus(frame, sizeof frame));
}

}  // namespace
