// Random noise on one direction of the line: bytes that arrive with a bit
// inverted, bytes that vanish and extra bytes that appear. Each direction
// draws from its own generator, seeded from the run's seed, so a run with
// the same seed and the same traffic sees the same noise.
#pragma once

#include <cstdint>
#include <optional>

namespace stb {

// On average one event per N bytes of each kind; 0: that kind is off.
struct NoiseSpec {
  uint32_t flipEvery = 0;
  uint32_t loseEvery = 0;
  uint32_t addEvery = 0;
  bool Any() const { return flipEvery != 0 || loseEvery != 0 || addEvery != 0; }
};

// The generator streams of the two directions.
enum class NoiseDirection : uint64_t { ToBox = 1, ToHost = 2 };

struct NoiseStream {
  NoiseSpec spec;
  uint64_t state = 0;
};

NoiseStream MakeNoiseStream(const NoiseSpec& spec, uint64_t seed, NoiseDirection direction);

// What one byte became on its way across.
struct NoiseResult {
  uint8_t value = 0;              // the byte as it arrives (flipped or not)
  bool flipped = false;
  bool lost = false;              // it did not arrive at all
  std::optional<uint8_t> added;   // an extra byte right after it
};

// Passes one byte through the noise. Every byte draws once for each kind
// that is on, whatever happens to it, so the streams stay in step with the
// traffic.
NoiseResult PassByte(NoiseStream& stream, uint8_t byte);

}  // namespace stb
