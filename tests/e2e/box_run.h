// Runs the built tarvex against the built virtual set-top box and gathers
// what it printed, what the box logged and the files they left.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace e2e {

// One "frame N op=XX n=M [addr=YYYYYY]" line of the box's log.
struct LogFrame {
  int index = -1;
  int op = -1;
  int n = 0;
  long addr = -1;  // -1 when the opcode carries no address
};

struct BoxRun {
  testsupport::ProcessResult proc;
  std::string log;
  std::vector<LogFrame> frames;

  std::vector<LogFrame> Frames(int op) const;
  bool LogHas(const std::string& text) const { return log.find(text) != std::string::npos; }
  size_t Count(const std::string& text) const;  // occurrences in standard output
};

std::vector<LogFrame> ParseFrames(const std::string& log);
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);
void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadBytes(const std::string& path);
// Names of the files in `dir`.
std::vector<std::string> FilesIn(const std::string& dir);

class BoxTest : public ::testing::Test {
 protected:
  void TearDown() override;
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  const std::string& Dir() const { return dir_; }

  // The box's command line: its options, then -- and the command.
  std::vector<std::string> BoxArgv(const std::vector<std::string>& boxArgs,
                                   const std::vector<std::string>& command) const;
  // tarvex with "fw.bin -COM1 -115200" and then `flashArgs`.
  std::vector<std::string> TarvexArgv(const std::vector<std::string>& flashArgs) const;
  BoxRun Run(const std::vector<std::string>& boxArgs, const std::vector<std::string>& flashArgs,
             int timeoutMs = 60000);
  BoxRun RunCommand(const std::vector<std::string>& boxArgs,
                    const std::vector<std::string>& command, int timeoutMs = 60000);
  BoxRun Collect(const testsupport::ProcessResult& result) const;

 private:
  std::string dir_ = testsupport::MakeTempDir();
};

}  // namespace e2e
