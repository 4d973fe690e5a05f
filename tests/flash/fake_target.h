// The target's side of the flash bridge, played by a test thread on the
// master end of a pty: it takes request frames, lets a small SPI NOR chip
// model answer them, and can spoil chosen replies.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/pty_pair.h"

namespace flashtest {

// A small serial NOR chip: identification, status, read, write enable,
// chip erase and page program, with busy counts for erase and program.
struct ChipModel {
  std::vector<uint8_t> memory = std::vector<uint8_t>(64 * 1024, 0xFF);
  uint8_t jedec[3] = {0xEF, 0x40, 0x14};
  uint8_t deviceId = 0x13;
  uint8_t status2 = 0x02;
  int eraseBusy = 3;     // status reads that an erase stays busy; -1: for ever
  int programBusy = 1;   // status reads that a page program stays busy; -1: for ever

  // The bytes the chip returns on the bus while `bus` goes out.
  std::vector<uint8_t> Transfer(const std::vector<uint8_t>& bus);

 private:
  int busyLeft_ = 0;
  bool writeEnabled_ = false;
};

struct Fault {
  enum class Kind { kNone, kSilent, kShort, kBadSum, kLate, kStray, kHangUp, kFlip, kFlipBadSum };
  Kind kind = Kind::kNone;
  // kShort: bytes sent; kLate: delay in ms; kFlip, kFlipBadSum: the reply
  // byte whose bit 0 is inverted (the second also spoils the checksum)
  int arg = 0;
};

struct Frame {
  std::vector<uint8_t> raw;  // as it arrived, header included
  uint8_t Opcode() const { return raw.size() > 4 ? raw[4] : 0; }
  std::vector<uint8_t> Bus() const { return {raw.begin() + 4, raw.end()}; }
};

class FakeTarget {
 public:
  FakeTarget(testsupport::PtyPair& pty, ChipModel& chip);
  ~FakeTarget();
  FakeTarget(const FakeTarget&) = delete;
  FakeTarget& operator=(const FakeTarget&) = delete;

  void SetFault(size_t frameIndex, Fault fault);
  void SetSilentFrom(size_t frameIndex);
  std::vector<Frame> Frames();
  std::vector<uint8_t> Junk();  // bytes that did not belong to a frame

  static std::vector<uint8_t> Checksum(const std::vector<uint8_t>& bus);

 private:
  void Serve();
  void Answer(const Frame& frame, size_t index);

  testsupport::PtyPair& pty_;
  ChipModel& chip_;
  std::mutex mutex_;
  std::map<size_t, Fault> faults_;
  size_t silentFrom_ = SIZE_MAX;
  std::vector<Frame> frames_;
  std::vector<uint8_t> junk_;
  bool stop_ = false;
  bool hungUp_ = false;
  std::thread thread_;
};

}  // namespace flashtest
