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

constexpr uint32_t kKilobyte = 1024;
constexpr uint32_t kMegabyte = 1048576;
constexpr uint8_t kDeviceIdSizeMask = 0x0F;
constexpr uint32_t kMegabyteShift = 3;      // 2^n bytes / 8 -> megabytes
constexpr uint32_t kSmallestChipShift = 17;  // n = 0: 128 KB
constexpr uint32_t kSizeBits = 32;
constexpr size_t kProbeBufferSize = 7;
constexpr size_t kDeviceIdOffset = 2;   // the 0xAB transaction runs from buffer byte 2
constexpr size_t kDeviceIdByte = 5;     // the fourth byte it returns

// Bus bytes 1 to 3: the address, bits 23 to 16 first; bits above 23 are not sent.
void PutAddress(uint8_t* bus, uint32_t address) {
  bus[1] = static_cast<uint8_t>(address >> 16);
  bus[2] = static_cast<uint8_t>(address >> 8);
  bus[3] = static_cast<uint8_t>(address);
}

// Lets whatever is still coming of a damaged exchange arrive and drops it,
// until the line has been quiet for kResyncQuietMs.
void Resync(SerialPort& port) {
  port.TraceNote("clearing the line after a damaged exchange");
  const uint32_t start = platform::TickCountMs();
  port.DiscardInput();
  for (;;) {
    platform::SleepMs(kResyncQuietMs);
    if (!port.InputPending()) return;
    port.DiscardInput();
    if (port.Lost() || platform::StopRequested()) return;
    if (platform::TickCountMs() - start >= kResyncLimitMs) return;
  }
}

// One bridge transaction as the chip operations see it.
struct Exchange {
  BridgeResult bridge;
  // The whole reply came with the right checksum and nothing behind it:
  // the data phase can be believed.
  bool clean = false;
  // The target's checksum matched: it received the request as it was sent.
  bool requestProven = false;
  FlashStatus status = FlashStatus::kOk;  // go on, or stop the operation with this
};

// A target that lost a byte of a request waits for one more, and would take
// the first byte of the next request for it, spoiling that request too; a
// length spoiled on its way makes it wait for up to a whole frame. A
// frame's worth of idle-level bytes completes whatever it waits for;
// whatever it then makes of them is dropped with its reply, and filler
// outside a frame is skipped by the bridge.
void CompleteLostRequest(SerialPort& port) {
  port.TraceNote("completing a request the target may have cut short");
  std::array<uint8_t, kFrameScratchSize> filler;
  filler.fill(spi::kFiller);
  port.Write(filler.data(), static_cast<uint32_t>(filler.size()));
}

// Runs one transaction on a clean line: bytes left over from an earlier
// exchange are dropped first (and count as damage to that exchange).
Exchange Transact(SerialPort& port, LineWatch& line, uint8_t opcode, uint8_t commandLength,
                  uint8_t* bus, uint32_t dataLength) {
  if (line.requestMayBeOpen) {
    CompleteLostRequest(port);
    line.requestMayBeOpen = false;
    line.dirty = true;
  }
  if (line.dirty || port.InputPending()) {
    if (!line.dirty) ++line.errors;  // bytes behind a reply that looked whole
    Resync(port);
    line.dirty = false;
  }
  Exchange x;
  x.bridge = FlashCommand(port, opcode, commandLength, bus, dataLength);
  x.requestProven = x.bridge.Ok();
  x.clean = x.bridge.Ok() && !port.InputPending();

  switch (x.bridge.status) {
    case BridgeStatus::kPortLost:
      x.status = FlashStatus::kPortLost;
      return x;
    case BridgeStatus::kStopped:
      x.status = FlashStatus::kStopped;
      return x;
    case BridgeStatus::kSilent:
      ++line.silentInRow;
      line.requestMayBeOpen = true;
      break;
    default:
      line.silentInRow = 0;
      break;
  }
  if (x.clean) {
    line.damagedInRow = 0;
  } else {
    ++line.errors;
    ++line.damagedInRow;
    line.dirty = true;
  }
  if (line.silentInRow >= kSilentLimit) x.status = FlashStatus::kNotResponding;
  else if (line.damagedInRow >= kDamagedLimit) x.status = FlashStatus::kLineTooNoisy;
  else if (platform::StopRequested()) x.status = FlashStatus::kStopped;
  return x;
}

// One status register 1 read; true in `busy` when bit 0 came back set (or
// when no data byte came, since the opcode then stays in its place).
Exchange PollBusy(SerialPort& port, LineWatch& line, bool& busy) {
  std::array<uint8_t, spi::kOpcodeOnly + spi::kStatusLength> bus{};
  bus.fill(spi::kFiller);
  const Exchange x =
      Transact(port, line, spi::kOpReadStatus1, spi::kOpcodeOnly, bus.data(), spi::kStatusLength);
  busy = (bus[0] & spi::kStatusBusy) != 0;
  return x;
}

Exchange WriteEnable(SerialPort& port, LineWatch& line) {
  uint8_t bus[spi::kOpcodeOnly] = {};
  return Transact(port, line, spi::kOpWriteEnable, spi::kOpcodeOnly, bus, 0);
}

// Polls until a clean status read finds the chip ready, and with `confirm`
// until the clean status read after that finds it ready too. A damaged
// status read never ends the wait: a flipped busy bit would pass for ready.
FlashStatus WaitWhileBusy(SerialPort& port, LineWatch& line, bool confirm) {
  uint32_t readyInRow = 0;
  const uint32_t needed = confirm ? 2 : 1;
  while (readyInRow < needed) {
    bool busy = true;
    const Exchange x = PollBusy(port, line, busy);
    if (x.status != FlashStatus::kOk) return x.status;
    if (!x.clean) continue;
    readyInRow = busy ? 0 : readyInRow + 1;
  }
  return FlashStatus::kOk;
}

// The kReadChunkSize bytes at `address` from the first clean reply, sent
// kReadAttempts times at most.
ReadResult ReadChunk(SerialPort& port, uint8_t* destination, uint32_t address, LineWatch& line) {
  std::array<uint8_t, spi::kOpcodeAndAddress + kReadChunkSize> bus{};
  for (uint32_t attempt = 0; attempt < kReadAttempts; ++attempt) {
    bus.fill(spi::kFiller);
    PutAddress(bus.data(), address);
    const Exchange x = Transact(port, line, spi::kOpReadData, spi::kOpcodeAndAddress, bus.data(),
                                kReadChunkSize);
    if (x.status != FlashStatus::kOk) return {x.status, address};
    if (x.clean) {
      std::memcpy(destination, bus.data(), kReadChunkSize);
      return {FlashStatus::kOk, address};
    }
  }
  return {FlashStatus::kReadFailed, address};
}

}  // namespace

uint32_t FlashSizeFromDeviceId(uint8_t deviceId, bool identified) {
  const uint32_t n = deviceId & kDeviceIdSizeMask;
  if (identified) {
    const uint32_t shift = n + kSmallestChipShift;
    return shift < kSizeBits ? uint32_t{1} << shift : 0;
  }
  return ((uint32_t{1} << n) >> kMegabyteShift) * kMegabyte;  // wraps to 0 for n = 15
}

ProbeResult ProbeFlash(SerialPort& port) {
  LineWatch line;
  return ProbeFlash(port, line);
}

ProbeResult ProbeFlash(SerialPort& port, LineWatch& line) {
  ProbeResult result;
  std::array<uint8_t, kProbeBufferSize> buf{};
  // A silent target still gets the whole probe, so its transcript shows
  // what came back of every transaction.
  auto run = [&](uint8_t opcode, uint8_t* at, uint32_t dataLength, Exchange& x) {
    x = Transact(port, line, opcode, spi::kOpcodeOnly, at, dataLength);
    line.silentInRow = 0;
    line.damagedInRow = 0;
    result.status = x.status == FlashStatus::kPortLost || x.status == FlashStatus::kStopped
                        ? x.status
                        : FlashStatus::kOk;
    return result.status == FlashStatus::kOk;
  };

  Exchange id;
  Exchange device;
  if (!run(spi::kOpReadId, buf.data(), spi::kReadIdLength, id)) return result;
  if (!run(spi::kOpReadDeviceId, buf.data() + kDeviceIdOffset, spi::kDeviceIdLength, device))
    return result;
  // Noise that adds a byte behind an identification reply has not spoiled
  // it: the checksum proved the request and the bytes came in their places.
  result.identified = id.bridge.Ok() && device.bridge.Ok();
  result.silent = id.bridge.status == BridgeStatus::kSilent &&
                  device.bridge.status == BridgeStatus::kSilent;
  const uint8_t deviceId = buf[kDeviceIdByte];
  result.id[0] = buf[0];
  result.id[1] = buf[1];
  result.id[2] = deviceId;
  std::printf("Flash id: %02X%02X%02X\n", unsigned{buf[0]}, unsigned{buf[1]}, unsigned{deviceId});
  result.size = FlashSizeFromDeviceId(deviceId, result.identified);
  std::printf("Boot OK, flash size is %uKB\n", result.size / kKilobyte);

  Exchange status;
  if (!run(spi::kOpReadStatus1, buf.data(), spi::kStatusLength, status)) return result;
  std::printf("Flash status1: %02X\n", unsigned{buf[0]});
  if (!run(spi::kOpReadStatus2, buf.data(), spi::kStatusLength, status)) return result;
  std::printf("Flash status2: %02X\n", unsigned{buf[0]});
  return result;
}

ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address) {
  LineWatch line;
  return ReadBlock(port, destination, address, line);
}

ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address, LineWatch& line,
                     ReadCheck check) {
  for (uint32_t k = 0; k < kChunksPerBlock; ++k) {
    const uint32_t chunkAddress = address + kReadChunkSize * k;
    uint8_t* chunk = destination + kReadChunkSize * k;
    ReadResult r = ReadChunk(port, chunk, chunkAddress, line);
    if (r.status == FlashStatus::kOk && check == ReadCheck::kTwice)
      r = ConfirmChunk(port, chunk, chunkAddress, line);
    if (r.status != FlashStatus::kOk) return r;
  }
  return {FlashStatus::kOk, address};
}

ReadResult ConfirmChunk(SerialPort& port, uint8_t* chunk, uint32_t address, LineWatch& line) {
  std::array<std::array<uint8_t, kReadChunkSize>, kConfirmedReadLimit> reads;
  std::memcpy(reads[0].data(), chunk, kReadChunkSize);
  for (uint32_t n = 1; n < kConfirmedReadLimit; ++n) {
    if (ReadResult r = ReadChunk(port, reads[n].data(), address, line); r.status != FlashStatus::kOk)
      return r;
    for (uint32_t earlier = 0; earlier < n; ++earlier) {
      if (reads[earlier] != reads[n]) continue;
      std::memcpy(chunk, reads[n].data(), kReadChunkSize);
      return {FlashStatus::kOk, address};
    }
    ++line.errors;  // two clean replies that disagree: a byte flipped on its way back
  }
  return {FlashStatus::kReadFailed, address};
}

FlashStatus EraseChip(SerialPort& port) {
  LineWatch line;
  return EraseChip(port, line);
}

FlashStatus EraseChip(SerialPort& port, LineWatch& line) {
  // An erase is harmless to repeat, and a request the target may not have
  // taken as sent (the erase not started, or some other command run) must
  // not be the last word before programming.
  for (uint32_t attempt = 0; attempt < kEraseAttempts; ++attempt) {
    const Exchange enable = WriteEnable(port, line);
    if (enable.status != FlashStatus::kOk) return enable.status;
    uint8_t bus[spi::kOpcodeOnly] = {};
    const Exchange erase = Transact(port, line, spi::kOpChipErase, spi::kOpcodeOnly, bus, 0);
    if (erase.status != FlashStatus::kOk) return erase.status;
    // No poll limit: a large chip erases for minutes. A target that stops
    // answering, or a line that only brings damage, ends the wait.
    if (FlashStatus s = WaitWhileBusy(port, line, true); s != FlashStatus::kOk) return s;
    if (enable.requestProven && erase.requestProven) return FlashStatus::kOk;
  }
  return FlashStatus::kEraseUnconfirmed;
}

PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address) {
  LineWatch line;
  return ProgramPage(port, source, address, line);
}

PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address,
                       LineWatch& line) {
  PageResult result;
  if (std::all_of(source, source + kPageSize, [](uint8_t b) { return b == kErasedByte; }))
    return result;
  const Exchange enable = WriteEnable(port, line);
  if (enable.status != FlashStatus::kOk) return {enable.status, false, true};

  std::array<uint8_t, spi::kOpcodeAndAddress + kPageSize> bus{};
  PutAddress(bus.data(), address);
  std::memcpy(bus.data() + spi::kOpcodeAndAddress, source, kPageSize);
  const Exchange program = Transact(port, line, spi::kOpPageProgram, spi::kOpcodeAndAddress,
                                    bus.data(), kPageSize);
  if (program.status != FlashStatus::kOk) return {program.status, false, true};
  result.unproven = !enable.requestProven || !program.requestProven;

  // One status read, then up to kPagePollLimit more; the loop leaves at
  // the limit without looking at the last one. Only a clean status read
  // can end the wait early.
  bool busy = true;
  uint32_t polls = 0;
  bool ready = false;
  while (!ready && polls <= kPagePollLimit) {
    const Exchange x = PollBusy(port, line, busy);
    if (x.status != FlashStatus::kOk) return {x.status, false, result.unproven};
    ++polls;
    ready = x.clean && !busy;
  }
  result.gaveUp = polls > kPagePollLimit;
  return result;
}

BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address) {
  LineWatch line;
  return ProgramBlock(port, source, address, line);
}

BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address,
                         LineWatch& line) {
  BlockResult result;
  for (uint32_t k = 0; k < kPagesPerBlock; ++k) {
    const PageResult page = ProgramPage(port, source + kPageSize * k, address + kPageSize * k, line);
    if (page.unproven) ++result.unproven;
    if (page.status != FlashStatus::kOk) {
      result.status = page.status;
      return result;
    }
    if (page.gaveUp) ++result.gaveUp;
  }
  return result;
}
