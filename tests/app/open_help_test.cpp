// A port that does not open, through the built program: standard output
// keeps its one line, standard error says what the name stood for, why it
// did not open and what to do.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

using testsupport::ProcessOptions;
using testsupport::PtyPair;

namespace {

const std::string kBanner = "tarvex 1.0.0\n\n";
constexpr int kExitFailure = 255;
constexpr int kNobody = 65534;

struct HelpCase {
  const char* what;
  std::string portOption;  // the second argument
  std::string device;      // TARVEX_COM3; empty: not set
  std::vector<std::string> help;  // texts standard error must hold, in order
};

// Runs tarvex with `portOption` and checks both outputs.
void ExpectHelp(const HelpCase& c, const std::vector<std::string>& prefix = {}) {
  std::vector<std::string> argv = prefix;
  argv.insert(argv.end(), {TARVEX_BIN, "fw.bin", c.portOption, "-115200", "-fa"});
  ProcessOptions options{.timeoutMs = 10000};
  if (!c.device.empty()) options.env = {{"TARVEX_COM3", c.device}};
  const auto r = testsupport::RunProcess(argv, options);
  std::string name = c.portOption.substr(1);
  for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  EXPECT_EQ(r.status, kExitFailure) << c.what;
  EXPECT_EQ(r.out, kBanner + "Error: " + name + " in use or does not exist.\n") << c.what;
  size_t at = 0;
  for (const std::string& text : c.help) {
    const size_t found = r.err.find(text, at);
    EXPECT_NE(found, std::string::npos) << c.what << ": no '" << text << "' in:\n" << r.err;
    if (found != std::string::npos) at = found + text.size();
  }
}

TEST(OpenHelp, EachWayAPortFailsIsExplained) {
  const std::string dir = testsupport::MakeTempDir();
  testsupport::WriteFile(dir + "/plain.bin", "data");
  PtyPair heldLine;
  // This test program holds the line, as another program would.
  const int holder = open(heldLine.SlavePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  const std::string self = "(pid " + std::to_string(getpid()) + ")";

  const std::vector<HelpCase> cases = {
      {"missing device", "-com3", dir + "/ttyUSB9",
       {"COM3 stands for " + dir + "/ttyUSB9 (from TARVEX_COM3).\n",
        dir + "/ttyUSB9: no such device (No such file or directory).\n"}},
      {"default device", "-com49", "",
       {"COM49 stands for /dev/ttyS48 (TARVEX_COM49 is not set).\n", "/dev/ttyS48: no such device"}},
      {"regular file", "-com3", dir + "/plain.bin",
       {dir + "/plain.bin: not a serial device (Inappropriate ioctl for device).\n"}},
      {"held by another program", "-com3", heldLine.SlavePath(),
       {heldLine.SlavePath() + ": held by app_tests " + self + "; close it and try again.\n"}},
      {"number zero", "-com0", "", {"COM0 names no port: COM names need a number from 1 up"}},
      {"leading zero", "-com01", "", {"COM01 names no port"}},
      {"dash in the name", "x-com2", "", {"-COM2 names no port"}},
  };
  for (const HelpCase& c : cases) ExpectHelp(c);
  close(holder);
  std::filesystem::remove_all(dir);
}

TEST(OpenHelp, AHoldingTarvexIsNamed) {
  PtyPair line;
  testsupport::Process first({TARVEX_BIN, "fw.bin", "-com3", "-115200", "-fa"},
                             ProcessOptions{.env = {{"TARVEX_COM3", line.SlavePath()}}, .timeoutMs = 20000});
  for (int i = 0; i < 100 && first.OutSoFar().find("COM3 opened.") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_NE(first.OutSoFar().find("COM3 opened."), std::string::npos);
  ExpectHelp({"held by tarvex", "-com3", line.SlavePath(),
              {line.SlavePath() + ": held by tarvex (pid " + std::to_string(first.Pid()) + ")"}});
  first.Signal(SIGTERM);
  first.Wait();
}

// An ordinary user on a device of the group dialout: join the group, and
// log in again.
TEST(OpenHelp, PermissionDeniedSaysHowToGetAccess) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to switch users";
  const group* dialout = getgrnam("dialout");
  if (dialout == nullptr) GTEST_SKIP() << "no group dialout here";
  if (access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "no setpriv";
  PtyPair line;
  ASSERT_EQ(chown(line.SlavePath().c_str(), 0, dialout->gr_gid), 0);
  ASSERT_EQ(chmod(line.SlavePath().c_str(), 0660), 0);
  ExpectHelp({"permission denied", "-com3", line.SlavePath(),
              {line.SlavePath() + ": permission denied: this user may not open it.\n",
               "It belongs to the group dialout: add yourself with\n", "  sudo adduser nobody dialout\n",
               "log out and in again: a new group counts only from a new login.\n"}},
             {"/usr/bin/setpriv", "--reuid=" + std::to_string(kNobody),
              "--regid=" + std::to_string(kNobody), "--clear-groups"});
}

}  // namespace
