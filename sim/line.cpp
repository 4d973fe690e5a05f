#include "sim/line.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace stb {

namespace {

bool MakeRaw(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0) return false;
  cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD;
  t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

struct SpeedName {
  uint32_t baud;
  speed_t code;
};
constexpr SpeedName kSpeeds[] = {{110, B110},       {300, B300},       {600, B600},
                                 {1200, B1200},     {2400, B2400},     {4800, B4800},
                                 {9600, B9600},     {19200, B19200},   {38400, B38400},
                                 {57600, B57600},   {115200, B115200}, {230400, B230400},
                                 {460800, B460800}, {921600, B921600}};

Line Fail(Line& line, const std::string& message) {
  line.error = message + ": " + std::strerror(errno);
  CloseLine(line);
  return line;
}

}  // namespace

Line OpenPtyLine() {
  Line line;
  line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0)
    return Fail(line, "cannot create a pseudo-terminal");
  const char* name = ptsname(line.fd);
  if (!name) return Fail(line, "cannot name the pseudo-terminal");
  line.path = name;
  // Raw at once, so nothing the host sends is echoed or translated.
  if (!MakeRaw(line.fd)) return Fail(line, "cannot set the pseudo-terminal raw");
  line.keepFd = open(line.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (line.keepFd < 0 || !MakeRaw(line.keepFd)) return Fail(line, "cannot open " + line.path);
  if (fcntl(line.fd, F_SETFL, fcntl(line.fd, F_GETFL) | O_NONBLOCK) != 0)
    return Fail(line, "cannot set the pseudo-terminal non-blocking");
  return line;
}

Line OpenDeviceLine(const std::string& path, uint32_t baud) {
  Line line;
  line.path = path;
  line.fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (line.fd < 0) return Fail(line, "cannot open " + path);
  if (!MakeRaw(line.fd)) return Fail(line, "cannot configure " + path);
  if (baud != 0) {
    const SpeedName* found = nullptr;
    for (const SpeedName& s : kSpeeds)
      if (s.baud == baud) found = &s;
    if (!found) {
      errno = EINVAL;
      return Fail(line, "cannot set " + path + " to " + std::to_string(baud) + " baud");
    }
    termios t{};
    if (tcgetattr(line.fd, &t) != 0 || cfsetispeed(&t, found->code) != 0 ||
        cfsetospeed(&t, found->code) != 0 || tcsetattr(line.fd, TCSANOW, &t) != 0)
      return Fail(line, "cannot set " + path + " to " + std::to_string(baud) + " baud");
  }
  return line;
}

void CloseLine(Line& line) {
  if (line.fd >= 0) close(line.fd);
  if (line.keepFd >= 0) close(line.keepFd);
  line.fd = -1;
  line.keepFd = -1;
}

}  // namespace stb
