// tarvex-stb's command line.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/box.h"

namespace stb {

struct Options {
  BoxConfig box;
  std::string device;  // empty: a new pty
  // The chips' images, one chip each, served in turn; none: one chip in memory only.
  std::vector<std::string> images;
  std::string log;
  std::string wire;    // byte record of the line; empty: none
  bool sizeGiven = false;
  bool jedecGiven = false;
  bool deviceIdGiven = false;
  uint32_t baud = 0;
  int64_t killAfterMs = 5000;
  std::vector<std::string> command;
  bool help = false;
};

struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line was good
};

ParsedOptions ParseOptions(std::span<const std::string> args);
// Fills the identification bytes of `chip` that follow from its size,
// unless the command line gave them.
void ApplySizeDefaults(const Options& options, ChipConfig& chip);
const char* UsageText();
// n of the command's first argument of the form -COMn (any case); 1 without one.
int ComNumber(std::span<const std::string> command);

}  // namespace stb
