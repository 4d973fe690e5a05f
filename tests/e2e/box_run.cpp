#include "tests/e2e/box_run.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace e2e {

std::vector<LogFrame> BoxRun::Frames(int op) const {
  std::vector<LogFrame> out;
  for (const auto& f : frames)
    if (f.op == op) out.push_back(f);
  return out;
}

size_t BoxRun::Count(const std::string& text) const {
  size_t n = 0;
  for (size_t at = proc.out.find(text); at != std::string::npos; at = proc.out.find(text, at + 1)) ++n;
  return n;
}

std::vector<LogFrame> ParseFrames(const std::string& log) {
  std::vector<LogFrame> out;
  std::istringstream in(log);
  std::string line;
  while (std::getline(in, line)) {
    LogFrame f;
    unsigned op = 0;
    if (std::sscanf(line.c_str(), "frame %d op=%x n=%d", &f.index, &op, &f.n) != 3) continue;
    f.op = static_cast<int>(op);
    if (auto at = line.find("addr="); at != std::string::npos)
      f.addr = std::stol(line.substr(at + 5), nullptr, 16);
    out.push_back(f);
  }
  return out;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> out(count);
  for (auto& b : out) b = static_cast<uint8_t>(gen() & 0xFF);
  return out;
}

void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> ReadBytes(const std::string& path) {
  const std::string s = testsupport::ReadFile(path);
  return {s.begin(), s.end()};
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

void BoxTest::TearDown() {
  std::error_code ec;
  std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(dir_, ec);
}

std::vector<std::string> BoxTest::BoxArgv(const std::vector<std::string>& boxArgs,
                                          const std::vector<std::string>& command) const {
  std::vector<std::string> argv = {TARVEX_STB_BIN, "--log", Path("wire.log")};
  argv.insert(argv.end(), boxArgs.begin(), boxArgs.end());
  argv.push_back("--");
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

std::vector<std::string> BoxTest::TarvexArgv(const std::vector<std::string>& flashArgs) const {
  std::vector<std::string> argv = {TARVEX_BIN, "fw.bin", "-COM1", "-115200"};
  argv.insert(argv.end(), flashArgs.begin(), flashArgs.end());
  return argv;
}

BoxRun BoxTest::Run(const std::vector<std::string>& boxArgs,
                    const std::vector<std::string>& flashArgs, int timeoutMs) {
  return RunCommand(boxArgs, TarvexArgv(flashArgs), timeoutMs);
}

BoxRun BoxTest::RunCommand(const std::vector<std::string>& boxArgs,
                           const std::vector<std::string>& command, int timeoutMs) {
  testsupport::ProcessOptions options;
  options.workDir = dir_;
  options.timeoutMs = timeoutMs;
  return Collect(testsupport::RunProcess(BoxArgv(boxArgs, command), options));
}

BoxRun BoxTest::Collect(const testsupport::ProcessResult& result) const {
  BoxRun run;
  run.proc = result;
  run.log = testsupport::ReadFile(Path("wire.log"));
  run.frames = ParseFrames(run.log);
  return run;
}

}  // namespace e2e
