// POSIX side of the platform layer: monotonic clock, pauses, the terminal
// for the key press, and the stop signals.
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <iterator>

namespace platform {

namespace {

constexpr size_t kRedirectedBufferSize = 4096;
constexpr int kExitStatusSignalBase = 128;

volatile sig_atomic_t gStopSignal = 0;

void OnStopSignal(int sig) {
  if (gStopSignal == 0) gStopSignal = sig;
}

// The terminal the key press has changed, so that a signal arriving during
// the wait can put it back before the process ends.
volatile sig_atomic_t gKeyTtyFd = -1;
termios gKeyTtySaved{};

void RestoreKeyTtyAndDie(int sig) {
  int fd = gKeyTtyFd;
  if (fd >= 0) tcsetattr(fd, TCSANOW, &gKeyTtySaved);
  signal(sig, SIG_DFL);
  raise(sig);
}

}  // namespace

uint32_t TickCountMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  const uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u +
                      static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
#ifdef __linux__
  // The protocol's pauses are 1 to 50 ms; the default 50 us timer slack
  // adds to every one of them, thousands of times per upload.
  static const bool slackSet = prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
  (void)slackSet;
#endif
  timespec end{};
  clock_gettime(CLOCK_MONOTONIC, &end);
  end.tv_sec += static_cast<time_t>(ms / 1000u);
  end.tv_nsec += static_cast<long>(ms % 1000u) * 1000000L;
  if (end.tv_nsec >= 1000000000L) {
    end.tv_sec += 1;
    end.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &end, nullptr) == EINTR) {
  }
}

void SetupConsoleOutput() {
  if (isatty(STDOUT_FILENO)) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
  } else {
    std::setvbuf(stdout, nullptr, _IOFBF, kRedirectedBufferSize);
  }
}

void WaitForKeyPress() {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;  // no controlling terminal: nobody to press a key
  termios saved{};
  if (tcgetattr(fd, &saved) != 0) {
    close(fd);
    return;
  }
  gKeyTtySaved = saved;
  gKeyTtyFd = fd;

  // A signal during the wait puts the terminal back first. Where stop
  // handling is in force it is only recorded and the wait ends normally;
  // otherwise the signal keeps its default meaning once the mode is back.
  const bool stopHandling = []() {
    struct sigaction current{};
    sigaction(SIGTERM, nullptr, &current);
    return current.sa_handler == OnStopSignal;
  }();
  struct sigaction onSignal{};
  onSignal.sa_handler = stopHandling ? OnStopSignal : RestoreKeyTtyAndDie;
  sigemptyset(&onSignal.sa_mask);
  constexpr int kWaitSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
  struct sigaction oldActions[std::size(kWaitSignals)]{};
  for (size_t i = 0; i < std::size(kWaitSignals); ++i)
    sigaction(kWaitSignals[i], &onSignal, &oldActions[i]);

  termios raw = saved;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO | ISIG));
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  tcsetattr(fd, TCSANOW, &raw);

  for (;;) {
    if (StopRequested()) break;
    pollfd p{fd, POLLIN, 0};
    const int r = poll(&p, 1, -1);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    unsigned char key = 0;
    const ssize_t n = read(fd, &key, 1);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    break;  // a key, or the terminal went away
  }

  tcsetattr(fd, TCSANOW, &saved);
  gKeyTtyFd = -1;
  for (size_t i = 0; i < std::size(kWaitSignals); ++i)
    sigaction(kWaitSignals[i], &oldActions[i], nullptr);
  close(fd);
}

void InstallStopHandlers() {
  struct sigaction sa{};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: blocking waits return with EINTR
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

bool StopRequested() { return gStopSignal != 0; }

int StopExitStatus() {
  const int sig = gStopSignal;
  return sig == 0 ? 0 : kExitStatusSignalBase + sig;
}

}  // namespace platform
