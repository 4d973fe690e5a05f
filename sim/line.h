// The box's end of the serial line: the master of a new pseudo-terminal, or
// a serial device.
#pragma once

#include <cstdint>
#include <string>

namespace stb {

struct Line {
  int fd = -1;        // non-blocking, raw
  int keepFd = -1;    // the pty slave the box holds open itself; -1 for a device
  std::string path;   // what the host opens
  std::string error;  // empty on success
};

// A new pty pair in raw mode; the slave stays open in `keepFd`.
Line OpenPtyLine();
// A serial device in raw mode, 8N1, at `baud` when it is a standard rate
// (0: the speed is left as it is).
Line OpenDeviceLine(const std::string& path, uint32_t baud);
void CloseLine(Line& line);

}  // namespace stb
