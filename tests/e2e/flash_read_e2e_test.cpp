// Flash reads, the greeting waits and the hand-overs, end to end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <regex>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;  // the box ends flash mode with SIGINT
constexpr uint32_t kMegabyte = 1024 * 1024;

// The progress lines of one pass, split at their carriage returns.
std::vector<std::string> ProgressLines(const std::string& out, const std::string& prefix) {
  std::vector<std::string> lines;
  for (size_t at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
    const size_t end = out.find('\r', at);
    if (end == std::string::npos) break;
    lines.push_back(out.substr(at, end - at));
  }
  return lines;
}

class FlashReadTest : public BoxTest {};

TEST_F(FlashReadTest, DumpEqualsTheChipWithProgressAndDoneLines) {
  const auto chip = RandomBytes(kMegabyte, 1);
  WriteBytes(Path("chip.bin"), chip);
  const BoxRun run = Run({"--size", "1M", "--image", Path("chip.bin")}, {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint) << run.proc.out << run.proc.err;
  EXPECT_EQ(ReadBytes(Path("dump.bin")), chip);

  const std::string& out = run.proc.out;
  EXPECT_NE(out.find("Switch on the STB...\nFlash id: EF4013\nBoot OK, flash size is 1024KB\n"
                     "Flash status1: 00\nFlash status2: 00\n reading address=00000000: 1% done\r"),
            std::string::npos)
      << out;
  const auto lines = ProgressLines(out, " reading address=");
  ASSERT_EQ(lines.size(), 256u);
  for (uint32_t k = 0; k < lines.size(); ++k) {
    char expected[64];
    std::snprintf(expected, sizeof expected, " reading address=%08X: %u%% done", k * 4096,
                  k * 409600 / kMegabyte + 1);
    EXPECT_EQ(lines[k], expected);
  }
  EXPECT_TRUE(std::regex_search(out, std::regex("address=000FF000: 100% done\r\n read done time=\\d+s\n")))
      << out;
  EXPECT_EQ(FilesIn(Dir()), (std::vector<std::string>{"chip.bin", "dump.bin", "wire.log"}));
}

// Device ID nibble 15 names no size that fits: an empty dump would look
// complete and replace a good one.
TEST_F(FlashReadTest, ChipOfUnknownSizeIsRefusedAndTheOldDumpKept) {
  const auto old = RandomBytes(100, 2);
  WriteBytes(Path("dump.bin"), old);
  const BoxRun run = Run({"--size", "64K", "--device-id", "1F"}, {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("Boot OK, flash size is 0KB\n"), std::string::npos);
  EXPECT_NE(run.proc.out.find("Flash status2: 00\nFailed: the flash size of device ID 1F is not "
                              "known; dump.bin was left unchanged.\n"),
            std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.proc.out.find("read done"), std::string::npos);
  EXPECT_EQ(ReadBytes(Path("dump.bin")), old);
  EXPECT_TRUE(run.Frames(0x03).empty());
}

struct SmallChip {
  const char* size;
  uint32_t bytes;
  const char* id;  // the "Flash id" line's device ID
};

// Chips below 1 MB are common in older boxes; their device IDs 10 to 12
// give 128 KB to 512 KB.
TEST_F(FlashReadTest, SmallChipsAreSizedReadAndWrittenWhole) {
  const SmallChip chips[] = {{"128K", 128u << 10, "10"}, {"256K", 256u << 10, "11"},
                             {"512K", 512u << 10, "12"}};
  for (const SmallChip& c : chips) {
    SCOPED_TRACE(c.size);
    const auto content = RandomBytes(c.bytes, c.bytes);
    WriteBytes(Path("chip.bin"), content);
    const BoxRun read = Run({"--image", Path("chip.bin")}, {"-fr", "dump.bin"});
    EXPECT_NE(read.proc.out.find(std::string("Flash id: EF40") + c.id + "\nBoot OK, flash size is " +
                                 std::to_string(c.bytes / 1024) + "KB\n"),
              std::string::npos)
        << read.proc.out;
    char last[64];  // the percentage is the block's start share plus 1: below 100 for small chips
    std::snprintf(last, sizeof last, " reading address=%08X: ", c.bytes - 4096);
    EXPECT_NE(read.proc.out.find(last), std::string::npos) << read.proc.out;
    EXPECT_NE(read.proc.out.find("\n read done"), std::string::npos) << read.proc.out;
    EXPECT_EQ(ReadBytes(Path("dump.bin")), content);

    const auto file = RandomBytes(c.bytes - 1000, c.bytes + 1);
    WriteBytes(Path("fw.img"), file);
    const BoxRun write = Run({"--image", Path("chip.bin")}, {"-fwv", "fw.img"});
    EXPECT_NE(write.proc.out.find(" verify done"), std::string::npos) << write.proc.out;
    auto expected = file;
    expected.resize(c.bytes, 0xFF);
    EXPECT_EQ(ReadBytes(Path("chip.bin")), expected);
  }
}

TEST_F(FlashReadTest, EveryPowerUpGetsItsPassAndThePromptComesOnce) {
  const auto chip = RandomBytes(kMegabyte, 3);
  WriteBytes(Path("chip.bin"), chip);
  const BoxRun run =
      Run({"--size", "1M", "--image", Path("chip.bin"), "--powerups", "3"}, {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_EQ(run.Count("Switch on the STB..."), 1u);
  EXPECT_EQ(run.Count("Flash id: EF4013\n"), 3u);
  EXPECT_EQ(run.Count(" read done time="), 3u);
  EXPECT_EQ(run.Frames(0x03).size(), 3u * 1024);
  EXPECT_EQ(ReadBytes(Path("dump.bin")), chip);
}

TEST_F(FlashReadTest, PipeIsWrittenDirectly) {
  const auto chip = RandomBytes(kMegabyte, 5);
  WriteBytes(Path("chip.bin"), chip);
  ASSERT_EQ(mkfifo(Path("dump.pipe").c_str(), 0600), 0);
  auto reader = std::async(std::launch::async, [path = Path("dump.pipe")] {
    std::vector<uint8_t> got;
    const int fd = open(path.c_str(), O_RDONLY);
    uint8_t buf[65536];
    ssize_t n;
    while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
    if (fd >= 0) close(fd);
    return got;
  });
  const BoxRun run = Run({"--size", "1M", "--image", Path("chip.bin")}, {"-fr", "dump.pipe"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint) << run.proc.out;
  EXPECT_NE(run.proc.out.find(" read done"), std::string::npos);
  if (run.proc.out.find(" read done") == std::string::npos) {
    const int unblock = open(Path("dump.pipe").c_str(), O_WRONLY | O_NONBLOCK);
    if (unblock >= 0) close(unblock);
  }
  EXPECT_EQ(reader.get(), chip);
  EXPECT_EQ(FilesIn(Dir()), (std::vector<std::string>{"chip.bin", "dump.pipe", "wire.log"}));
}

struct OptionCase {
  const char* name;
  std::string option;
  bool reads;
};

void PrintTo(const OptionCase& c, std::ostream* os) { *os << c.option; }

class FlashOptionTest : public BoxTest, public ::testing::WithParamInterface<OptionCase> {};

// Only the second and third characters count, in lower case.
TEST_P(FlashOptionTest, OnlyTheModeLetterDecides) {
  const auto chip = RandomBytes(kMegabyte, 4);
  WriteBytes(Path("chip.bin"), chip);
  const BoxRun run = Run({"--size", "1M", "--image", Path("chip.bin")}, {GetParam().option, "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint) << run.proc.out;
  EXPECT_EQ(run.Frames(0x9F).size(), 1u);
  EXPECT_TRUE(run.Frames(0xC7).empty());
  EXPECT_TRUE(run.Frames(0x02).empty());
  if (GetParam().reads) {
    EXPECT_EQ(ReadBytes(Path("dump.bin")), chip);
  } else {
    EXPECT_TRUE(run.Frames(0x03).empty());
    EXPECT_EQ(run.proc.out.find("read done"), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Options, FlashOptionTest,
                         ::testing::Values(OptionCase{"xfr", "xfr", true},
                                           OptionCase{"UpperR", "-fR", false},
                                           OptionCase{"ProbeA", "-fa", false},
                                           OptionCase{"OtherLetter", "-fz", false},
                                           OptionCase{"NoLetter", "-f", false},
                                           OptionCase{"ReadWithV", "-frv", true}),
                         [](const auto& tp) { return std::string(tp.param.name); });

// ---- Greetings and hand-overs ------------------------------------------

TEST_F(FlashReadTest, LoneBLeadsToTheUploadWithoutAnAnswer) {
  const BoxRun run = Run({"--damaged"}, {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, 0) << run.proc.out << run.proc.err;
  EXPECT_NE(run.proc.out.find("Switch on the STB...\nMicrocode damaged, need to restore it!\n"),
            std::string::npos);
  EXPECT_FALSE(run.LogHas("answer"));
  EXPECT_TRUE(run.LogHas("upload complete")) << run.log;
}

TEST_F(FlashReadTest, ModeHAnswersAEAndUploads) {
  const BoxRun run = Run({}, {"-fh"});
  EXPECT_EQ(run.proc.status, 0) << run.proc.out << run.proc.err;
  EXPECT_TRUE(run.LogHas("answer AE upload")) << run.log;
  EXPECT_TRUE(run.LogHas("upload complete")) << run.log;
  EXPECT_TRUE(run.frames.empty());
  EXPECT_EQ(run.proc.out.find("Flash id"), std::string::npos);
}

struct GapCase {
  const char* name;
  std::string option;
  int powerups;
  bool uploadAtLastPowerUp;  // the 'a' came too late: taken as a lone 'b'
};

void PrintTo(const GapCase& c, std::ostream* os) { *os << c.name; }

class GreetingGapTest : public BoxTest, public ::testing::WithParamInterface<GapCase> {};

// A gap of 100 ms between 'b' and 'a' fits the 200 ms interval of the first
// wait, but not the 30 ms of mode 'a' or of every later wait.
TEST_P(GreetingGapTest, IntervalOfTheWaitDecides) {
  const GapCase& c = GetParam();
  // tarvex must already be waiting when the 'b' goes out, or both bytes sit
  // in the queue together and any interval takes them: on a loaded machine
  // its start-up can outlast the box's default power-up delay.
  const BoxRun run = Run({"--size", "1M", "--greeting-gap-ms", "100", "--powerup-delay-ms", "1500",
                          "--powerups", std::to_string(c.powerups)},
                         {c.option, "dump.bin"});
  const size_t answers = c.uploadAtLastPowerUp ? c.powerups - 1 : c.powerups;
  size_t logged = 0;
  for (size_t at = run.log.find("answer 7B"); at != std::string::npos; at = run.log.find("answer 7B", at + 1))
    ++logged;
  EXPECT_EQ(logged, answers) << run.log;
  EXPECT_EQ(run.Count("Microcode damaged, need to restore it!\n"), c.uploadAtLastPowerUp ? 1u : 0u)
      << run.proc.out;
  if (!c.uploadAtLastPowerUp) {
    EXPECT_EQ(run.proc.status, kStoppedBySigint);
  }
}

INSTANTIATE_TEST_SUITE_P(Gaps, GreetingGapTest,
                         ::testing::Values(GapCase{"FirstWaitOfRead", "-fr", 1, false},
                                           GapCase{"FirstWaitOfProbeOnly", "-fa", 1, true},
                                           GapCase{"FirstWaitOfOtherLetter", "-fq", 1, false},
                                           GapCase{"SecondWaitOfProbe", "-fq", 2, true}),
                         [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace e2e
