// The microcode upload: start byte, acknowledged records, progress line.
#pragma once

class SerialPort;

// Uploads the built-in microcode over the open port. Returns 0 after success
// and -1 after a failure; the port is closed on every outcome.
int UploadMicrocode(SerialPort& port);
