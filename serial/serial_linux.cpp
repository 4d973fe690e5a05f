#include "serial/serial_linux.h"

#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace serial_linux {

namespace {
// A UART still frames bytes correctly within a few percent; a driver that
// rounds further than this has not given us the rate we asked for.
constexpr uint32_t kRateTolerancePercent = 2;

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do {
    r = ioctl(fd, request, arg);
  } while (r < 0 && errno == EINTR);
  return r;
}
}  // namespace

bool SetCustomBaud(int fd, uint32_t baud) {
  termios2 t{};
  if (Ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  t.c_ospeed = baud;
  t.c_ispeed = baud;
  if (Ioctl(fd, TCSETS2, &t) != 0) return false;
  termios2 back{};
  if (Ioctl(fd, TCGETS2, &back) != 0) return false;
  const uint32_t got = back.c_ospeed;
  const uint32_t diff = got > baud ? got - baud : baud - got;
  return static_cast<uint64_t>(diff) * 100u <= static_cast<uint64_t>(baud) * kRateTolerancePercent;
}

bool EnableLowLatency(int fd) {
  serial_struct s{};
  if (Ioctl(fd, TIOCGSERIAL, &s) != 0) return false;  // e.g. a pty: ENOTTY
  if (s.flags & ASYNC_LOW_LATENCY) return false;
  s.flags |= ASYNC_LOW_LATENCY;
  return Ioctl(fd, TIOCSSERIAL, &s) == 0;
}

void DisableLowLatency(int fd) {
  serial_struct s{};
  if (Ioctl(fd, TIOCGSERIAL, &s) != 0) return;
  s.flags &= ~ASYNC_LOW_LATENCY;
  Ioctl(fd, TIOCSSERIAL, &s);
}

}  // namespace serial_linux
