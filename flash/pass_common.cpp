// What the passes of flash mode share: percentages, times, and the ways a
// pass ends.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "flash/pass.h"
#include "flash/pass_record.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace flashmode {

namespace {

constexpr uint32_t kPercentScale = 100 * kBlockSize;
constexpr uint32_t kMsPerSecond = 1000;

}  // namespace

uint32_t Percent(uint32_t block, uint32_t chipSize) {
  if (chipSize == 0) return 0;
  return block * kPercentScale / chipSize + 1;
}

uint32_t SecondsSince(uint32_t startMs) {
  return (platform::TickCountMs() - startMs) / kMsPerSecond;
}

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

PassEnd Fail(const std::string& text, PassResult result, bool newline) {
  std::printf("%sFailed: %s\n", newline ? "\n" : "", text.c_str());
  std::fflush(stdout);
  PassEnd end;
  end.result = result;
  end.message = OneLine("Failed: " + text);
  return end;
}

PassEnd Stop(SerialPort& port, const std::string& note) {
  port.Close();
  const std::string text = note.empty() ? std::string("Stopped.") : "Stopped; " + note;
  std::printf("\n%s\n", text.c_str());
  std::fflush(stdout);
  PassEnd end;
  end.endRun = true;
  end.exitStatus = platform::StopExitStatus();
  end.result = PassResult::kStopped;
  end.message = text;
  return end;
}

PassEnd PortLost(SerialPort& port, const RunOptions& options) {
  port.Close();
  const std::string text = "Failed: lost " + options.portName + " (device unplugged or hung up).";
  std::printf("\n%s\n", text.c_str());
  std::fflush(stdout);
  PassEnd end;
  end.endRun = true;
  end.exitStatus = -1;
  end.result = PassResult::kFailed;
  end.message = text;
  return end;
}

PassEnd EndOnFailure(FlashStatus status, uint32_t address, SerialPort& port,
                     const RunOptions& options, const std::string& note) {
  const std::string tail = note.empty() ? std::string(".") : "; " + note;
  char where[32];
  std::snprintf(where, sizeof where, "%08X", address);
  switch (status) {
    case FlashStatus::kPortLost:
      return PortLost(port, options);
    case FlashStatus::kStopped:
      return Stop(port, note);
    case FlashStatus::kNotResponding:
      return Fail(kNotResponding);
    case FlashStatus::kReadFailed:
      return Fail(std::string("the flash did not read back right at address=") + where + tail);
    case FlashStatus::kLineTooNoisy:
      return Fail("the line to the target brought only damaged replies; check the wiring or "
                  "lower the speed" + tail);
    case FlashStatus::kEraseUnconfirmed:
      return Fail("the chip erase did not come back clean twice; nothing programmed.");
    case FlashStatus::kOk:
      break;
  }
  return {};
}

void ReportLineErrors(const Pass& pass) {
  if (pass.line.errors == 0) return;
  std::printf(" line errors: %u (resent or repaired)\n", pass.line.errors);
  std::fflush(stdout);
}

std::FILE* OpenWriteSource(const std::string& path, std::string& error) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    error = ErrnoText("cannot read", path, EISDIR);
    return nullptr;
  }
  std::FILE* in = std::fopen(path.c_str(), "rb");
  if (!in) error = ErrnoText("cannot open", path, errno);
  return in;
}

bool ReadFileBlock(std::FILE* in, Block& block, size_t& count) {
  block.fill(kErasedByte);
  count = std::fread(block.data(), 1, block.size(), in);
  return !std::ferror(in);
}

}  // namespace flashmode
