#include "app/run_tool.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::SetupConsoleOutput();
  return RunTool(argc, argv);
}
