// Turns a plain microcode record stream into the stored image: the lead
// bytes, then every record masked. Used by the build-time packer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace microcode {

// The image starts with these bytes; the upload skips them.
inline constexpr size_t kImageLeadSize = 4;
inline constexpr std::array<uint8_t, kImageLeadSize> kImageLead = {'T', 'V', 'M', '1'};

// Larger plain files are refused: the upload counts in 32 bits.
inline constexpr size_t kMaxPlainSize = 64u * 1024u * 1024u;

struct PackResult {
  bool ok = false;
  std::vector<uint8_t> image;  // lead bytes and masked records, when ok
  size_t errorOffset = 0;      // where the fault was found, when not ok
  std::string error;           // what is wrong, when not ok
};

// Checks that `plain` is a non-empty stream of whole records and masks it.
PackResult PackMicrocode(std::span<const uint8_t> plain);

}  // namespace microcode
