// Flash mode: wait for the target's greeting, answer it, probe the chip,
// then read it into the data file or erase it and write the file into it;
// then wait for the next power-up. Each greeting and the work after it make
// one pass; the passes themselves live in read_pass.cpp and write_pass.cpp.
#include "flash/flash_mode.h"

#include <array>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "flash/dump_file.h"
#include "flash/dump_name.h"
#include "flash/flash_chip.h"
#include "flash/greeting.h"
#include "flash/pass.h"
#include "flash/pass_record.h"
#include "microcode/upload.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace flashmode {
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
constexpr size_t kVerifyLetterIndex = 3;  // -fwv, -frv: 'v'
constexpr char kModeRead = 'r';
constexpr char kModeWrite = 'w';
constexpr char kModeProbeOnly = 'a';
constexpr char kModeUpload = 'h';
constexpr char kVerifyLetter = 'v';
constexpr char kUploadModeName[] = "upload";
constexpr double kMsPerSecond = 1000.0;
constexpr char kFailedPrefix[] = "Failed: ";

char ModeLetter(const RunOptions& options) {
  const std::string& option = *options.flashOption;
  return option.size() > kModeLetterIndex ? option[kModeLetterIndex] : '\0';
}

bool VerifyLetter(const RunOptions& options) {
  const std::string& option = *options.flashOption;
  return option.size() > kVerifyLetterIndex && option[kVerifyLetterIndex] == kVerifyLetter;
}

std::string FlashIdText(const ProbeResult& probe) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X%02X%02X", unsigned{probe.id[0]}, unsigned{probe.id[1]},
                unsigned{probe.id[2]});
  return text;
}

const char* ResultName(PassResult result) {
  switch (result) {
    case PassResult::kDone: return "done";
    case PassResult::kFailed: return "failed";
    case PassResult::kRefused: return "refused";
    case PassResult::kStopped: return "stopped";
  }
  return "failed";
}

// The passes of the run: a report line for each as it ends, and the
// summary when the run ends.
struct RunRecord {
  std::string reportPath = ReportPath();
  std::vector<PassOutcome> outcomes;

  void Add(PassRecord record, const PassEnd& end, uint32_t startMs) {
    record.result = ResultName(end.result);
    if (end.result != PassResult::kDone) record.message = end.message;
    record.seconds = static_cast<double>(platform::TickCountMs() - startMs) / kMsPerSecond;
    record.bytes = end.bytes;
    record.crc32 = end.crc32;
    // The summary names the failure itself: " pass 4: Target is not responding."
    std::string failure = end.message;
    if (failure.starts_with(kFailedPrefix)) failure.erase(0, sizeof kFailedPrefix - 1);
    outcomes.push_back({record.pass, record.result, failure});
    if (reportPath.empty()) return;
    if (std::string error = AppendPassRecord(reportPath, record, std::time(nullptr)); !error.empty())
      std::fprintf(stderr, "tarvex: %s\n", error.c_str());
  }

  void PrintSummary() const {
    const std::string summary = FormatRunSummary(outcomes);
    std::printf("%s", summary.c_str());
    std::fflush(stdout);
  }
};

// A size read from noise, or from the bytes that went out when nothing came
// back, would give a dump of the wrong length (an empty one replacing a good
// dump) or a write checked against the wrong size.
PassEnd RefuseUnidentified(const ProbeResult& probe, char mode, const std::string& dataFile) {
  if (probe.silent) return Fail(kNotResponding);
  if (mode == kModeRead)
    return Fail("the flash identification did not come back right; " + dataFile +
                    " was left unchanged.",
                PassResult::kRefused, false);
  return Fail("the flash identification did not come back right; nothing erased.",
              PassResult::kRefused, false);
}

// Modes that move data need their file before the target is switched on.
bool CheckDataFile(const RunOptions& options, char mode) {
  if (mode != kModeRead && mode != kModeWrite) return true;
  if (!options.dataFileName || options.dataFileName->empty()) {
    std::printf("Error: -f%c needs a data file as the fifth argument.\n", mode);
    return false;
  }
  if (mode == kModeWrite) {
    std::string error;
    std::FILE* in = OpenWriteSource(*options.dataFileName, error);
    if (!in) {
      std::printf("Error: %s\n", error.c_str());
      return false;
    }
    std::fclose(in);
    return true;
  }
  if (std::string error = CheckDumpName(*options.dataFileName); !error.empty()) {
    std::printf("Error: %s\n", error.c_str());
    return false;
  }
  // A read must be able to create its file; try once (devices and pipes
  // are left alone: opening them may block or have effects).
  const std::string path = ExpandDumpName(*options.dataFileName, 1, "");
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

// The work after one greeting, from the probe on.
PassEnd RunPass(Pass& pass, char mode, PassRecord& record) {
  pass.port.TraceNote("probe");
  const ProbeResult probe = ProbeFlash(pass.port, pass.line);
  if (probe.status != FlashStatus::kOk)
    return EndOnFailure(probe.status, 0, pass.port, pass.options);
  record.flashId = FlashIdText(probe);
  record.size = probe.size;
  if (mode != kModeRead && mode != kModeWrite) return {};

  pass.chipSize = probe.size;
  if (mode == kModeRead)
    pass.dataFile = ExpandDumpName(*pass.options.dataFileName, record.pass, *record.flashId);
  else
    pass.dataFile = *pass.options.dataFileName;
  record.file = pass.dataFile;
  if (!probe.identified) return RefuseUnidentified(probe, mode, pass.dataFile);

  if (mode == kModeRead && probe.size == 0) {
    // No dump of a chip whose size is not known: an empty file would
    // replace a good dump and look complete.
    char text[16];
    std::snprintf(text, sizeof text, "%02X", unsigned{probe.id[2]});
    return Fail("the flash size of device ID " + std::string(text) + " is not known; " +
                    pass.dataFile + " was left unchanged.",
                PassResult::kRefused, false);
  }
  const PassEnd end = mode == kModeRead ? ReadPass(pass) : WritePass(pass);
  if (!end.endRun) ReportLineErrors(pass);
  return end;
}

}  // namespace
}  // namespace flashmode

using namespace flashmode;

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
  if (!CheckDataFile(options, mode)) {
    std::fflush(stdout);
    port.Close();
    return -1;
  }

  port.SetReadTimeouts(kReadTotalMs, mode == kModeProbeOnly ? kIntervalMs : kFirstWaitIntervalMs);
  std::printf("Switch on the STB...\n");
  std::fflush(stdout);

  RunRecord run;
  uint32_t passNumber = 0;
  for (;;) {
    const Greeting greeting = WaitForGreeting(port);
    if (greeting == Greeting::kPortLost || greeting == Greeting::kStopped) {
      const PassEnd end = greeting == Greeting::kPortLost ? PortLost(port, options) : Stop(port);
      run.PrintSummary();
      return end.exitStatus;
    }

    const uint32_t startMs = platform::TickCountMs();
    port.TraceNote(greeting == Greeting::kDamaged ? "greeting: lone b, microcode damaged"
                                                  : "greeting: full");
    PassRecord record;
    record.port = options.portName;
    record.pass = ++passNumber;
    port.TraceNote("pass " + std::to_string(record.pass));
    if (greeting == Greeting::kDamaged || mode == kModeUpload) {
      // The upload ends the run; its own lines say how it went.
      if (greeting == Greeting::kDamaged) {
        std::printf("Microcode damaged, need to restore it!\n");
      } else {
        port.SetReadTimeouts(kReadTotalMs, kIntervalMs);
        port.TraceNote("answer AE: microcode upload");
        port.Write(&kAnswerUpload, 1);
        port.TraceNote("pause " + std::to_string(kAnswerPauseMs) + " ms");
        platform::SleepMs(kAnswerPauseMs);
      }
      const int status = UploadMicrocode(port);
      record.mode = kUploadModeName;
      PassEnd end;
      if (status != 0) {
        end.result = PassResult::kFailed;
        end.message = "the microcode upload failed";
      }
      run.Add(record, end, startMs);
      return status;
    }

    port.SetReadTimeouts(kReadTotalMs, kIntervalMs);
    port.TraceNote("answer 7B: flash bridge");
    port.Write(&kAnswerBridge, 1);
    port.TraceNote("pause " + std::to_string(kAnswerPauseMs) + " ms");
    platform::SleepMs(kAnswerPauseMs);

    Pass pass{port, options};
    pass.verify = mode == kModeWrite && VerifyLetter(options);
    pass.readCheck = mode == kModeRead && VerifyLetter(options) ? ReadCheck::kTwice : ReadCheck::kOnce;
    record.mode = mode == '\0' ? std::string() : std::string(1, mode);
    const PassEnd end = RunPass(pass, mode, record);
    record.lineErrors = pass.line.errors;
    run.Add(record, end, startMs);
    std::fflush(stdout);
    if (end.endRun) {
      run.PrintSummary();
      return end.exitStatus;
    }
  }
}
