// Help for a person when a port does not open: what the name stands for,
// why it did not open in plain words, and the serial devices present, each
// with the command line that would use it. The caller prints it on standard
// error, after the open error on standard output.
#pragma once

#include <string>
#include <vector>

#include "serial/serial_port.h"

struct SerialDevice {
  std::string name;    // what to give tarvex: a device path (Linux), COMn (Windows)
  std::string device;  // what it is: the device a by-id name points to, the
                       // system's device name of a COM port; empty when the same
};

#ifdef _WIN32
inline constexpr char kSerialDeviceRoot[] = "";
#else
inline constexpr char kSerialDeviceRoot[] = "/dev";
#endif

// The serial devices present that a user may have meant. Linux: the
// adapters under `root` (ttyUSB<n>, ttyACM<n>), each by its serial/by-id
// name where it has one. Windows: the COM ports the system knows (`root` is
// not used).
std::vector<SerialDevice> ListSerialDevices(const std::string& root = kSerialDeviceRoot);

// The help lines, each ending in "\n". `commandLine` is the user's own
// command line (program, upgrade file, port option, speed, ...): the lines
// suggested for the devices in `present` are built from it.
std::string OpenFailureHelp(const OpenFailure& failure, const std::vector<std::string>& commandLine,
                            const std::vector<SerialDevice>& present);

// The system's own words for an error number (errno, or GetLastError() on
// Windows), without a final full stop.
std::string SystemErrorText(int error);

// `commandLine` as a line to type, with the port option replaced by
// `portOption` (unless empty) and quoted for the system's shell.
std::string SuggestedCommand(const std::vector<std::string>& commandLine,
                             const std::string& portOption);
