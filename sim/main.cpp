// tarvex-stb: a virtual set-top box on a pseudo-terminal (or a serial
// device), optionally running a command against it.
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sim/box.h"
#include "sim/image_file.h"
#include "sim/line.h"
#include "sim/microcode_ref.h"
#include "sim/options.h"
#include "sim/run.h"

namespace {

constexpr int kExitBadInput = 2;
constexpr int kExitFailure = 1;

int Complain(const std::string& message, int status) {
  std::fprintf(stderr, "tarvex-stb: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  stb::ParsedOptions parsed = stb::ParseOptions(args);
  if (!parsed.error.empty()) return Complain(parsed.error, kExitBadInput);
  stb::Options& options = parsed.options;
  if (options.help) {
    std::fputs(stb::UsageText(), stdout);
    return 0;
  }

  // Every image is read before any is created, so a bad one leaves the others alone.
  std::vector<stb::ShelfChip> shelf;
  std::vector<bool> created;
  for (size_t i = 0; i < options.images.size(); ++i) {
    const std::string& path = options.images[i];
    for (size_t j = 0; j < i; ++j) {
      if (stb::SameImage(options.images[j], path))
        return Complain("image " + path + " is given twice; each chip needs a file of its own",
                        kExitBadInput);
    }
    stb::LoadedImage image = stb::LoadImage(
        path, options.sizeGiven ? std::optional<uint32_t>(options.box.chip.size) : std::nullopt);
    if (!image.error.empty()) return Complain(image.error, kExitBadInput);
    stb::ChipConfig chip = options.box.chip;
    chip.size = static_cast<uint32_t>(image.content.size());
    stb::ApplySizeDefaults(options, chip);
    shelf.push_back({stb::FlashChip{.config = chip, .content = std::move(image.content)}, path});
    created.push_back(image.created);
  }
  // A new image is written at once, so a folder that cannot take it shows now.
  for (size_t i = 0; i < shelf.size(); ++i) {
    if (!created[i]) continue;
    if (std::string error = stb::SaveImage(options.images[i], shelf[i].chip.content); !error.empty())
      return Complain(error, kExitBadInput);
  }
  if (!shelf.empty()) options.box.chip = shelf.front().chip.config;
  stb::ApplySizeDefaults(options, options.box.chip);

  FILE* log = nullptr;
  if (!options.log.empty()) {
    log = std::fopen(options.log.c_str(), "w");
    if (!log) return Complain("cannot write log " + options.log, kExitBadInput);
  }
  FILE* wire = nullptr;
  if (!options.wire.empty()) {
    wire = std::fopen(options.wire.c_str(), "w");
    if (!wire) return Complain("cannot write wire record " + options.wire, kExitBadInput);
  }

  stb::Box box = stb::MakeBox(options.box, stb::PlainMicrocode());
  stb::LoadShelf(box, std::move(shelf));
  if (box.records.empty())
    Complain("the built-in microcode is not a whole record stream; no upload can pass", 0);
  box.log = [log](const std::string& line) {
    if (!log) return;
    std::fputs(line.c_str(), log);
    std::fputc('\n', log);
    std::fflush(log);
  };
  box.notice = [](const std::string& line) { std::fprintf(stderr, "tarvex-stb: %s\n", line.c_str()); };

  stb::Line line = options.device.empty() ? stb::OpenPtyLine()
                                          : stb::OpenDeviceLine(options.device, options.baud);
  if (!line.error.empty())
    return Complain(line.error, options.device.empty() ? kExitFailure : kExitBadInput);
  std::fprintf(stderr, "tarvex-stb: line %s\n", line.path.c_str());

  stb::RunSetup setup;
  setup.line = &line;
  setup.killAfterMs = options.killAfterMs;
  if (wire) {
    setup.wire = [wire](const std::string& text) {
      std::fputs(text.c_str(), wire);
      std::fputc('\n', wire);
      std::fflush(wire);
    };
  }
  setup.controlFd = stb::InstallSignalPipe();
  if (setup.controlFd < 0) return Complain("cannot set up signal handling", kExitFailure);
  if (!options.command.empty()) {
    const std::string env = "TARVEX_COM" + std::to_string(stb::ComNumber(options.command));
    std::string error;
    setup.child = stb::StartCommand(options.command, env, line.path, error);
    if (setup.child < 0) return Complain(error, kExitFailure);
  }

  const stb::RunOutcome outcome = stb::RunBox(box, setup);
  stb::CloseLine(line);

  int status = 0;
  if (setup.child > 0) {
    status = outcome.childStatus;
  } else if (outcome.lineLost && !options.device.empty()) {
    status = Complain("lost the line " + options.device, kExitFailure);
  }
  for (size_t i = 0; i < options.images.size(); ++i) {
    const stb::FlashChip& chip = stb::ShelfChipAt(box, i);
    if (std::string error = stb::SaveImage(options.images[i], chip.content); !error.empty()) {
      Complain(error, 0);
      if (status == 0) status = kExitFailure;
    }
  }
  if (log) std::fclose(log);
  if (wire) std::fclose(wire);
  return status;
}
