// A serial port on a pty whose other end is a FakeTarget with its chip.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "tests/flash/fake_target.h"
#include "tests/support/pty_pair.h"

namespace flashtest {

// Short read time-outs keep silent transactions cheap; the operations
// work with whatever time-outs the port has.
inline constexpr uint32_t kTestTotalMs = 250;
inline constexpr uint32_t kTestIntervalMs = 30;

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port.Open("COM9", 115200, kTestTotalMs));
    ASSERT_TRUE(port.SetReadTimeouts(kTestTotalMs, kTestIntervalMs));
    target = std::make_unique<FakeTarget>(pty, chip);
  }
  void TearDown() override {
    target.reset();
    port.Close();
  }

  std::vector<Frame> Frames() { return target->Frames(); }

  // Bytes of a frame as they must reach the target.
  static std::vector<uint8_t> FrameBytes(const std::vector<uint8_t>& bus) {
    std::vector<uint8_t> out = {0x13, 0x3A, static_cast<uint8_t>(bus.size() & 0xFF),
                                static_cast<uint8_t>(bus.size() >> 8)};
    out.insert(out.end(), bus.begin(), bus.end());
    return out;
  }

  testsupport::PtyPair pty;
  testsupport::ComMapping mapping{"COM9", pty.SlavePath()};
  ChipModel chip;
  SerialPort port;
  std::unique_ptr<FakeTarget> target;
};

}  // namespace flashtest
