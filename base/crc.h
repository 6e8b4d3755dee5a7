#pragma once

#include <cstddef>
#include <cstdint>

namespace mtr {

// CRC-16/MODBUS (reflected 0xA001, init 0xFFFF, no final XOR); sent low byte first.
uint16_t crc16_modbus(const uint8_t* data, size_t len);

// CRC-16/X-25 (reflected 0x8408, init 0xFFFF, final XOR 0xFFFF).
uint16_t crc16_x25(const uint8_t* data, size_t len);

}  // namespace mtr
