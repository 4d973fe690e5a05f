// Verify after write (-fwv) end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;
constexpr uint32_t kMegabyte = 1024 * 1024;

class VerifyTest : public BoxTest {
 protected:
  void SetUp() override {
    file = RandomBytes(5000, 30);
    WriteBytes(Path("fw.img"), file);
    WriteBytes(Path("chip.bin"), RandomBytes(kMegabyte, 31));
  }
  BoxRun RunVerify(std::vector<std::string> more, const std::string& option = "-fwv") {
    std::vector<std::string> args = {"--size", "1M", "--image", Path("chip.bin")};
    args.insert(args.end(), more.begin(), more.end());
    return Run(args, {option, "fw.img"});
  }
  std::vector<uint8_t> file;
};

TEST_F(VerifyTest, GoodWriteVerifiesWithinTheFilesSpan) {
  const BoxRun run = RunVerify({});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_TRUE(std::regex_search(run.proc.out,
                                std::regex("\n write done time=\\d+s\n"
                                           " verifying address=00000000: 1% done\r"
                                           " verifying address=00001000: 1% done\r"
                                           "\n verify done time=\\d+s\n")))
      << run.proc.out;
  // Reads come after the last program and cover blocks 0 and 1 only.
  const auto reads = run.Frames(0x03);
  ASSERT_EQ(reads.size(), 8u);
  EXPECT_GT(reads.front().index, run.Frames(0x02).back().index);
  for (size_t i = 0; i < reads.size(); ++i) EXPECT_EQ(reads[i].addr, static_cast<long>(i * 1024));
}

TEST_F(VerifyTest, IgnoredProgramsFailTheVerify) {
  // Block protection: the erase and the programs are ignored, the chip keeps
  // its old content.
  const auto before = ReadBytes(Path("chip.bin"));
  std::vector<uint8_t> expected = file;
  expected.resize(8192, 0xFF);
  uint32_t differ = 0;
  long first = -1;
  for (size_t i = 0; i < expected.size(); ++i) {
    if (expected[i] == before[i]) continue;
    if (first < 0) first = static_cast<long>(i);
    ++differ;
  }
  const BoxRun run = RunVerify({"--protect"});
  char line[96];
  std::snprintf(line, sizeof line, "\n verify FAILED: %u bytes differ, first at %08lX\n", differ, first);
  EXPECT_NE(run.proc.out.find(line), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("verify done"), std::string::npos);
}

TEST_F(VerifyTest, FlippedByteIsCountedWithItsAddress) {
  const BoxRun run = RunVerify({"--flip", "0x1234"});
  EXPECT_NE(run.proc.out.find("\n verify FAILED: 1 bytes differ, first at 00001234\n"), std::string::npos)
      << run.proc.out;
}

TEST_F(VerifyTest, SilentTargetDuringTheVerifyEndsThePass) {
  // Probe 0-3; erase 4-7 (two ready reads end its wait); 20 pages of 3
  // frames each 8-67; the verify reads from 68 on. The target goes silent
  // at its third read.
  const BoxRun run =
      RunVerify({"--erase-busy", "0", "--program-busy", "0", "--fault", "70:silent-from",
                 "--idle-ms", "4000"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  ASSERT_GE(run.frames.size(), 69u);
  EXPECT_EQ(run.frames[68].op, 0x03);
  EXPECT_EQ(run.frames[67].op, 0x05);
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos);
  EXPECT_NE(run.proc.out.find("\nFailed: Target is not responding.\n"), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("verify done"), std::string::npos);
  EXPECT_EQ(run.proc.out.find("verify FAILED"), std::string::npos);
}

TEST_F(VerifyTest, OtherFourthLetterIsAPlainWrite) {
  const BoxRun run = RunVerify({}, "-fwx");
  EXPECT_NE(run.proc.out.find("\n write done"), std::string::npos);
  EXPECT_EQ(run.proc.out.find("verif"), std::string::npos);
  EXPECT_TRUE(run.Frames(0x03).empty());
}

TEST_F(VerifyTest, UpperCaseVIsAPlainWrite) {
  const BoxRun run = RunVerify({}, "-fwV");
  EXPECT_EQ(run.proc.out.find("verif"), std::string::npos);
  EXPECT_TRUE(run.Frames(0x03).empty());
}

TEST_F(VerifyTest, RefusedWriteVerifiesNothing) {
  WriteBytes(Path("fw.img"), RandomBytes(kMegabyte + 4096, 32));
  const BoxRun run = RunVerify({});
  EXPECT_NE(run.proc.out.find("nothing erased."), std::string::npos);
  EXPECT_EQ(run.proc.out.find("verif"), std::string::npos);
  EXPECT_EQ(run.frames.size(), 4u);
}

TEST_F(VerifyTest, EmptyFileVerifiesAnEmptySpan) {
  WriteBytes(Path("fw.img"), {});
  const BoxRun run = RunVerify({});
  EXPECT_NE(run.proc.out.find("\n write done time=0s\n\n verify done time=0s\n"), std::string::npos)
      << run.proc.out;
  EXPECT_TRUE(run.Frames(0x03).empty());
}

}  // namespace
}  // namespace e2e
