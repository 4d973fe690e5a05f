// The box's run loop on a real pseudo-terminal, in process: the host end
// is the pty slave, as tarvex would open it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "sim/box.h"
#include "sim/line.h"
#include "sim/microcode_ref.h"
#include "sim/run.h"
#include "tests/sim/host_frame.h"

namespace stb {
namespace {

long NowMs() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

class LineTest : public ::testing::Test {
protected:
  LineTest() {
    config.chip.size = 64u << 10;
    config.chip.jedec = {0xEF, 0x40, 0x10};
    config.powerupDelayMs = 20;
  }
  ~LineTest() override {
    Stop();
    if (host >= 0) close(host);
    CloseLine(line);
    close(control[0]);
    close(control[1]);
  }
  void Start() {
    line = OpenPtyLine();
    ASSERT_TRUE(line.error.empty()) << line.error;
    ASSERT_EQ(pipe2(control, O_CLOEXEC), 0);
    box = MakeBox(config, PlainMicrocode());
    box.log = [this](const std::string& l) {
      std::lock_guard<std::mutex> lock(logMutex);
      log.push_back(l);
    };
    setup.line = &line;
    setup.controlFd = control[0];
    thread = std::thread([this] { outcome = RunBox(box, setup); });
    host = open(line.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(host, 0);
  }
  void Signal(int sig) {
    const unsigned char b = static_cast<unsigned char>(sig);
    ASSERT_EQ(write(control[1], &b, 1), 1);
  }
  void Stop() {
    if (!thread.joinable()) return;
    Signal(SIGINT);
    thread.join();
  }
  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(host, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `n` bytes came or `timeoutMs` passed; `hup` tells whether the line went away.
  std::vector<uint8_t> Receive(size_t n, int timeoutMs, bool* hup = nullptr) {
    std::vector<uint8_t> out;
    const long end = NowMs() + timeoutMs;
    while (out.size() < n && NowMs() < end) {
      pollfd p{host, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) continue;
      uint8_t buf[4096];
      const ssize_t r = read(host, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0) {
        out.insert(out.end(), buf, buf + r);
      } else if (r == 0 || errno == EIO) {
        if (hup) *hup = true;
        break;
      }
    }
    return out;
  }
  static std::vector<uint8_t> Frame(const std::vector<uint8_t>& bus) { return HostFrame(bus); }

  BoxConfig config;
  Box box;
  Line line;
  RunSetup setup;
  RunOutcome outcome;
  int control[2] = {-1, -1};
  int host = -1;
  std::thread thread;
  std::mutex logMutex;
  std::vector<std::string> log;
};

// A marker, then one or more " XX" in uppercase hex.
bool IsWireLine(const std::string& line) {
  auto hexDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  if (line.size() < 4 || (line.size() - 1) % 3 != 0) return false;
  if (line[0] != kWireFromHost && line[0] != kWireToHost) return false;
  for (size_t i = 1; i < line.size(); i += 3)
    if (line[i] != ' ' || !hexDigit(line[i + 1]) || !hexDigit(line[i + 2])) return false;
  return true;
}

// The bytes of the wire record's lines with this marker, joined.
std::vector<uint8_t> WireBytes(const std::vector<std::string>& lines, char marker) {
  std::vector<uint8_t> bytes;
  for (const std::string& line : lines) {
    if (line[0] != marker) continue;
    std::istringstream in(line.substr(1));
    unsigned value = 0;
    while (in >> std::hex >> value) bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

TEST_F(LineTest, GreetsAndAnswersAnIdFrame) {
  Start();
  EXPECT_EQ(Receive(2, 3000), (std::vector<uint8_t>{'b', 'a'}));
  Send({0x7B});
  Send(Frame({0x9F, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Receive(6, 3000), (std::vector<uint8_t>{0xFF, 0xEF, 0x40, 0x10, 0x9F, 0x00}));
  // A power-up on request greets again and forgets bridge mode.
  Signal(SIGUSR1);
  EXPECT_EQ(Receive(2, 3000), (std::vector<uint8_t>{'b', 'a'}));
  Stop();
  EXPECT_FALSE(outcome.lineLost);
  EXPECT_EQ(log.back(), "greeting ba");
}

TEST_F(LineTest, HangupFaultClosesTheLine) {
  config.faults = {Fault{0, FaultKind::Hangup, 0, "hangup"}};
  Start();
  EXPECT_EQ(Receive(2, 3000).size(), 2u);
  Send({0x7B});
  Send(Frame({0x05, 0x00}));
  bool hup = false;
  EXPECT_TRUE(Receive(1, 3000, &hup).empty());
  EXPECT_TRUE(hup);
  thread.join();  // without a command the loop ends with its line
  EXPECT_TRUE(outcome.lineLost);
}

TEST_F(LineTest, PacedReplyTakesTheLineTime) {
  config.byteNs = ByteTimeNs(38400);
  Start();
  EXPECT_EQ(Receive(2, 3000).size(), 2u);
  Send({0x7B});
  std::vector<uint8_t> read = {0x03, 0x00, 0x00, 0x00};
  read.resize(1028, 0x00);
  const long t0 = NowMs();
  Send(Frame(read));
  const auto reply = Receive(1030, 10000);
  const long elapsed = NowMs() - t0;
  ASSERT_EQ(reply.size(), 1030u);
  // 1032 bytes in and 1030 out, ten bits each: 537 ms; a scheduler may only add.
  EXPECT_GE(elapsed, 2062L * 10 * 1000 / 38400 - 5);
  EXPECT_LT(elapsed, 10000L);
}

TEST_F(LineTest, WireRecordHoldsWhatTheHostSentAndWhatItCouldRead) {
  // Noise both ways: the record shows the host's bytes before the box's
  // receiver loses any, and the replies after the line has added and
  // flipped bytes.
  config.noiseToBox = {0, 6, 0};
  config.noiseToHost = {5, 0, 4};
  std::mutex wireMutex;
  std::vector<std::string> wire;
  setup.wire = [&](const std::string& l) {
    std::lock_guard<std::mutex> lock(wireMutex);
    wire.push_back(l);
  };
  Start();
  std::vector<uint8_t> sent, got = Receive(2, 3000);
  ASSERT_EQ(got, (std::vector<uint8_t>{'b', 'a'}));
  auto send = [&](const std::vector<uint8_t>& bytes) {
    Send(bytes);
    sent.insert(sent.end(), bytes.begin(), bytes.end());
  };
  send({0x7B});
  for (uint8_t i = 0; i < 12; ++i) {
    std::vector<uint8_t> read = {0x03, 0x00, i, 0x00};
    read.resize(4 + 32, 0x00);
    send(Frame(read));
    const auto reply = Receive(1000, 100);
    got.insert(got.end(), reply.begin(), reply.end());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the box finish
  Stop();
  // Whatever the box wrote is still in the pty: read it all.
  const auto rest = Receive(100000, 200);
  got.insert(got.end(), rest.begin(), rest.end());

  for (const std::string& l : wire) EXPECT_TRUE(IsWireLine(l)) << l;
  EXPECT_EQ(WireBytes(wire, kWireFromHost), sent);
  EXPECT_EQ(WireBytes(wire, kWireToHost), got);
  size_t losses = 0, changes = 0;
  for (const std::string& l : log) {
    losses += l.starts_with("noise to-box lose ");
    changes += l.starts_with("noise to-host flip ") || l.starts_with("noise to-host add ");
  }
  EXPECT_GT(losses, 0u);
  EXPECT_GT(changes, 0u);
}

}  // namespace
}  // namespace stb
