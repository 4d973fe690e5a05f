// The open help on Windows: the system's error code and the COM ports the
// system knows.
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "serial/open_help.h"

namespace {

constexpr const char kComPrefix[] = "COM";
constexpr const char kSerialCommKey[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD kDosDeviceListSize = 1 << 16;
constexpr DWORD kRegistryTextSize = 256;
constexpr DWORD kMessageSize = 512;

long PortNumber(const std::string& name) {
  const std::string prefix = kComPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
  const std::string digits = name.substr(prefix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits[0] == '0') return -1;
  return std::strtol(digits.c_str(), nullptr, 10);
}

void AddPort(std::vector<SerialDevice>& ports, const std::string& name, const std::string& device) {
  if (PortNumber(name) < 0) return;
  for (SerialDevice& p : ports) {
    if (p.name == name) {
      if (p.device.empty()) p.device = device;
      return;
    }
  }
  ports.push_back({name, device});
}

}  // namespace

std::string SystemErrorText(int error) {
  char text[kMessageSize] = {};
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string out(text, n);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  if (out.empty()) out = "error " + std::to_string(error);
  return out;
}

std::vector<SerialDevice> ListSerialDevices(const std::string&) {
  std::vector<SerialDevice> ports;
  // The ports that the drivers have announced, with their device names.
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
    for (DWORD i = 0;; ++i) {
      char valueName[kRegistryTextSize] = {};
      BYTE data[kRegistryTextSize] = {};
      DWORD nameSize = sizeof valueName;
      DWORD dataSize = sizeof data - 1;
      DWORD type = 0;
      const LONG r = RegEnumValueA(key, i, valueName, &nameSize, nullptr, &type, data, &dataSize);
      if (r == ERROR_NO_MORE_ITEMS) break;
      if (r != ERROR_SUCCESS || type != REG_SZ) continue;
      AddPort(ports, reinterpret_cast<const char*>(data), valueName);
    }
    RegCloseKey(key);
  }
  // And every COMn name the system answers to.
  std::vector<char> names(kDosDeviceListSize);
  const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  for (const char* at = names.data(); n > 0 && at < names.data() + n && *at; at += std::strlen(at) + 1) {
    const std::string name = at;
    if (PortNumber(name) < 0) continue;
    char target[kRegistryTextSize] = {};
    const std::string device = QueryDosDeviceA(name.c_str(), target, sizeof target) ? target : "";
    AddPort(ports, name, device);
  }
  std::sort(ports.begin(), ports.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return PortNumber(a.name) < PortNumber(b.name);
  });
  return ports;
}

std::string OpenFailureHelp(const OpenFailure& failure, const std::vector<std::string>& commandLine,
                            const std::vector<SerialDevice>& present) {
  using Kind = OpenFailure::Kind;
  const std::string& name = failure.name;
  const std::string systemText =
      failure.systemError ? SystemErrorText(failure.systemError) + " (error " + std::to_string(failure.systemError) + ")" : "";
  std::string help;
  switch (failure.kind) {
    case Kind::kNone:
      return {};
    case Kind::kAlreadyOpen:
      return name + ": this program has a port open already.\n";
    case Kind::kBadName:
      help += name + " names no port: COM names need a number from 1 up, without leading zeros "
              "(COM1, COM2, ...).\n";
      break;
    case Kind::kNoDevice:
      help += name + " (" + failure.device + "): no such port: " + systemText + ".\n";
      break;
    case Kind::kHeld:
      help += name + " (" + failure.device + "): held by another program: " + systemText +
              ". Close the program that uses it (a terminal, another tarvex) and try again.\n";
      break;
    case Kind::kNotSerial:
      help += name + " (" + failure.device + "): not a serial port: " + systemText + ".\n";
      break;
    case Kind::kRefused:
      help += name + " (" + failure.device + "): the port refused the settings (" +
              std::to_string(failure.baud) + " baud, 8N1): " + systemText + "; try another speed.\n";
      break;
    case Kind::kNoAccess:
    case Kind::kOther:
      help += name + " (" + failure.device + "): " + systemText + ".\n";
      break;
  }
  std::vector<const SerialDevice*> others;
  for (const SerialDevice& d : present)
    if (d.name != name) others.push_back(&d);
  if (others.empty()) {
    if (failure.kind != Kind::kHeld)
      help += "No serial port is present: plug the adapter in; Device Manager lists ports under "
              "\"Ports (COM & LPT)\".\n";
    return help;
  }
  help += std::string(others.size() == 1 ? "This serial port is" : "These serial ports are") +
          " present; the line that uses " + (others.size() == 1 ? "it" : "each") + ":\n";
  for (const SerialDevice* d : others) {
    help += "  " + SuggestedCommand(commandLine, "-" + d->name);
    if (!d->device.empty()) help += "    (" + d->device + ")";
    help += "\n";
  }
  return help;
}
