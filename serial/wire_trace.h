// The wire trace: a text file of everything that crossed the serial line,
// for a person who must find out what a real box did.
//
//   # 0.000 open COM1 (/dev/ttyUSB0) at 115200 baud
//   12.345 > 13 3A 01 00 06
//   14.020 < 62 61
//   # 1012.001 read time-out: wanted 2, got 0
//
// Each line starts with the milliseconds since the trace began (three
// decimals). A line with ">" holds the bytes of one write to the box, one
// with "<" the bytes of one read from it (bytes dropped unread included), in
// uppercase hex; a line starting with "#" tells what happened without bytes.
// Lines are gathered in memory and go to the file in large pieces: when the
// buffer is full, with the first line made kFlushIntervalMs or more after
// the last piece went, and when the trace ends. Tracing thus does not slow
// the line down, and a run killed outright still leaves whole lines behind,
// all but the last moment's.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

class WireTrace {
public:
  // The environment variable that names the trace file.
  static constexpr const char kEnvironmentVariable[] = "TARVEX_TRACE";

  // Starts a trace in the file that TARVEX_TRACE names, created anew.
  // nullptr when the variable is unset or empty, or when the file cannot be
  // created (which is said on standard error; the run goes on untraced).
  static std::unique_ptr<WireTrace> StartFromEnvironment();

  explicit WireTrace(std::FILE* file);  // takes the file over
  ~WireTrace();                         // writes what is left and closes
  WireTrace(const WireTrace&) = delete;
  WireTrace& operator=(const WireTrace&) = delete;

  // `direction` is '>' (to the box) or '<' (from the box).
  void Bytes(char direction, const uint8_t* data, size_t count);
  void Note(const std::string& text);
  // Writes what is gathered to the file.
  void Flush();

  // Room for about three seconds of a 256000 baud line's bytes as text; a
  // trace goes to the file sooner, at kFlushIntervalMs.
  static constexpr size_t kBufferSize = 256 * 1024;
  static constexpr int64_t kFlushIntervalMs = 250;

private:
  int64_t ElapsedUs() const;
  void Stamp(int64_t us);
  void EndLine(int64_t us);

  std::FILE* file_;
  std::string buffer_;
  std::chrono::steady_clock::time_point start_;
  int64_t lastFlushUs_ = 0;
};
