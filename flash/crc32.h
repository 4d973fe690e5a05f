// The common CRC-32 (reflected polynomial 0xEDB88320, the one zlib and zip
// files use), computed piece by piece: Update with each piece in order, then
// Value. "123456789" gives CBF43926.
#pragma once

#include <cstddef>
#include <cstdint>

struct Crc32 {
  static constexpr uint32_t kInitial = 0xFFFFFFFFu;
  static constexpr uint32_t kFinalXor = 0xFFFFFFFFu;

  uint32_t state = kInitial;

  void Update(const uint8_t* data, size_t n);
  uint32_t Value() const { return state ^ kFinalXor; }
};
