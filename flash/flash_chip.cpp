#include "flash/flash_chip.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "flash/bridge_frame.h"
#include "flash/spi_commands.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

constexpr uint32_t kMegabyte = 1048576;
constexpr uint32_t kKilobyte = 1024;
constexpr uint8_t kDeviceIdSizeMask = 0x0F;
constexpr uint32_t kMegabyteShift = 3;  // 2^n bytes / 8 -> megabytes
constexpr size_t kProbeBufferSize = 7;
constexpr size_t kDeviceIdOffset = 2;   // the 0xAB transaction runs from buffer byte 2
constexpr size_t kDeviceIdByte = 5;     // the fourth byte it returns

// Bus bytes 1 to 3: the address, bits 23 to 16 first; bits above 23 are not sent.
void PutAddress(uint8_t* bus, uint32_t address) {
  bus[1] = static_cast<uint8_t>(address >> 16);
  bus[2] = static_cast<uint8_t>(address >> 8);
  bus[3] = static_cast<uint8_t>(address);
}

// What a transaction means for the operation that sent it: go on, or stop
// with the status returned.
FlashStatus Judge(const BridgeResult& r, SilenceWatch& watch) {
  switch (r.status) {
    case BridgeStatus::kPortLost:
      return FlashStatus::kPortLost;
    case BridgeStatus::kStopped:
      return FlashStatus::kStopped;
    case BridgeStatus::kSilent:
      if (++watch.inRow >= kSilentLimit) return FlashStatus::kNotResponding;
      break;
    default:
      watch.inRow = 0;
      break;
  }
  if (platform::StopRequested()) return FlashStatus::kStopped;
  return FlashStatus::kOk;
}

// One status register 1 read; true in `busy` when bit 0 came back set (or
// when no data byte came, since the opcode then stays in its place).
FlashStatus PollBusy(SerialPort& port, SilenceWatch& watch, bool& busy) {
  std::array<uint8_t, spi::kOpcodeOnly + spi::kStatusLength> bus{};
  bus.fill(spi::kFiller);
  const BridgeResult r =
      FlashCommand(port, spi::kOpReadStatus1, spi::kOpcodeOnly, bus.data(), spi::kStatusLength);
  busy = (bus[0] & spi::kStatusBusy) != 0;
  return Judge(r, watch);
}

FlashStatus WriteEnable(SerialPort& port, SilenceWatch& watch) {
  uint8_t bus[spi::kOpcodeOnly] = {};
  return Judge(FlashCommand(port, spi::kOpWriteEnable, spi::kOpcodeOnly, bus, 0), watch);
}

}  // namespace

uint32_t FlashSizeFromDeviceId(uint8_t deviceId) {
  const uint32_t n = deviceId & kDeviceIdSizeMask;
  return ((uint32_t{1} << n) >> kMegabyteShift) * kMegabyte;  // wraps to 0 for n = 15
}

ProbeResult ProbeFlash(SerialPort& port) {
  ProbeResult result;
  std::array<uint8_t, kProbeBufferSize> buf{};
  SilenceWatch ignored;  // a silent target still gets the whole probe
  auto ended = [&](const BridgeResult& r) {
    result.status = Judge(r, ignored);
    if (result.status == FlashStatus::kNotResponding) result.status = FlashStatus::kOk;
    return result.status != FlashStatus::kOk;
  };

  const BridgeResult id =
      FlashCommand(port, spi::kOpReadId, spi::kOpcodeOnly, buf.data(), spi::kReadIdLength);
  if (ended(id)) return result;
  const BridgeResult device = FlashCommand(port, spi::kOpReadDeviceId, spi::kOpcodeOnly,
                                           buf.data() + kDeviceIdOffset, spi::kDeviceIdLength);
  if (ended(device)) return result;
  result.identified = id.Ok() && device.Ok();
  result.silent = id.status == BridgeStatus::kSilent && device.status == BridgeStatus::kSilent;
  const uint8_t deviceId = buf[kDeviceIdByte];
  std::printf("Flash id: %02X%02X%02X\n", unsigned{buf[0]}, unsigned{buf[1]}, unsigned{deviceId});
  result.size = FlashSizeFromDeviceId(deviceId);
  std::printf("Boot OK, flash size is %uKB\n", result.size / kKilobyte);

  if (ended(FlashCommand(port, spi::kOpReadStatus1, spi::kOpcodeOnly, buf.data(),
                         spi::kStatusLength)))
    return result;
  std::printf("Flash status1: %02X\n", unsigned{buf[0]});
  if (ended(FlashCommand(port, spi::kOpReadStatus2, spi::kOpcodeOnly, buf.data(),
                         spi::kStatusLength)))
    return result;
  std::printf("Flash status2: %02X\n", unsigned{buf[0]});
  return result;
}

ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address) {
  SilenceWatch watch;
  return ReadBlock(port, destination, address, watch);
}

ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address,
                     SilenceWatch& watch) {
  std::array<uint8_t, spi::kOpcodeAndAddress + kReadChunkSize> bus{};
  for (uint32_t k = 0; k < kChunksPerBlock; ++k) {
    const uint32_t chunkAddress = address + kReadChunkSize * k;
    bool good = false;
    for (uint32_t attempt = 0; attempt < kReadAttempts && !good; ++attempt) {
      if (attempt > 0) {
        // Whatever is still coming of the failed reply must not become
        // the start of the next one.
        platform::SleepMs(kRetrySettleMs);
        port.DiscardInput();
      }
      bus.fill(spi::kFiller);
      PutAddress(bus.data(), chunkAddress);
      const BridgeResult r = FlashCommand(port, spi::kOpReadData, spi::kOpcodeAndAddress,
                                          bus.data(), kReadChunkSize);
      const FlashStatus s = Judge(r, watch);
      if (s != FlashStatus::kOk) return {s, chunkAddress};
      good = r.Ok();
    }
    if (!good) return {FlashStatus::kReadFailed, chunkAddress};
    std::memcpy(destination + kReadChunkSize * k, bus.data(), kReadChunkSize);
  }
  return {FlashStatus::kOk, address};
}

FlashStatus EraseChip(SerialPort& port) {
  SilenceWatch watch;
  if (FlashStatus s = WriteEnable(port, watch); s != FlashStatus::kOk) return s;
  uint8_t bus[spi::kOpcodeOnly] = {};
  if (FlashStatus s = Judge(FlashCommand(port, spi::kOpChipErase, spi::kOpcodeOnly, bus, 0), watch);
      s != FlashStatus::kOk)
    return s;
  // No poll limit: a large chip erases for minutes. A target that stops
  // answering ends the wait through the silence watch.
  bool busy = true;
  while (busy) {
    if (FlashStatus s = PollBusy(port, watch, busy); s != FlashStatus::kOk) return s;
  }
  return FlashStatus::kOk;
}

PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address) {
  SilenceWatch watch;
  return ProgramPage(port, source, address, watch);
}

PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address,
                       SilenceWatch& watch) {
  if (std::all_of(source, source + kPageSize, [](uint8_t b) { return b == kErasedByte; }))
    return {};
  if (FlashStatus s = WriteEnable(port, watch); s != FlashStatus::kOk) return {s, false};

  std::array<uint8_t, spi::kOpcodeAndAddress + kPageSize> bus{};
  PutAddress(bus.data(), address);
  std::memcpy(bus.data() + spi::kOpcodeAndAddress, source, kPageSize);
  if (FlashStatus s = Judge(FlashCommand(port, spi::kOpPageProgram, spi::kOpcodeAndAddress,
                                         bus.data(), kPageSize),
                            watch);
      s != FlashStatus::kOk)
    return {s, false};

  // One status read, then up to kPagePollLimit more; the loop leaves at
  // the limit without looking at the last one.
  bool busy = true;
  uint32_t polls = 0;
  while (busy && polls <= kPagePollLimit) {
    if (FlashStatus s = PollBusy(port, watch, busy); s != FlashStatus::kOk) return {s, false};
    ++polls;
  }
  return {FlashStatus::kOk, polls > kPagePollLimit};
}

BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address) {
  SilenceWatch watch;
  return ProgramBlock(port, source, address, watch);
}

BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address,
                         SilenceWatch& watch) {
  BlockResult result;
  for (uint32_t k = 0; k < kPagesPerBlock; ++k) {
    const PageResult page = ProgramPage(port, source + kPageSize * k, address + kPageSize * k, watch);
    if (page.status != FlashStatus::kOk) {
      result.status = page.status;
      return result;
    }
    if (page.gaveUp) ++result.gaveUp;
  }
  return result;
}
