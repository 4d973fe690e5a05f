// How the microcode records are stored in the image: a two-byte big-endian
// length L with both bytes masked, then L payload bytes masked with a 16-byte
// key in groups of 16. The packer masks with these functions at build time,
// the upload unmasks with them at run time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace microcode {

inline constexpr size_t kRecordHeaderSize = 2;  // length, high byte first
inline constexpr uint32_t kMaxRecordPayload = 0xFFFF;
inline constexpr size_t kMaxRecordSize = kRecordHeaderSize + kMaxRecordPayload;

inline constexpr uint8_t kHeaderMask0 = 0x5C;  // XOR-ed into the length's high byte
inline constexpr uint8_t kHeaderMask1 = 0xA3;  // XOR-ed into the length's low byte

inline constexpr size_t kPayloadKeySize = 16;
// Payload groups that start this close to the end of the payload (or later)
// are stored as they are.
inline constexpr uint32_t kUnmaskedTail = 4;

using PayloadKey = std::array<uint8_t, kPayloadKeySize>;

// Builds the payload key in working storage, one byte at a time. The key
// is never kept whole among the program's data.
PayloadKey BuildPayloadKey();

// The payload length L of a stored (masked) record, from its two header bytes.
uint32_t StoredRecordLength(uint8_t stored0, uint8_t stored1);

// Masks a plain record, or unmasks a stored one (XOR is its own inverse):
// `record` is the header and the whole payload, kRecordHeaderSize + L bytes.
void ApplyRecordMask(std::span<uint8_t> record, const PayloadKey& key);

}  // namespace microcode
