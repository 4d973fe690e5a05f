// What the command line gave to the run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct RunOptions {
  std::string upgradeFileName;
  std::string portName;  // as derived from the command line, e.g. COM3
  uint32_t baudRate = 0;
  std::optional<std::string> flashOption;   // fourth argument, e.g. -fr
  std::optional<std::string> dataFileName;  // fifth argument
};
