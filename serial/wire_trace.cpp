#include "serial/wire_trace.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// " XX" for each byte value, made once: a trace line is built by copying.
struct HexTable {
  char text[256][4];
  constexpr HexTable() : text() {
    for (int b = 0; b < 256; ++b) {
      text[b][0] = ' ';
      text[b][1] = kHexDigits[b >> 4];
      text[b][2] = kHexDigits[b & 0x0F];
      text[b][3] = '\0';
    }
  }
};
constexpr HexTable kHex;
constexpr int64_t kUsPerMs = 1000;
// The longest stamp with its separator: 20 digits, the point, 3 decimals, a
// blank; and each byte takes three characters.
constexpr size_t kMaxStampSize = 32;
constexpr size_t kCharsPerByte = 3;

// Appends the decimal digits of `value`.
void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  size_t n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) out.push_back(digits[--n]);
}

}  // namespace

std::unique_ptr<WireTrace> WireTrace::StartFromEnvironment() {
  const char* path = std::getenv(kEnvironmentVariable);
  if (path == nullptr || *path == '\0') return nullptr;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) {
    std::fprintf(stderr, "Warning: cannot create the trace file %s: %s; going on without a trace.\n",
                 path, std::strerror(errno));
    return nullptr;
  }
  return std::make_unique<WireTrace>(file);
}

WireTrace::WireTrace(std::FILE* file) : file_(file), start_(std::chrono::steady_clock::now()) {
  // The file's own buffer would only copy each piece once more.
  std::setvbuf(file_, nullptr, _IONBF, 0);
  buffer_.reserve(kBufferSize);
}

WireTrace::~WireTrace() {
  Flush();
  std::fclose(file_);
}

int64_t WireTrace::ElapsedUs() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               start_)
      .count();
}

void WireTrace::Stamp(int64_t us) {
  AppendNumber(buffer_, static_cast<uint64_t>(us / kUsPerMs));
  const int64_t fraction = us % kUsPerMs;
  buffer_.push_back('.');
  buffer_.push_back(static_cast<char>('0' + fraction / 100));
  buffer_.push_back(static_cast<char>('0' + fraction / 10 % 10));
  buffer_.push_back(static_cast<char>('0' + fraction % 10));
}

void WireTrace::EndLine(int64_t us) {
  buffer_.push_back('\n');
  if (buffer_.size() + kMaxStampSize >= kBufferSize || us - lastFlushUs_ >= kFlushIntervalMs * kUsPerMs) {
    Flush();
    lastFlushUs_ = us;
  }
}

void WireTrace::Bytes(char direction, const uint8_t* data, size_t count) {
  if (count == 0) return;
  const int64_t us = ElapsedUs();
  if (buffer_.size() + kMaxStampSize + count * kCharsPerByte > kBufferSize) Flush();
  Stamp(us);
  buffer_.push_back(' ');
  buffer_.push_back(direction);
  // Grow once, then fill in place: this runs for every byte of a 1 MB read.
  const size_t at = buffer_.size();
  buffer_.resize(at + count * kCharsPerByte);
  char* out = buffer_.data() + at;
  for (size_t i = 0; i < count; ++i, out += kCharsPerByte)
    std::memcpy(out, kHex.text[data[i]], kCharsPerByte);
  EndLine(us);
}

void WireTrace::Note(const std::string& text) {
  const int64_t us = ElapsedUs();
  if (buffer_.size() + kMaxStampSize + text.size() > kBufferSize) Flush();
  buffer_.append("# ");
  Stamp(us);
  buffer_.push_back(' ');
  buffer_.append(text);
  EndLine(us);
}

void WireTrace::Flush() {
  if (buffer_.empty()) return;
  std::fwrite(buffer_.data(), 1, buffer_.size(), file_);
  buffer_.clear();
}
