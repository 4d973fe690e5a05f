#include "microcode/record_mask.h"

namespace microcode {

namespace {

constexpr uint8_t kPayloadKeySeed = 0x6B;

// One key byte from the seed and its index.
uint8_t KeyByte(uint8_t seed, unsigned index) {
  unsigned x = (seed + 0x4Du * index + ((index * index) << 1)) & 0xFFu;
  x ^= (x >> 3) ^ ((index * 0x1Fu) & 0xFFu);
  return static_cast<uint8_t>(x);
}

}  // namespace

PayloadKey BuildPayloadKey() {
  // Read at run time, so that the compiler cannot fold the key into a table.
  volatile uint8_t seed = kPayloadKeySeed;
  PayloadKey key{};
  for (unsigned i = 0; i < kPayloadKeySize; ++i) key[i] = KeyByte(seed, i);
  return key;
}

uint32_t StoredRecordLength(uint8_t stored0, uint8_t stored1) {
  return (static_cast<uint32_t>(stored0 ^ kHeaderMask0) << 8) |
         static_cast<uint32_t>(stored1 ^ kHeaderMask1);
}

void ApplyRecordMask(std::span<uint8_t> record, const PayloadKey& key) {
  if (record.size() < kRecordHeaderSize) return;
  record[0] ^= kHeaderMask0;
  record[1] ^= kHeaderMask1;
  const std::span<uint8_t> payload = record.subspan(kRecordHeaderSize);
  const size_t length = payload.size();
  // A group starting at g is masked only while g < L - 4.
  for (size_t group = 0; group + kUnmaskedTail < length; group += kPayloadKeySize) {
    for (size_t i = 0; i < kPayloadKeySize && group + i < length; ++i)
      payload[group + i] ^= key[i];
  }
}

}  // namespace microcode
