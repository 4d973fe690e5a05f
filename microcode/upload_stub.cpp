#include "microcode/upload.h"

#include <cstdio>

#include "serial/serial_port.h"

int UploadMicrocode(SerialPort& port) {
  std::printf("Microcode upload is not available in this build.\n");
  port.Close();
  return -1;
}
