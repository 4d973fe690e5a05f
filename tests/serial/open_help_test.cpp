// Why a port did not open, and the help built from it, against real
// pseudo-terminals and a device folder of our own making.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>

#include "serial/open_help.h"
#include "serial/serial_port.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

using testsupport::ComMapping;
using testsupport::PtyPair;
using Kind = OpenFailure::Kind;

namespace {

constexpr uint32_t kTotalMs = 1000;
const std::vector<std::string> kCommandLine = {"tarvex", "fw.bin", "-com3", "-115200", "-fr",
                                                "my dump.bin"};

// A device folder with three adapters (symbolic links to real pty slaves),
// one of them also under serial/by-id, and names that are not adapters.
class DeviceFolder {
public:
  DeviceFolder() {
    for (const char* name : {"ttyUSB2", "ttyUSB10", "ttyACM0"}) {
      ptys_.push_back(std::make_unique<PtyPair>());
      std::filesystem::create_symlink(ptys_.back()->SlavePath(), root_ + "/" + name);
    }
    for (const char* name : {"ttyS0", "ttyUSB", "ttyUSBx", "console"})
      testsupport::WriteFile(root_ + "/" + name, "");
    std::filesystem::create_directories(root_ + "/serial/by-id");
    std::filesystem::create_symlink("../../ttyUSB2", root_ + "/serial/by-id/usb-Maker_Cable_A1-if00-port0");
  }
  ~DeviceFolder() { std::filesystem::remove_all(root_); }
  const std::string& Root() const { return root_; }
  const PtyPair& Pty(size_t i) const { return *ptys_[i]; }

private:
  std::string root_ = testsupport::MakeTempDir();
  std::vector<std::unique_ptr<PtyPair>> ptys_;
};

TEST(OpenHelp, AdaptersAreListedInOrderByTheirStableNamesWhereTheyHaveOne) {
  DeviceFolder dev;
  const std::string& r = dev.Root();
  const auto found = ListSerialDevices(r);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(found[0].name, r + "/serial/by-id/usb-Maker_Cable_A1-if00-port0");
  EXPECT_EQ(found[0].device, r + "/ttyUSB2");
  EXPECT_EQ(found[1].name, r + "/ttyUSB10");
  EXPECT_EQ(found[1].device, "");
  EXPECT_EQ(found[2].name, r + "/ttyACM0");
  EXPECT_TRUE(ListSerialDevices(r + "/nothing-here").empty());
}

// Each suggested line, followed as written, opens the device it names.
TEST(OpenHelp, EverySuggestedLineOpensItsDevice) {
  DeviceFolder dev;
  ComMapping missing("COM3", dev.Root() + "/ttyUSB7");
  SerialPort port;
  ASSERT_FALSE(port.Open("COM3", 115200, kTotalMs));
  const std::string help = OpenFailureHelp(port.LastOpenFailure(), kCommandLine, ListSerialDevices(dev.Root()));
  EXPECT_NE(help.find("COM3 stands for " + dev.Root() + "/ttyUSB7 (from TARVEX_COM3).\n"), std::string::npos)
      << help;
  const std::regex line("    TARVEX_COM3=(\\S+) tarvex fw.bin -com3 -115200 -fr 'my dump.bin'\n");
  std::vector<std::string> suggested;
  for (std::sregex_iterator it(help.begin(), help.end(), line), end; it != end; ++it)
    suggested.push_back((*it)[1]);
  ASSERT_EQ(suggested.size(), 3u) << help;
  for (const std::string& path : suggested) {
    ComMapping follow("COM3", path);
    SerialPort other;
    EXPECT_TRUE(other.Open("COM3", 115200, kTotalMs)) << path;
  }
}

TEST(OpenHelp, ANameThatMapsToNothingGetsLinesForCom1) {
  DeviceFolder dev;
  SerialPort port;
  ASSERT_FALSE(port.Open("COM0", 115200, kTotalMs));
  const std::vector<std::string> commandLine = {"./tarvex", "fw.bin", "-com0", "-9600"};
  const std::string help = OpenFailureHelp(port.LastOpenFailure(), commandLine, ListSerialDevices(dev.Root()));
  EXPECT_EQ(help.rfind("COM0 names no port: COM names need a number from 1 up", 0), 0u) << help;
  EXPECT_NE(help.find("    TARVEX_COM1=" + dev.Root() + "/ttyACM0 ./tarvex fw.bin -COM1 -9600\n"),
            std::string::npos)
      << help;
}

TEST(OpenHelp, TheDeviceThatFailedIsNotOfferedAgain) {
  DeviceFolder dev;
  ComMapping mapping("COM3", dev.Root() + "/ttyUSB10");
  SerialPort holder;
  ASSERT_TRUE(holder.Open("COM3", 115200, kTotalMs));
  SerialPort port;
  ASSERT_FALSE(port.Open("COM3", 115200, kTotalMs));
  const std::string help = OpenFailureHelp(port.LastOpenFailure(), kCommandLine, ListSerialDevices(dev.Root()));
  EXPECT_EQ(help.find("=" + dev.Root() + "/ttyUSB10 "), std::string::npos) << help;
  EXPECT_NE(help.find("=" + dev.Root() + "/ttyACM0 "), std::string::npos) << help;
}

// What Open keeps about its failure, for each way a port fails to open.
TEST(OpenFailureKinds, OpenKeepsWhyItFailed) {
  PtyPair pty;
  const std::string dir = testsupport::MakeTempDir();
  testsupport::WriteFile(dir + "/plain", "not a device");
  SerialPort holder;
  struct Case {
    const char* what;
    std::string name;
    std::string device;  // TARVEX_<name>; empty: not set
    Kind kind;
    int error;
    std::function<void()> before;
  };
  const std::vector<Case> cases = {
      {"missing device", "COM3", dir + "/ttyUSB9", Kind::kNoDevice, ENOENT, {}},
      {"regular file", "COM3", dir + "/plain", Kind::kNotSerial, ENOTTY, {}},
      {"name with a leading zero", "COM03", "", Kind::kBadName, 0, {}},
      {"held by another port object", "COM3", pty.SlavePath(), Kind::kHeld, EWOULDBLOCK,
       [&] { ASSERT_TRUE(holder.Open("COM3", 115200, kTotalMs)); }},
      {"default device of a name", "COM49", "", Kind::kNoDevice, ENOENT, {}},
  };
  for (const Case& c : cases) {
    std::unique_ptr<ComMapping> mapping;
    if (!c.device.empty()) mapping = std::make_unique<ComMapping>(c.name, c.device);
    if (c.before) c.before();
    SerialPort port;
    EXPECT_FALSE(port.Open(c.name, 115200, kTotalMs)) << c.what;
    const OpenFailure& f = port.LastOpenFailure();
    EXPECT_EQ(f.kind, c.kind) << c.what;
    EXPECT_EQ(f.systemError, c.error) << c.what;
    EXPECT_EQ(f.name, c.name) << c.what;
    if (!c.device.empty()) {
      EXPECT_EQ(f.device, c.device) << c.what;
    }
  }
  holder.Close();

  // The reason is the last Open's: a success clears it, a second Open on
  // an open object says so.
  ComMapping mapping("COM3", pty.SlavePath());
  SerialPort port;
  ASSERT_TRUE(port.Open("COM3", 115200, kTotalMs));
  EXPECT_EQ(port.LastOpenFailure().kind, Kind::kNone);
  EXPECT_EQ(port.LastOpenFailure().device, pty.SlavePath());
  EXPECT_FALSE(port.Open("COM3", 115200, kTotalMs));
  EXPECT_EQ(port.LastOpenFailure().kind, Kind::kAlreadyOpen);
  std::filesystem::remove_all(dir);
}

}  // namespace
