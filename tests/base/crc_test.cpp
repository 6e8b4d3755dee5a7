#include "base/crc.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

const uint8_t* bytes(const char* s) {
  return reinterpret_cast<const uint8_t*>(s);
}

TEST(Crc, StandardCheckValues) {
  const char* check = "123456789";
  EXPECT_EQ(0x4B37, mtr::crc16_modbus(bytes(check), strlen(check)));
  EXPECT_EQ(0x906E, mtr::crc16_x25(bytes(check), strlen(check)));
}

TEST(Crc, EmptyInput) {
  EXPECT_EQ(0xFFFF, mtr::crc16_modbus(nullptr, 0));
  EXPECT_EQ(0x0000, mtr::crc16_x25(nullptr, 0));
}

TEST(Crc, ModbusFrameByHand) {
  // Read 2 holding registers at 0x0010 from slave 1: CRC C5 CE on the wire (low byte first).
  const uint8_t frame[] = {0x01, 0x03, 0x00, 0x10, 0x00, 0x02};
  uint16_t crc = mtr::crc16_modbus(frame, sizeof frame);
  EXPECT_EQ(0xC5, crc & 0xFF);
  EXPECT_EQ(0xCE, crc >> 8);
}

}  // namespace
