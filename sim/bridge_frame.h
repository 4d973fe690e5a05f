// The bridge's frames as the box receives them: 0x13 0x3A, N (least
// significant byte first), N bus bytes. The reply is the N bytes that came
// back from the chip and the 16-bit sum of the received bus bytes, least
// significant byte first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace stb {

constexpr uint8_t kFrameSync0 = 0x13;
constexpr uint8_t kFrameSync1 = 0x3A;
// 0x13 0x3A and N: a frame's bus bytes start at this place.
constexpr uint32_t kFrameHeaderBytes = 4;
// The bridge's buffer holds this many bus bytes; longer frames are dropped.
constexpr size_t kMaxBusBytes = 4096;

struct FrameParser {
  enum class State { Sync0, Sync1, Length0, Length1, Body, Skip };
  State state = State::Sync0;
  uint32_t length = 0;
  uint32_t skipLeft = 0;
  size_t garbage = 0;  // bytes skipped since the last frame start
  size_t garbageBefore = 0;
  std::vector<uint8_t> bus;
};

struct FrameEvent {
  enum class Kind { Frame, Rejected };
  Kind kind = Kind::Frame;
  uint32_t length = 0;        // N as received
  size_t garbageBefore = 0;   // bytes skipped before this frame's sync
  std::vector<uint8_t> bus;   // Frame: the N bus bytes
};

// Takes one byte from the line. Returns true and fills `event` when the byte
// completed a frame (Kind::Frame) or a header whose N is over the limit
// (Kind::Rejected; its N bytes are then skipped without being stored).
bool FeedFrameByte(FrameParser& parser, uint8_t byte, FrameEvent& event);

// Bytes skipped so far that no frame has yet accounted for; clears the count.
size_t TakeGarbage(FrameParser& parser);

uint16_t BusSum(std::span<const uint8_t> bus);
// The chip's bytes followed by the checksum, least significant byte first.
std::vector<uint8_t> BuildReply(std::span<const uint8_t> chipOut, uint16_t sum);

}  // namespace stb
