#include "tests/flash/fake_target.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace flashtest {

std::vector<uint8_t> ChipModel::Transfer(const std::vector<uint8_t>& bus) {
  std::vector<uint8_t> miso(bus.size(), 0xFF);
  if (bus.empty()) return miso;
  const uint32_t address = bus.size() >= 4 ? (uint32_t{bus[1]} << 16 | uint32_t{bus[2]} << 8 | bus[3]) : 0;
  switch (bus[0]) {
    case 0x9F:
      for (size_t i = 1; i < bus.size() && i <= 3; ++i) miso[i] = jedec[i - 1];
      break;
    case 0xAB:
      for (size_t i = 4; i < bus.size(); ++i) miso[i] = deviceId;
      break;
    case 0x05:
      for (size_t i = 1; i < bus.size(); ++i) {
        miso[i] = static_cast<uint8_t>((busyLeft_ != 0 ? 0x01 : 0x00) | (writeEnabled_ ? 0x02 : 0));
        if (busyLeft_ > 0) --busyLeft_;
      }
      if (busyLeft_ == 0) writeEnabled_ = false;
      break;
    case 0x35:
      for (size_t i = 1; i < bus.size(); ++i) miso[i] = status2;
      break;
    case 0x03:
      for (size_t i = 4; i < bus.size(); ++i) miso[i] = memory[(address + i - 4) % memory.size()];
      break;
    case 0x06:
      writeEnabled_ = true;
      break;
    case 0xC7:
      if (writeEnabled_) {
        std::fill(memory.begin(), memory.end(), 0xFF);
        busyLeft_ = eraseBusy;
      }
      break;
    case 0x02:
      if (writeEnabled_) {
        for (size_t i = 4; i < bus.size(); ++i) {
          // Within one page the address wraps, as on a real chip.
          const uint32_t at = (address & ~0xFFu) | ((address + static_cast<uint32_t>(i) - 4) & 0xFFu);
          memory[at % memory.size()] &= bus[i];
        }
        busyLeft_ = programBusy;
      }
      break;
    default:
      break;
  }
  return miso;
}

FakeTarget::FakeTarget(testsupport::PtyPair& pty, ChipModel& chip)
    : pty_(pty), chip_(chip), thread_([this] { Serve(); }) {}

FakeTarget::~FakeTarget() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  thread_.join();
}

void FakeTarget::SetFault(size_t frameIndex, Fault fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[frameIndex] = fault;
}

void FakeTarget::SetSilentFrom(size_t frameIndex) {
  std::lock_guard<std::mutex> lock(mutex_);
  silentFrom_ = frameIndex;
}

std::vector<Frame> FakeTarget::Frames() {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

std::vector<uint8_t> FakeTarget::Junk() {
  std::lock_guard<std::mutex> lock(mutex_);
  return junk_;
}

std::vector<uint8_t> FakeTarget::Checksum(const std::vector<uint8_t>& bus) {
  uint16_t sum = 0;
  for (uint8_t b : bus) sum = static_cast<uint16_t>(sum + b);
  return {static_cast<uint8_t>(sum & 0xFF), static_cast<uint8_t>(sum >> 8)};
}

void FakeTarget::Serve() {
  std::vector<uint8_t> pending;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stop_ || hungUp_) return;
    }
    pollfd p{pty_.MasterFd(), POLLIN, 0};
    if (poll(&p, 1, 10) <= 0) continue;
    uint8_t buf[8192];
    const ssize_t n = read(pty_.MasterFd(), buf, sizeof buf);
    if (n <= 0) continue;
    pending.insert(pending.end(), buf, buf + n);
    for (;;) {
      while (!pending.empty() && pending[0] != 0x13) {
        std::lock_guard<std::mutex> lock(mutex_);
        junk_.push_back(pending.front());
        pending.erase(pending.begin());
      }
      if (pending.size() < 4) break;
      const size_t busBytes = pending[2] | (size_t{pending[3]} << 8);
      if (pending.size() < 4 + busBytes) break;
      Frame frame;
      frame.raw.assign(pending.begin(), pending.begin() + static_cast<long>(4 + busBytes));
      pending.erase(pending.begin(), pending.begin() + static_cast<long>(4 + busBytes));
      size_t index = 0;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        index = frames_.size();
        frames_.push_back(frame);
      }
      Answer(frame, index);
      std::lock_guard<std::mutex> lock(mutex_);
      if (hungUp_) return;
    }
  }
}

void FakeTarget::Answer(const Frame& frame, size_t index) {
  const std::vector<uint8_t> bus = frame.Bus();
  std::vector<uint8_t> reply = chip_.Transfer(bus);  // the chip runs the command in any case
  const std::vector<uint8_t> sum = Checksum(bus);
  reply.insert(reply.end(), sum.begin(), sum.end());
  Fault fault;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= silentFrom_) return;
    if (auto it = faults_.find(index); it != faults_.end()) fault = it->second;
  }
  switch (fault.kind) {
    case Fault::Kind::kNone:
      break;
    case Fault::Kind::kSilent:
      return;
    case Fault::Kind::kShort:
      reply.resize(std::min(reply.size(), static_cast<size_t>(fault.arg)));
      break;
    case Fault::Kind::kBadSum:
      reply[reply.size() - 2] = static_cast<uint8_t>(~reply[reply.size() - 2]);
      break;
    case Fault::Kind::kLate:
      std::this_thread::sleep_for(std::chrono::milliseconds(fault.arg));
      break;
    case Fault::Kind::kStray:
      reply.push_back(0x5A);
      break;
    case Fault::Kind::kFlipBadSum:
      reply[reply.size() - 2] = static_cast<uint8_t>(~reply[reply.size() - 2]);
      [[fallthrough]];
    case Fault::Kind::kFlip:
      reply[static_cast<size_t>(fault.arg)] ^= 0x01;
      break;
    case Fault::Kind::kHangUp: {
      std::lock_guard<std::mutex> lock(mutex_);
      hungUp_ = true;
      pty_.HangUp();
      return;
    }
  }
  pty_.Send(reply);
}

}  // namespace flashtest
