// SerialPort against real pseudo-terminals: the test plays the far end on
// the master side.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "serial/serial_port.h"
#include "tests/serial/line_speed.h"
#include "tests/support/pty_pair.h"

using testsupport::ComMapping;
using testsupport::PtyPair;

namespace {

constexpr uint32_t kTotalMs = 1000;

long ElapsedMs(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - since)
                               .count());
}

class SerialPortTest : public ::testing::Test {
protected:
  PtyPair pty;
  ComMapping mapping{"COM7", pty.SlavePath()};
  SerialPort port;

  void OpenPort(uint32_t baud = 115200) { ASSERT_TRUE(port.Open("COM7", baud, kTotalMs)); }
};

TEST_F(SerialPortTest, EveryByteValuePassesBothWaysUnchanged) {
  OpenPort();
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);

  ASSERT_TRUE(port.Write(all.data(), 256));
  EXPECT_EQ(pty.Receive(256, 2000), all);

  pty.Send(all);
  std::vector<uint8_t> in(256, 0);
  uint32_t received = 0;
  ASSERT_TRUE(port.Read(in.data(), 256, &received));
  EXPECT_EQ(received, 256u);
  EXPECT_EQ(in, all);
}

TEST_F(SerialPortTest, ShortReadEndsAfterTheIntervalAndKeepsTheRestOfTheBuffer) {
  OpenPort();
  pty.Send(std::string("\x42"));
  uint8_t buf[2] = {0xEE, 0xEE};
  uint32_t received = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.Read(buf, 2, &received));
  const long ms = ElapsedMs(start);
  EXPECT_EQ(received, 1u);
  EXPECT_EQ(buf[0], 0x42);
  EXPECT_EQ(buf[1], 0xEE);
  // The interval (30 ms) ended it, well before the 1000 ms total.
  EXPECT_LT(ms, 600);
}

TEST_F(SerialPortTest, SilentLineEndsAfterTheTotal) {
  OpenPort();
  uint8_t buf[4] = {1, 2, 3, 4};
  uint32_t received = 99;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.Read(buf, 4, &received));
  const long ms = ElapsedMs(start);
  EXPECT_EQ(received, 0u);
  EXPECT_EQ(buf[0], 1);
  EXPECT_GE(ms, 950);
  EXPECT_LT(ms, 3000);
}

TEST_F(SerialPortTest, IntervalCountsFromTheLastByteNotTheFirst) {
  OpenPort();
  ASSERT_TRUE(port.SetReadTimeouts(5000, 300));
  std::thread sender([this] {
    for (int i = 0; i < 5; ++i) {
      pty.Send(std::vector<uint8_t>{static_cast<uint8_t>('0' + i)});
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
  });
  uint8_t buf[5] = {};
  EXPECT_TRUE(port.Read(buf, 5));
  sender.join();
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "01234");
}

TEST_F(SerialPortTest, FirstByteMayComeLateUnderTheTotal) {
  OpenPort();
  ASSERT_TRUE(port.SetReadTimeouts(1000, 30));
  std::thread sender([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pty.Send(std::string("ok"));
  });
  uint8_t buf[2] = {};
  EXPECT_TRUE(port.Read(buf, 2));
  sender.join();
}

TEST_F(SerialPortTest, BytesBeyondTheCountStayQueuedForTheNextRead) {
  OpenPort();
  pty.Send(std::string("abcde"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint8_t first[2] = {}, second[3] = {};
  ASSERT_TRUE(port.Read(first, 2));
  ASSERT_TRUE(port.Read(second, 3));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(first), 2), "ab");
  EXPECT_EQ(std::string(reinterpret_cast<char*>(second), 3), "cde");
}

TEST_F(SerialPortTest, OpeningDiscardsNothingThatIsAlreadyWaiting) {
  pty.Send(std::string("early"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  OpenPort();
  uint8_t buf[5] = {};
  ASSERT_TRUE(port.Read(buf, 5));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 5), "early");
}

TEST_F(SerialPortTest, DiscardInputDropsWhatIsWaiting) {
  OpenPort();
  pty.Send(std::string("stale"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.DiscardInput();
  pty.Send(std::string("x"));
  uint8_t buf[1] = {};
  ASSERT_TRUE(port.Read(buf, 1));
  EXPECT_EQ(buf[0], 'x');
}

TEST_F(SerialPortTest, ZeroByteReadAndWriteSucceedAtOnce) {
  OpenPort();
  uint8_t buf[1] = {7};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(port.Read(buf, 0));
  EXPECT_TRUE(port.Write(buf, 0));
  EXPECT_LT(ElapsedMs(start), 500);
  EXPECT_EQ(buf[0], 7);
}

TEST_F(SerialPortTest, LargeWriteArrivesWhole) {
  OpenPort();
  std::vector<uint8_t> data(100000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  std::vector<uint8_t> got;
  std::thread reader([&] { got = pty.Receive(data.size(), 10000); });
  EXPECT_TRUE(port.Write(data.data(), static_cast<uint32_t>(data.size())));
  reader.join();
  EXPECT_EQ(got, data);
}

TEST_F(SerialPortTest, SecondOpenOfAnOpenObjectFailsAndKeepsThePort) {
  OpenPort();
  EXPECT_FALSE(port.Open("COM7", 9600, kTotalMs));
  const uint8_t byte = 0x5A;
  ASSERT_TRUE(port.Write(&byte, 1));
  EXPECT_EQ(pty.Receive(1, 1000), std::vector<uint8_t>{0x5A});
  EXPECT_EQ(LineSpeedOf(pty.SlavePath()), 115200u);
}

TEST_F(SerialPortTest, APortHeldByAnotherObjectOrProcessDoesNotOpen) {
  OpenPort();
  SerialPort other;
  EXPECT_FALSE(other.Open("COM7", 115200, kTotalMs));

  // Another process, also as root: the lock holds across processes.
  const pid_t child = fork();
  if (child == 0) {
    SerialPort third;
    _exit(third.Open("COM7", 115200, kTotalMs) ? 1 : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "a second process opened a held port";

  // Once closed, the port can be opened again.
  port.Close();
  EXPECT_TRUE(other.Open("COM7", 115200, kTotalMs));
}

// Exit status of a child that drops to an ordinary user and opens COM7:
// 0 opened, 1 refused, 2 could not drop privileges.
int OpenAsOrdinaryUser() {
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    SerialPort port;
    _exit(port.Open("COM7", 115200, kTotalMs) ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 3;
}

TEST_F(SerialPortTest, OrdinaryUserIsKeptOutWhileHeldAndLetInAfterClose) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch users";
  ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0666), 0);
  OpenPort();
  const int whileHeld = OpenAsOrdinaryUser();
  if (whileHeld == 2) GTEST_SKIP() << "cannot drop privileges here";
  EXPECT_EQ(whileHeld, 1);
  port.Close();
  // A pty keeps its exclusive flag after the holder closes unless the holder
  // cleared it; an ordinary user would then be shut out for good.
  EXPECT_EQ(OpenAsOrdinaryUser(), 0);
}

TEST(SerialPortClosed, WriteReportsAndReadIsSilent) {
  SerialPort port;
  testing::internal::CaptureStdout();
  const uint8_t byte = 1;
  EXPECT_FALSE(port.Write(&byte, 1));
  uint8_t buf[1];
  EXPECT_FALSE(port.Read(buf, 1));
  EXPECT_TRUE(port.Close());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "write INVALID_HANDLE_VALUE\n");
}

TEST(SerialPortNames, NamesThatMapToNoDeviceFailToOpen) {
  PtyPair pty;
  // Mapped names that are not of the form COMn must not reach the device.
  const char* const names[] = {"COM0", "COM01", "COM1X", "-COM2", "COM", "CO1", "COM-1",
                               "COM99999999999999999999"};
  for (const char* name : names) {
    ComMapping mapping(name, pty.SlavePath());
    SerialPort port;
    EXPECT_FALSE(port.Open(name, 115200, kTotalMs)) << name;
  }
}

TEST(SerialPortNames, DeviceThatIsNotATerminalFailsToOpen) {
  ComMapping mapping("COM5", "/dev/null");
  SerialPort port;
  EXPECT_FALSE(port.Open("COM5", 115200, kTotalMs));
  ComMapping missing("COM6", "/nonexistent/tty");
  EXPECT_FALSE(port.Open("COM6", 115200, kTotalMs));
}

TEST(SerialPortSpeeds, EveryOfferedRateIsSetOnTheLine) {
  const uint32_t rates[] = {256000, 128000, 115200, 57600, 56000, 38400, 19200, 14400,
                            9600,   4800,   2400,   1200,  600,   300,   110};
  for (uint32_t rate : rates) {
    PtyPair pty;
    ComMapping mapping("COM8", pty.SlavePath());
    SerialPort port;
    ASSERT_TRUE(port.Open("COM8", rate, kTotalMs)) << rate;
    EXPECT_EQ(LineSpeedOf(pty.SlavePath()), rate);
    // Raw: bytes the terminal layer would rewrite or act on pass unchanged.
    const std::vector<uint8_t> special = {0x0A, 0x0D, 0x11, 0x13, 0x03, 0x1A, 0x7F, 0x00, 0xFF};
    pty.Send(special);
    std::vector<uint8_t> in(special.size());
    EXPECT_TRUE(port.Read(in.data(), static_cast<uint32_t>(in.size())));
    EXPECT_EQ(in, special);
  }
}

TEST(SerialPortLost, HangUpIsToldApartFromATimeOut) {
  PtyPair pty;
  ComMapping mapping("COM9", pty.SlavePath());
  SerialPort port;
  ASSERT_TRUE(port.Open("COM9", 115200, kTotalMs));
  ASSERT_TRUE(port.SetReadTimeouts(5000, 30));
  EXPECT_FALSE(port.Lost());
  std::thread hangup([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.HangUp();
  });
  uint8_t buf[4];
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.Read(buf, 4));
  hangup.join();
  EXPECT_LT(ElapsedMs(start), 3000) << "a hang-up waited for the total time-out";
  EXPECT_TRUE(port.Lost());

  // Further reads fail at once; writes report their error.
  const auto again = std::chrono::steady_clock::now();
  EXPECT_FALSE(port.Read(buf, 4));
  EXPECT_LT(ElapsedMs(again), 500);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(port.Write(buf, 1));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "write error\n");
}

}  // namespace
