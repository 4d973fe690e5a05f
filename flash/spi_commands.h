// The SPI NOR flash commands that tarvex sends through the target's bridge,
// with the command lengths (opcode included) and data lengths they travel with.
#pragma once

#include <cstdint>

namespace spi {

inline constexpr uint8_t kOpReadId = 0x9F;         // manufacturer, memory type, capacity
inline constexpr uint8_t kOpReadDeviceId = 0xAB;   // release from power-down, device ID
inline constexpr uint8_t kOpReadStatus1 = 0x05;
inline constexpr uint8_t kOpReadStatus2 = 0x35;
inline constexpr uint8_t kOpReadData = 0x03;
inline constexpr uint8_t kOpWriteEnable = 0x06;
inline constexpr uint8_t kOpChipErase = 0xC7;
inline constexpr uint8_t kOpPageProgram = 0x02;

inline constexpr uint8_t kOpcodeOnly = 1;         // command length of a bare opcode
inline constexpr uint8_t kOpcodeAndAddress = 4;   // opcode and three address bytes

inline constexpr uint32_t kReadIdLength = 3;
inline constexpr uint32_t kDeviceIdLength = 4;
inline constexpr uint32_t kStatusLength = 1;

inline constexpr uint8_t kStatusBusy = 0x01;      // bit 0 of status register 1

// Idle level of the bus: what goes out where the host has nothing to say.
inline constexpr uint8_t kFiller = 0xFF;

}  // namespace spi
