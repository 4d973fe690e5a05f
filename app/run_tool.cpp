#include "app/run_tool.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "app/run_options.h"
#include "app/version.h"
#include "flash/flash_mode.h"
#include "microcode/upload.h"
#include "platform/platform.h"
#include "serial/open_help.h"
#include "serial/serial_port.h"

namespace {

constexpr int kExitFailure = -1;
constexpr uint32_t kOpenReadTotalTimeoutMs = 1000;
constexpr std::string_view kPortOption = "-COM";
constexpr char kFlashOptionLetter = 'f';
constexpr int kMinArguments = 3;  // upgrade file, port, speed

struct BaudOption {
  const char* option;
  uint32_t rate;
};

// Searched in this order; the first exact match gives the rate.
constexpr BaudOption kBaudOptions[] = {
    {"-256000", 256000}, {"-128000", 128000}, {"-115200", 115200}, {"-57600", 57600},
    {"-56000", 56000},   {"-38400", 38400},   {"-19200", 19200},   {"-14400", 14400},
    {"-9600", 9600},     {"-4800", 4800},     {"-2400", 2400},     {"-1200", 1200},
    {"-600", 600},       {"-300", 300},       {"-110", 110},
};

constexpr const char kUsage[] =
    "usage: tarvex <filename.ext> [-COMx] [-baudrate] [f[r/w/a]] [file_rw.ext]\n"
    "\n"
    "  filename.ext    File containing flash upgrade buffer.\n"
    "  -COMx           Communications port number.\n"
    "  -baudrate       Communication baudrate, e.g. 9600, 115200.\n"
    "                  Supported baudrates:\n"
    "                    110, 300, 600, 1200, 2400,\n"
    "                    4800, 9600, 14400, 19200, 38400,\n"
    "                    56000, 57600, 115200, 128000, 256000\n"
    "  -fr(w,a)        flash read/write/microcode update\n"
    "  file_rw.ext     file for reading or writing\n"
    "\n";

int Usage() {
  std::printf("%s", kUsage);
  return kExitFailure;
}

std::string UpperCase(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

bool LookUpBaud(const char* option, uint32_t& rate) {
  for (const auto& entry : kBaudOptions) {
    if (std::strcmp(option, entry.option) == 0) {
      rate = entry.rate;
      return true;
    }
  }
  return false;
}

}  // namespace

int RunTool(int argc, const char* const* argv) {
  std::printf("tarvex %s\n\n", TARVEX_VERSION);

  SerialPort port;

  if (argc - 1 < kMinArguments || argv[1][0] == '-') return Usage();
  const std::string portArgument = UpperCase(argv[2]);
  if (portArgument.find(kPortOption) == std::string::npos) return Usage();

  RunOptions options;
  options.upgradeFileName = argv[1];
  // The port is the option without its first character, whatever it is.
  options.portName = portArgument.substr(1);
  if (!LookUpBaud(argv[3], options.baudRate)) return Usage();
  if (argc > 4) options.flashOption = argv[4];
  if (argc > 5) options.dataFileName = argv[5];

  if (!port.Open(options.portName, options.baudRate, kOpenReadTotalTimeoutMs)) {
    std::printf("Error: %s in use or does not exist.\n", options.portName.c_str());
    std::fflush(stdout);
    const std::vector<std::string> commandLine(argv, argv + argc);
    std::fputs(OpenFailureHelp(port.LastOpenFailure(), commandLine, ListSerialDevices()).c_str(),
               stderr);
    return kExitFailure;
  }
  std::printf("%s opened.\n", options.portName.c_str());
  if (port.Tracing()) {
    std::string command = "tarvex " TARVEX_VERSION ":";
    for (int i = 1; i < argc; ++i) command += std::string(" ") + argv[i];
    port.TraceNote(command);
  }

  if (options.flashOption && options.flashOption->size() >= 2 &&
      (*options.flashOption)[1] == kFlashOptionLetter) {
    // Flash mode runs until it is stopped: Ctrl-C and termination requests
    // end it cleanly instead of killing it mid-pass.
    platform::InstallStopHandlers();
    return RunFlashMode(port, options);
  }
  return UploadMicrocode(port);
}
