// The SPI NOR flash chip behind the box's bridge: one chip-select-low
// transaction at a time, bytes in on MOSI, bytes out on MISO.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stb {

constexpr uint8_t kOpPageProgram = 0x02;
constexpr uint8_t kOpReadData = 0x03;
constexpr uint8_t kOpWriteDisable = 0x04;
constexpr uint8_t kOpReadStatus1 = 0x05;
constexpr uint8_t kOpWriteEnable = 0x06;
constexpr uint8_t kOpReadStatus2 = 0x35;
constexpr uint8_t kOpChipErase = 0xC7;
constexpr uint8_t kOpChipEraseAlt = 0x60;
constexpr uint8_t kOpReadId = 0x9F;
constexpr uint8_t kOpDeviceId = 0xAB;

constexpr uint8_t kStatusBusy = 0x01;
constexpr uint8_t kStatusWriteEnable = 0x02;

constexpr uint32_t kPageSize = 256;
constexpr size_t kAddressBytes = 3;
constexpr size_t kDeviceIdDummyBytes = 3;
// What MISO reads while the chip does not drive it.
constexpr uint8_t kIdleBus = 0xFF;
constexpr uint8_t kErased = 0xFF;

// Chip sizes are written with these suffixes, on the command line and in the log.
constexpr uint32_t kKiB = 1u << 10;
constexpr uint32_t kMiB = 1u << 20;
constexpr uint32_t kMinChipSize = 4 * kKiB;
constexpr uint32_t kMaxChipSize = 64 * kMiB;

struct ChipConfig {
  uint32_t size = 1 * kMiB;
  std::array<uint8_t, 3> jedec{0xEF, 0x40, 0x14};
  uint8_t deviceId = 0x13;
  uint8_t status2 = 0x00;
  uint32_t eraseBusyReads = 3;
  uint32_t programBusyReads = 1;
  int64_t eraseMs = 0;
  bool protect = false;
  std::optional<uint32_t> flipAddr;
};

// Identification bytes that follow from the size alone: the capacity byte
// is log2(size); the device ID is 0x10 + log2(size / 128K), 0x10 below 128K.
uint8_t DefaultCapacityByte(uint32_t size);
uint8_t DefaultDeviceId(uint32_t size);
bool IsValidChipSize(uint64_t size);
// A valid chip size as "4K", "256K", "1M".
std::string ChipSizeText(uint32_t size);

struct FlashChip {
  ChipConfig config;
  std::vector<uint8_t> content;
  bool writeEnabled = false;
  bool busy = false;
  uint32_t busyReadsLeft = 0;
  int64_t busyUntilNs = 0;
};

// A chip of config.size bytes, all erased.
FlashChip MakeChip(const ChipConfig& config);

struct Transaction {
  std::vector<uint8_t> out;  // MISO, one byte per bus byte
  std::string note;          // why a command was not carried out; empty if it was
};

// Runs one transaction: the bus bytes clocked in while chip select is low.
Transaction RunTransaction(FlashChip& chip, std::span<const uint8_t> bus, int64_t nowNs);

// Status register 1 as the next status read would see it (no side effects).
uint8_t PeekStatus1(const FlashChip& chip, int64_t nowNs);

}  // namespace stb
