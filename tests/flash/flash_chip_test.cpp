// The flash chip operations against a chip model on a real pty: the frames
// on the wire, the probe's lines, pages and polls, and what the operations
// do when replies go wrong.
#include "flash/flash_chip.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <functional>
#include <numeric>
#include <string>

#include "tests/flash/flash_fixture.h"

namespace flashtest {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

std::vector<uint8_t> ReadFrame(uint32_t address) {
  std::vector<uint8_t> bus = {0x03, static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  bus.resize(4 + 1024, 0xFF);
  return bus;
}

void FillPattern(std::vector<uint8_t>& memory) {
  for (size_t i = 0; i < memory.size(); ++i)
    memory[i] = static_cast<uint8_t>((i * 7 + (i >> 8) * 13 + 1) & 0xFF);
}

// ---- The wire ----------------------------------------------------------

struct WireCase {
  const char* name;
  std::function<void(SerialPort&)> run;
  std::vector<std::vector<uint8_t>> bus;  // the bus bytes of each frame, in order
};

void PrintTo(const WireCase& c, std::ostream* os) { *os << c.name; }

class WireTest : public BridgeTest, public ::testing::WithParamInterface<WireCase> {};

TEST_P(WireTest, FramesReachTheTargetByteForByte) {
  CaptureStdout();
  GetParam().run(port);
  GetCapturedStdout();
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), GetParam().bus.size());
  for (size_t i = 0; i < frames.size(); ++i)
    EXPECT_EQ(frames[i].raw, FrameBytes(GetParam().bus[i])) << "frame " << i;
}

std::vector<uint8_t> PageBus(uint32_t address, uint8_t fill) {
  std::vector<uint8_t> bus = {0x02, static_cast<uint8_t>(address >> 16),
                              static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  bus.resize(4 + 256, fill);
  return bus;
}

const WireCase kWireCases[] = {
    {"WriteEnableAndEraseThenPolls",
     [](SerialPort& p) { EraseChip(p); },
     // the model stays busy for three status reads; two clean ready reads end the wait
     {Bytes({0x06}), Bytes({0xC7}), Bytes({0x05, 0xFF}), Bytes({0x05, 0xFF}),
      Bytes({0x05, 0xFF}), Bytes({0x05, 0xFF}), Bytes({0x05, 0xFF})}},
    {"PageProgramAddressMostSignificantFirst",
     [](SerialPort& p) {
       std::array<uint8_t, 256> page;
       page.fill(0x5C);
       ProgramPage(p, page.data(), 0x00ABCD00);
     },
     {Bytes({0x06}), PageBus(0x00ABCD00, 0x5C), Bytes({0x05, 0xFF}), Bytes({0x05, 0xFF})}},
    {"ReadBlockInFourQuarters",
     [](SerialPort& p) {
       std::array<uint8_t, 4096> block;
       ReadBlock(p, block.data(), 0x00003000);
     },
     {ReadFrame(0x3000), ReadFrame(0x3400), ReadFrame(0x3800), ReadFrame(0x3C00)}},
    {"AddressFrom16MegabytesLosesItsTopBits",
     [](SerialPort& p) {
       std::array<uint8_t, 4096> block;
       ReadBlock(p, block.data(), 0x12FFF000);
     },
     {ReadFrame(0xFFF000), ReadFrame(0xFFF400), ReadFrame(0xFFF800), ReadFrame(0xFFFC00)}},
    {"ProbeFillersAndStatusBytes",
     [](SerialPort& p) { ProbeFlash(p); },
     // 0xAB runs from buffer byte 2 with four zero fillers; the status reads
     // send the memory-type byte (40) after their opcode.
     {Bytes({0x9F, 0, 0, 0}), Bytes({0xAB, 0, 0, 0, 0}), Bytes({0x05, 0x40}),
      Bytes({0x35, 0x40})}},
};

INSTANTIATE_TEST_SUITE_P(Operations, WireTest, ::testing::ValuesIn(kWireCases),
                         [](const auto& tp) { return std::string(tp.param.name); });

// ---- The probe ---------------------------------------------------------

struct ProbeCase {
  uint8_t deviceId;
  uint32_t size;
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << "id " << int{c.deviceId}; }

class ProbeTest : public BridgeTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(ProbeTest, PrintsFourLinesAndTheSizeFromTheLowNibble) {
  chip.deviceId = GetParam().deviceId;
  chip.jedec[0] = 0xC2;
  chip.jedec[1] = 0x20;
  CaptureStdout();
  const ProbeResult r = ProbeFlash(port);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_EQ(r.size, GetParam().size);
  char expected[256];
  std::snprintf(expected, sizeof expected,
                "Flash id: C220%02X\nBoot OK, flash size is %uKB\nFlash status1: 00\n"
                "Flash status2: 02\n",
                unsigned{GetParam().deviceId}, GetParam().size / 1024);
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(DeviceIds, ProbeTest,
                         ::testing::Values(ProbeCase{0x14, 2048u * 1024}, ProbeCase{0x16, 8192u * 1024},
                                           ProbeCase{0x17, 16384u * 1024}, ProbeCase{0x13, 1024u * 1024},
                                           ProbeCase{0x1E, 2048u * 1024 * 1024}, ProbeCase{0x10, 128u * 1024},
                                           ProbeCase{0x11, 256u * 1024}, ProbeCase{0x12, 512u * 1024},
                                           ProbeCase{0x1F, 0}),
                         [](const auto& tp) {
                           char name[16];
                           std::snprintf(name, sizeof name, "Id%02X", unsigned{tp.param.deviceId});
                           return std::string(name);
                         });

TEST_F(BridgeTest, ProbeOfSilentTargetPrintsItsWholeTranscript) {
  target->SetSilentFrom(0);
  CaptureStdout();
  const ProbeResult r = ProbeFlash(port);
  EXPECT_EQ(GetCapturedStdout(),
            "crc error 009F != [3A13]\n"
            "crc error 00AB != [3A13]\n"
            "Flash id: 9F0000\n"
            "Boot OK, flash size is 0KB\n"
            "crc error 0005 != [3A13]\n"
            "Flash status1: 05\n"
            "crc error 0035 != [3A13]\n"
            "Flash status2: 35\n");
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_EQ(r.size, 0u);
  EXPECT_EQ(Frames().size(), 4u);
}

TEST_F(BridgeTest, ProbeEndsAtOnceOnLostPort) {
  target->SetFault(1, {Fault::Kind::kHangUp, 0});
  CaptureStdout();
  const ProbeResult r = ProbeFlash(port);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(r.status, FlashStatus::kPortLost);
}

// ---- Pages and blocks --------------------------------------------------

TEST_F(BridgeTest, BlankPageSendsNothingAndLastByteAloneIsEnough) {
  std::array<uint8_t, 256> page;
  page.fill(0xFF);
  const PageResult blank = ProgramPage(port, page.data(), 0x100);
  EXPECT_EQ(blank.status, FlashStatus::kOk);
  EXPECT_FALSE(blank.gaveUp);
  EXPECT_TRUE(Frames().empty());

  page[255] = 0x00;
  const PageResult last = ProgramPage(port, page.data(), 0x100);
  EXPECT_EQ(last.status, FlashStatus::kOk);
  EXPECT_FALSE(last.gaveUp);
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 4u);  // write enable, program, busy, ready
  EXPECT_EQ(frames[1].Opcode(), 0x02);
  EXPECT_EQ(chip.memory[0x1FF], 0x00);
  EXPECT_EQ(chip.memory[0x1FE], 0xFF);
}

TEST_F(BridgeTest, BlankBlockSendsNothing) {
  std::array<uint8_t, 4096> block;
  block.fill(0xFF);
  const BlockResult r = ProgramBlock(port, block.data(), 0);
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_EQ(r.gaveUp, 0u);
  EXPECT_TRUE(Frames().empty());
}

TEST_F(BridgeTest, BlockProgramsOnlyItsNonBlankPages) {
  std::array<uint8_t, 4096> block;
  block.fill(0xFF);
  block[3 * 256 + 10] = 0x12;
  block[15 * 256] = 0x34;
  const BlockResult r = ProgramBlock(port, block.data(), 0x2000);
  EXPECT_EQ(r.status, FlashStatus::kOk);
  std::vector<uint32_t> programmed;
  for (const auto& f : Frames())
    if (f.Opcode() == 0x02) programmed.push_back(uint32_t{f.raw[5]} << 16 | f.raw[6] << 8 | f.raw[7]);
  EXPECT_EQ(programmed, (std::vector<uint32_t>{0x2300, 0x2F00}));
  EXPECT_EQ(chip.memory[0x230A], 0x12);
  EXPECT_EQ(chip.memory[0x2F00], 0x34);
}

struct PollCase {
  int busyReads;        // status reads the program stays busy
  bool gaveUp;
  size_t statusReads;   // status reads sent
};

void PrintTo(const PollCase& c, std::ostream* os) { *os << "busy " << c.busyReads; }

class PagePollTest : public BridgeTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(PagePollTest, GivesUpAfterOnePlusAThousandStatusReads) {
  chip.programBusy = GetParam().busyReads;
  std::array<uint8_t, 4096> block;
  block.fill(0xFF);
  block[0] = 0x00;
  const BlockResult r = ProgramBlock(port, block.data(), 0);
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_EQ(r.gaveUp, GetParam().gaveUp ? 1u : 0u);
  size_t polls = 0;
  for (const auto& f : Frames()) polls += f.Opcode() == 0x05;
  EXPECT_EQ(polls, GetParam().statusReads);
}

INSTANTIATE_TEST_SUITE_P(Limits, PagePollTest,
                         ::testing::Values(PollCase{0, false, 1},
                                           PollCase{999, false, 1000},   // ready at read 1000
                                           PollCase{1000, true, 1001},   // ready at the last read: too late
                                           PollCase{-1, true, 1001}),    // busy for ever
                         [](const auto& tp) {
                           return "Busy" + std::to_string(tp.param.busyReads < 0 ? 9999 : tp.param.busyReads);
                         });

// ---- Read integrity ----------------------------------------------------

TEST_F(BridgeTest, ReadBlockReturnsTheChipContent) {
  FillPattern(chip.memory);
  std::array<uint8_t, 4096> block{};
  const ReadResult r = ReadBlock(port, block.data(), 0x5000);
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), chip.memory.begin() + 0x5000));
}

struct RetryCase {
  const char* name;
  std::vector<std::pair<size_t, Fault>> faults;
  size_t frames;
  size_t retried;  // the frame that is sent again right after itself
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

class ReadRetryTest : public BridgeTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(ReadRetryTest, SpoiledReplyIsSentAgainAndTheDataIsRight) {
  FillPattern(chip.memory);
  for (const auto& [index, fault] : GetParam().faults) target->SetFault(index, fault);
  std::array<uint8_t, 4096> block{};
  std::array<uint8_t, 4096> next{};
  CaptureStdout();
  const ReadResult r = ReadBlock(port, block.data(), 0x1000);
  const ReadResult r2 = ReadBlock(port, next.data(), 0x2000);
  EXPECT_EQ(GetCapturedStdout(), "");  // read mismatches print nothing
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_EQ(r2.status, FlashStatus::kOk);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), chip.memory.begin() + 0x1000));
  EXPECT_TRUE(std::equal(next.begin(), next.end(), chip.memory.begin() + 0x2000));
  const auto frames = Frames();
  EXPECT_EQ(frames.size(), GetParam().frames);
  const size_t i = GetParam().retried;
  ASSERT_LT(i + 1, frames.size());
  EXPECT_EQ(frames[i].raw, frames[i + 1].raw) << "the retry repeats the same request";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReadRetryTest,
    ::testing::Values(
        RetryCase{"ShortThenGood", {{0, {Fault::Kind::kShort, 700}}}, 9, 0},
        RetryCase{"BadChecksumTwiceThenGood",
                  {{0, {Fault::Kind::kBadSum, 0}}, {1, {Fault::Kind::kBadSum, 0}}}, 10, 0},
        RetryCase{"SilentThenGood", {{0, {Fault::Kind::kSilent, 0}}}, 9, 0},
        // The whole reply comes after the reads gave up on it: its bytes
        // must be dropped, not taken as the start of the next reply.
        RetryCase{"LateReplyDoesNotShiftTheNext", {{0, {Fault::Kind::kLate, 400}}}, 9, 0},
        // A stray byte behind a good reply would shift the next reply by
        // one: the reply it follows is not taken, and the line is cleared.
        RetryCase{"StrayByteDoesNotShiftTheNext", {{3, {Fault::Kind::kStray, 0}}}, 9, 3}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(BridgeTest, ReadThatKeepsFailingReportsItsAddress) {
  for (size_t i = 2; i < 5; ++i) target->SetFault(i, {Fault::Kind::kShort, 500});
  std::array<uint8_t, 4096> block{};
  const ReadResult r = ReadBlock(port, block.data(), 0x8000);
  EXPECT_EQ(r.status, FlashStatus::kReadFailed);
  EXPECT_EQ(r.address, 0x8800u);
  EXPECT_EQ(Frames().size(), 5u);  // two good quarters, three tries of the third
}

TEST_F(BridgeTest, ReadOfSilentTargetEndsAsNotResponding) {
  target->SetSilentFrom(1);
  std::array<uint8_t, 4096> block{};
  const auto start = std::chrono::steady_clock::now();
  const ReadResult r = ReadBlock(port, block.data(), 0);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(r.status, FlashStatus::kNotResponding);
  EXPECT_EQ(r.address, 0x400u);
  EXPECT_EQ(Frames().size(), 4u);  // one good, three silent
  EXPECT_LT(ms, 20000);
}

TEST_F(BridgeTest, ReadEndsAtOnceOnLostPort) {
  target->SetFault(2, {Fault::Kind::kHangUp, 0});
  std::array<uint8_t, 4096> block{};
  const ReadResult r = ReadBlock(port, block.data(), 0);
  EXPECT_EQ(r.status, FlashStatus::kPortLost);
  EXPECT_EQ(Frames().size(), 3u);
}

// ---- Silent target in the waits ----------------------------------------

TEST_F(BridgeTest, EraseWaitEndsAfterThreeSilentStatusReads) {
  chip.eraseBusy = -1;
  target->SetSilentFrom(5);  // write enable, erase, three busy polls, then nothing
  const FlashStatus s = EraseChip(port);
  EXPECT_EQ(s, FlashStatus::kNotResponding);
  EXPECT_EQ(Frames().size(), 8u);
}

TEST_F(BridgeTest, EraseWaitGoesOnWhileTheTargetAnswers) {
  chip.eraseBusy = 2000;  // a long erase: no poll limit
  const FlashStatus s = EraseChip(port);
  EXPECT_EQ(s, FlashStatus::kOk);
  EXPECT_EQ(Frames().size(), 2u + 2002u);  // 2000 busy, two ready
  EXPECT_EQ(chip.memory[0], 0xFF);
}

TEST_F(BridgeTest, SilentRepliesThatAreNotInARowDoNotEndTheWait) {
  chip.eraseBusy = 6;
  for (size_t i : {3u, 4u, 6u, 7u}) target->SetFault(i, {Fault::Kind::kSilent, 0});
  EXPECT_EQ(EraseChip(port), FlashStatus::kOk);
}

TEST_F(BridgeTest, PagePollsEndAfterThreeSilentReads) {
  chip.programBusy = -1;
  target->SetSilentFrom(4);
  std::array<uint8_t, 256> page;
  page.fill(0x00);
  const PageResult r = ProgramPage(port, page.data(), 0);
  EXPECT_EQ(r.status, FlashStatus::kNotResponding);
  EXPECT_EQ(Frames().size(), 7u);
}

TEST_F(BridgeTest, BlockStopsAtTheFirstPageThatFindsNoTarget) {
  target->SetSilentFrom(0);
  std::array<uint8_t, 4096> block;
  block.fill(0x00);
  const BlockResult r = ProgramBlock(port, block.data(), 0);
  EXPECT_EQ(r.status, FlashStatus::kNotResponding);
  EXPECT_EQ(Frames().size(), 3u);  // write enable, program, first poll
}

}  // namespace
}  // namespace flashtest
