// Line noise byte by byte: what each kind does to a byte, how often it
// strikes, that a seed replays it and that the two directions differ; and
// the command line that sets it up.
#include <gtest/gtest.h>

#include <bit>
#include <string>
#include <vector>

#include "sim/line_noise.h"
#include "sim/options.h"

namespace stb {
namespace {

struct Tally {
  size_t flips = 0, losses = 0, adds = 0;
  std::vector<uint8_t> arrived;
};

// Sends `count` bytes 0, 1, 2, ... through a stream and checks every byte
// against what its result says happened to it.
Tally Cross(NoiseStream& s, size_t count) {
  Tally t;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t sent = static_cast<uint8_t>(i);
    const NoiseResult r = PassByte(s, sent);
    EXPECT_FALSE(r.flipped && r.lost) << "a lost byte shows no flip";
    if (r.flipped) {
      EXPECT_EQ(std::popcount(static_cast<unsigned>(sent ^ r.value)), 1) << "flip is one bit";
      ++t.flips;
    } else {
      EXPECT_EQ(r.value, sent);
    }
    if (r.lost) ++t.losses;
    else t.arrived.push_back(r.value);
    if (r.added) {
      ++t.adds;
      t.arrived.push_back(*r.added);
    }
  }
  return t;
}

TEST(LineNoise, EachKindStrikesAboutOncePerNBytes) {
  struct Case {
    const char* name;
    NoiseSpec spec;
    double flips, losses, adds;  // expected events per byte
  };
  const Case cases[] = {
      {"flip=50", {50, 0, 0}, 1.0 / 50, 0, 0},
      {"lose=200", {0, 200, 0}, 0, 1.0 / 200, 0},
      {"add=1000", {0, 0, 1000}, 0, 0, 1.0 / 1000},
      {"flip=1", {1, 0, 0}, 1, 0, 0},
      {"lose=1", {0, 1, 0}, 0, 1, 0},
      {"all three", {100, 300, 30}, 1.0 / 100, 1.0 / 300, 1.0 / 30},
  };
  constexpr size_t kBytes = 200'000;
  for (const Case& c : cases) {
    NoiseStream s = MakeNoiseStream(c.spec, 7, NoiseDirection::ToBox);
    const Tally t = Cross(s, kBytes);
    // A flipped byte that is lost as well shows no flip.
    const double flips = c.flips * (1 - c.losses);
    // Wide margins: this is about the rate's scale, not the generator's quality.
    EXPECT_NEAR(static_cast<double>(t.flips), flips * kBytes, flips * kBytes * 0.2 + 1) << c.name;
    EXPECT_NEAR(static_cast<double>(t.losses), c.losses * kBytes, c.losses * kBytes * 0.2 + 1) << c.name;
    EXPECT_NEAR(static_cast<double>(t.adds), c.adds * kBytes, c.adds * kBytes * 0.2 + 1) << c.name;
    EXPECT_EQ(t.arrived.size(), kBytes - t.losses + t.adds) << c.name;
  }
}

TEST(LineNoise, OffPassesEveryByteUntouched) {
  NoiseStream s = MakeNoiseStream(NoiseSpec{}, 1, NoiseDirection::ToHost);
  const Tally t = Cross(s, 10'000);
  EXPECT_EQ(t.flips + t.losses + t.adds, 0u);
  EXPECT_EQ(t.arrived.size(), 10'000u);
}

std::vector<uint8_t> Arrivals(uint64_t seed, NoiseDirection direction) {
  NoiseStream s = MakeNoiseStream({20, 30, 40}, seed, direction);
  return Cross(s, 20'000).arrived;
}

TEST(LineNoise, TheSeedReplaysItAndEachDirectionHasItsOwnStream) {
  EXPECT_EQ(Arrivals(1, NoiseDirection::ToBox), Arrivals(1, NoiseDirection::ToBox));
  EXPECT_EQ(Arrivals(0, NoiseDirection::ToHost), Arrivals(0, NoiseDirection::ToHost));
  EXPECT_NE(Arrivals(1, NoiseDirection::ToBox), Arrivals(2, NoiseDirection::ToBox));
  EXPECT_NE(Arrivals(1, NoiseDirection::ToBox), Arrivals(1, NoiseDirection::ToHost));
  EXPECT_NE(Arrivals(~uint64_t{0}, NoiseDirection::ToBox), Arrivals(1, NoiseDirection::ToBox));
}

TEST(NoiseOptions, SpecsSeedAndWire) {
  struct Case {
    std::vector<std::string> args;
    NoiseSpec toBox, toHost;
    uint64_t seed;
  };
  const Case cases[] = {
      {{}, {}, {}, 1},
      {{"--noise-to-box", "flip=10"}, {10, 0, 0}, {}, 1},
      {{"--noise-to-host", "add=3,lose=0,flip=9"}, {}, {9, 0, 3}, 1},
      {{"--noise-to-box", "lose=4", "--noise-to-host", "lose=5"}, {0, 4, 0}, {0, 5, 0}, 1},
      {{"--noise-seed", "0"}, {}, {}, 0},
      {{"--noise-seed", "18446744073709551615"}, {}, {}, ~uint64_t{0}},
      {{"--noise-seed", "0xDEADBEEF"}, {}, {}, 0xDEADBEEF},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    const ParsedOptions p = ParseOptions(c.args);
    ASSERT_EQ(p.error, "") << joined;
    const BoxConfig& b = p.options.box;
    EXPECT_EQ(b.noiseSeed, c.seed) << joined;
    for (auto [got, want] : {std::pair{b.noiseToBox, c.toBox}, std::pair{b.noiseToHost, c.toHost}}) {
      EXPECT_EQ(got.flipEvery, want.flipEvery) << joined;
      EXPECT_EQ(got.loseEvery, want.loseEvery) << joined;
      EXPECT_EQ(got.addEvery, want.addEvery) << joined;
    }
  }
  const std::vector<std::string> wire = {"--wire", "w.txt"};
  EXPECT_EQ(ParseOptions(wire).options.wire, "w.txt");
}

TEST(NoiseOptions, BadSpecsSayWhatIsWrong) {
  struct Case {
    const char* spec;
    const char* says;
  };
  const Case cases[] = {
      {"", "empty"},
      {"flip", "not KIND=N"},
      {"flip=", "bad count"},
      {"flip=x", "bad count"},
      {"flip=-1", "bad count"},
      {"flip=1000000001", "bad count"},
      {"flip=2,flip=3", "given twice"},
      {"lose=1,", "not KIND=N"},
      {",lose=1", "not KIND=N"},
      {"drop=3", "unknown kind"},
      {"Flip=3", "unknown kind"},
      {"flip=3;lose=2", "bad count"},
  };
  for (const Case& c : cases) {
    const std::vector<std::string> args = {"--noise-to-host", c.spec};
    const std::string error = ParseOptions(args).error;
    EXPECT_NE(error.find("--noise-to-host"), std::string::npos) << c.spec << ": " << error;
    EXPECT_NE(error.find(c.says), std::string::npos) << c.spec << ": " << error;
  }
}

}  // namespace
}  // namespace stb
