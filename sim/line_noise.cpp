#include "sim/line_noise.h"

#include <charconv>
#include <string_view>

namespace stb {

namespace {

constexpr uint64_t kGoldenGamma = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kMixMul1 = 0xBF58476D1CE4E5B9ull;
constexpr uint64_t kMixMul2 = 0x94D049BB133111EBull;
constexpr int kBitsPerByte = 8;
// The same bound as the box's other counts.
constexpr uint64_t kMaxEvery = 1'000'000'000;

constexpr std::string_view kFlipName = "flip";
constexpr std::string_view kLoseName = "lose";
constexpr std::string_view kAddName = "add";

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

// "'text'" followed by `what`, built by appending.
std::string Quoted(std::string_view text, std::string_view what) {
  std::string out = "'";
  out.append(text);
  out += '\'';
  out.append(what);
  return out;
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

std::string ParseNoiseSpec(const std::string& text, NoiseSpec& spec) {
  spec = NoiseSpec{};
  if (text.empty()) return "empty; expected flip=N,lose=N,add=N";
  bool seenFlip = false, seenLose = false, seenAdd = false;
  std::string_view rest = text;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) return Quoted(item, " is not KIND=N");
    const std::string_view name = item.substr(0, eq);
    const std::string_view digits = item.substr(eq + 1);
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size() || n > kMaxEvery)
      return "bad count in " + Quoted(item, "");
    uint32_t* field = nullptr;
    bool* seen = nullptr;
    if (name == kFlipName) {
      field = &spec.flipEvery;
      seen = &seenFlip;
    } else if (name == kLoseName) {
      field = &spec.loseEvery;
      seen = &seenLose;
    } else if (name == kAddName) {
      field = &spec.addEvery;
      seen = &seenAdd;
    } else {
      return "unknown kind " + Quoted(name, "; expected flip, lose or add");
    }
    if (*seen) return Quoted(name, " given twice");
    *seen = true;
    *field = static_cast<uint32_t>(n);
    if (comma == std::string_view::npos) return {};
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace stb
