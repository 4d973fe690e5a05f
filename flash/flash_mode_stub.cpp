#include "flash/flash_mode.h"

#include <cstdio>

#include "serial/serial_port.h"

int RunFlashMode(SerialPort& port, const RunOptions&) {
  std::printf("Flash mode is not available in this build.\n");
  port.Close();
  return -1;
}
