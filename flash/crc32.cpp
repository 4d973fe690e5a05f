#include "flash/crc32.h"

#include <array>

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;  // 0x04C11DB7 bit-reversed
constexpr size_t kTableSize = 256;             // one entry per byte value
constexpr int kBitsPerByte = 8;
constexpr uint32_t kLowByte = 0xFFu;

constexpr std::array<uint32_t, kTableSize> MakeTable() {
  std::array<uint32_t, kTableSize> table{};
  for (uint32_t value = 0; value < kTableSize; ++value) {
    uint32_t crc = value;
    for (int bit = 0; bit < kBitsPerByte; ++bit) crc = (crc & 1u) ? (crc >> 1) ^ kPolynomial : crc >> 1;
    table[value] = crc;
  }
  return table;
}

constexpr std::array<uint32_t, kTableSize> kTable = MakeTable();

}  // namespace

void Crc32::Update(const uint8_t* data, size_t n) {
  uint32_t crc = state;
  for (size_t i = 0; i < n; ++i) crc = kTable[(crc ^ data[i]) & kLowByte] ^ (crc >> kBitsPerByte);
  state = crc;
}
