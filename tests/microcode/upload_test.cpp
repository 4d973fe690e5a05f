// The upload against a target played by a test thread on a pty: the bytes on
// the wire, acknowledgements and resends, the failures, the progress lines,
// and the port closed on every outcome.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <span>
#include <string>

#include "microcode/pack.h"
#include "microcode/upload.h"
#include "microcode/upload_image.h"
#include "serial/serial_port.h"
#include "tests/microcode/fake_target.h"
#include "tests/microcode/records.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace {

using mctest::Bytes;
using mctest::FakeTarget;
using mctest::TargetScript;
using Clock = std::chrono::steady_clock;

long MsBetween(Clock::time_point a, Clock::time_point b) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

const char kProgressStart[] = "\r                        \rTransferring.. ";
const char kClosing[] = "\rTransferring.. 100% done.  \nMicrocode updated successfully.\n";
const char kNotResponding[] = "\nFailed: Target is not responding.\n";
const char kCrcError[] = "\nCRC error. File damaged.\n";

std::string Progress(char spinner, int percent) {
  return kProgressStart + std::string(1, spinner) + " " + std::to_string(percent) + "% done.";
}

// Sends standard output to a file while alive; Take() ends it and returns
// what was printed.
class StdoutCapture {
public:
  StdoutCapture() {
    std::fflush(stdout);
    path_ = testsupport::MakeTempDir() + "/stdout";
    saved_ = dup(1);
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(fd, 1);
    close(fd);
  }
  ~StdoutCapture() { Take(); }
  std::string Take() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      dup2(saved_, 1);
      close(saved_);
      saved_ = -1;
      text_ = testsupport::ReadFile(path_);
      std::remove(path_.c_str());
      rmdir(path_.substr(0, path_.rfind('/')).c_str());
    }
    return text_;
  }

private:
  std::string path_;
  std::string text_;
  int saved_ = -1;
};

// The progress transcript that the image's records give when the target
// refuses record k the first refusals[k] times and accepts everything else.
std::string ExpectedTranscript(const std::vector<Bytes>& records, size_t imageSize,
                               const std::map<size_t, int>& refusals) {
  static const char kSpinner[] = "--\\\\||//";
  std::string text;
  size_t accepted = 0;
  size_t attempt = 0;
  for (size_t k = 0; k < records.size(); ++k) {
    const auto it = refusals.find(k);
    const int sends = 1 + (it == refusals.end() ? 0 : it->second);
    for (int s = 0; s < sends; ++s, ++attempt)
      text += Progress(kSpinner[attempt % 8], static_cast<int>(accepted * 100 / imageSize));
    accepted += records[k].size();
  }
  return text + kClosing;
}

class Upload : public ::testing::Test {
protected:
  void SetUp() override {
    plain_ = mctest::ReadBytes(TARVEX_MICROCODE_FILE);
    records_ = mctest::SplitRecords(plain_);
    ASSERT_GE(records_.size(), 6u);
    ASSERT_TRUE(port_.Open("COM1", 115200, 1000));
  }

  // Runs the built-in upload; the target must have been started.
  int RunUpload(std::string& out) {
    StdoutCapture capture;
    const int result = UploadMicrocode(port_);
    endedAt_ = Clock::now();
    out = capture.Take();
    return result;
  }

  testsupport::PtyPair pty_;
  testsupport::ComMapping com_{"COM1", pty_.SlavePath()};
  SerialPort port_;
  Bytes plain_;
  std::vector<Bytes> records_;
  Clock::time_point endedAt_;
};

TEST_F(Upload, CleanUploadSendsStartByteThenEveryRecordUnmaskedInOrder) {
  FakeTarget target(pty_, {}, records_.size());
  std::string out;
  EXPECT_EQ(RunUpload(out), 0);
  target.Join();

  EXPECT_EQ(target.start, Bytes{0x75});
  EXPECT_EQ(target.sends.size(), records_.size());
  EXPECT_EQ(target.Accepted(), plain_);
  EXPECT_TRUE(pty_.ReceiveUntilQuiet(100).empty()) << "bytes after the last record";
  EXPECT_FALSE(port_.IsOpen());
  EXPECT_EQ(out, ExpectedTranscript(records_, plain_.size() + 4, {}));
}

TEST_F(Upload, ShortImageTranscriptShowsSpinnerPerAttemptAndAcceptedShare) {
  // Records of 5, 12 and 7 bytes: an image of 28 bytes. The first and the
  // last record are refused three times each.
  const Bytes plain = mctest::Join(
      {mctest::MakeRecord(3, 1), mctest::MakeRecord(10, 2), mctest::MakeRecord(5, 3)});
  const auto packed = microcode::PackMicrocode(plain);
  ASSERT_TRUE(packed.ok);
  ASSERT_EQ(packed.image.size(), 28u);

  FakeTarget target(pty_, {.refusals = {{0, 3}, {2, 3}}}, 3);
  std::string out;
  {
    StdoutCapture capture;
    EXPECT_EQ(microcode::UploadImage(port_, packed.image), 0);
    out = capture.Take();
  }
  target.Join();

  const std::string expected = Progress('-', 0) + Progress('-', 0) + Progress('\\', 0) +
                               Progress('\\', 0) + Progress('|', 17) + Progress('|', 60) +
                               Progress('/', 60) + Progress('/', 60) + Progress('-', 60) +
                               kClosing;
  EXPECT_EQ(out, expected);
  EXPECT_EQ(target.Accepted(), plain);
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(Upload, ImageWhoseLastRecordIsCutStopsBeforeReadingPastIt) {
  const Bytes plain = mctest::Join({mctest::MakeRecord(3, 1), mctest::MakeRecord(40, 2)});
  auto packed = microcode::PackMicrocode(plain);
  ASSERT_TRUE(packed.ok);
  packed.image.pop_back();  // held in a vector of its own size: ASan sees any overread
  packed.image.shrink_to_fit();

  FakeTarget target(pty_, {.waitMs = 300}, 2);
  std::string out;
  {
    StdoutCapture capture;
    EXPECT_EQ(microcode::UploadImage(port_, packed.image), -1);
    out = capture.Take();
  }
  target.Join();
  ASSERT_EQ(target.sends.size(), 1u);
  EXPECT_EQ(target.sends[0], mctest::MakeRecord(3, 1));
  EXPECT_EQ(out, Progress('-', 0) +
                     "\nFailed: the built-in microcode is damaged at offset 9; rebuild tarvex.\n");
  EXPECT_FALSE(port_.IsOpen());
}

class UploadRefusal : public Upload, public ::testing::WithParamInterface<uint8_t> {};

TEST_P(UploadRefusal, ThreeRefusalsThenAcceptedPassesAndTheCountStartsAgain) {
  // Two records in a row refused three times each: the second would fail if
  // the refusals of the first were still counted.
  const std::map<size_t, int> refusals = {{3, 3}, {4, 3}};
  FakeTarget target(pty_, {.refusals = refusals, .refusalByte = GetParam()}, records_.size());
  std::string out;
  EXPECT_EQ(RunUpload(out), 0);
  target.Join();

  EXPECT_EQ(target.Accepted(), plain_);
  ASSERT_EQ(target.sends.size(), records_.size() + 6);
  for (size_t i = 0; i < target.sends.size(); ++i)
    EXPECT_EQ(target.sends[i], records_[target.sendIndex[i]]) << "send " << i;
  EXPECT_EQ(out, ExpectedTranscript(records_, plain_.size() + 4, refusals));
  EXPECT_FALSE(port_.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(AnyByteButAccept, UploadRefusal,
                         ::testing::Values(uint8_t{0x00}, uint8_t{0x10}, uint8_t{0x12},
                                           uint8_t{0xFF}));

TEST_F(Upload, FourRefusalsOfOneRecordEndTheUpload) {
  FakeTarget target(pty_, {.refusals = {{2, 4}}}, records_.size());
  std::string out;
  EXPECT_EQ(RunUpload(out), -1);
  target.Join();

  ASSERT_EQ(target.sends.size(), 6u);  // records 0 and 1, then record 2 four times
  for (size_t i = 2; i < 6; ++i) EXPECT_EQ(target.sends[i], records_[2]);
  EXPECT_TRUE(pty_.ReceiveUntilQuiet(200).empty()) << "a fifth send";
  const std::string tail = out.substr(out.rfind("done.") + 5);
  EXPECT_EQ(tail, kCrcError);
  EXPECT_EQ(out.find("successfully"), std::string::npos);
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(Upload, SilentTargetFailsAboutOneSecondAfterTheFirstRecord) {
  FakeTarget target(pty_, {.silentAt = 0}, records_.size());
  std::string out;
  EXPECT_EQ(RunUpload(out), -1);
  target.Join();

  ASSERT_EQ(target.sends.size(), 1u);
  EXPECT_EQ(target.sends[0], records_[0]);
  const long waited = MsBetween(target.lastSendAt, endedAt_);
  EXPECT_GE(waited, 800);
  EXPECT_LE(waited, 4000);
  EXPECT_EQ(out, Progress('-', 0) + kNotResponding);
  EXPECT_FALSE(port_.IsOpen());
}

TEST_F(Upload, HangUpDuringTheUploadEndsPromptly) {
  FakeTarget target(pty_, {.hangUpAt = 1}, records_.size());
  std::string out;
  EXPECT_EQ(RunUpload(out), -1);
  target.Join();

  ASSERT_EQ(target.sends.size(), 2u);
  // Well before the one second that a silent target costs.
  EXPECT_LT(MsBetween(target.lastSendAt, endedAt_), 700);
  EXPECT_EQ(out.substr(out.rfind("done.") + 5), kNotResponding);
  EXPECT_FALSE(port_.IsOpen());
}

// The same through the built program: `tarvex fw.bin -COM1 -115200`.
class ToolUpload : public ::testing::Test {
protected:
  void SetUp() override {
    plain_ = mctest::ReadBytes(TARVEX_MICROCODE_FILE);
    records_ = mctest::SplitRecords(plain_);
  }
  testsupport::ProcessOptions Options() {
    testsupport::ProcessOptions o;
    o.env = {{"TARVEX_COM1", pty_.SlavePath()}};
    o.timeoutMs = 30000;
    return o;
  }
  // What the program printed after opening the port.
  static std::string AfterOpen(const std::string& out) {
    const std::string opened = "COM1 opened.\n";
    const size_t at = out.find(opened);
    return at == std::string::npos ? "<no open line in: " + out + ">"
                                   : out.substr(at + opened.size());
  }
  testsupport::PtyPair pty_;
  Bytes plain_;
  std::vector<Bytes> records_;
};

TEST_F(ToolUpload, PrintsTheExactTranscriptAndExitsZeroWithoutWaitingForAKey) {
  const std::map<size_t, int> refusals = {{1, 2}, {7, 1}};
  FakeTarget target(pty_, {.refusals = refusals}, records_.size());
  const auto r = testsupport::RunProcess({TARVEX_BIN, "fw.bin", "-COM1", "-115200"}, Options());
  target.Join();
  const auto finished = Clock::now();

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(AfterOpen(r.out), ExpectedTranscript(records_, plain_.size() + 4, refusals));
  EXPECT_EQ(target.Accepted(), plain_);
  // No controlling terminal: the key wait ends at once.
  EXPECT_LT(MsBetween(target.lastSendAt, finished), 3000);
}

TEST_F(ToolUpload, FourRefusalsExitWithFailure) {
  FakeTarget target(pty_, {.refusals = {{0, 4}}}, records_.size());
  const auto r = testsupport::RunProcess({TARVEX_BIN, "fw.bin", "-COM1", "-115200"}, Options());
  target.Join();
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(AfterOpen(r.out), Progress('-', 0) + Progress('-', 0) + Progress('\\', 0) +
                                  Progress('\\', 0) + kCrcError);
}

// tarvex run with a second pty as its controlling terminal, where the key
// press after a successful upload is read.
class ToolWithTerminal {
public:
  ToolWithTerminal(const std::string& line, const std::string& terminal, const std::string& out) {
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      const int tty = open(terminal.c_str(), O_RDWR);
      if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) _exit(126);
      const int devnull = open("/dev/null", O_RDONLY);
      const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(devnull, 0);
      dup2(outFd, 1);
      dup2(outFd, 2);
      setenv("TARVEX_COM1", line.c_str(), 1);
      execl(TARVEX_BIN, TARVEX_BIN, "fw.bin", "-COM1", "-115200", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~ToolWithTerminal() {
    if (pid_ > 0 && !done_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  // The exit status once it ended within `ms`, or -1 while it still runs.
  int WaitExit(int ms) {
    for (int waited = 0; waited <= ms; waited += 10) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        done_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      usleep(10000);
    }
    return -1;
  }

private:
  pid_t pid_ = -1;
  bool done_ = false;
};

struct TerminalMode {
  tcflag_t lflag, iflag, oflag;
  cc_t vmin;
  bool operator==(const TerminalMode&) const = default;
};

TerminalMode ModeOf(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  return {t.c_lflag, t.c_iflag, t.c_oflag, t.c_cc[VMIN]};
}

// The controlling terminal: a pty left in its default (cooked) mode.
class Terminal {
public:
  Terminal() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master_);
    unlockpt(master_);
    path_ = ptsname(master_);
    keep_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  }
  ~Terminal() {
    close(keep_);
    close(master_);
  }
  const std::string& Path() const { return path_; }
  TerminalMode Mode() const { return ModeOf(keep_); }
  void Type(char key) { EXPECT_EQ(write(master_, &key, 1), 1); }

private:
  int master_ = -1, keep_ = -1;
  std::string path_;
};

class ToolKeyPress : public ::testing::Test {
protected:
  void SetUp() override {
    records_ = mctest::SplitRecords(mctest::ReadBytes(TARVEX_MICROCODE_FILE)).size();
    dir_ = testsupport::MakeTempDir();
  }
  void TearDown() override {
    std::remove((dir_ + "/out").c_str());
    rmdir(dir_.c_str());
  }
  std::string Out() const { return testsupport::ReadFile(dir_ + "/out"); }
  testsupport::PtyPair line_;
  Terminal terminal_;
  size_t records_ = 0;
  std::string dir_;
};

TEST_F(ToolKeyPress, SuccessWaitsForOneKeyAndRestoresTheTerminal) {
  const TerminalMode before = terminal_.Mode();
  ASSERT_TRUE(before.lflag & ICANON);
  FakeTarget target(line_, {}, records_);
  ToolWithTerminal tool(line_.SlavePath(), terminal_.Path(), dir_ + "/out");
  target.Join();
  ASSERT_EQ(target.sends.size(), records_);

  EXPECT_EQ(tool.WaitExit(500), -1) << "ended without a key: " << Out();
  const TerminalMode during = terminal_.Mode();
  EXPECT_FALSE(during.lflag & (ICANON | ECHO | ISIG));
  terminal_.Type('k');
  EXPECT_EQ(tool.WaitExit(5000), 0) << Out();
  EXPECT_EQ(terminal_.Mode(), before);
  EXPECT_NE(Out().find("Microcode updated successfully.\n"), std::string::npos) << Out();
}

TEST_F(ToolKeyPress, AKeyTypedDuringTheUploadEndsTheWait) {
  FakeTarget target(line_, {}, records_);
  ToolWithTerminal tool(line_.SlavePath(), terminal_.Path(), dir_ + "/out");
  terminal_.Type('q');
  target.Join();
  EXPECT_EQ(tool.WaitExit(5000), 0) << Out();
}

TEST_F(ToolKeyPress, FailureDoesNotWaitForAKey) {
  const TerminalMode before = terminal_.Mode();
  FakeTarget target(line_, {.refusals = {{1, 4}}}, records_);
  ToolWithTerminal tool(line_.SlavePath(), terminal_.Path(), dir_ + "/out");
  target.Join();
  EXPECT_EQ(tool.WaitExit(3000), 255) << Out();
  EXPECT_EQ(terminal_.Mode(), before);
}

}  // namespace

// After a successful upload the program waits for a key on its controlling
// terminal. These tests must never have one, whoever runs them.
int main(int argc, char** argv) {
  if (setsid() < 0) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) return 1;
    if (child > 0) {
      int status = 0;
      waitpid(child, &status, 0);
      return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }
    setsid();
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
