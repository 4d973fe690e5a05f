// FlashCommand on a real pty: the frame on the wire, the buffer rules and
// the checksum report.
#include "flash/bridge_frame.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/flash/flash_fixture.h"

namespace flashtest {
namespace {

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

TEST_F(BridgeTest, WriteEnableSendsFiveBytesAndAcceptsItsChecksum) {
  uint8_t buf[1] = {0x00};
  CaptureStdout();
  const BridgeResult r = FlashCommand(port, 0x06, 1, buf, 0);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(r.status, BridgeStatus::kOk);
  EXPECT_EQ(r.hostSum, 0x0006);
  EXPECT_EQ(r.received, 3u);  // one command-phase byte and the checksum 06 00
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].raw, (std::vector<uint8_t>{0x13, 0x3A, 0x01, 0x00, 0x06}));
}

TEST_F(BridgeTest, LengthGoesLeastSignificantByteFirst) {
  std::vector<uint8_t> buf(1028, 0x00);
  FlashCommand(port, 0x02, 4, buf.data(), 256);
  FlashCommand(port, 0x03, 4, buf.data(), 1024);
  const auto frames = Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].raw.size(), 264u);
  EXPECT_EQ(frames[0].raw[2], 0x04);
  EXPECT_EQ(frames[0].raw[3], 0x01);
  EXPECT_EQ(frames[1].raw.size(), 1032u);
  EXPECT_EQ(frames[1].raw[2], 0x04);
  EXPECT_EQ(frames[1].raw[3], 0x04);
}

TEST_F(BridgeTest, DataPhaseLandsFromByteZeroAndTheRestKeepsItsValue) {
  chip.memory[0x000100] = 0x11;
  chip.memory[0x000101] = 0x22;
  // Opcode slot holds junk before the call; bytes 4.. are fillers.
  uint8_t buf[12] = {0x77, 0x00, 0x01, 0x00, 0xA0, 0xA1, 0xA2, 0xA3, 0xB0, 0xB1, 0xB2, 0xB3};
  const BridgeResult r = FlashCommand(port, 0x03, 4, buf, 2);
  EXPECT_EQ(r.status, BridgeStatus::kOk);
  ASSERT_EQ(Frames().size(), 1u);
  EXPECT_EQ(Frames()[0].raw, (std::vector<uint8_t>{0x13, 0x3A, 0x06, 0x00, 0x03, 0x00, 0x01,
                                                   0x00, 0xA0, 0xA1}));
  EXPECT_EQ(buf[0], 0x11);
  EXPECT_EQ(buf[1], 0x22);
  // Byte 2 and 3 were address bytes and are not data: kept.
  EXPECT_EQ(buf[2], 0x01);
  EXPECT_EQ(buf[3], 0x00);
  EXPECT_EQ(buf[4], 0xA0);
  EXPECT_EQ(buf[11], 0xB3);
}

TEST_F(BridgeTest, ShortReplyLeavesMissingDataAsSentAndReportsTheMismatch) {
  // 0x9F with three data bytes: only the command byte and two data bytes come.
  target->SetFault(0, {Fault::Kind::kShort, 3});
  uint8_t buf[4] = {0x00, 0x51, 0x52, 0x53};
  CaptureStdout();
  const BridgeResult r = FlashCommand(port, 0x9F, 1, buf, 3);
  // The checksum read got nothing: its place still holds the command-phase
  // byte (FF) and the second frame byte (3A).
  const uint16_t sum = 0x9F + 0x51 + 0x52 + 0x53;
  char expected[64];
  std::snprintf(expected, sizeof expected, "crc error %04X != [3AFF]\n", unsigned{sum});
  EXPECT_EQ(GetCapturedStdout(), expected);
  EXPECT_EQ(r.status, BridgeStatus::kShortReply);
  EXPECT_EQ(r.received, 3u);
  EXPECT_EQ(buf[0], 0xEF);
  EXPECT_EQ(buf[1], 0x40);
  EXPECT_EQ(buf[2], 0x52);  // did not come: as sent
  EXPECT_EQ(buf[3], 0x53);
}

TEST_F(BridgeTest, SilentTargetGivesTheFrameStartAsChecksum) {
  target->SetSilentFrom(0);
  uint8_t buf[2] = {0x00, 0x00};
  CaptureStdout();
  const BridgeResult r = FlashCommand(port, 0x05, 1, buf, 1);
  EXPECT_EQ(GetCapturedStdout(), "crc error 0005 != [3A13]\n");
  EXPECT_EQ(r.status, BridgeStatus::kSilent);
  EXPECT_EQ(r.received, 0u);
  EXPECT_EQ(buf[0], 0x05);  // the opcode stays where no data byte came
}

TEST_F(BridgeTest, BadChecksumIsReportedExceptForReadData) {
  target->SetFault(0, {Fault::Kind::kBadSum, 0});
  target->SetFault(1, {Fault::Kind::kBadSum, 0});
  uint8_t status[2] = {0x00, 0xFF};
  std::vector<uint8_t> read(8, 0xFF);
  CaptureStdout();
  const BridgeResult s = FlashCommand(port, 0x05, 1, status, 1);
  read[1] = read[2] = read[3] = 0;
  const BridgeResult d = FlashCommand(port, 0x03, 4, read.data(), 4);
  // 05 + FF = 0104; the target's low byte came inverted.
  EXPECT_EQ(GetCapturedStdout(), "crc error 0104 != [01FB]\n");
  EXPECT_EQ(s.status, BridgeStatus::kChecksumMismatch);
  EXPECT_EQ(d.status, BridgeStatus::kChecksumMismatch);
  EXPECT_EQ(d.received, 10u);
}

TEST_F(BridgeTest, LostPortEndsAtOnceWithoutChecksumMessage) {
  target->SetFault(0, {Fault::Kind::kHangUp, 0});
  uint8_t buf[2] = {0x00, 0xFF};
  CaptureStdout();
  const BridgeResult r = FlashCommand(port, 0x05, 1, buf, 1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(r.status, BridgeStatus::kPortLost);
  EXPECT_TRUE(port.Lost());
}

TEST_F(BridgeTest, OversizeFrameIsNotSent) {
  std::vector<uint8_t> buf(kFrameScratchSize, 0);
  const BridgeResult r = FlashCommand(port, 0x02, 4, buf.data(), kMaxBusBytes - 3);
  EXPECT_EQ(r.status, BridgeStatus::kFrameTooLong);
  EXPECT_TRUE(Frames().empty());
}

}  // namespace
}  // namespace flashtest
