#include "tests/serial/line_speed.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

uint32_t LineSpeedOf(const std::string& devicePath) {
  const int fd = open(devicePath.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  termios2 t{};
  const int r = ioctl(fd, TCGETS2, &t);
  close(fd);
  return r == 0 ? t.c_ospeed : 0;
}
