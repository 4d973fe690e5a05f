// Flash mode on a line that flips, loses and adds bytes: each defence
// against one spoiled frame, then seeded soaks of every mode in which
// nothing wrong may end looking done.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <string>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;
constexpr uint32_t kChipSize = 128 * 1024;
constexpr char kChipSizeOption[] = "128K";

std::vector<uint8_t> Padded(std::vector<uint8_t> file, size_t size) {
  file.resize(size, 0xFF);
  return file;
}

double ChildCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class NoisyLineTest : public BoxTest {
 protected:
  // A chip full of old data, so that an erase that did not happen shows. A
  // reply that does not come costs the host up to three seconds of silence,
  // which the box must not take for the end of a pass.
  void SetUp() override {
    WriteBytes(Path("chip.bin"), RandomBytes(kChipSize, 40));
    file = RandomBytes(3 * 4096 + 100, 41);
    WriteBytes(Path("fw.img"), file);
  }
  std::vector<std::string> Box(std::vector<std::string> more) const {
    std::vector<std::string> args = {"--size", kChipSizeOption, "--image", Path("chip.bin"),
                                     "--idle-ms", "4000"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::vector<uint8_t> file;
};

// Frames of a write of fw.img: probe 0-3; erase: write enable 4, chip
// erase 5, status reads 6-10 (three busy, two ready); then per page a write
// enable, the program and two status reads (one busy, one ready): the
// first page's program is frame 12.
constexpr int kEraseFrame = 5;
constexpr int kFirstEraseStatusFrame = 6;
constexpr int kFirstProgramFrame = 12;
constexpr int kFirstPageStatusFrame = 13;

TEST_F(NoisyLineTest, StrayByteBehindAStatusReplyIsDroppedAndCounted) {
  const BoxRun run = Run(Box({"--fault", std::to_string(kFirstPageStatusFrame) + ":stray"}),
                         {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos) << run.proc.out;
  EXPECT_NE(run.proc.out.find(" line errors: 1 (resent or repaired)\n"), std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.proc.out.find("crc error"), std::string::npos) << run.proc.out;
  EXPECT_EQ(ReadBytes(Path("chip.bin")), Padded(file, kChipSize));
}

TEST_F(NoisyLineTest, LostByteInAPageProgramIsCaughtByTheReadBack) {
  // The box completes the program with the next frame's first byte: the
  // page holds shifted data that only reading it back can show.
  const BoxRun run = Run(Box({"--fault", std::to_string(kFirstProgramFrame) + ":drop-in:100"}),
                         {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos) << run.proc.out;
  EXPECT_FALSE(run.Frames(0x03).empty()) << "a write that met a damaged request reads back";
  EXPECT_NE(run.proc.out.find("\n verify FAILED: "), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("verify done"), std::string::npos) << run.proc.out;
}

TEST_F(NoisyLineTest, LengthSpoiledOnItsWayDoesNotEatTheFollowingRequests) {
  // A status read's length arrives as 0x0102: the box waits for 258 bus
  // bytes, and without filler would take the next requests for them, until
  // tarvex gave the box up as silent.
  const BoxRun run = Run(Box({"--fault", std::to_string(kFirstPageStatusFrame) + ":flip-in:3"}),
                         {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("Failed"), std::string::npos) << run.proc.out;
  EXPECT_EQ(ReadBytes(Path("chip.bin")), Padded(file, kChipSize));
}

TEST_F(NoisyLineTest, DamagedEraseRequestIsDoneAgain) {
  // The opcode arrives as C6, which the chip ignores: without a second
  // erase the old data would be programmed over.
  const BoxRun run = Run(Box({"--fault", std::to_string(kEraseFrame) + ":flip-in:4"}),
                         {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("crc error"), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.Frames(0xC6).size(), 1u);
  EXPECT_EQ(run.Frames(0xC7).size(), 1u);
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("FAILED"), std::string::npos) << run.proc.out;
  EXPECT_EQ(ReadBytes(Path("chip.bin")), Padded(file, kChipSize));
}

TEST_F(NoisyLineTest, ReadyStatusWithAWrongChecksumDoesNotEndTheEraseWait) {
  // The first status read of the erase, still busy, comes back as ready
  // with a wrong checksum. Believed, the first page's commands would meet
  // a busy chip and be ignored.
  const std::string frame = std::to_string(kFirstEraseStatusFrame);
  const BoxRun run = Run(Box({"--fault", frame + ":flip-out:1", "--fault", frame + ":badsum"}),
                         {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.log.find("busy"), std::string::npos) << "no command met a busy chip";
  EXPECT_EQ(ReadBytes(Path("chip.bin")), Padded(file, kChipSize));
}

TEST_F(NoisyLineTest, ConfirmedReadSeesAByteFlippedOnItsWayBack) {
  // Frame 4 is the first read of the first chunk; its byte 100 comes back
  // flipped under a right checksum, which a plain read cannot see.
  const auto chip = ReadBytes(Path("chip.bin"));
  const BoxRun plain = Run(Box({"--fault", "4:flip-out:100"}), {"-fr", "plain.bin"});
  EXPECT_NE(plain.proc.out.find(" read done"), std::string::npos);
  EXPECT_NE(ReadBytes(Path("plain.bin")), chip);

  const BoxRun confirmed = Run(Box({"--fault", "4:flip-out:100"}), {"-frv", "dump.bin"});
  EXPECT_NE(confirmed.proc.out.find(" read done"), std::string::npos) << confirmed.proc.out;
  EXPECT_EQ(ReadBytes(Path("dump.bin")), chip);
  EXPECT_EQ(confirmed.Frames(0x03).size(), 2u * kChipSize / 1024 + 1);
  EXPECT_NE(confirmed.proc.out.find(" line errors: 1 (resent or repaired)\n"), std::string::npos)
      << confirmed.proc.out;
}

TEST_F(NoisyLineTest, CleanConfirmedReadCostsTwoReadsPerChunkAndPrintsAsAPlainOne) {
  const BoxRun run = Run(Box({}), {"-frv", "dump.bin"});
  EXPECT_EQ(run.Frames(0x03).size(), 2u * kChipSize / 1024);
  EXPECT_EQ(ReadBytes(Path("dump.bin")), ReadBytes(Path("chip.bin")));
  EXPECT_EQ(run.proc.out.find("line errors"), std::string::npos);
  EXPECT_NE(run.proc.out.find("% done\r\n read done time="), std::string::npos) << run.proc.out;
}

TEST_F(NoisyLineTest, VerifyConfirmsADifferenceBeforeCountingIt) {
  // The write is clean; one reply of the verify comes back with a flipped
  // byte. Two more reads agree that the chip is right.
  const BoxRun probe = Run(Box({}), {"-fwv", "fw.img"});
  const auto reads = probe.Frames(0x03);
  ASSERT_FALSE(reads.empty());
  const std::string firstRead = std::to_string(reads.front().index);
  const BoxRun run = Run(Box({"--fault", firstRead + ":flip-out:50"}), {"-fwv", "fw.img"});
  EXPECT_NE(run.proc.out.find("\n verify done"), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.Frames(0x03).size(), reads.size() + 2);
}

// ---- Seeded soaks ----------------------------------------------------------

// One noise event per `every` bytes on average of each kind named.
std::string Spec(const std::vector<std::string>& kinds, uint32_t every) {
  std::string spec;
  for (const std::string& k : kinds) spec += (spec.empty() ? "" : ",") + k + "=" + std::to_string(every);
  return spec;
}

struct SoakCase {
  const char* name;
  const char* option;  // -frv, -fr, -fwv, -fw
  std::vector<std::string> toHost;  // noise kinds on the replies
  uint32_t every;  // bytes per event of each kind, both ways
  uint32_t seed;
  bool mustFinish;  // at this rate the pass must end done
};

void PrintTo(const SoakCase& c, std::ostream* os) { *os << c.name; }

class NoisySoakTest : public NoisyLineTest, public ::testing::WithParamInterface<SoakCase> {};

TEST_P(NoisySoakTest, NothingWrongEndsLookingDone) {
  const SoakCase& c = GetParam();
  const bool read = c.option[2] == 'r';
  const auto chip = ReadBytes(Path("chip.bin"));
  const std::vector<std::string> all = {"flip", "lose", "add"};
  if (!read) {
    file = RandomBytes(100000, c.seed);
    WriteBytes(Path("fw.img"), file);
  }
  const double cpuBefore = ChildCpuSeconds();
  const BoxRun run = Run(Box({"--noise-seed", std::to_string(c.seed),
                              "--noise-to-box", Spec(all, c.every), "--noise-to-host",
                              Spec(c.toHost, c.every)}),
                         {c.option, read ? "dump.bin" : "fw.img"}, 240000);
  const double cpu = ChildCpuSeconds() - cpuBefore;
  ASSERT_FALSE(run.proc.timedOut);
  EXPECT_EQ(run.proc.status, kStoppedBySigint) << run.proc.out;
  // No spin: the waits of a noisy line are blocking reads and pauses.
  EXPECT_LT(cpu, 2.0 + 0.5 * static_cast<double>(run.proc.elapsedMs) / 1000.0);

  const std::string& out = run.proc.out;
  if (read) {
    if (out.find(" read done") != std::string::npos) {
      EXPECT_EQ(ReadBytes(Path("dump.bin")), chip);
    }
    if (c.mustFinish) {
      EXPECT_EQ(run.Count(" read done"), 1u) << out;
    }
  } else {
    // The chip holds the last pass's result; judge that pass.
    const size_t lastPass = out.rfind(" erase chip...");
    ASSERT_NE(lastPass, std::string::npos) << out;
    const std::string tail = out.substr(lastPass);
    const bool failed = tail.find("Failed") != std::string::npos ||
                        tail.find("verify FAILED") != std::string::npos;
    if (!failed) {
      EXPECT_NE(tail.find(" write done"), std::string::npos) << out;
      EXPECT_EQ(ReadBytes(Path("chip.bin")), Padded(file, kChipSize)) << out;
    }
    if (c.mustFinish) {
      EXPECT_FALSE(failed) << out;
    }
  }
}

const std::vector<std::string> kLoseAdd = {"lose", "add"};
const std::vector<std::string> kAllKinds = {"flip", "lose", "add"};

// One error per about 100 KB each way (each of three kinds every 300000
// bytes), and one per about 20 KB: the first must always end done, the
// second often does not, and then must say so.
INSTANTIATE_TEST_SUITE_P(
    Seeds, NoisySoakTest,
    ::testing::Values(
        SoakCase{"ConfirmedReadLow", "-frv", kAllKinds, 300000, 1, true},
        SoakCase{"ConfirmedReadHigh", "-frv", kAllKinds, 60000, 2, false},
        SoakCase{"PlainReadHigh", "-fr", kLoseAdd, 60000, 3, false},
        SoakCase{"VerifiedWriteLow", "-fwv", kAllKinds, 300000, 4, true},
        SoakCase{"VerifiedWriteHigh", "-fwv", kAllKinds, 60000, 5, false},
        SoakCase{"PlainWriteHigh", "-fw", kLoseAdd, 60000, 6, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace e2e
