// SerialPort: exclusive use of one serial port, raw 8N1 without flow control,
// exact byte counts under read time-outs.
#pragma once

#include <cstdint>
#include <string>

class SerialPort {
public:
  SerialPort();
  ~SerialPort();
  SerialPort(const SerialPort&) = delete;
  SerialPort& operator=(const SerialPort&) = delete;

  // Opens the port named `name` (COMn) at `baud`, raw 8N1, no flow control,
  // with a read total time-out of `readTotalTimeoutMs` and an interval of
  // kDefaultIntervalMs. Fails, changing nothing, when already open.
  bool Open(const std::string& name, uint32_t baud, uint32_t readTotalTimeoutMs);

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

  // Closes the port if open; always true.
  bool Close();

  bool IsOpen() const;

  // True once the device was found gone (unplugged, hung up): reads and
  // writes then fail at once instead of waiting for their time-outs.
  bool Lost() const;

  static constexpr uint32_t kDefaultIntervalMs = 30;

private:
#ifdef _WIN32
  void* handle_;  // INVALID_HANDLE_VALUE when closed
#else
  int fd_ = -1;
  bool lowLatencySet_ = false;  // this object switched the driver's low latency on
#endif
  uint32_t totalMs_ = 1000;
  uint32_t intervalMs_ = kDefaultIntervalMs;
  bool lost_ = false;
};
