#include "sim/line_noise.h"

namespace stb {

namespace {

constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMixMul1 = 0xBF58476D1CE4E5B9ull;
constexpr uint64_t kMixMul2 = 0x94D049BB133111EBull;
constexpr int kBitsPerByte = 8;

uint64_t Mix(uint64_t z) {
  z = (z ^ (z >> 30)) * kMixMul1;
  z = (z ^ (z >> 27)) * kMixMul2;
  return z ^ (z >> 31);
}

// splitmix64: any state, zero included, gives a full-period stream.
uint64_t Next(NoiseStream& s) {
  s.state += kGoldenGamma;
  return Mix(s.state);
}

bool Hit(NoiseStream& s, uint32_t every) {
  if (every == 0) return false;
  return Next(s) % every == 0;
}

}  // namespace

NoiseStream MakeNoiseStream(const NoiseSpec& spec, uint64_t seed, NoiseDirection direction) {
  NoiseStream s;
  s.spec = spec;
  s.state = Mix(seed ^ Mix(static_cast<uint64_t>(direction)));
  return s;
}

NoiseResult PassByte(NoiseStream& s, uint8_t byte) {
  NoiseResult r;
  r.value = byte;
  const bool flip = Hit(s, s.spec.flipEvery);
  const bool lose = Hit(s, s.spec.loseEvery);
  const bool add = Hit(s, s.spec.addEvery);
  if (flip) {
    const unsigned bit = static_cast<unsigned>(Next(s) % kBitsPerByte);
    // A byte that is lost as well shows no flip.
    if (!lose) {
      r.value = static_cast<uint8_t>(byte ^ (1u << bit));
      r.flipped = true;
    }
  }
  r.lost = lose;
  if (add) r.added = static_cast<uint8_t>(Next(s));
  return r;
}

}  // namespace stb
