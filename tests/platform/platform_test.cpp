// The clock, the pauses and the key press on a real pseudo-terminal that
// serves as the controlling terminal of a child process.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "platform/platform.h"
#include "tests/support/pty_pair.h"

namespace {

TEST(Clock, SleepAndTickCountAgree) {
  const uint32_t before = platform::TickCountMs();
  platform::SleepMs(50);
  const uint32_t elapsed = platform::TickCountMs() - before;
  EXPECT_GE(elapsed, 50u);
  EXPECT_LT(elapsed, 1000u);
}

// What the child reports back through its exit status.
enum ChildResult { kReturned = 0, kModeChanged = 1, kNoTerminal = 2, kSetupFailed = 3 };

// Runs WaitForKeyPress in a child whose controlling terminal is the pty's
// slave; the exit status tells whether it returned and restored the mode.
pid_t StartKeyWaiter(const std::string& slavePath) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    const int fd = open(slavePath.c_str(), O_RDWR);  // becomes the controlling terminal
    if (fd < 0 || ioctl(fd, TIOCSCTTY, 0) != 0) _exit(kSetupFailed);
    termios cooked{};
    tcgetattr(fd, &cooked);
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    tcsetattr(fd, TCSANOW, &cooked);
    platform::WaitForKeyPress();
    termios after{};
    tcgetattr(fd, &after);
    const tcflag_t mask = ICANON | ECHO | ISIG;
    _exit((after.c_lflag & mask) == (cooked.c_lflag & mask) ? kReturned : kModeChanged);
  }
  return child;
}

// Waits up to `ms` for the child; -1 when it is still running.
int WaitChild(pid_t child, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return -1;
}

TEST(KeyPress, AKeyEndsTheWaitAndTheModeComesBack) {
  testsupport::PtyPair pty;
  const pid_t child = StartKeyWaiter(pty.SlavePath());
  EXPECT_EQ(WaitChild(child, 300), -1) << "the wait ended without a key";
  pty.Send(std::string("k"));  // one key, no Enter: line input is off
  EXPECT_EQ(WaitChild(child, 5000), kReturned);
}

TEST(KeyPress, AKeyTypedEarlierCounts) {
  testsupport::PtyPair pty;
  pty.Send(std::string("q"));
  const pid_t child = StartKeyWaiter(pty.SlavePath());
  EXPECT_EQ(WaitChild(child, 5000), kReturned);
}

TEST(KeyPress, TerminationDuringTheWaitRestoresTheMode) {
  testsupport::PtyPair pty;
  const pid_t child = StartKeyWaiter(pty.SlavePath());
  ASSERT_EQ(WaitChild(child, 300), -1);
  kill(child, SIGTERM);
  EXPECT_EQ(WaitChild(child, 5000), 100 + SIGTERM);
  // The slave still open by the pair shows the mode the child had set.
  const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios t{};
  tcgetattr(fd, &t);
  close(fd);
  EXPECT_TRUE(t.c_lflag & ICANON);
  EXPECT_TRUE(t.c_lflag & ECHO);
}

TEST(KeyPress, WithoutAControllingTerminalTheWaitEndsAtOnce) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    platform::WaitForKeyPress();
    _exit(kReturned);
  }
  EXPECT_EQ(WaitChild(child, 3000), kReturned);
}

TEST(StopSignals, AnInterruptIsRecordedWithItsExitStatus) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    platform::InstallStopHandlers();
    if (platform::StopRequested() || platform::StopExitStatus() != 0) _exit(1);
    raise(SIGINT);
    _exit(platform::StopRequested() ? platform::StopExitStatus() - 128 : 2);
  }
  EXPECT_EQ(WaitChild(child, 3000), SIGINT);
}

}  // namespace
