// Flash mode when things go wrong: spoiled and missing replies, files that
// cannot be had, a full disk, a vanished line, stop signals and noise.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;
constexpr int kStoppedBySigterm = 143;
constexpr int kFailed = 255;  // exit status -1
constexpr uint32_t kMegabyte = 1024 * 1024;
constexpr char kNotResponding[] = "\nFailed: Target is not responding.\n";

class FlashFaultTest : public BoxTest {
 protected:
  void SetUp() override {
    chip = RandomBytes(kMegabyte, 20);
    WriteBytes(Path("chip.bin"), chip);
    old = RandomBytes(777, 21);
    WriteBytes(Path("dump.bin"), old);
  }
  std::vector<std::string> Chip() const { return {"--size", "1M", "--image", Path("chip.bin")}; }
  // A reply that does not come costs the host a second per read, during
  // which the line is idle: the box must not take that for the end of a pass.
  std::vector<std::string> Chip(std::vector<std::string> more) const {
    auto args = Chip();
    args.insert(args.end(), {"--idle-ms", "4000"});
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  void ExpectOldDumpKept() {
    EXPECT_EQ(ReadBytes(Path("dump.bin")), old);
    EXPECT_EQ(FilesIn(Dir()), (std::vector<std::string>{"chip.bin", "dump.bin", "wire.log"}));
  }

  std::vector<uint8_t> chip;
  std::vector<uint8_t> old;
};

TEST_F(FlashFaultTest, ShortAndCorruptReadRepliesAreSentAgain) {
  const BoxRun run = Run(Chip({"--fault", "10:short:100", "--fault", "20:badsum", "--fault",
                               "30:stray", "--fault", "40:late:1500"}),
                         {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_EQ(ReadBytes(Path("dump.bin")), chip);
  EXPECT_NE(run.proc.out.find(" read done"), std::string::npos);
  EXPECT_EQ(run.proc.out.find("crc error"), std::string::npos);
  EXPECT_EQ(run.Frames(0x03).size(), 1024u + 4);
}

TEST_F(FlashFaultTest, ReadThatKeepsFailingLeavesTheOldDump) {
  // Frames 4..7 read block 0; frame 9 is the second quarter of block 1.
  const BoxRun run = Run(Chip({"--fault", "9:short:50", "--fault", "10:badsum", "--fault",
                               "11:short:1"}),
                         {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("\nFailed: the flash did not read back right at address=00001400; "
                              "dump.bin was left unchanged.\n"),
            std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.proc.out.find("read done"), std::string::npos);
  EXPECT_EQ(run.Frames(0x03).size(), 4u + 1 + 3);
  ExpectOldDumpKept();
}

TEST_F(FlashFaultTest, FullDiskLeavesTheOldDump) {
  // A file size limit of 256 KB for tarvex alone; the box writes its image freely.
  const std::string script = "trap '' XFSZ; ulimit -f 512; exec \"$0\" \"$@\"";
  std::vector<std::string> command = {"/bin/sh", "-c", script};
  const auto tarvex = TarvexArgv({"-fr", "dump.bin"});
  command.insert(command.end(), tarvex.begin(), tarvex.end());
  const BoxRun run = RunCommand(Chip(), command);
  EXPECT_EQ(run.proc.status, kStoppedBySigint) << run.proc.out << run.proc.err;
  EXPECT_NE(run.proc.out.find("\nFailed: cannot write dump.bin: File too large\n"), std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.proc.out.find("read done"), std::string::npos);
  ExpectOldDumpKept();
}

TEST_F(FlashFaultTest, TargetSilentMidReadEndsThePass) {
  const BoxRun run = Run(Chip({"--fault", "20:silent-from", "--powerups", "2"}), {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find(" reading address=00003000: 2% done\r" + std::string(kNotResponding)),
            std::string::npos)
      << run.proc.out;
  // The second power-up meets a silent target from the start: the probe
  // prints its whole transcript, and the size it makes up (0) must not
  // turn into an empty dump.
  EXPECT_NE(run.proc.out.find("Flash status2: 35\n" + std::string(kNotResponding)), std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.Count(kNotResponding), 2u) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("read done"), std::string::npos);
  EXPECT_EQ(run.frames.size(), 20u + 3 + 4);
  ExpectOldDumpKept();
}

TEST_F(FlashFaultTest, NoisyIdentificationIsNotTakenForASize) {
  // The 0xAB reply comes back with a wrong checksum: its device ID is not
  // to be trusted, whatever size it would give.
  const BoxRun run = Run(Chip({"--fault", "1:badsum"}), {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("Flash status2: 00\nFailed: the flash identification did not come back "
                              "right; dump.bin was left unchanged.\n"),
            std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.frames.size(), 4u);
  ExpectOldDumpKept();
}

TEST_F(FlashFaultTest, TargetSilentMidEraseEndsThePass) {
  WriteBytes(Path("fw.img"), RandomBytes(4096, 22));
  // Probe 0-3, write enable 4, erase 5, status reads from 6 on.
  const BoxRun run = Run(Chip({"--erase-busy", "1000000", "--fault", "8:silent-from"}), {"-fw", "fw.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  // Each silent status read still shows its checksum line.
  EXPECT_NE(run.proc.out.find(" erase chip...crc error 0104 != [3A13]\ncrc error 0104 != [3A13]\n"
                              "crc error 0104 != [3A13]\n" + std::string(kNotResponding)),
            std::string::npos)
      << run.proc.out;
  EXPECT_TRUE(run.Frames(0x02).empty());
  EXPECT_EQ(run.frames.size(), 11u);
}

struct FileCase {
  const char* name;
  std::vector<std::string> flashArgs;
  std::string message;
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class DataFileTest : public BoxTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(DataFileTest, RunEndsBeforeThePromptWithoutAUsableFile) {
  std::filesystem::create_directory(Path("folder"));
  std::filesystem::create_directory(Path("locked"));
  WriteBytes(Path("secret.img"), {1, 2, 3});
  chmod(Path("secret.img").c_str(), 0);
  chmod(Path("locked").c_str(), 0500);
  if (geteuid() == 0 && std::string(GetParam().name).find("Unreadable") != std::string::npos)
    GTEST_SKIP() << "root reads any file";
  if (geteuid() == 0 && std::string(GetParam().name).find("Locked") != std::string::npos)
    GTEST_SKIP() << "root writes into any folder";
  const BoxRun run = Run({"--size", "1M"}, GetParam().flashArgs);
  EXPECT_EQ(run.proc.status, kFailed) << run.proc.out;
  EXPECT_NE(run.proc.out.find(GetParam().message), std::string::npos) << run.proc.out;
  EXPECT_EQ(run.proc.out.find("Switch on the STB"), std::string::npos);
  EXPECT_TRUE(run.frames.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, DataFileTest,
    ::testing::Values(
        FileCase{"ReadWithoutFile", {"-fr"}, "Error: -fr needs a data file as the fifth argument.\n"},
        FileCase{"WriteWithoutFile", {"-fw"}, "Error: -fw needs a data file as the fifth argument.\n"},
        FileCase{"WriteMissingFile", {"-fw", "none.img"}, "Error: cannot open none.img: No such file or directory\n"},
        FileCase{"WriteFolder", {"-fw", "folder"}, "Error: cannot read folder: Is a directory\n"},
        FileCase{"WriteUnreadable", {"-fw", "secret.img"}, "Error: cannot open secret.img: Permission denied\n"},
        FileCase{"ReadIntoFolder", {"-fr", "folder"}, "Error: cannot write folder: Is a directory\n"},
        FileCase{"ReadIntoLockedFolder", {"-fr", "locked/dump.bin"}, "Permission denied\n"},
        FileCase{"ReadIntoMissingFolder", {"-fr", "nowhere/dump.bin"}, "No such file or directory\n"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST_F(FlashFaultTest, FileLargerThanTheChipIsRefusedBeforeTheErase) {
  WriteBytes(Path("big.img"), RandomBytes(kMegabyte + 1, 23));
  const BoxRun run = Run(Chip(), {"-fw", "big.img"});
  EXPECT_EQ(run.proc.status, kStoppedBySigint);
  EXPECT_NE(run.proc.out.find("Failed: big.img holds 1048577 bytes, more than the flash size of "
                              "1048576 bytes; nothing erased.\n"),
            std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.frames.size(), 4u);  // the probe only
  EXPECT_EQ(ReadBytes(Path("chip.bin")), chip);
  std::filesystem::remove(Path("big.img"));
}

TEST_F(FlashFaultTest, FileOfExactlyTheChipSizeIsWritten) {
  const auto file = RandomBytes(kMegabyte, 24);
  WriteBytes(Path("full.img"), file);
  const BoxRun run = Run(Chip(), {"-fw", "full.img"});
  EXPECT_NE(run.proc.out.find(" writing[0] address=000FF000: 100% done\r\n write done"),
            std::string::npos);
  EXPECT_EQ(ReadBytes(Path("chip.bin")), file);
  std::filesystem::remove(Path("full.img"));
}

TEST_F(FlashFaultTest, HangUpEndsTheRunWithAnError) {
  const BoxRun run = Run(Chip({"--fault", "30:hangup"}), {"-fr", "dump.bin"});
  EXPECT_EQ(run.proc.status, kFailed) << run.proc.out;
  EXPECT_NE(run.proc.out.find("\nFailed: lost COM1 (device unplugged or hung up).\n"),
            std::string::npos)
      << run.proc.out;
  EXPECT_LT(run.proc.elapsedMs, 15000);
  ExpectOldDumpKept();
}

// ---- Stop signals ------------------------------------------------------

class StopTest : public FlashFaultTest, public ::testing::WithParamInterface<int> {};

bool WaitForLog(const std::string& path, const std::string& text, int timeoutMs) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < end) {
    if (testsupport::ReadFile(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

TEST_P(StopTest, StopMidReadKeepsTheOldDumpAndFlushesTheOutput) {
  const int sig = GetParam();
  testsupport::ProcessOptions options;
  options.workDir = Dir();
  options.timeoutMs = 60000;
  // Paced at 115200 baud a 1 MB read takes minutes: the stop comes mid-read.
  testsupport::Process box(BoxArgv(Chip({"--baud", "115200"}), TarvexArgv({"-fr", "dump.bin"})),
                           options);
  ASSERT_TRUE(WaitForLog(Path("wire.log"), "addr=004000", 30000));
  const auto start = std::chrono::steady_clock::now();
  box.Signal(sig);
  const BoxRun run = Collect(box.Wait());
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start).count();
  EXPECT_EQ(run.proc.status, sig == SIGINT ? kStoppedBySigint : kStoppedBySigterm);
  EXPECT_LT(ms, 5000);
  EXPECT_NE(run.proc.out.find(" reading address=00003000: 2% done\r"), std::string::npos);
  EXPECT_NE(run.proc.out.find("\nStopped; dump.bin was left unchanged.\n"), std::string::npos)
      << run.proc.out;
  EXPECT_EQ(run.proc.out.find("read done"), std::string::npos);
  ExpectOldDumpKept();
}

INSTANTIATE_TEST_SUITE_P(Signals, StopTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto& tp) { return std::string(tp.param == SIGINT ? "Sigint" : "Sigterm"); });

// CPU time (user + system) of a process, in clock ticks.
long CpuTicks(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream rest(stat.substr(close + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

int ChildOf(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
  int child = -1;
  in >> child;
  return child;
}

TEST_F(FlashFaultTest, GarbageSoakNeitherCrashesNorSpins) {
  testsupport::ProcessOptions options;
  options.workDir = Dir();
  options.timeoutMs = 60000;
  testsupport::Process box(BoxArgv(Chip({"--garbage-ms", "3000", "--baud", "115200"}),
                                   TarvexArgv({"-fr", "dump.bin"})),
                           options);
  ASSERT_TRUE(WaitForLog(Path("wire.log"), "greeting ba", 10000));
  int tarvex = -1;
  for (int i = 0; i < 100 && tarvex < 0; ++i) {
    tarvex = ChildOf(box.Pid());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GT(tarvex, 0);
  // Noise for three seconds, then a silent line: the waits must block.
  std::this_thread::sleep_for(std::chrono::milliseconds(4000));
  const long before = CpuTicks(tarvex);
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  const long after = CpuTicks(tarvex);
  box.Signal(SIGTERM);
  const BoxRun run = Collect(box.Wait());
  if (run.proc.out.find("Microcode damaged") != std::string::npos) {
    // The noise ended on a 'b': a lone 'b' is a damaged-microcode greeting.
    EXPECT_NE(run.proc.status, 128 + SIGSEGV);
    return;
  }
  ASSERT_GE(before, 0);
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  EXPECT_LT(after - before, ticksPerSecond / 2) << "CPU ticks in two quiet seconds";
  EXPECT_EQ(run.proc.status, kStoppedBySigterm) << run.proc.out;
  EXPECT_NE(run.proc.out.find("\nStopped"), std::string::npos);
  EXPECT_EQ(ReadBytes(Path("dump.bin")), old);
}

}  // namespace
}  // namespace e2e
