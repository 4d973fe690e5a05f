// A bridge request as the host would send it, for the box's model tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "sim/bridge_frame.h"

namespace stb {

inline std::vector<uint8_t> HostFrame(const std::vector<uint8_t>& bus) {
  std::vector<uint8_t> f(4 + bus.size());
  f[0] = kFrameSync0;
  f[1] = kFrameSync1;
  f[2] = static_cast<uint8_t>(bus.size() & 0xFF);
  f[3] = static_cast<uint8_t>(bus.size() >> 8);
  std::copy(bus.begin(), bus.end(), f.begin() + 4);
  return f;
}

}  // namespace stb
