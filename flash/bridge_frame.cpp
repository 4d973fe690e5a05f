#include "flash/bridge_frame.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "flash/spi_commands.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

BridgeResult FlashCommand(SerialPort& port, uint8_t opcode, uint8_t commandLength,
                          uint8_t* buffer, uint32_t dataLength) {
  BridgeResult result;
  const uint32_t busBytes = uint32_t{commandLength} + dataLength;
  if (busBytes > kMaxBusBytes) {
    result.status = BridgeStatus::kFrameTooLong;
    return result;
  }

  buffer[0] = opcode;
  uint16_t sum = 0;
  for (uint32_t i = 0; i < busBytes; ++i) sum = static_cast<uint16_t>(sum + buffer[i]);
  result.hostSum = sum;

  std::array<uint8_t, kFrameScratchSize> scratch{};
  scratch[0] = kFrameStart0;
  scratch[1] = kFrameStart1;
  scratch[2] = static_cast<uint8_t>(busBytes & 0xFFu);
  scratch[3] = static_cast<uint8_t>(busBytes >> 8);
  std::memcpy(scratch.data() + kFrameHeaderSize, buffer, busBytes);
  port.Write(scratch.data(), kFrameHeaderSize + busBytes);

  // Each read either fills its place or leaves what the place held; a stop
  // request skips the reads still to come, which could wait a second each.
  uint32_t got = 0;
  uint32_t received = 0;
  port.Read(scratch.data(), commandLength, &got);
  received += got;
  if (!platform::StopRequested()) {
    port.Read(buffer, dataLength, &got);
    received += got;
  }
  if (!platform::StopRequested()) {
    port.Read(scratch.data(), kReplyChecksumSize, &got);
    received += got;
  }
  result.received = received;
  result.replySum = static_cast<uint16_t>(scratch[0] | (scratch[1] << 8));

  const bool sumsMatch = result.replySum == result.hostSum;
  const uint32_t expected = busBytes + kReplyChecksumSize;
  if (port.Lost()) {
    result.status = BridgeStatus::kPortLost;
  } else if (platform::StopRequested() && received < expected) {
    result.status = BridgeStatus::kStopped;
  } else if (received == 0) {
    result.status = BridgeStatus::kSilent;
  } else if (received < expected) {
    result.status = BridgeStatus::kShortReply;
  } else if (!sumsMatch) {
    result.status = BridgeStatus::kChecksumMismatch;
  } else {
    result.status = BridgeStatus::kOk;
  }

  // A lost port or a stop is reported by the caller; a checksum message
  // would only bury that.
  const bool reportable =
      result.status != BridgeStatus::kPortLost && result.status != BridgeStatus::kStopped;
  if (!sumsMatch && reportable && opcode != spi::kOpReadData)
    std::printf("crc error %04X != [%04X]\n", unsigned{result.hostSum}, unsigned{result.replySum});
  return result;
}
