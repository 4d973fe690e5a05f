// SerialPort over the Win32 communications API.
//
// COMn opens as \\.\COMn, which every port number needs from COM10 up; the
// messages keep showing COMn. The handle is exclusive (share mode 0) and
// synchronous: every ReadFile and WriteFile returns when its transfer has
// ended, and the driver times reads with COMMTIMEOUTS, whose interval
// starts with the first byte received and whose total starts with the read.
#include "serial/serial_port.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "serial/open_help.h"
#include "serial/wire_trace.h"

namespace {

constexpr const char kComPrefix[] = "COM";
constexpr const char kDevicePrefix[] = "\\\\.\\";
constexpr size_t kMaxPortDigits = 9;
constexpr DWORD kQueueSize = 1024;  // driver input and output queues

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

// COMn with n a decimal number from 1 up, written without leading zeros.
// Nothing else opens: the device namespace holds far more than serial ports.
bool IsComName(const std::string& name) {
  const std::string prefix = kComPrefix;
  if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
  const std::string digits = name.substr(prefix.size());
  if (digits.size() > kMaxPortDigits || digits[0] == '0') return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  return true;
}

// The errors that the port's status query meets once the device has gone
// (a USB adapter unplugged, its driver removed; Wine reports a hung-up
// Unix line as ERROR_NOT_READY).
bool IsDeviceGoneError(DWORD error) {
  switch (error) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
    case ERROR_GEN_FAILURE:
    case ERROR_NOT_READY:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
      return true;
    default:
      return false;
  }
}

// What the error of CreateFileA says about a port that did not open.
OpenFailure::Kind KindOfCreateError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_BAD_UNIT:
    case ERROR_DEV_NOT_EXIST:
      return OpenFailure::Kind::kNoDevice;
    // Share mode 0: a port that another program has open is refused with
    // "access denied".
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:  // Wine, for a Unix device held with TIOCEXCL
    case ERROR_BUSY:
      return OpenFailure::Kind::kHeld;
    default:
      return OpenFailure::Kind::kOther;
  }
}

}  // namespace

SerialPort::SerialPort() : handle_(INVALID_HANDLE_VALUE) {}

SerialPort::~SerialPort() { Close(); }

bool SerialPort::IsOpen() const { return AsHandle(handle_) != INVALID_HANDLE_VALUE; }

bool SerialPort::Lost() const { return lost_; }

bool SerialPort::Open(const std::string& name, uint32_t baud, uint32_t readTotalTimeoutMs) {
  if (IsOpen()) {
    failure_ = {OpenFailure::Kind::kAlreadyOpen, name, {}, false, baud, 0};
    return false;
  }
  failure_ = {OpenFailure::Kind::kNone, name, {}, false, baud, 0};
  trace_ = WireTrace::StartFromEnvironment();
  auto refuse = [this](OpenFailure::Kind kind, DWORD error) {
    failure_.kind = kind;
    failure_.systemError = static_cast<int>(error);
    if (trace_) {
      trace_->Note("open failed: " + (error ? SystemErrorText(static_cast<int>(error)) : std::string("no such port name")));
      trace_.reset();
    }
    return false;
  };
  if (!IsComName(name)) {
    if (trace_) trace_->Note("open " + name + ": not a port name");
    return refuse(OpenFailure::Kind::kBadName, 0);
  }
  const std::string path = std::string(kDevicePrefix) + name;
  failure_.device = path;
  if (trace_) trace_->Note("open " + name + " (" + path + ") at " + std::to_string(baud) + " baud");

  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return refuse(KindOfCreateError(error), error);
  }
  auto fail = [handle, &refuse](OpenFailure::Kind kind) {
    const DWORD error = GetLastError();
    CloseHandle(handle);
    return refuse(kind, error);
  };

  // A device that takes no queue sizes is no serial port.
  if (!SetupComm(handle, kQueueSize, kQueueSize)) return fail(OpenFailure::Kind::kNotSerial);

  // Only the speed, framing and flow control change; DTR/RTS control, DSR
  // sensitivity, parity checking and the XON/XOFF characters stay as the
  // port had them.
  DCB dcb{};
  dcb.DCBlength = sizeof(dcb);
  GetCommState(handle, &dcb);
  dcb.DCBlength = sizeof(dcb);
  dcb.BaudRate = baud;
  dcb.fBinary = 1;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  if (!SetCommState(handle, &dcb)) return fail(OpenFailure::Kind::kRefused);

  handle_ = handle;
  lost_ = false;
  if (!SetReadTimeouts(readTotalTimeoutMs, kDefaultIntervalMs)) {
    handle_ = INVALID_HANDLE_VALUE;
    return fail(OpenFailure::Kind::kRefused);
  }
  return true;
}

bool SerialPort::SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs) {
  if (!IsOpen()) return false;
  COMMTIMEOUTS timeouts{};
  GetCommTimeouts(AsHandle(handle_), &timeouts);  // keeps the write time-outs
  timeouts.ReadIntervalTimeout = intervalMs;
  timeouts.ReadTotalTimeoutMultiplier = 0;
  timeouts.ReadTotalTimeoutConstant = totalMs;
  if (!SetCommTimeouts(AsHandle(handle_), &timeouts)) return false;
  TraceTimeouts(totalMs, intervalMs);
  totalMs_ = totalMs;
  intervalMs_ = intervalMs;
  return true;
}

void SerialPort::MarkLost(const char* what, int error) {
  if (trace_ && !lost_)
    trace_->Note(std::string("port lost: ") + what + (error ? ": " + SystemErrorText(error) : std::string()));
  lost_ = true;
}

// Asked after a failed transfer or a short read. A silent line and a line
// error leave the status query working (ClearCommError also clears the
// error that abort-on-error sets); a device that has gone fails it. A read
// on a gone device may just time out with no error, so the short read
// alone cannot tell.
bool SerialPort::CheckGone(const char* what) {
  DWORD errors = 0;
  COMSTAT status{};
  if (ClearCommError(AsHandle(handle_), &errors, &status)) return false;
  const DWORD error = GetLastError();
  if (!IsDeviceGoneError(error)) return false;
  MarkLost(what, static_cast<int>(error));
  return true;
}

bool SerialPort::Write(const uint8_t* data, uint32_t count) {
  if (!IsOpen()) {
    std::printf("write INVALID_HANDLE_VALUE\n");
    return false;
  }
  if (count == 0) return true;
  DWORD written = 0;
  const bool ok = !lost_ && WriteFile(AsHandle(handle_), data, count, &written, nullptr);
  if (!ok && !lost_) CheckGone("write");
  TraceWrite(data, count, written, !ok);
  if (!ok) {
    std::printf("write error\n");
    return false;
  }
  return written == count;
}

bool SerialPort::Read(uint8_t* buffer, uint32_t count, uint32_t* received) {
  if (received) *received = 0;
  if (!IsOpen() || lost_) return false;
  if (count == 0) return true;
  DWORD got = 0;
  const bool ok = ReadFile(AsHandle(handle_), buffer, count, &got, nullptr) && got == count;
  if (!ok) CheckGone("read");
  if (received) *received = got;
  TraceRead(buffer, count, got, platform::StopRequested());
  return ok;
}

void SerialPort::DiscardInput() {
  if (!IsOpen()) return;
  if (trace_) {
    // Read out what is waiting rather than let the driver drop it unseen:
    // the trace is to show every byte that came.
    DWORD errors = 0;
    COMSTAT status{};
    std::vector<uint8_t> dropped;
    if (ClearCommError(AsHandle(handle_), &errors, &status) && status.cbInQue > 0) {
      dropped.resize(status.cbInQue);
      DWORD got = 0;
      if (!ReadFile(AsHandle(handle_), dropped.data(), status.cbInQue, &got, nullptr)) got = 0;
      dropped.resize(got);
    }
    TraceDropped(dropped);
  }
  PurgeComm(AsHandle(handle_), PURGE_RXCLEAR);
}

bool SerialPort::InputPending() {
  if (!IsOpen() || lost_) return false;
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(AsHandle(handle_), &errors, &status)) return false;
  return status.cbInQue > 0;
}

bool SerialPort::Close() {
  if (!IsOpen()) return true;
  EndTrace();
  CloseHandle(AsHandle(handle_));
  handle_ = INVALID_HANDLE_VALUE;
  return true;
}
