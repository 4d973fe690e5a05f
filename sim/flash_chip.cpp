#include "sim/flash_chip.h"

#include <bit>

namespace stb {

namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr uint32_t kDeviceIdBaseSize = 128 * kKiB;
constexpr uint8_t kDeviceIdBase = 0x10;

uint32_t AddressAt(std::span<const uint8_t> bus) {
  return (uint32_t{bus[1]} << 16) | (uint32_t{bus[2]} << 8) | uint32_t{bus[3]};
}

// Finishes a program or erase whose time is up: busy and the latch clear.
void Settle(FlashChip& chip, int64_t nowNs) {
  if (chip.busy && chip.busyReadsLeft == 0 && nowNs >= chip.busyUntilNs) {
    chip.busy = false;
    chip.writeEnabled = false;
  }
}

uint8_t Status1Bits(const FlashChip& chip) {
  return static_cast<uint8_t>((chip.busy ? kStatusBusy : 0) |
                              (chip.writeEnabled ? kStatusWriteEnable : 0));
}

void StartBusy(FlashChip& chip, uint32_t reads, int64_t ms, int64_t nowNs) {
  chip.busy = true;
  chip.busyReadsLeft = reads;
  chip.busyUntilNs = nowNs + ms * kNsPerMs;
  Settle(chip, nowNs);
}

std::string Hex2(uint8_t v) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  return {kDigits[v >> 4], kDigits[v & 0x0F]};
}

// The write commands share their checks: not while busy, not without the
// write-enable latch, not with the blocks protected.
std::string WriteRefusal(const FlashChip& chip, uint8_t op) {
  if (!chip.writeEnabled) return "chip ignored op=" + Hex2(op) + " write enable latch clear";
  if (chip.config.protect) return "chip ignored op=" + Hex2(op) + " protected";
  return {};
}

void ProgramPage(FlashChip& chip, std::span<const uint8_t> bus) {
  const uint32_t address = AddressAt(bus) & (chip.config.size - 1);
  const uint32_t pageBase = address & ~(kPageSize - 1);
  // The page buffer wraps: more than 256 data bytes leave the last 256.
  std::array<uint8_t, kPageSize> buffer;
  std::array<bool, kPageSize> loaded{};
  buffer.fill(kErased);
  uint32_t column = address & (kPageSize - 1);
  for (size_t i = 1 + kAddressBytes; i < bus.size(); ++i) {
    buffer[column] = bus[i];
    loaded[column] = true;
    column = (column + 1) & (kPageSize - 1);
  }
  for (uint32_t c = 0; c < kPageSize; ++c) {
    if (!loaded[c]) continue;
    const uint32_t at = pageBase + c;
    uint8_t value = buffer[c];
    if (chip.config.flipAddr && *chip.config.flipAddr == at) value = static_cast<uint8_t>(~value);
    chip.content[at] &= value;  // programming only clears bits
  }
}

}  // namespace

bool IsValidChipSize(uint64_t size) {
  return size >= kMinChipSize && size <= kMaxChipSize && std::has_single_bit(size);
}

std::string ChipSizeText(uint32_t size) {
  if (size % kMiB == 0) return std::to_string(size / kMiB) + "M";
  return std::to_string(size / kKiB) + "K";
}

uint8_t DefaultCapacityByte(uint32_t size) {
  return static_cast<uint8_t>(std::countr_zero(size));
}

uint8_t DefaultDeviceId(uint32_t size) {
  if (size < kDeviceIdBaseSize) return kDeviceIdBase;
  return static_cast<uint8_t>(kDeviceIdBase + std::countr_zero(size / kDeviceIdBaseSize));
}

FlashChip MakeChip(const ChipConfig& config) {
  FlashChip chip;
  chip.config = config;
  chip.content.assign(config.size, kErased);
  return chip;
}

uint8_t PeekStatus1(const FlashChip& chip, int64_t nowNs) {
  if (chip.busy && chip.busyReadsLeft == 0 && nowNs >= chip.busyUntilNs) return 0;
  return Status1Bits(chip);
}

Transaction RunTransaction(FlashChip& chip, std::span<const uint8_t> bus, int64_t nowNs) {
  Transaction t;
  t.out.assign(bus.size(), kIdleBus);
  if (bus.empty()) return t;
  Settle(chip, nowNs);
  const uint8_t op = bus[0];

  // A status read advances a program or erase; everything but the status
  // reads is ignored while the chip is busy.
  if (op == kOpReadStatus1) {
    if (chip.busy && chip.busyReadsLeft > 0) --chip.busyReadsLeft;
    const uint8_t status = Status1Bits(chip);
    for (size_t i = 1; i < bus.size(); ++i) t.out[i] = status;
    return t;
  }
  if (op == kOpReadStatus2) {
    for (size_t i = 1; i < bus.size(); ++i) t.out[i] = chip.config.status2;
    return t;
  }
  if (chip.busy) {
    t.note = "chip ignored op=" + Hex2(op) + " busy";
    return t;
  }

  switch (op) {
    case kOpReadId:
      for (size_t i = 1; i < bus.size() && i <= chip.config.jedec.size(); ++i)
        t.out[i] = chip.config.jedec[i - 1];
      break;
    case kOpDeviceId:
      for (size_t i = 1 + kDeviceIdDummyBytes; i < bus.size(); ++i) t.out[i] = chip.config.deviceId;
      break;
    case kOpReadData:
      if (bus.size() > 1 + kAddressBytes) {
        const uint32_t mask = chip.config.size - 1;
        uint32_t at = AddressAt(bus) & mask;
        for (size_t i = 1 + kAddressBytes; i < bus.size(); ++i) {
          t.out[i] = chip.content[at];
          at = (at + 1) & mask;  // a read runs on across the chip and wraps at its end
        }
      }
      break;
    case kOpWriteEnable:
      chip.writeEnabled = true;
      break;
    case kOpWriteDisable:
      chip.writeEnabled = false;
      break;
    case kOpChipErase:
    case kOpChipEraseAlt:
      // The chip starts the erase only when chip select rises right after the opcode.
      if (bus.size() != 1) {
        t.note = "chip ignored op=" + Hex2(op) + " not a lone opcode";
      } else if (t.note = WriteRefusal(chip, op); t.note.empty()) {
        chip.content.assign(chip.content.size(), kErased);
        StartBusy(chip, chip.config.eraseBusyReads, chip.config.eraseMs, nowNs);
      } else {
        chip.writeEnabled = false;
      }
      break;
    case kOpPageProgram:
      if (bus.size() <= 1 + kAddressBytes) {
        t.note = "chip ignored op=" + Hex2(op) + " no data";
      } else if (t.note = WriteRefusal(chip, op); t.note.empty()) {
        ProgramPage(chip, bus);
        StartBusy(chip, chip.config.programBusyReads, 0, nowNs);
      } else {
        chip.writeEnabled = false;
      }
      break;
    default:
      t.note = "chip ignored op=" + Hex2(op) + " unknown";
      break;
  }
  return t;
}

}  // namespace stb
