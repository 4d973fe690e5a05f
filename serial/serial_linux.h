// Linux-only serial ioctls, kept apart from <termios.h>: the kernel's own
// termios header cannot share a translation unit with it.
#pragma once

#include <cstdint>

namespace serial_linux {

// Sets `baud` as a custom rate (termios2 with BOTHER) and reads back the
// rate in effect. False when the device refuses it or rounds it too far.
bool SetCustomBaud(int fd, uint32_t baud);

// Asks the driver for low-latency mode; true when this call switched it on
// (so that Close can switch it off again). Devices without it are left alone.
bool EnableLowLatency(int fd);
void DisableLowLatency(int fd);

}  // namespace serial_linux
