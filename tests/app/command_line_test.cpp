// The command line, in process through RunTool and through the built
// program: banner, usage text, the order of the checks, the port name, the
// choice of job.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "app/run_tool.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

using testsupport::ComMapping;
using testsupport::ProcessOptions;
using testsupport::PtyPair;

namespace {

const std::string kBanner = "tarvex 1.0.0\n\n";
const std::string kUsage =
    "usage: tarvex <filename.ext> [-COMx] [-baudrate] [f[r/w/a]] [file_rw.ext]\n\n"
    "  filename.ext    File containing flash upgrade buffer.\n"
    "  -COMx           Communications port number.\n"
    "  -baudrate       Communication baudrate, e.g. 9600, 115200.\n"
    "                  Supported baudrates:\n"
    "                    110, 300, 600, 1200, 2400,\n"
    "                    4800, 9600, 14400, 19200, 38400,\n"
    "                    56000, 57600, 115200, 128000, 256000\n"
    "  -fr(w,a)        flash read/write/microcode update\n"
    "  file_rw.ext     file for reading or writing\n\n";

struct RefusedCase {
  const char* what;
  std::vector<std::string> args;  // after the program's name
  std::string output;             // after the banner
};

// Every case names a port that does not exist (COM49 maps to nothing here),
// so a check that wrongly passes shows as the open error, not as a hang.
const std::vector<RefusedCase> kRefused = {
    {"no arguments", {}, kUsage},
    {"two well-formed arguments", {"fw.bin", "-com49"}, kUsage},
    {"first argument an option", {"-x", "-com49", "-115200"}, kUsage},
    {"first argument an option even when flash", {"-fw.bin", "-com49", "-115200", "-fr"}, kUsage},
    {"port without dash", {"fw.bin", "COM1", "-115200"}, kUsage},
    {"port check before speed check", {"fw.bin", "COM1", "bad"}, kUsage},
    {"speed without dash", {"fw.bin", "-com49", "115200"}, kUsage},
    {"speed with a tail", {"fw.bin", "-com49", "-115200x"}, kUsage},
    {"speed not offered", {"fw.bin", "-com49", "-230400"}, kUsage},
    {"speed is case-sensitive text", {"fw.bin", "-com49", "-9600 "}, kUsage},
    {"x-com2 names the port -COM2", {"fw.bin", "x-com2", "-115200"},
     "Error: -COM2 in use or does not exist.\n"},
    {"missing port", {"fw.bin", "-com49", "-110"}, "Error: COM49 in use or does not exist.\n"},
    {"long port name shown whole",
     {"fw.bin", "-com4912345678901234567890", "-256000"},
     "Error: COM4912345678901234567890 in use or does not exist.\n"},
    {"only ASCII letters are upper-cased", {"fw.bin", "/com5\xc3\xa9", "-9600"}, kUsage},
};

std::string RunInProcess(const std::vector<std::string>& args, int& status) {
  std::vector<const char*> argv = {"tarvex"};
  for (const auto& a : args) argv.push_back(a.c_str());
  testing::internal::CaptureStdout();
  status = RunTool(static_cast<int>(argv.size()), argv.data());
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

TEST(CommandLine, RefusedLinesInProcess) {
  for (const auto& c : kRefused) {
    int status = 0;
    const std::string out = RunInProcess(c.args, status);
    EXPECT_EQ(status, -1) << c.what;
    EXPECT_EQ(out, kBanner + c.output) << c.what;
  }
}

TEST(CommandLine, RefusedLinesThroughTheProgram) {
  for (const auto& c : kRefused) {
    std::vector<std::string> argv = {TARVEX_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const auto r = testsupport::RunProcess(argv, ProcessOptions{.timeoutMs = 10000});
    EXPECT_EQ(r.status, 255) << c.what;  // -1 as an exit status
    EXPECT_EQ(r.out, kBanner + c.output) << c.what;
    // Help for a port that did not open goes to standard error; the usage
    // text comes alone.
    if (c.output == kUsage) {
      EXPECT_EQ(r.err, "") << c.what;
    } else {
      EXPECT_NE(r.err, "") << c.what;
    }
  }
}

// Which job a command line starts, seen from the target's end of the line:
// the upload sends its start byte 0x75 within a few tens of milliseconds,
// flash mode sends nothing until the target greets.
enum class Job { kUpload, kFlash };

struct JobCase {
  const char* what;
  std::vector<std::string> args;
  Job job;
};

const std::vector<JobCase> kJobs = {
    {"no fourth argument", {"fw.bin", "-com3", "-115200"}, Job::kUpload},
    {"-u", {"fw.bin", "-com3", "-115200", "-u"}, Job::kUpload},
    {"upper-case F", {"fw.bin", "-com3", "-115200", "-F"}, Job::kUpload},
    {"empty fourth argument", {"fw.bin", "-com3", "-115200", ""}, Job::kUpload},
    {"one character", {"fw.bin", "-com3", "-115200", "f"}, Job::kUpload},
    {"fr without dash", {"fw.bin", "-com3", "-115200", "fr"}, Job::kUpload},
    {"-fr", {"fw.bin", "-com3", "-115200", "-fr", "dump.bin"}, Job::kFlash},
    {"xfr", {"fw.bin", "-com3", "-115200", "xfr", "dump.bin"}, Job::kFlash},
    {"-fa without data file", {"fw.bin", "-com3", "-115200", "-fa"}, Job::kFlash},
};

TEST(CommandLine, FourthArgumentChoosesTheJob) {
  for (const auto& c : kJobs) {
    PtyPair pty;
    std::vector<std::string> argv = {TARVEX_BIN};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const std::string dir = testsupport::MakeTempDir();
    testsupport::Process p(argv, ProcessOptions{
                                     .env = {{"TARVEX_COM3", pty.SlavePath()}},
                                     .workDir = dir,
                                     .timeoutMs = 10000,
                                 });
    const auto first = pty.Receive(1, 700);
    if (c.job == Job::kUpload) {
      EXPECT_EQ(first, std::vector<uint8_t>{0x75}) << c.what;
      // The silent target ends the upload, and with it the run.
      const auto r = p.Wait();
      EXPECT_EQ(r.status, 255) << c.what;
      EXPECT_EQ(r.out.rfind(kBanner + "COM3 opened.\n", 0), 0u) << c.what << ": " << r.out;
    } else {
      EXPECT_TRUE(first.empty()) << c.what;
      p.Signal(SIGKILL);
      p.Wait();
    }
  }
}

TEST(CommandLine, EveryOfferedSpeedOpensThePort) {
  const char* const speeds[] = {"-256000", "-128000", "-115200", "-57600", "-56000",
                                "-38400",  "-19200",  "-14400",  "-9600",  "-4800",
                                "-2400",   "-1200",   "-600",    "-300",   "-110"};
  // All at once: each run ends by itself when its silent target times out.
  std::vector<std::unique_ptr<PtyPair>> lines;
  std::vector<std::unique_ptr<testsupport::Process>> runs;
  for (const char* speed : speeds) {
    lines.push_back(std::make_unique<PtyPair>());
    runs.push_back(std::make_unique<testsupport::Process>(
        std::vector<std::string>{TARVEX_BIN, "fw.bin", "-com12", speed},
        ProcessOptions{.env = {{"TARVEX_COM12", lines.back()->SlavePath()}},
                       .timeoutMs = 20000}));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    const auto r = runs[i]->Wait();
    EXPECT_EQ(r.out.rfind(kBanner + "COM12 opened.\n", 0), 0u) << speeds[i] << ": " << r.out;
  }
}

}  // namespace
