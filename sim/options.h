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
  std::string image;   // empty: the chip lives in memory only
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
// Fills the identification bytes that follow from the chip size.
void ApplySizeDefaults(Options& options);
const char* UsageText();
// n of the command's first argument of the form -COMn (any case); 1 without one.
int ComNumber(std::span<const std::string> command);

}  // namespace stb
