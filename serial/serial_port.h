// SerialPort: exclusive use of one serial port, raw 8N1 without flow control,
// exact byte counts under read time-outs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class WireTrace;

// Why the last Open failed, as the system told it; OpenFailureHelp turns it
// into words for a person.
struct OpenFailure {
  enum class Kind {
    kNone,         // the last Open succeeded, or none was tried
    kAlreadyOpen,  // the object already holds a port
    kBadName,      // the name stands for no device (COM0, COM01, -COM2)
    kNoDevice,     // no such device
    kNoAccess,     // the user may not open the device
    kHeld,         // another program holds it
    kNotSerial,    // the device is not a serial port
    kRefused,      // the device refused the line settings
    kOther,        // any other error of the system's
  };
  Kind kind = Kind::kNone;
  std::string name;    // as given, e.g. COM1
  std::string device;  // what the name stands for, e.g. /dev/ttyS0 or \\.\COM1
  bool mapped = false; // the device came from TARVEX_<name> (Linux)
  uint32_t baud = 0;
  int systemError = 0;  // errno, or GetLastError() on Windows
};

class SerialPort {
public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the port named `name` (COMn) at `baud`, raw 8N1, no flow control,
  // with a read total time-out of `readTotalTimeoutMs` and an interval of
  // kDefaultIntervalMs. Fails, changing nothing, when already open.
  // When the environment variable TARVEX_TRACE names a file, Open starts a
  // wire trace there (see serial/wire_trace.h), which Close ends.
  bool Open(const std::string& name, uint32_t baud, uint32_t readTotalTimeoutMs);

  // Why the last Open failed.
  const OpenFailure& LastOpenFailure() const { return failure_; }

  // Writes "# <ms> <text>" into the wire trace; does nothing without one.
  void TraceNote(const std::string& text);

  // True while a wire trace is being written, so that callers can skip
  // building notes nobody reads.
  bool Tracing() const { return trace_ != nullptr; }

  // A read ends when its count has arrived, when more than `intervalMs`
  // passes between two received bytes (counted from the first byte), or
  // when `totalMs` has passed since the read began.
  bool SetReadTimeouts(uint32_t totalMs, uint32_t intervalMs);

  // Sends all `count` bytes and returns once they have left the port.
  bool Write(const uint8_t* data, uint32_t count);

  // Receives into `buffer`; true only when exactly `count` bytes arrived.
  // Bytes that did arrive stand at the start of the buffer, the rest is left
  // as it was. When `received` is given it gets the number that arrived.
  bool Read(uint8_t* buffer, uint32_t count, uint32_t* received = nullptr);

  // Drops whatever has already arrived and is waiting to be read.
  void DiscardInput();

  // True when bytes have arrived that no read has taken yet. Never waits.
  bool InputPending();

  // Closes the port if open, and ends the wire trace; always true.
  bool Close();

  bool IsOpen() const;

  // True once the device was found gone (unplugged, hung up): reads and
  // writes then fail at once instead of waiting for their time-outs.
  bool Lost() const;

  static constexpr uint32_t kDefaultIntervalMs = 30;

private:
#ifdef _WIN32
  bool CheckGone(const char* what);  // true when the device has gone
  void* handle_;  // INVALID_HANDLE_VALUE when closed
#else
  int fd_ = -1;
  bool lowLatencySet_ = false;  // this object switched the driver's low latency on
#endif
  // Marks the device gone and says why in the trace.
  void MarkLost(const char* what, int error);
  // The wire trace's lines for each operation; nothing without a trace.
  void TraceTimeouts(uint32_t totalMs, uint32_t intervalMs);
  void TraceWrite(const uint8_t* data, uint32_t count, uint32_t written, bool failed);
  void TraceRead(const uint8_t* buffer, uint32_t count, uint32_t got, bool stopped);
  void TraceDropped(const std::vector<uint8_t>& dropped);
  void EndTrace();

  std::unique_ptr<WireTrace> trace_;
  OpenFailure failure_;
  uint32_t totalMs_ = 1000;
  uint32_t intervalMs_ = kDefaultIntervalMs;
  bool lost_ = false;
};
