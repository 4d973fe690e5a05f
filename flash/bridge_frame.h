// One transaction through the target's flash bridge: a framed request with
// the bus bytes, the chip's bytes coming back, and the target's checksum.
#pragma once

#include <cstdint>

class SerialPort;

// Request frame: kFrameStart0, kFrameStart1, N (little endian), N bus bytes.
inline constexpr uint8_t kFrameStart0 = 0x13;
inline constexpr uint8_t kFrameStart1 = 0x3A;
inline constexpr uint32_t kFrameHeaderSize = 4;
inline constexpr uint32_t kFrameScratchSize = 4112;
inline constexpr uint32_t kMaxBusBytes = kFrameScratchSize - kFrameHeaderSize;
inline constexpr uint32_t kReplyChecksumSize = 2;

enum class BridgeStatus {
  kOk,                // every reply byte came and the checksum matched
  kChecksumMismatch,  // the whole reply came, but its checksum differs
  kShortReply,        // some reply bytes came, not all
  kSilent,            // not one reply byte came
  kPortLost,          // the serial device is gone
  kStopped,           // a stop was requested while the reply was awaited
  kFrameTooLong,      // the bus bytes do not fit a frame; nothing was sent
};

struct BridgeResult {
  BridgeStatus status = BridgeStatus::kSilent;
  uint32_t received = 0;     // reply bytes that arrived, checksum included
  uint16_t hostSum = 0;      // sum of the bus bytes as sent
  uint16_t replySum = 0;     // checksum as read back (sent bytes where none came)

  bool Ok() const { return status == BridgeStatus::kOk; }
};

// Sends `commandLength + dataLength` bus bytes from `buffer` (byte 0 set to
// `opcode` first) and reads the reply: the command-phase bytes are dropped,
// the data-phase bytes land in `buffer` from byte 0, bytes that do not come
// leave their place as it was sent. A checksum mismatch prints
// "crc error %04X != [%04X]" except for read data, whose callers judge it.
BridgeResult FlashCommand(SerialPort& port, uint8_t opcode, uint8_t commandLength,
                          uint8_t* buffer, uint32_t dataLength);
