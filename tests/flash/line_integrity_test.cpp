// The chip operations on a line that spoils replies: what they believe, what
// they send again, and when they give the line up.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "flash/flash_chip.h"
#include "tests/flash/flash_fixture.h"

namespace flashtest {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

constexpr int kStatusByte = 1;  // reply byte of a status read that carries the status
constexpr int kEraseBusyReads = 5;

void FillPattern(std::vector<uint8_t>& memory) {
  for (size_t i = 0; i < memory.size(); ++i)
    memory[i] = static_cast<uint8_t>((i * 11 + (i >> 9) * 5 + 3) & 0xFF);
}

size_t CountOpcode(const std::vector<Frame>& frames, uint8_t opcode) {
  return static_cast<size_t>(std::count_if(frames.begin(), frames.end(),
                                           [&](const Frame& f) { return f.Opcode() == opcode; }));
}

// ---- Busy waits ----------------------------------------------------------

struct WaitCase {
  const char* name;
  Fault fault;
};

class EraseWaitTest : public BridgeTest, public ::testing::WithParamInterface<WaitCase> {};

// Frames 0 and 1 are the write enable and the erase; frame 3 is the second
// status read, while the chip is still busy. Made to look ready, damaged or
// not, it must not end the wait: the erase ends only with two clean ready
// reads after the last busy one.
TEST_P(EraseWaitTest, AStatusThatOnlyLooksReadyDoesNotEndTheWait) {
  chip.eraseBusy = kEraseBusyReads;
  chip.memory.assign(chip.memory.size(), 0x00);
  target->SetFault(3, GetParam().fault);
  LineWatch line;
  CaptureStdout();
  EXPECT_EQ(EraseChip(port, line), FlashStatus::kOk);
  GetCapturedStdout();
  EXPECT_EQ(Frames().size(), 2u + kEraseBusyReads + 2);
  EXPECT_EQ(chip.memory[0], 0xFF);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, EraseWaitTest,
    ::testing::Values(WaitCase{"ReadyWithWrongChecksum", {Fault::Kind::kFlipBadSum, kStatusByte}},
                      WaitCase{"ReadyWithRightChecksum", {Fault::Kind::kFlip, kStatusByte}},
                      WaitCase{"StrayByteBehindBusy", {Fault::Kind::kStray, 0}},
                      WaitCase{"ShortReply", {Fault::Kind::kShort, 2}}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(BridgeTest, PageWaitIsNotEndedByADamagedReady) {
  chip.programBusy = 3;
  target->SetFault(3, {Fault::Kind::kFlipBadSum, kStatusByte});  // first poll, still busy
  std::array<uint8_t, 256> page;
  page.fill(0x42);
  LineWatch line;
  CaptureStdout();
  const PageResult r = ProgramPage(port, page.data(), 0x100, line);
  GetCapturedStdout();
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_FALSE(r.gaveUp);
  EXPECT_FALSE(r.unproven);  // the requests themselves came back clean
  EXPECT_EQ(CountOpcode(Frames(), 0x05), 4u);  // three busy, one ready
  EXPECT_EQ(line.errors, 1u);
}

// ---- Requests that did not come back clean ------------------------------

TEST_F(BridgeTest, EraseWhoseRequestCameBackDamagedIsDoneAgain) {
  chip.eraseBusy = 1;
  target->SetFault(1, {Fault::Kind::kBadSum, 0});  // the chip erase
  LineWatch line;
  CaptureStdout();
  EXPECT_EQ(EraseChip(port, line), FlashStatus::kOk);
  EXPECT_NE(GetCapturedStdout().find("crc error"), std::string::npos);
  const auto frames = Frames();
  EXPECT_EQ(CountOpcode(frames, 0xC7), 2u);
  EXPECT_EQ(CountOpcode(frames, 0x06), 2u);
}

TEST_F(BridgeTest, EraseThatNeverComesBackCleanFailsAndIsNotTakenForDone) {
  chip.eraseBusy = 1;
  // Attempt one: enable 0, erase 1, polls 2..4; attempt two: enable 5.
  target->SetFault(1, {Fault::Kind::kShort, 1});
  target->SetFault(5, {Fault::Kind::kBadSum, 0});
  LineWatch line;
  CaptureStdout();
  EXPECT_EQ(EraseChip(port, line), FlashStatus::kEraseUnconfirmed);
  GetCapturedStdout();
  EXPECT_EQ(CountOpcode(Frames(), 0xC7), 2u);
}

TEST_F(BridgeTest, PageWhoseProgramRequestCameBackDamagedIsUnproven) {
  target->SetFault(1, {Fault::Kind::kBadSum, 0});
  std::array<uint8_t, 4096> block;
  block.fill(0x11);
  LineWatch line;
  CaptureStdout();
  const BlockResult r = ProgramBlock(port, block.data(), 0, line);
  GetCapturedStdout();
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_EQ(r.unproven, 1u);
}

// A stray byte behind the write enable's reply would be read as the start
// of the program's reply; the program starts on a cleared line instead.
TEST_F(BridgeTest, StrayByteBehindAWriteEnableIsDroppedBeforeTheProgram) {
  target->SetFault(0, {Fault::Kind::kStray, 0});
  std::array<uint8_t, 256> page;
  page.fill(0x24);
  LineWatch line;
  CaptureStdout();
  const PageResult r = ProgramPage(port, page.data(), 0x200, line);
  const std::string out = GetCapturedStdout();
  EXPECT_EQ(out, "");
  EXPECT_EQ(r.status, FlashStatus::kOk);
  EXPECT_FALSE(r.unproven);
  EXPECT_EQ(line.errors, 1u);
  EXPECT_TRUE(std::all_of(chip.memory.begin() + 0x200, chip.memory.begin() + 0x300,
                          [](uint8_t b) { return b == 0x24; }));
}

TEST_F(BridgeTest, AnOperationGivesUpALineThatBringsOnlyDamage) {
  chip.eraseBusy = -1;
  for (size_t i = 2; i < 2 + kDamagedLimit + 5; ++i) target->SetFault(i, {Fault::Kind::kBadSum, 0});
  LineWatch line;
  CaptureStdout();
  EXPECT_EQ(EraseChip(port, line), FlashStatus::kLineTooNoisy);
  GetCapturedStdout();
  EXPECT_EQ(Frames().size(), 2u + kDamagedLimit);
}

// ---- Confirmed reads ----------------------------------------------------

struct ConfirmCase {
  const char* name;
  std::vector<std::pair<size_t, Fault>> faults;
  FlashStatus status;
  size_t frames;
};

void PrintTo(const ConfirmCase& c, std::ostream* os) { *os << c.name; }

class ConfirmedReadTest : public BridgeTest, public ::testing::WithParamInterface<ConfirmCase> {};

// A byte flipped on its way back leaves the checksum right: only a second
// read that agrees shows the data is the chip's.
TEST_P(ConfirmedReadTest, TakesAChunkOnlyWhenTwoReadsAgree) {
  FillPattern(chip.memory);
  for (const auto& [index, fault] : GetParam().faults) target->SetFault(index, fault);
  std::array<uint8_t, 4096> block{};
  LineWatch line;
  const ReadResult r = ReadBlock(port, block.data(), 0x4000, line, ReadCheck::kTwice);
  EXPECT_EQ(r.status, GetParam().status);
  if (r.status == FlashStatus::kOk)
    EXPECT_TRUE(std::equal(block.begin(), block.end(), chip.memory.begin() + 0x4000));
  else
    EXPECT_EQ(r.address, 0x4000u);
  EXPECT_EQ(Frames().size(), GetParam().frames);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ConfirmedReadTest,
    ::testing::Values(
        ConfirmCase{"CleanLineReadsEachChunkTwice", {}, FlashStatus::kOk, 8},
        ConfirmCase{"FlippedFirstReadTakesAThird", {{0, {Fault::Kind::kFlip, 100}}}, FlashStatus::kOk, 9},
        ConfirmCase{"FlippedSecondReadTakesAThird", {{1, {Fault::Kind::kFlip, 700}}}, FlashStatus::kOk, 9},
        ConfirmCase{"ShortReplyIsSentAgainFirst", {{1, {Fault::Kind::kShort, 30}}}, FlashStatus::kOk, 9},
        ConfirmCase{"ChunkThatNeverSettlesFails",
                    {{0, {Fault::Kind::kFlip, 10}}, {1, {Fault::Kind::kFlip, 20}},
                     {2, {Fault::Kind::kFlip, 30}}, {3, {Fault::Kind::kFlip, 40}}},
                    FlashStatus::kReadFailed, kConfirmedReadLimit}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(BridgeTest, PlainReadTakesTheFirstCleanReply) {
  FillPattern(chip.memory);
  std::array<uint8_t, 4096> block{};
  LineWatch line;
  EXPECT_EQ(ReadBlock(port, block.data(), 0, line).status, FlashStatus::kOk);
  EXPECT_EQ(Frames().size(), 4u);
  EXPECT_EQ(line.errors, 0u);
}

// ---- Sizes ---------------------------------------------------------------

struct SizeCase {
  uint8_t deviceId;
  bool identified;
  uint32_t size;
};

TEST(FlashSize, FollowsTheDeviceIdAndWhetherItCameBackClean) {
  const SizeCase cases[] = {
      {0x10, true, 128u << 10}, {0x11, true, 256u << 10}, {0x12, true, 512u << 10},
      {0x13, true, 1u << 20},   {0x18, true, 32u << 20},  {0x1E, true, 2048u << 20},
      {0x1F, true, 0},          {0x10, false, 0},         {0x12, false, 0},
      {0x13, false, 1u << 20},  {0x1F, false, 0},
  };
  for (const SizeCase& c : cases)
    EXPECT_EQ(FlashSizeFromDeviceId(c.deviceId, c.identified), c.size)
        << std::hex << int{c.deviceId} << (c.identified ? " clean" : " not clean");
}

}  // namespace
}  // namespace flashtest
