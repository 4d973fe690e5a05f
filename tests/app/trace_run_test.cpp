// The wire trace of a whole run of the built program: stopped in the middle
// of a read, it still leaves a whole file that ends with the stop.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

using testsupport::ProcessOptions;
using testsupport::PtyPair;

namespace {

struct StopCase {
  const char* what;
  int signal;
  int status;
};

TEST(TraceRun, AStopMidReadLeavesAWholeFlushedTrace) {
  const std::vector<StopCase> cases = {
      {"SIGTERM", SIGTERM, 143},
      {"Ctrl-C", SIGINT, 130},
  };
  for (const StopCase& c : cases) {
    PtyPair line;
    const std::string dir = testsupport::MakeTempDir();
    const std::string trace = dir + "/trace.txt";
    testsupport::Process run({TARVEX_BIN, "fw.bin", "-com3", "-115200", "-fr", "dump.bin"},
                             ProcessOptions{.env = {{"TARVEX_COM3", line.SlavePath()}, {"TARVEX_TRACE", trace}},
                                            .workDir = dir,
                                            .timeoutMs = 20000});
    for (int i = 0; i < 100 && run.OutSoFar().find("Switch on the STB") == std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // Half a greeting, then the stop while tarvex waits for the rest.
    line.Send(std::string("b"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    run.Signal(c.signal);
    const auto r = run.Wait();
    EXPECT_EQ(r.status, c.status) << c.what << ": " << r.out;

    const std::string text = testsupport::ReadFile(trace);
    ASSERT_FALSE(text.empty()) << c.what;
    EXPECT_EQ(text.back(), '\n') << c.what;
    const std::regex whole(
        "# 0\\.\\d{3} open COM3 \\(" + line.SlavePath() + "\\) at 115200 baud\n"
        "# \\d+\\.\\d{3} tarvex 1\\.0\\.0: fw\\.bin -com3 -115200 -fr dump\\.bin\n"
        "(.*\n)*"
        "\\d+\\.\\d{3} < 62\n"
        "(.*\n)*"
        "# \\d+\\.\\d{3} read stopped: wanted \\d+, got \\d+\n"
        "(.*\n)*"
        "# \\d+\\.\\d{3} stop requested, exit status " + std::to_string(c.status) + "\n"
        "# \\d+\\.\\d{3} close\n");
    EXPECT_TRUE(std::regex_match(text, whole)) << c.what << ":\n" << text;
    std::filesystem::remove_all(dir);
  }
}

}  // namespace
