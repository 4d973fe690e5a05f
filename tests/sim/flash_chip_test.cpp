// The chip model where a wrong model would hide a fault in the host: the
// write-enable latch, page programs that AND and wrap, erase, busy timing
// and reads that wrap at the chip's end.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "sim/flash_chip.h"

namespace stb {
namespace {

constexpr int64_t kMs = 1'000'000;
constexpr uint32_t kSize = 64u << 10;

class FlashChipTest : public ::testing::Test {
protected:
  FlashChipTest() { chip = MakeChip(Config()); }
  static ChipConfig Config() {
    ChipConfig c;
    c.size = kSize;
    c.jedec = {0xEF, 0x40, DefaultCapacityByte(kSize)};
    c.deviceId = DefaultDeviceId(kSize);
    c.eraseBusyReads = 3;
    c.programBusyReads = 1;
    return c;
  }
  Transaction Run(std::vector<uint8_t> bus) { return RunTransaction(chip, bus, now); }
  uint8_t Status() { return Run({kOpReadStatus1, 0}).out[1]; }
  void WriteEnable() { Run({kOpWriteEnable}); }
  Transaction Program(uint32_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> bus = {kOpPageProgram, static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    bus.insert(bus.end(), data.begin(), data.end());
    return Run(bus);
  }
  std::vector<uint8_t> Read(uint32_t address, size_t n) {
    std::vector<uint8_t> bus = {kOpReadData, static_cast<uint8_t>(address >> 16),
                                static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
    bus.resize(4 + n, 0x00);
    Transaction t = Run(bus);
    return {t.out.begin() + 4, t.out.end()};
  }
  void WaitReady() {
    for (int i = 0; i < 100 && (Status() & kStatusBusy); ++i) {
    }
  }
  FlashChip chip;
  int64_t now = 1000 * kMs;
};

TEST_F(FlashChipTest, IdentifiesItself) {
  Transaction id = Run({kOpReadId, 0, 0, 0});
  EXPECT_EQ(id.out, (std::vector<uint8_t>{kIdleBus, 0xEF, 0x40, 0x10}));
  // The device ID follows three dummy bytes.
  Transaction dev = Run({kOpDeviceId, 0, 0, 0, 0});
  EXPECT_EQ(dev.out, (std::vector<uint8_t>{kIdleBus, kIdleBus, kIdleBus, kIdleBus, 0x10}));
  EXPECT_EQ(Run({kOpReadStatus2, 0}).out[1], 0x00);
}

TEST(FlashChipIds, FollowTheSize) {
  struct Case {
    uint32_t size;
    uint8_t capacity;
    uint8_t deviceId;
  };
  // The host reads 2^(low nibble - 3) MB from the device ID.
  const Case cases[] = {{4u << 10, 0x0C, 0x10},   {64u << 10, 0x10, 0x10}, {128u << 10, 0x11, 0x10},
                        {256u << 10, 0x12, 0x11}, {512u << 10, 0x13, 0x12}, {1u << 20, 0x14, 0x13},
                        {2u << 20, 0x15, 0x14},   {8u << 20, 0x17, 0x16},   {64u << 20, 0x1A, 0x19}};
  for (const Case& c : cases) {
    EXPECT_EQ(DefaultCapacityByte(c.size), c.capacity) << c.size;
    EXPECT_EQ(DefaultDeviceId(c.size), c.deviceId) << c.size;
  }
  EXPECT_FALSE(IsValidChipSize(3000));
  EXPECT_FALSE(IsValidChipSize(2u << 10));
  EXPECT_FALSE(IsValidChipSize(128u << 20));
  EXPECT_TRUE(IsValidChipSize(4u << 10));
}

TEST_F(FlashChipTest, WritesNeedTheLatchAndClearIt) {
  // Without write enable, program and erase change nothing.
  EXPECT_FALSE(Program(0x100, {0x00}).note.empty());
  EXPECT_EQ(Read(0x100, 1)[0], 0xFF);
  EXPECT_EQ(Status(), 0x00);

  WriteEnable();
  EXPECT_EQ(Status(), kStatusWriteEnable);
  EXPECT_TRUE(Program(0x100, {0x12}).note.empty());
  WaitReady();
  EXPECT_EQ(Status(), 0x00) << "latch still set after the program";
  EXPECT_EQ(Read(0x100, 1)[0], 0x12);

  // A second program needs a new write enable.
  EXPECT_FALSE(Program(0x101, {0x34}).note.empty());
  EXPECT_EQ(Read(0x101, 1)[0], 0xFF);

  // Write disable clears the latch.
  WriteEnable();
  Run({kOpWriteDisable});
  EXPECT_FALSE(Run({kOpChipErase}).note.empty());
  EXPECT_EQ(Read(0x100, 1)[0], 0x12);

  // An erase with bytes after the opcode does not start; the latch stays.
  WriteEnable();
  EXPECT_FALSE(Run({kOpChipErase, 0x00}).note.empty());
  EXPECT_EQ(Read(0x100, 1)[0], 0x12);
  EXPECT_TRUE(Run({kOpChipErase}).note.empty());
  WaitReady();
  EXPECT_EQ(Read(0x100, 1)[0], 0xFF);
  EXPECT_EQ(Status(), 0x00);
}

TEST_F(FlashChipTest, ProgramAndsIntoThePageAndWrapsInside) {
  WriteEnable();
  Program(0x200, {0xF0, 0x0F});
  WaitReady();
  WriteEnable();
  Program(0x200, {0x3C, 0x3C});  // bits only clear: 0xF0 & 0x3C, 0x0F & 0x3C
  WaitReady();
  EXPECT_EQ(Read(0x200, 2), (std::vector<uint8_t>{0x30, 0x0C}));

  // 32 bytes from column 0xF0 fill the page's end, then its start.
  std::vector<uint8_t> data(32);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  WriteEnable();
  Program(0x3F0, data);
  WaitReady();
  std::vector<uint8_t> tail = Read(0x3F0, 16), head = Read(0x300, 16);
  for (size_t i = 0; i < 16; ++i) {
    EXPECT_EQ(tail[i], i);
    EXPECT_EQ(head[i], 16 + i);
  }
  EXPECT_EQ(Read(0x400, 1)[0], 0xFF) << "the program ran into the next page";
  EXPECT_EQ(Read(0x310, 1)[0], 0xFF);

  // More than 256 bytes: the last 256 remain.
  std::vector<uint8_t> big(260, 0xFF);
  big[0] = 0x00;    // overwritten in the page buffer by big[256]
  big[256] = 0xAA;  // lands at column 0
  WriteEnable();
  Program(0x500, big);
  WaitReady();
  EXPECT_EQ(Read(0x500, 1)[0], 0xAA);
}

TEST_F(FlashChipTest, BusyForTheGivenStatusReadsAndIgnoresCommands) {
  WriteEnable();
  Program(0x00, {0x55});
  EXPECT_EQ(Status(), kStatusBusy | kStatusWriteEnable);  // program-busy 1
  EXPECT_EQ(Status(), 0x00);

  WriteEnable();
  Run({kOpChipErase});
  // While busy, reads and writes are ignored.
  EXPECT_EQ(Read(0x00, 1)[0], kIdleBus);
  EXPECT_FALSE(Run({kOpWriteEnable}).note.empty());
  int busyReads = 0;
  while (Status() & kStatusBusy) ++busyReads;
  EXPECT_EQ(busyReads, 3);
  EXPECT_EQ(Read(0x00, 1)[0], 0xFF);
}

TEST_F(FlashChipTest, WhileBusyOnlyTheStatusReadsAnswer) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bus;
  };
  const Case ignored[] = {
      {"read id", {kOpReadId, 0, 0, 0}},
      {"device id", {kOpDeviceId, 0, 0, 0, 0}},
      {"read", {kOpReadData, 0, 0, 0x10, 0, 0}},
      {"write enable", {kOpWriteEnable}},
      {"write disable", {kOpWriteDisable}},
      {"chip erase", {kOpChipErase}},
      {"chip erase 0x60", {kOpChipEraseAlt}},
      {"page program", {kOpPageProgram, 0, 0, 0x20, 0x00}},
      {"unknown", {0x4B, 0, 0, 0, 0}},
  };
  // A page program keeps the chip busy for one status read per command
  // here; 0x10 holds a programmed byte an erase would clear.
  ChipConfig c = Config();
  c.programBusyReads = static_cast<uint32_t>(std::size(ignored)) + 1;
  c.status2 = 0x42;
  chip = MakeChip(c);
  WriteEnable();
  Program(0x10, {0x5A});
  for (const Case& k : ignored) {
    const Transaction t = Run(k.bus);
    EXPECT_EQ(t.out, std::vector<uint8_t>(k.bus.size(), kIdleBus)) << k.name;
    char op[4];
    std::snprintf(op, sizeof op, "%02X", k.bus[0]);
    EXPECT_EQ(t.note, "chip ignored op=" + std::string(op) + " busy") << k.name;
    // Both status registers answer, and the chip stays busy with its latch.
    EXPECT_EQ(Run({kOpReadStatus2, 0, 0}).out, (std::vector<uint8_t>{kIdleBus, 0x42, 0x42})) << k.name;
    EXPECT_EQ(Status(), kStatusBusy | kStatusWriteEnable) << k.name;
  }
  while (Status() & kStatusBusy) {
  }
  EXPECT_EQ(Status(), 0x00);
  EXPECT_EQ(Read(0x10, 1)[0], 0x5A) << "an erase went through while busy";
  EXPECT_EQ(Read(0x20, 1)[0], 0xFF) << "a program went through while busy";
}

TEST_F(FlashChipTest, EraseStaysBusyForItsTime) {
  ChipConfig c = Config();
  c.eraseBusyReads = 0;
  c.eraseMs = 50;
  chip = MakeChip(c);
  WriteEnable();
  Run({kOpChipErase});
  for (int i = 0; i < 10; ++i) EXPECT_TRUE(Status() & kStatusBusy);
  now += 49 * kMs;
  EXPECT_TRUE(Status() & kStatusBusy);
  now += 1 * kMs;
  EXPECT_EQ(Status(), 0x00);
}

TEST_F(FlashChipTest, ReadRunsAcrossAndWrapsAtTheEnd) {
  WriteEnable();
  Program(kSize - 2, {0x01, 0x02});
  WaitReady();
  WriteEnable();
  Program(0, {0x03, 0x04});
  WaitReady();
  EXPECT_EQ(Read(kSize - 2, 4), (std::vector<uint8_t>{0x01, 0x02, 0x03, 0x04}));
  // Address bits above the chip's size are not decoded.
  EXPECT_EQ(Read(kSize, 2), (std::vector<uint8_t>{0x03, 0x04}));
}

TEST_F(FlashChipTest, ProtectAndFlip) {
  ChipConfig c = Config();
  c.protect = true;
  chip = MakeChip(c);
  WriteEnable();
  EXPECT_FALSE(Program(0x10, {0x00}).note.empty());
  EXPECT_EQ(Status(), 0x00);
  EXPECT_EQ(Read(0x10, 1)[0], 0xFF);

  c.protect = false;
  c.flipAddr = 0x11;
  chip = MakeChip(c);
  WriteEnable();
  Program(0x10, {0x12, 0x34, 0x56});
  WaitReady();
  EXPECT_EQ(Read(0x10, 3), (std::vector<uint8_t>{0x12, 0xCB, 0x56}));
}

}  // namespace
}  // namespace stb
