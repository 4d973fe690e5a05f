#include "flash/pass_record.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

namespace {

// ---- Text -----------------------------------------------------------------

bool IsLineBreak(char c) { return c == '\n' || c == '\r'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || IsLineBreak(c); }

// ---- JSON -----------------------------------------------------------------

constexpr unsigned char kFirstPrintable = 0x20;
constexpr char kHexDigits[] = "0123456789abcdef";
constexpr int kNibbleBits = 4;
constexpr unsigned kNibbleMask = 0xFu;

// A JSON string. Quote and backslash are escaped, control characters become
// \u00xx. Bytes from 0x80 up are copied as they are: file names are bytes,
// and a name that is not UTF-8 should still be found again byte for byte in
// the report, even though a strict UTF-8 reader may then refuse that line.
void AppendJsonString(std::string& out, std::string_view text) {
  out += '"';
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < kFirstPrintable) {
      out += "\\u00";
      out += kHexDigits[byte >> kNibbleBits];
      out += kHexDigits[byte & kNibbleMask];
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendKey(std::string& out, std::string_view key) {
  if (out.size() > 1) out += ',';
  AppendJsonString(out, key);
  out += ':';
}

void AppendString(std::string& out, std::string_view key, std::string_view value) {
  AppendKey(out, key);
  AppendJsonString(out, value);
}

void AppendNumber(std::string& out, std::string_view key, uint64_t value) {
  AppendKey(out, key);
  out += std::to_string(value);
}

// "2026-12-11T17:05:03Z"; null when gmtime cannot represent the time.
// std::gmtime's shared result is fine here: flash mode is single-threaded.
constexpr char kTimeFormat[] = "%Y-%m-%dT%H:%M:%SZ";
constexpr size_t kTimeTextSize = 64;  // the format's 20 characters with room for long years

void AppendTime(std::string& out, std::string_view key, std::time_t at) {
  AppendKey(out, key);
  char text[kTimeTextSize];
  const std::tm* utc = std::gmtime(&at);
  const size_t length = utc ? std::strftime(text, sizeof text, kTimeFormat, utc) : 0;
  if (length == 0)
    out += "null";
  else
    AppendJsonString(out, std::string_view(text, length));
}

// Seconds with three decimals, whatever the locale. A duration that is not
// a finite number above 0 shows as 0: JSON has no NaN or infinity, and a
// negative duration means a clock went back.
constexpr int kSecondsDecimals = 3;
// The largest double in fixed notation: its integer digits, point, decimals.
constexpr size_t kSecondsTextSize = std::numeric_limits<double>::max_exponent10 + 1 + 1 + kSecondsDecimals;

void AppendSeconds(std::string& out, std::string_view key, double seconds) {
  AppendKey(out, key);
  if (!(seconds > 0) || !std::isfinite(seconds)) seconds = 0;
  char text[kSecondsTextSize];
  const auto [end, ec] =
      std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed, kSecondsDecimals);
  if (ec == std::errc())
    out.append(text, end);
  else
    out += '0';
}

constexpr int kCrcDigits = 8;

void AppendCrc(std::string& out, std::string_view key, uint32_t crc) {
  AppendKey(out, key);
  std::string digits(kCrcDigits, '0');
  for (int i = kCrcDigits - 1; i >= 0; --i, crc >>= kNibbleBits) digits[i] = kHexDigits[crc & kNibbleMask];
  AppendJsonString(out, digits);
}

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

// ---- Summary --------------------------------------------------------------

constexpr std::string_view kDone = "done";
constexpr std::string_view kRefused = "refused";
constexpr std::string_view kStopped = "stopped";

}  // namespace

std::string OneLine(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  std::string line;
  line.reserve(end - begin);
  for (size_t i = begin; i < end;) {
    if (!IsBlank(text[i])) {
      line += text[i++];
      continue;
    }
    size_t runEnd = i;
    bool hasBreak = false;
    while (runEnd < end && IsBlank(text[runEnd])) hasBreak |= IsLineBreak(text[runEnd++]);
    if (hasBreak)
      line += ' ';
    else
      line.append(text, i, runEnd - i);
    i = runEnd;
  }
  return line;
}

std::string ReportPath() {
  const char* path = std::getenv(kReportVariable);
  return path ? path : "";
}

std::string FormatPassRecord(const PassRecord& record, std::time_t endedAt) {
  std::string line = "{";
  AppendTime(line, "time", endedAt);
  AppendString(line, "port", record.port);
  AppendNumber(line, "pass", record.pass);
  AppendString(line, "mode", record.mode);
  if (record.flashId) AppendString(line, "flash_id", *record.flashId);
  if (record.size) AppendNumber(line, "size", *record.size);
  if (record.file) AppendString(line, "file", *record.file);
  AppendString(line, "result", record.result);
  if (record.message) AppendString(line, "message", OneLine(*record.message));
  AppendSeconds(line, "seconds", record.seconds);
  AppendNumber(line, "bytes", record.bytes);
  AppendNumber(line, "line_errors", record.lineErrors);
  if (record.crc32) AppendCrc(line, "crc32", *record.crc32);
  line += "}\n";
  return line;
}

std::string AppendPassRecord(const std::string& path, const PassRecord& record, std::time_t endedAt) {
  const std::string line = FormatPassRecord(record, endedAt);
  // The stream's buffer holds the whole line with a byte to spare, so fwrite
  // only copies it and the fflush hands it to the system in one write; with
  // the file opened for appending, that write lands whole at the end of the
  // file even when other processes append at the same time. (On Windows the
  // C library seeks to the end before the write instead, which is not
  // atomic between processes.)
  std::string buffer(line.size() + 1, '\0');
  std::FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) return ErrnoText("cannot open the report file", path, errno);
  if (std::setvbuf(file, buffer.data(), _IOFBF, buffer.size()) != 0) {
    const int err = errno;
    std::fclose(file);
    return ErrnoText("cannot set up writing to the report file", path, err);
  }
  const bool written = std::fwrite(line.data(), 1, line.size(), file) == line.size();
  const int writeErr = errno;
  const bool flushed = written && std::fflush(file) == 0;
  const int flushErr = errno;
  const bool closed = std::fclose(file) == 0;
  const int closeErr = errno;
  if (!written) return ErrnoText("cannot write to the report file", path, writeErr);
  if (!flushed) return ErrnoText("cannot write to the report file", path, flushErr);
  if (!closed) return ErrnoText("cannot close the report file", path, closeErr);
  return {};
}

std::string FormatRunSummary(const std::vector<PassOutcome>& passes) {
  if (passes.empty()) return {};
  unsigned done = 0, failed = 0, refused = 0, stopped = 0;
  std::string details;
  for (const PassOutcome& outcome : passes) {
    if (outcome.result == kDone) {
      ++done;
      continue;
    }
    if (outcome.result == kRefused)
      ++refused;
    else if (outcome.result == kStopped)
      ++stopped;
    else
      ++failed;  // "failed", and any result not known here
    std::string message = OneLine(outcome.message);
    if (message.empty()) message = OneLine(outcome.result);
    details += " pass " + std::to_string(outcome.pass) + ": " + message + "\n";
  }
  std::string summary = " passes: " + std::to_string(passes.size()) + ", done: " + std::to_string(done) +
                        ", failed: " + std::to_string(failed);
  if (refused != 0) summary += ", refused: " + std::to_string(refused);
  if (stopped != 0) summary += ", stopped: " + std::to_string(stopped);
  return summary + "\n" + details;
}
