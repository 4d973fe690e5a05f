// A production line: one run of flash mode over several boxes, a dump per
// box, a report line per pass and the summary when the run is stopped.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <map>
#include <sstream>
#include <string>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;
constexpr int kFailed = 255;

// Bit by bit, as the common CRC-32 is defined: a second opinion on the
// table-driven one in tarvex.
uint32_t ReferenceCrc32(const std::vector<uint8_t>& data) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return crc ^ 0xFFFFFFFFu;
}

std::string Hex8(uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "%08x", v);
  return s;
}

// One report line, its members as text: strings without their quotes,
// numbers as written. The lines are flat objects of strings and numbers.
using Fields = std::map<std::string, std::string>;

// Checks one line with python's JSON reader where there is one, and takes
// its members apart.
Fields ParseLine(const std::string& line) {
  Fields out;
  size_t i = 0;
  auto expect = [&](char c) {
    EXPECT_LT(i, line.size()) << line;
    EXPECT_EQ(line[i], c) << line << " at " << i;
    ++i;
  };
  auto str = [&]() {
    expect('"');
    std::string s;
    while (i < line.size() && line[i] != '"') {
      if (line[i] == '\\') ++i;
      s += line[i++];
    }
    expect('"');
    return s;
  };
  expect('{');
  while (i < line.size() && line[i] != '}') {
    const std::string key = str();
    expect(':');
    if (line[i] == '"') {
      out[key] = str();
    } else {
      size_t end = line.find_first_of(",}", i);
      out[key] = line.substr(i, end - i);
      i = end;
    }
    if (line[i] == ',') ++i;
  }
  expect('}');
  return out;
}

std::vector<Fields> ReadReport(const std::string& path) {
  std::vector<Fields> lines;
  std::istringstream in(testsupport::ReadFile(path));
  std::string line;
  while (std::getline(in, line)) lines.push_back(ParseLine(line));
  return lines;
}

class ProductionTest : public BoxTest {
 protected:
  // tarvex with the report in this test's folder.
  std::vector<std::string> Reported(const std::vector<std::string>& flashArgs,
                                    const std::string& com = "-COM1") const {
    std::vector<std::string> argv = {"/usr/bin/env", "TARVEX_REPORT=" + Path("report.jsonl"),
                                     TARVEX_BIN, "fw.bin", com, "-115200"};
    argv.insert(argv.end(), flashArgs.begin(), flashArgs.end());
    return argv;
  }
};

TEST_F(ProductionTest, EveryBoxGetsItsOwnDumpAndItsReportLine) {
  const std::vector<uint32_t> sizes = {128u << 10, 256u << 10, 512u << 10};
  std::vector<std::vector<uint8_t>> chips;
  std::vector<std::string> box = {"--powerups", "3"};
  for (size_t k = 0; k < sizes.size(); ++k) {
    chips.push_back(RandomBytes(sizes[k], 50 + static_cast<uint32_t>(k)));
    const std::string image = Path("chip" + std::to_string(k) + ".bin");
    WriteBytes(image, chips.back());
    box.insert(box.end(), {"--image", image});
  }
  const BoxRun run = RunCommand(box, Reported({"-frv", "box-{n}-{id}.bin"}));
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_TRUE(run.proc.out.ends_with("\nStopped.\n passes: 3, done: 3, failed: 0\n")) << run.proc.out;

  const char* ids[] = {"EF4010", "EF4011", "EF4012"};  // the device IDs of 128K to 512K
  const auto report = ReadReport(Path("report.jsonl"));
  ASSERT_EQ(report.size(), 3u);
  for (size_t k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const std::string id = ids[k];
    const std::string name = "box-" + std::to_string(k + 1) + "-" + id + ".bin";
    EXPECT_EQ(ReadBytes(Path(name)), chips[k]);
    const Fields& f = report[k];
    EXPECT_EQ(f.at("port"), "COM1");
    EXPECT_EQ(f.at("pass"), std::to_string(k + 1));
    EXPECT_EQ(f.at("mode"), "r");
    EXPECT_EQ(f.at("flash_id"), id);
    EXPECT_EQ(f.at("size"), std::to_string(sizes[k]));
    EXPECT_EQ(f.at("file"), name);
    EXPECT_EQ(f.at("result"), "done");
    EXPECT_EQ(f.count("message"), 0u);
    EXPECT_EQ(f.at("bytes"), std::to_string(sizes[k]));
    EXPECT_EQ(f.at("line_errors"), "0");
    EXPECT_EQ(f.at("crc32"), Hex8(ReferenceCrc32(chips[k])));
    EXPECT_EQ(f.at("time").size(), std::string("2026-12-11T17:05:03Z").size());
    EXPECT_GT(std::stod(f.at("seconds")), 0.0);
  }
}

TEST_F(ProductionTest, ASilentBoxInTheMiddleFailsItsPassAndTheNextStillGetsItsFile) {
  const auto chip = RandomBytes(128u << 10, 60);
  WriteBytes(Path("chip.bin"), chip);
  // Pass 1: probe 0-3 and 128 reads 4-131; pass 2's probe, 132-135, finds
  // nobody.
  std::vector<std::string> box = {"--image", Path("chip.bin"), "--powerups", "3", "--idle-ms", "4000"};
  for (int f = 132; f <= 135; ++f) box.insert(box.end(), {"--fault", std::to_string(f) + ":silent"});
  const BoxRun run = RunCommand(box, Reported({"-fr", "box-{n}.bin"}), 120000);
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_TRUE(run.proc.out.ends_with(
      " passes: 3, done: 2, failed: 1\n pass 2: Target is not responding.\n"))
      << run.proc.out;
  EXPECT_EQ(ReadBytes(Path("box-1.bin")), chip);
  EXPECT_EQ(ReadBytes(Path("box-3.bin")), chip);
  EXPECT_EQ(FilesIn(Dir()), (std::vector<std::string>{"box-1.bin", "box-3.bin", "chip.bin",
                                                       "report.jsonl", "wire.log"}));
  const auto report = ReadReport(Path("report.jsonl"));
  ASSERT_EQ(report.size(), 3u);
  EXPECT_EQ(report[1].at("result"), "failed");
  EXPECT_EQ(report[1].at("message"), "Failed: Target is not responding.");
  EXPECT_EQ(report[1].at("bytes"), "0");
  EXPECT_EQ(report[1].count("crc32"), 0u);
  EXPECT_EQ(report[2].at("crc32"), Hex8(ReferenceCrc32(chip)));
}

TEST_F(ProductionTest, WriteLinesCarryTheWrittenBytesAndTheVerifyResult) {
  const auto file = RandomBytes(5000, 70);
  WriteBytes(Path("fw.img"), file);
  auto padded = file;
  padded.resize(8192, 0xFF);
  WriteBytes(Path("chip.bin"), std::vector<uint8_t>(128u << 10, 0xFF));
  const BoxRun good = RunCommand({"--image", Path("chip.bin")}, Reported({"-fwv", "fw.img"}));
  EXPECT_NE(good.proc.out.find(" verify done"), std::string::npos) << good.proc.out;
  const BoxRun bad =
      RunCommand({"--image", Path("chip.bin"), "--flip", "0x10"}, Reported({"-fwv", "fw.img"}));
  EXPECT_NE(bad.proc.out.find(" verify FAILED"), std::string::npos) << bad.proc.out;

  const auto report = ReadReport(Path("report.jsonl"));
  ASSERT_EQ(report.size(), 2u);  // two runs share the file
  for (const Fields& f : report) {
    EXPECT_EQ(f.at("mode"), "w");
    EXPECT_EQ(f.at("file"), "fw.img");
    EXPECT_EQ(f.at("bytes"), "8192");
    EXPECT_EQ(f.at("crc32"), Hex8(ReferenceCrc32(padded)));
  }
  EXPECT_EQ(report[0].at("result"), "done");
  EXPECT_EQ(report[1].at("result"), "failed");
  EXPECT_EQ(report[1].at("message"), "verify FAILED: 1 bytes differ, first at 00000010");
}

TEST_F(ProductionTest, UnknownPlaceholderIsRefusedBeforeTheLineIsTouched) {
  const BoxRun run = RunCommand({}, Reported({"-fr", "box-{x}.bin"}));
  EXPECT_EQ(run.proc.status, kFailed);
  EXPECT_NE(run.proc.out.find("Error: unknown placeholder {x} in box-{x}.bin; use {n} or {id}\n"),
            std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.proc.out.find("Switch on the STB"), std::string::npos);
  EXPECT_FALSE(run.LogHas("answer"));
  EXPECT_EQ(run.log.find("frame"), std::string::npos);
}

TEST_F(ProductionTest, HandOverToTheUploadGetsALineAndNoSummary) {
  const BoxRun run = RunCommand({"--damaged"}, Reported({"-fr", "dump.bin"}));
  EXPECT_EQ(run.proc.status, 0);
  EXPECT_EQ(run.proc.out.find("passes:"), std::string::npos) << run.proc.out;
  const auto report = ReadReport(Path("report.jsonl"));
  ASSERT_EQ(report.size(), 1u);
  EXPECT_EQ(report[0].at("mode"), "upload");
  EXPECT_EQ(report[0].at("result"), "done");
  EXPECT_EQ(report[0].count("flash_id"), 0u);
}

TEST_F(ProductionTest, ARunStoppedBeforeAnyPassPrintsNoSummary) {
  // No power-up: tarvex waits for a greeting until the box passes on Ctrl-C.
  testsupport::ProcessOptions options;
  options.workDir = Dir();
  testsupport::Process box(BoxArgv({"--powerups", "0"}, Reported({"-fa"})), options);
  for (int i = 0; i < 100 && box.OutSoFar().find("Switch on the STB") == std::string::npos; ++i)
    usleep(50000);
  box.Signal(SIGINT);
  const auto result = box.Wait();
  EXPECT_EQ(result.status, kStoppedBySigint);
  EXPECT_TRUE(result.out.ends_with("Switch on the STB...\n\nStopped.\n")) << result.out;
  EXPECT_EQ(testsupport::ReadFile(Path("report.jsonl")), "");
}

// Two lines of boxes on two ports, one report file: every line whole.
TEST_F(ProductionTest, TwoRunsOnTwoPortsShareOneReportFile) {
  constexpr int kPowerups = 6;
  std::vector<std::unique_ptr<testsupport::Process>> runs;
  for (const char* com : {"-COM1", "-COM2"}) {
    testsupport::ProcessOptions options;
    options.workDir = Dir();
    options.timeoutMs = 120000;
    const std::string log = Path(std::string("wire") + com + ".log");
    std::vector<std::string> argv = {TARVEX_STB_BIN, "--log", log, "--size", "128K",
                                     "--powerups", std::to_string(kPowerups), "--"};
    const auto cmd = Reported({"-fa"}, com);
    argv.insert(argv.end(), cmd.begin(), cmd.end());
    runs.push_back(std::make_unique<testsupport::Process>(argv, options));
  }
  for (auto& r : runs) EXPECT_EQ(r->Wait().status, kStoppedBySigint);
  const auto report = ReadReport(Path("report.jsonl"));
  ASSERT_EQ(report.size(), 2u * kPowerups);
  std::map<std::string, int> perPort;
  for (const Fields& f : report) {
    ++perPort[f.at("port")];
    EXPECT_EQ(f.at("result"), "done");
    EXPECT_EQ(f.at("flash_id"), "EF4010");
  }
  EXPECT_EQ(perPort["COM1"], kPowerups);
  EXPECT_EQ(perPort["COM2"], kPowerups);
}

}  // namespace
}  // namespace e2e
