// Flash mode: wait for the target's greeting, answer it, probe the chip,
// then read it into the data file or erase it and write the file into it;
// then wait for the next power-up.
#include "flash/flash_mode.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "flash/dump_file.h"
#include "flash/flash_chip.h"
#include "flash/greeting.h"
#include "microcode/upload.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace {

constexpr uint32_t kReadTotalMs = 1000;
constexpr uint32_t kIntervalMs = 30;
constexpr uint32_t kFirstWaitIntervalMs = 200;  // first greeting wait, all modes but 'a'
constexpr uint32_t kAnswerPauseMs = 5;
constexpr uint32_t kGreetingSize = 2;
constexpr uint8_t kGreetingEnd = 'a';
constexpr uint8_t kDamagedGreeting = 'b';
constexpr uint8_t kAnswerBridge = 0x7B;
constexpr uint8_t kAnswerUpload = 0xAE;

constexpr size_t kModeLetterIndex = 2;    // -fr: 'r'
constexpr size_t kVerifyLetterIndex = 3;  // -fwv: 'v'
constexpr char kModeRead = 'r';
constexpr char kModeWrite = 'w';
constexpr char kModeProbeOnly = 'a';
constexpr char kModeUpload = 'h';
constexpr char kVerifyLetter = 'v';

constexpr uint32_t kPercentScale = 100 * kBlockSize;
constexpr uint32_t kMsPerSecond = 1000;

constexpr const char kNotResponding[] = "\nFailed: Target is not responding.\n";

using Block = std::array<uint8_t, kBlockSize>;

// How a pass ended: go on with the next greeting, or end the run.
struct PassEnd {
  bool endRun = false;
  int exitStatus = 0;
};

constexpr PassEnd kNextPass{};

// Block k's start as a share of the chip size in whole percent, plus 1, in
// 32-bit arithmetic; 0 when the size is not known.
uint32_t Percent(uint32_t block, uint32_t chipSize) {
  if (chipSize == 0) return 0;
  return block * kPercentScale / chipSize + 1;
}

uint32_t SecondsSince(uint32_t startMs) { return (platform::TickCountMs() - startMs) / kMsPerSecond; }

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

PassEnd Stop(SerialPort& port, const std::string& note = {}) {
  port.Close();
  if (!note.empty())
    std::printf("\nStopped; %s\n", note.c_str());
  else
    std::printf("\nStopped.\n");
  std::fflush(stdout);
  return {true, platform::StopExitStatus()};
}

PassEnd PortLost(SerialPort& port, const RunOptions& options) {
  port.Close();
  std::printf("\nFailed: lost %s (device unplugged or hung up).\n", options.portName.c_str());
  std::fflush(stdout);
  return {true, -1};
}

// What a failed flash operation means for the pass. `note` says what was
// left alone, for the read-failure and stop messages.
PassEnd EndOnFailure(FlashStatus status, uint32_t address, SerialPort& port,
                     const RunOptions& options, const std::string& note = {}) {
  const std::string tail = note.empty() ? std::string(".") : "; " + note;
  switch (status) {
    case FlashStatus::kPortLost:
      return PortLost(port, options);
    case FlashStatus::kStopped:
      return Stop(port, note);
    case FlashStatus::kNotResponding:
      std::printf("%s", kNotResponding);
      break;
    case FlashStatus::kReadFailed:
      std::printf("\nFailed: the flash did not read back right at address=%08X%s\n", address,
                  tail.c_str());
      break;
    case FlashStatus::kOk:
      break;
  }
  std::fflush(stdout);
  return kNextPass;
}

PassEnd ReadPass(SerialPort& port, const RunOptions& options, uint32_t chipSize) {
  const std::string& path = *options.dataFileName;
  DumpFile dump;
  if (FileResult r = CreateDumpFile(path, dump); !r.ok) {
    std::printf("Failed: %s\n", r.error.c_str());
    std::fflush(stdout);
    return kNextPass;
  }
  const std::string keptNote = dump.tempPath.empty() ? path + " got only part of the chip."
                                                     : path + " was left unchanged.";
  auto fail = [&](const std::string& text) {
    DiscardDump(dump);
    std::printf("\nFailed: %s\n", text.c_str());
    std::fflush(stdout);
    return kNextPass;
  };

  const uint32_t start = platform::TickCountMs();
  Block block;
  SilenceWatch watch;
  uint32_t k = 0;
  for (uint64_t address = 0; address < chipSize; address += kBlockSize, ++k) {
    const uint32_t at = static_cast<uint32_t>(address);
    if (platform::StopRequested()) {
      DiscardDump(dump);
      return Stop(port, keptNote);
    }
    const ReadResult r = ReadBlock(port, block.data(), at, watch);
    if (r.status != FlashStatus::kOk) {
      DiscardDump(dump);
      return EndOnFailure(r.status, r.address, port, options, keptNote);
    }
    std::printf(" reading address=%08X: %u%% done\r", at, Percent(k, chipSize));
    if (FileResult w = WriteDump(dump, block.data(), block.size()); !w.ok) return fail(w.error);
  }
  if (FileResult c = CommitDump(dump); !c.ok) return fail(c.error);
  std::printf("\n read done time=%us\n", SecondsSince(start));
  std::fflush(stdout);
  return kNextPass;
}

// Fills the block with 0xFF and reads up to a block of the file into it.
// False on a read error; `count` 0 at the end of the file.
bool ReadFileBlock(std::FILE* in, Block& block, size_t& count) {
  block.fill(kErasedByte);
  count = std::fread(block.data(), 1, block.size(), in);
  return !std::ferror(in);
}

PassEnd VerifyPass(SerialPort& port, const RunOptions& options, std::FILE* in, uint32_t blocks,
                   uint32_t chipSize) {
  const std::string& path = *options.dataFileName;
  if (std::fseek(in, 0, SEEK_SET) != 0) {
    std::printf("Failed: %s\n", ErrnoText("cannot read again for the verify", path, errno).c_str());
    std::fflush(stdout);
    return kNextPass;
  }
  const uint32_t start = platform::TickCountMs();
  Block expected;
  Block actual;
  SilenceWatch watch;
  uint32_t differ = 0;
  uint32_t firstDiffer = 0;
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t address = k * kBlockSize;
    if (platform::StopRequested()) return Stop(port);
    size_t count = 0;
    if (!ReadFileBlock(in, expected, count)) {
      std::printf("\nFailed: %s\n", ErrnoText("cannot read", path, errno).c_str());
      std::fflush(stdout);
      return kNextPass;
    }
    const ReadResult r = ReadBlock(port, actual.data(), address, watch);
    if (r.status != FlashStatus::kOk)
      return EndOnFailure(r.status, r.address, port, options, "verify incomplete.");
    for (uint32_t i = 0; i < kBlockSize; ++i) {
      if (expected[i] == actual[i]) continue;
      if (differ == 0) firstDiffer = address + i;
      ++differ;
    }
    std::printf(" verifying address=%08X: %u%% done\r", address, Percent(k, chipSize));
  }
  if (differ == 0)
    std::printf("\n verify done time=%us\n", SecondsSince(start));
  else
    std::printf("\n verify FAILED: %u bytes differ, first at %08X\n", differ, firstDiffer);
  std::fflush(stdout);
  return kNextPass;
}

// Opens the data file of a write and checks that it can be read; on
// failure `error` says why.
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

PassEnd WritePass(SerialPort& port, const RunOptions& options, uint32_t chipSize, bool verify) {
  const std::string& path = *options.dataFileName;
  std::string error;
  std::FILE* in = OpenWriteSource(path, error);
  if (!in) {
    std::printf("Failed: %s; nothing erased.\n", error.c_str());
    std::fflush(stdout);
    return kNextPass;
  }
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{in};

  // A file larger than the chip would wrap around and overwrite its start.
  std::error_code ec;
  const auto fileSize = std::filesystem::file_size(path, ec);
  if (!ec && chipSize != 0 && fileSize > chipSize) {
    std::printf("Failed: %s holds %llu bytes, more than the flash size of %u bytes; nothing erased.\n",
                path.c_str(), static_cast<unsigned long long>(fileSize), chipSize);
    std::fflush(stdout);
    return kNextPass;
  }

  std::printf(" erase chip...");
  std::fflush(stdout);
  uint32_t start = platform::TickCountMs();
  if (FlashStatus s = EraseChip(port); s != FlashStatus::kOk)
    return EndOnFailure(s, 0, port, options);
  std::printf(" done time=%us\n", SecondsSince(start));

  start = platform::TickCountMs();
  Block block;
  SilenceWatch watch;
  uint32_t k = 0;
  uint32_t address = 0;
  const std::string partNote = "the flash holds only part of " + path + ".";
  for (;; ++k, address += kBlockSize) {
    if (platform::StopRequested()) return Stop(port, partNote);
    size_t count = 0;
    if (!ReadFileBlock(in, block, count)) {
      std::printf("\nFailed: %s; %s\n", ErrnoText("cannot read", path, errno).c_str(),
                  partNote.c_str());
      std::fflush(stdout);
      return kNextPass;
    }
    if (count == 0) break;
    const BlockResult r = ProgramBlock(port, block.data(), address, watch);
    if (r.status != FlashStatus::kOk) return EndOnFailure(r.status, address, port, options, partNote);
    std::printf(" writing[%d] address=%08X: %u%% done\r", static_cast<int>(r.gaveUp), address,
                Percent(k, chipSize));
  }
  std::printf("\n write done time=%us\n", SecondsSince(start));
  std::fflush(stdout);
  if (verify) return VerifyPass(port, options, in, k, chipSize);
  return kNextPass;
}

// A size read from noise, or from the bytes that went out when nothing came
// back, would give a dump of the wrong length (an empty one replacing a good
// dump) or a write checked against the wrong size.
void RefuseUnidentified(const ProbeResult& probe, char mode, const RunOptions& options) {
  if (probe.silent) {
    std::printf("%s", kNotResponding);
  } else if (mode == kModeRead) {
    std::printf("Failed: the flash identification did not come back right; %s was left unchanged.\n",
                options.dataFileName->c_str());
  } else {
    std::printf("Failed: the flash identification did not come back right; nothing erased.\n");
  }
  std::fflush(stdout);
}

char ModeLetter(const RunOptions& options) {
  const std::string& option = *options.flashOption;
  return option.size() > kModeLetterIndex ? option[kModeLetterIndex] : '\0';
}

bool VerifyAsked(const RunOptions& options) {
  const std::string& option = *options.flashOption;
  return ModeLetter(options) == kModeWrite && option.size() > kVerifyLetterIndex &&
         option[kVerifyLetterIndex] == kVerifyLetter;
}

// Modes that move data need their file before the target is switched on.
bool CheckDataFile(const RunOptions& options, char mode) {
  if (mode != kModeRead && mode != kModeWrite) return true;
  if (!options.dataFileName || options.dataFileName->empty()) {
    std::printf("Error: -f%c needs a data file as the fifth argument.\n", mode);
    return false;
  }
  const std::string& path = *options.dataFileName;
  if (mode == kModeWrite) {
    std::string error;
    std::FILE* in = OpenWriteSource(path, error);
    if (!in) {
      std::printf("Error: %s\n", error.c_str());
      return false;
    }
    std::fclose(in);
    return true;
  }
  // A read must be able to create its file; try once (devices and pipes
  // are left alone: opening them may block or have effects).
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
      !std::filesystem::is_directory(status))
    return true;
  DumpFile dump;
  if (FileResult r = CreateDumpFile(path, dump); !r.ok) {
    std::printf("Error: %s\n", r.error.c_str());
    return false;
  }
  DiscardDump(dump);
  return true;
}

}  // namespace

Greeting WaitForGreeting(SerialPort& port) {
  for (;;) {
    std::array<uint8_t, kGreetingSize> greeting{};
    uint32_t received = 0;
    port.Read(greeting.data(), kGreetingSize, &received);
    if (port.Lost()) return Greeting::kPortLost;
    if (platform::StopRequested()) return Greeting::kStopped;
    if (received < kGreetingSize && greeting[0] == kDamagedGreeting) return Greeting::kDamaged;
    if (received == kGreetingSize && greeting[1] == kGreetingEnd) return Greeting::kFull;
  }
}

int RunFlashMode(SerialPort& port, const RunOptions& options) {
  const char mode = ModeLetter(options);
  const bool verify = VerifyAsked(options);
  if (!CheckDataFile(options, mode)) {
    std::fflush(stdout);
    port.Close();
    return -1;
  }

  port.SetReadTimeouts(kReadTotalMs, mode == kModeProbeOnly ? kIntervalMs : kFirstWaitIntervalMs);
  std::printf("Switch on the STB...\n");
  std::fflush(stdout);

  for (;;) {
    switch (WaitForGreeting(port)) {
      case Greeting::kFull:
        break;
      case Greeting::kDamaged:
        std::printf("Microcode damaged, need to restore it!\n");
        return UploadMicrocode(port);
      case Greeting::kPortLost:
        return PortLost(port, options).exitStatus;
      case Greeting::kStopped:
        return Stop(port).exitStatus;
    }

    port.SetReadTimeouts(kReadTotalMs, kIntervalMs);
    const uint8_t answer = mode == kModeUpload ? kAnswerUpload : kAnswerBridge;
    port.Write(&answer, 1);
    platform::SleepMs(kAnswerPauseMs);
    if (mode == kModeUpload) return UploadMicrocode(port);

    const ProbeResult probe = ProbeFlash(port);
    PassEnd end = kNextPass;
    if (probe.status != FlashStatus::kOk)
      end = EndOnFailure(probe.status, 0, port, options);
    else if ((mode == kModeRead || mode == kModeWrite) && !probe.identified)
      RefuseUnidentified(probe, mode, options);
    else if (mode == kModeRead)
      end = ReadPass(port, options, probe.size);
    else if (mode == kModeWrite)
      end = WritePass(port, options, probe.size, verify);
    std::fflush(stdout);
    if (end.endRun) return end.exitStatus;
  }
}
