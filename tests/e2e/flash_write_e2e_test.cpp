// Flash writes end to end: erase, blocks, padding, blank pages, give-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;
constexpr uint32_t kMegabyte = 1024 * 1024;

class FlashWriteTest : public BoxTest {};

TEST_F(FlashWriteTest, FileOf5000BytesIsTwoBlocksPaddedWithFF) {
  WriteBytes(Path("chip.bin"), RandomBytes(kMegabyte, 10));
  const auto file = RandomBytes(5000, 11);
  WriteBytes(Path("fw.img"), file);
  const BoxRun run = Run({"--size", "1M", "--image", Path("chip.bin")}, {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint) << run.proc.out;

  const auto chip = ReadBytes(Path("chip.bin"));
  ASSERT_EQ(chip.size(), kMegabyte);
  EXPECT_TRUE(std::equal(file.begin(), file.end(), chip.begin()));
  EXPECT_TRUE(std::all_of(chip.begin() + 5000, chip.end(), [](uint8_t b) { return b == 0xFF; }));

  EXPECT_TRUE(std::regex_search(run.proc.out,
                                std::regex("Flash status2: 00\n erase chip\\.\\.\\. done time=\\d+s\n"
                                           " writing\\[0\\] address=00000000: 1% done\r"
                                           " writing\\[0\\] address=00001000: 1% done\r"
                                           "\n write done time=\\d+s\n")))
      << run.proc.out;

  // The erase comes before any program; the second block's pages past the
  // file's end are blank and cost nothing: 16 + 4 page programs.
  const auto erase = run.Frames(0xC7);
  const auto programs = run.Frames(0x02);
  ASSERT_EQ(erase.size(), 1u);
  ASSERT_EQ(programs.size(), 20u);
  EXPECT_LT(erase[0].index, programs.front().index);
  EXPECT_EQ(programs.back().addr, 0x1300);
}

TEST_F(FlashWriteTest, BlankPagesSendNoFrame) {
  std::vector<uint8_t> file(3 * 4096, 0xFF);
  std::fill(file.begin() + 256, file.begin() + 512, 0x00);     // page 1
  file[2 * 4096 + 15 * 256 + 255] = 0x12;                      // last byte of the last page
  WriteBytes(Path("fw.img"), file);
  const BoxRun run = Run({"--size", "1M"}, {"-fw", "fw.img"});
  std::vector<long> addresses;
  for (const auto& f : run.Frames(0x02)) addresses.push_back(f.addr);
  EXPECT_EQ(addresses, (std::vector<long>{0x100, 0x2F00}));
  EXPECT_EQ(run.Count(" writing[0] address="), 3u);
}

TEST_F(FlashWriteTest, EmptyFileErasesAndProgramsNothing) {
  WriteBytes(Path("fw.img"), {});
  const BoxRun run = Run({"--size", "1M"}, {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_EQ(run.Frames(0xC7).size(), 1u);
  EXPECT_TRUE(run.Frames(0x02).empty());
  EXPECT_TRUE(std::regex_search(run.proc.out, std::regex(" done time=\\d+s\n\n write done time=0s\n")))
      << run.proc.out;
}

TEST_F(FlashWriteTest, PagesThatStayBusyShowInTheBrackets) {
  std::vector<uint8_t> file(4096, 0xFF);
  file[0] = 0x00;
  file[5 * 256] = 0x00;
  WriteBytes(Path("fw.img"), file);
  const BoxRun run = Run({"--size", "1M", "--program-busy", "5000"}, {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find(" writing[2] address=00000000: 1% done\r\n write done"), std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.Frames(0x05).size(), 1u + 5u + 2 * 1001u);  // probe, erase wait, two pages
}

TEST_F(FlashWriteTest, EveryPowerUpWritesTheWholeFileAgain) {
  const auto file = RandomBytes(4096 + 10, 12);
  WriteBytes(Path("fw.img"), file);
  const BoxRun run = Run({"--size", "1M", "--powerups", "2"}, {"-fw", "fw.img"});
  EXPECT_EQ(run.Count(" write done"), 2u);
  EXPECT_EQ(run.Frames(0xC7).size(), 2u);
  EXPECT_EQ(run.Frames(0x02).size(), 2u * 17);
}

TEST_F(FlashWriteTest, UnknownChipSizeWritesWithZeroPercent) {
  const auto file = RandomBytes(8192, 13);
  WriteBytes(Path("fw.img"), file);
  const BoxRun run = Run({"--size", "1M", "--device-id", "1F"}, {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find(" writing[0] address=00001000: 0% done\r\n write done"), std::string::npos)
      << run.proc.out;
}

}  // namespace
}  // namespace e2e
