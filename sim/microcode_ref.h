// The plain microcode record stream, built in from the same file the host
// carries (two-byte big-endian length, then the bytes, back to back).
#pragma once

#include <cstdint>
#include <span>

namespace stb {

std::span<const uint8_t> PlainMicrocode();

}  // namespace stb
