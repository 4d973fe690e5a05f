// What the serial port writes into the wire trace, the same on every
// system: the system-specific files only say what moved.
#include <string>

#include "platform/platform.h"
#include "serial/serial_port.h"
#include "serial/wire_trace.h"

void SerialPort::TraceNote(const std::string& text) {
  if (trace_) trace_->Note(text);
}

void SerialPort::TraceTimeouts(uint32_t totalMs, uint32_t intervalMs) {
  if (trace_ && (totalMs != totalMs_ || intervalMs != intervalMs_))
    trace_->Note("read time-outs: total " + std::to_string(totalMs) + " ms, interval " +
                 std::to_string(intervalMs) + " ms");
}

void SerialPort::TraceWrite(const uint8_t* data, uint32_t count, uint32_t written, bool failed) {
  if (!trace_) return;
  trace_->Bytes('>', data, written);
  if (failed || written < count)
    trace_->Note("write failed: wanted " + std::to_string(count) + ", wrote " + std::to_string(written));
}

void SerialPort::TraceRead(const uint8_t* buffer, uint32_t count, uint32_t got, bool stopped) {
  if (!trace_) return;
  trace_->Bytes('<', buffer, got);
  if (got >= count) return;
  const char* why = lost_ ? "read ended, port lost" : stopped ? "read stopped" : "read time-out";
  trace_->Note(std::string(why) + ": wanted " + std::to_string(count) + ", got " + std::to_string(got));
}

void SerialPort::TraceDropped(const std::vector<uint8_t>& dropped) {
  if (!trace_) return;
  trace_->Bytes('<', dropped.data(), dropped.size());
  trace_->Note("input dropped: " + std::to_string(dropped.size()) +
               (dropped.size() == 1 ? " byte" : " bytes"));
}

void SerialPort::EndTrace() {
  if (!trace_) return;
  if (platform::StopRequested())
    trace_->Note("stop requested, exit status " + std::to_string(platform::StopExitStatus()));
  trace_->Note("close");
  trace_.reset();
}
