#include "sim/bridge_frame.h"

namespace stb {

bool FeedFrameByte(FrameParser& p, uint8_t byte, FrameEvent& event) {
  using State = FrameParser::State;
  switch (p.state) {
    case State::Sync0:
      if (byte == kFrameSync0) p.state = State::Sync1;
      else ++p.garbage;
      return false;
    case State::Sync1:
      if (byte == kFrameSync1) {
        p.state = State::Length0;
      } else {
        ++p.garbage;  // the lone 0x13 was noise; this byte may start a frame
        if (byte != kFrameSync0) {
          ++p.garbage;
          p.state = State::Sync0;
        }
      }
      return false;
    case State::Length0:
      p.length = byte;
      p.state = State::Length1;
      return false;
    case State::Length1:
      p.length |= uint32_t{byte} << 8;
      p.garbageBefore = p.garbage;
      p.garbage = 0;
      event = FrameEvent{};
      event.length = p.length;
      event.garbageBefore = p.garbageBefore;
      if (p.length > kMaxBusBytes) {
        event.kind = FrameEvent::Kind::Rejected;
        p.skipLeft = p.length;
        p.state = State::Skip;
        return true;
      }
      p.bus.clear();
      if (p.length == 0) {
        p.state = State::Sync0;
        return true;
      }
      p.bus.reserve(p.length);
      p.state = State::Body;
      return false;
    case State::Body:
      p.bus.push_back(byte);
      if (p.bus.size() < p.length) return false;
      event = FrameEvent{};
      event.length = p.length;
      event.garbageBefore = p.garbageBefore;
      event.bus = std::move(p.bus);
      p.bus.clear();
      p.state = State::Sync0;
      return true;
    case State::Skip:
      if (--p.skipLeft == 0) p.state = State::Sync0;
      return false;
  }
  return false;
}

size_t TakeGarbage(FrameParser& p) {
  size_t n = p.garbage;
  if (p.state == FrameParser::State::Sync1) ++n;  // a dangling 0x13
  p.garbage = 0;
  return n;
}

uint16_t BusSum(std::span<const uint8_t> bus) {
  uint32_t sum = 0;
  for (uint8_t b : bus) sum += b;
  return static_cast<uint16_t>(sum & 0xFFFF);
}

std::vector<uint8_t> BuildReply(std::span<const uint8_t> chipOut, uint16_t sum) {
  std::vector<uint8_t> reply(chipOut.begin(), chipOut.end());
  reply.push_back(static_cast<uint8_t>(sum & 0xFF));
  reply.push_back(static_cast<uint8_t>(sum >> 8));
  return reply;
}

}  // namespace stb
