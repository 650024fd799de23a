#pragma once
// CRC-16/MODBUS (Modbus over Serial Line, V1.02, section 6.2.2): initial value
// 0xFFFF, reflected polynomial 0xA001, no final XOR. Sent least significant
// byte first, so running the CRC over data followed by its CRC yields 0.
//   "123456789" -> 0x4B37
#include <cstddef>
#include <cstdint>

uint16_t crc16Modbus(const uint8_t* data, size_t length);
