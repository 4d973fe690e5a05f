// The built tarvex-stb: its command line, running a command against its
// line, the image file and a real client on its pty. This program is also
// the client: tarvex-stb runs it with --client MODE.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace {

using testsupport::ProcessOptions;
using testsupport::ReadFile;
using testsupport::RunProcess;

std::string gSelf;

long NowMs() {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count());
}

// --- the client side, run by tarvex-stb -------------------------------------

std::vector<uint8_t> ReadFd(int fd, size_t n, int timeoutMs) {
  std::vector<uint8_t> out;
  const long end = NowMs() + timeoutMs;
  while (out.size() < n && NowMs() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(end - NowMs())) <= 0) continue;
    uint8_t buf[4096];
    const ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
    if (r > 0) out.insert(out.end(), buf, buf + r);
    else if (r == 0 || errno != EAGAIN) break;
  }
  return out;
}

void WriteFd(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n < 0 && errno != EAGAIN && errno != EINTR) return;
  }
}

std::vector<uint8_t> Frame(const std::vector<uint8_t>& bus) {
  std::vector<uint8_t> f(4 + bus.size());
  f[0] = 0x13;
  f[1] = 0x3A;
  f[2] = static_cast<uint8_t>(bus.size() & 0xFF);
  f[3] = static_cast<uint8_t>(bus.size() >> 8);
  std::copy(bus.begin(), bus.end(), f.begin() + 4);
  return f;
}

void PrintHex(const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) std::printf(i ? " %02X" : "%02X", bytes[i]);
  std::printf("\n");
  std::fflush(stdout);
}

// id: one greeting, 0x9F, print and exit 0.
// passes: every greeting, 0x9F, print; never exits on its own.
// program: one greeting, write enable, page program "hi" at 0x100, exit 0.
// shelf: every greeting k (from 1): 0x9F, 0xAB, 0x35, four bytes read from
// 0, each printed; then 0x50 + k programmed at address k; never exits.
int RunClient(const std::string& mode, const char* com) {
  const char* path = std::getenv(com);
  if (!path) {
    std::printf("no %s\n", com);
    return 10;
  }
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 11;
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
  uint8_t pass = 0;
  for (;;) {
    const auto greeting = ReadFd(fd, 2, mode == "passes" || mode == "shelf" ? 60000 : 5000);
    PrintHex(greeting);
    if (greeting.size() != 2) return 12;
    WriteFd(fd, {0x7B});
    if (mode == "program") {
      WriteFd(fd, Frame({0x06}));
      ReadFd(fd, 3, 2000);
      WriteFd(fd, Frame({0x02, 0x00, 0x01, 0x00, 'h', 'i'}));
      PrintHex(ReadFd(fd, 8, 2000));
      return 0;
    }
    WriteFd(fd, Frame({0x9F, 0x00, 0x00, 0x00}));
    PrintHex(ReadFd(fd, 6, 2000));
    if (mode == "id") return 0;
    if (mode != "shelf") continue;
    ++pass;
    WriteFd(fd, Frame({0xAB, 0x00, 0x00, 0x00, 0x00}));
    PrintHex(ReadFd(fd, 7, 2000));
    WriteFd(fd, Frame({0x35, 0x00}));
    PrintHex(ReadFd(fd, 4, 2000));
    WriteFd(fd, Frame({0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    PrintHex(ReadFd(fd, 10, 2000));
    WriteFd(fd, Frame({0x06}));
    ReadFd(fd, 3, 2000);
    WriteFd(fd, Frame({0x02, 0x00, 0x00, pass, static_cast<uint8_t>(0x50 + pass)}));
    ReadFd(fd, 7, 2000);
    // Until the program is over, so that the chip is ready when it comes back.
    for (int reads = 0; reads < 10; ++reads) {
      WriteFd(fd, Frame({0x05, 0x00}));
      if (const auto status = ReadFd(fd, 4, 2000); status.size() == 4 && (status[1] & 0x01) == 0) break;
    }
  }
}

// --- the tests --------------------------------------------------------------

class ProgramTest : public ::testing::Test {
protected:
  ProgramTest() : dir(testsupport::MakeTempDir()) {}
  std::vector<std::string> Stb(std::vector<std::string> args) {
    args.insert(args.begin(), TARVEX_STB_BIN);
    return args;
  }
  std::string dir;
};

TEST_F(ProgramTest, BadInputExitsWithStatus2) {
  testsupport::WriteFile(dir + "/odd.bin", std::string(3000, '\xFF'));
  const std::vector<std::vector<std::string>> cases = {
      {"--bogus"},
      {"--size", "3000"},
      {"--size", "128M"},
      {"--size"},
      {"--powerups", "many"},
      {"--fault", "1:nope"},
      {"--fault", "x:silent"},
      {"--jedec", "EF40"},
      {"--refuse", "3"},
      {"--baud", "0"},
      {"--image", dir},                           // a folder
      {"--image", dir + "/odd.bin"},              // not a power of two
      {"--image", dir + "/odd.bin", "--size", "4K"},
      {"--image", dir + "/no/such/folder/x.bin"},
      {"--log", dir + "/no/such/folder/log"},
      {"--device", dir + "/no-such-device"},
      {"--"},
      {"--noise-seed", "x"},
      {"--noise-seed", "-1"},
      {"--noise-seed", "18446744073709551616"},
      {"--noise-seed"},
      {"--noise-to-box", "flip"},
      {"--noise-to-box", "lose=2,lose=3"},
      {"--noise-to-host", "zap=3"},
      {"--noise-to-host", "add=1,"},
      {"--noise-to-host", ""},
      {"--fault", "3:flip-in"},
      {"--fault", "3:drop-in:x"},
      {"--fault", "3:flip-out:-1"},
      {"--wire", dir + "/no/such/folder/wire"},
  };
  for (const auto& c : cases) {
    auto r = RunProcess(Stb(c), ProcessOptions{.timeoutMs = 10000});
    std::string joined;
    for (const auto& a : c) joined += a + " ";
    EXPECT_EQ(r.status, 2) << joined << r.err;
    EXPECT_EQ(r.err.rfind("tarvex-stb: ", 0), 0u) << joined << r.err;
  }
  auto help = RunProcess(Stb({"--help"}));
  EXPECT_EQ(help.status, 0);
  for (const char* option : {"--fault", "flip-in:K", "drop-in:K", "flip-out:K", "--noise-to-box",
                             "--noise-to-host", "--noise-seed", "--wire",
                             "power-up k serves image (k-1) mod count + 1"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
}

TEST_F(ProgramTest, NewFaultsReachTheClient) {
  struct Case {
    std::vector<std::string> faults;
    const char* reply;  // to 0x9F 00 00 00 on a 1M chip
  };
  const Case cases[] = {
      {{"0:flip-out:1"}, "FF EE 40 14 9F 00"},
      // The chip sees 0x9E and the sum is of what the box received.
      {{"0:flip-in:4"}, "FF FF FF FF 9E 00"},
      // Both on one frame: the sum inverted, then its bit 0.
      {{"0:badsum", "0:flip-out:4"}, "FF EF 40 14 61 00"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args;
    for (const std::string& f : c.faults) {
      args.push_back("--fault");
      args.push_back(f);
    }
    for (const char* a : {"--", gSelf.c_str(), "--client", "id"}) args.push_back(a);
    auto r = RunProcess(Stb(args), ProcessOptions{.timeoutMs = 20000});
    EXPECT_EQ(r.status, 0) << c.faults[0] << r.err;
    EXPECT_EQ(r.out, std::string("62 61\n") + c.reply + "\n") << c.faults[0];
  }
}

std::vector<uint8_t> ParseHex(const std::string& text) {
  std::vector<uint8_t> bytes;
  std::istringstream in(text);
  unsigned value = 0;
  while (in >> std::hex >> value) bytes.push_back(static_cast<uint8_t>(value));
  return bytes;
}

// The joined bytes of the wire record's lines that start with `marker`.
std::vector<uint8_t> WireBytes(const std::string& record, char marker) {
  std::vector<uint8_t> bytes;
  std::istringstream lines(record);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != marker) continue;
    const auto part = ParseHex(line.substr(1));
    bytes.insert(bytes.end(), part.begin(), part.end());
  }
  return bytes;
}

TEST_F(ProgramTest, NoisyRunReplaysWithItsSeedAndTheWireShowsWhatTheClientGot) {
  struct Run {
    std::string out, log;
    std::vector<uint8_t> fromHost, toHost;
  };
  auto run = [&](const std::string& seed) {
    const std::string log = dir + "/log." + seed, wire = dir + "/wire." + seed;
    auto r = RunProcess(Stb({"--noise-to-host", "flip=2", "--noise-to-box", "lose=0", "--noise-seed",
                             seed, "--log", log, "--wire", wire, "--", gSelf, "--client", "id"}),
                        ProcessOptions{.timeoutMs = 20000});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const std::string record = ReadFile(wire);
    return Run{r.out, ReadFile(log), WireBytes(record, '>'), WireBytes(record, '<')};
  };
  const Run first = run("77");
  // The greeting crosses clean; each byte of the reply arrives as sent or
  // with one bit inverted, and each inverted one is in the log.
  ASSERT_EQ(first.out.rfind("62 61\n", 0), 0u) << first.out;
  const std::vector<uint8_t> reply = ParseHex(first.out.substr(6));
  const std::vector<uint8_t> good = {0xFF, 0xEF, 0x40, 0x14, 0x9F, 0x00};
  ASSERT_EQ(reply.size(), good.size()) << first.out;
  size_t flipped = 0;
  for (size_t i = 0; i < good.size(); ++i) {
    const unsigned diff = reply[i] ^ good[i];
    EXPECT_LE(std::popcount(diff), 1) << i;
    flipped += diff != 0;
  }
  size_t logged = 0;
  for (size_t at = 0; (at = first.log.find("\nnoise to-host flip ", at)) != std::string::npos; ++at) ++logged;
  EXPECT_EQ(flipped, logged) << first.log;
  EXPECT_GT(flipped, 0u);

  // The record: what the client sent, and what it read.
  std::vector<uint8_t> expectedIn = {0x7B, 0x13, 0x3A, 0x04, 0x00, 0x9F, 0x00, 0x00, 0x00};
  EXPECT_EQ(first.fromHost, expectedIn);
  std::vector<uint8_t> expectedOut = {'b', 'a'};
  expectedOut.insert(expectedOut.end(), reply.begin(), reply.end());
  EXPECT_EQ(first.toHost, expectedOut);

  const Run again = run("77");
  EXPECT_EQ(again.out, first.out);
  EXPECT_EQ(again.log, first.log);
  EXPECT_EQ(again.toHost, first.toHost);
  EXPECT_NE(run("78").out, first.out) << "another seed, the same noise";
}

TEST_F(ProgramTest, EndsWithTheCommandsStatusAndCreatesTheImage) {
  const std::string image = dir + "/chip.bin";
  auto r = RunProcess(Stb({"--size", "64K", "--image", image, "--powerups", "0", "--", "/bin/sh",
                           "-c", "exit 3"}),
                      ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(ReadFile(image), std::string(64 * 1024, '\xFF'));
  EXPECT_NE(r.err.find("tarvex-stb: line /dev/pts/"), std::string::npos) << r.err;

  // Killed by a signal: 128 + its number.
  r = RunProcess(Stb({"--powerups", "0", "--", "/bin/sh", "-c", "kill -TERM $$"}),
                 ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(r.status, 128 + SIGTERM);

  // The line and its COM number reach the command; its output passes through.
  r = RunProcess(Stb({"--powerups", "0", "--", "/bin/sh", "-c", "echo \"$TARVEX_COM7\"", "x", "-com7"}),
                 ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("/dev/pts/", 0), 0u) << r.out;
}

TEST_F(ProgramTest, AClientGetsAGreetingAndAnIdReply) {
  const std::string log = dir + "/log";
  auto r = RunProcess(Stb({"--size", "1M", "--log", log, "--", gSelf, "--client", "id", "-COM3"}),
                      ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_EQ(r.out, "62 61\nFF EF 40 14 9F 00\n") << r.err;
  EXPECT_EQ(ReadFile(log), "powerup 1\ngreeting ba\nanswer 7B bridge\nframe 0 op=9F n=4\n");
}

TEST_F(ProgramTest, StopsAFlashModeCommandAfterTheLastPowerUp) {
  const std::string log = dir + "/log";
  auto r = RunProcess(Stb({"--size", "64K", "--jedec", "C22016", "--powerups", "2", "--idle-ms",
                           "200", "--powerup-delay-ms", "20", "--log", log, "--", gSelf,
                           "--client", "passes"}),
                      ProcessOptions{.timeoutMs = 30000});
  // The client has no handler of its own: SIGINT ends it.
  EXPECT_EQ(r.status, 128 + SIGINT) << r.out << r.err;
  EXPECT_EQ(r.out, "62 61\nFF C2 20 16 9F 00\n62 61\nFF C2 20 16 9F 00\n");
  const std::string text = ReadFile(log);
  EXPECT_NE(text.find("powerup 2\n"), std::string::npos);
  EXPECT_NE(text.find("idle after the last power-up\n"), std::string::npos);
}

TEST_F(ProgramTest, WritesTheImageBackAfterACommand) {
  const std::string image = dir + "/chip.bin";
  auto r = RunProcess(Stb({"--size", "4K", "--image", image, "--", gSelf, "--client", "program"}),
                      ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  std::string expected(4096, '\xFF');
  expected[0x100] = 'h';
  expected[0x101] = 'i';
  EXPECT_EQ(ReadFile(image), expected);

  // The next run starts from that image: a page program only clears bits.
  r = RunProcess(Stb({"--image", image, "--", gSelf, "--client", "program"}),
                 ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(ReadFile(image), expected);
}

TEST_F(ProgramTest, ServesADeviceAndSavesTheImageOnSigterm) {
  testsupport::PtyPair pty;  // the box opens the slave as its device
  const std::string image = dir + "/chip.bin";
  testsupport::Process box(Stb({"--device", pty.SlavePath(), "--size", "4K", "--image", image,
                                "--powerup-delay-ms", "10"}),
                           ProcessOptions{.timeoutMs = 20000});
  EXPECT_EQ(pty.Receive(2, 5000), (std::vector<uint8_t>{'b', 'a'}));
  pty.Send(std::vector<uint8_t>{0x7B});
  pty.Send(Frame({0x06}));
  EXPECT_EQ(pty.Receive(3, 3000).size(), 3u);
  pty.Send(Frame({0xC7}));
  EXPECT_EQ(pty.Receive(3, 3000).size(), 3u);
  pty.Send(Frame({0x05, 0x00}));
  EXPECT_EQ(pty.Receive(4, 3000), (std::vector<uint8_t>{0xFF, 0x03, 0x05, 0x00}));  // busy, latch set
  pty.Send(Frame({0x05, 0x00}));
  pty.Send(Frame({0x05, 0x00}));
  pty.Send(Frame({0x05, 0x00}));
  EXPECT_EQ(pty.Receive(12, 3000).size(), 12u);
  pty.Send(Frame({0x06}));
  pty.Send(Frame({0x02, 0x00, 0x00, 0x10, 0x00, 0x0F}));
  EXPECT_EQ(pty.Receive(3 + 8, 3000).size(), 11u);
  box.Signal(SIGTERM);
  auto r = box.Wait();
  EXPECT_EQ(r.status, 0) << r.err;
  std::string expected(4096, '\xFF');
  expected[0x10] = '\x00';
  expected[0x11] = '\x0F';
  EXPECT_EQ(ReadFile(image), expected);
}

// A shelf of three images of three sizes, the third created, over four
// power-ups: each pass meets its own chip, the fourth the first again, and
// each image is written back with its own changes.
TEST_F(ProgramTest, ServesAShelfOfImagesInTurn) {
  struct Case {
    std::vector<std::string> options;
    // Per chip: the 0x9F reply, the 0xAB reply.
    std::vector<std::pair<std::string, std::string>> ids;
  };
  const Case cases[] = {
      {{},
       {{"FF EF 40 0C 9F 00", "FF FF FF FF 10 AB 00"},
        {"FF EF 40 12 9F 00", "FF FF FF FF 11 AB 00"},
        {"FF EF 40 14 9F 00", "FF FF FF FF 13 AB 00"}}},
      // Given identification is every chip's.
      {{"--jedec", "C22016", "--device-id", "15"},
       {{"FF C2 20 16 9F 00", "FF FF FF FF 15 AB 00"},
        {"FF C2 20 16 9F 00", "FF FF FF FF 15 AB 00"},
        {"FF C2 20 16 9F 00", "FF FF FF FF 15 AB 00"}}},
  };
  for (size_t n = 0; n < std::size(cases); ++n) {
    const Case& c = cases[n];
    const std::string sub = dir + "/" + std::to_string(n);
    ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
    const std::string a = sub + "/a.bin", b = sub + "/b.bin", created = sub + "/c.bin", log = sub + "/log";
    std::string aIn(4 * 1024, '\xFF'), bIn(256 * 1024, '\xFF');
    aIn[0] = 'A';
    bIn[0] = 'B';
    bIn.back() = 'b';
    testsupport::WriteFile(a, aIn);
    testsupport::WriteFile(b, bIn);
    std::vector<std::string> args = {"--image", a, "--image", b, "--image", created, "--powerups", "4",
                                     "--idle-ms", "500", "--powerup-delay-ms", "20", "--status2", "5A",
                                     "--log", log};
    args.insert(args.end(), c.options.begin(), c.options.end());
    for (const char* arg : {"--", gSelf.c_str(), "--client", "shelf"}) args.push_back(arg);
    auto r = RunProcess(Stb(args), ProcessOptions{.timeoutMs = 60000});
    EXPECT_EQ(r.status, 128 + SIGINT) << n << r.out << r.err;

    const char* readBefore[] = {"FF FF FF FF 41 FF FF FF 03 00", "FF FF FF FF 42 FF FF FF 03 00",
                                "FF FF FF FF FF FF FF FF 03 00", "FF FF FF FF 41 51 FF FF 03 00"};
    std::string expected;
    for (int pass = 0; pass < 4; ++pass) {
      const auto& id = c.ids[pass % 3];
      expected += "62 61\n" + id.first + "\n" + id.second + "\nFF 5A 35 00\n" + readBefore[pass] + "\n";
    }
    EXPECT_EQ(r.out, expected) << n;

    std::string aOut = aIn, bOut = bIn, cOut(1024 * 1024, '\xFF');
    aOut[1] = '\x51';
    aOut[4] = '\x54';
    bOut[2] = '\x52';
    cOut[3] = '\x53';
    EXPECT_TRUE(ReadFile(a) == aOut) << n;
    EXPECT_TRUE(ReadFile(b) == bOut) << n;
    EXPECT_TRUE(ReadFile(created) == cOut) << n;

    std::vector<std::string> served;
    std::istringstream lines(ReadFile(log));
    for (std::string line, previous; std::getline(lines, line); previous = line)
      if (previous.starts_with("powerup ")) served.push_back(previous + " / " + line);
    EXPECT_EQ(served, (std::vector<std::string>{"powerup 1 / chip 1 " + a + " 4K",
                                                "powerup 2 / chip 2 " + b + " 256K",
                                                "powerup 3 / chip 3 " + created + " 1M",
                                                "powerup 4 / chip 1 " + a + " 4K"}))
        << n;
  }
}

// A bad image after a good one stops the run before it starts, and no image
// is created or touched.
TEST_F(ProgramTest, ABadLaterImageIsRefusedBeforeAnyIsWritten) {
  const std::string fresh = dir + "/fresh.bin", good = dir + "/good.bin", odd = dir + "/odd.bin";
  const std::string big = dir + "/big.bin", link = dir + "/link.bin";
  testsupport::WriteFile(good, std::string(4096, 'g'));
  testsupport::WriteFile(odd, std::string(3000, '\xFF'));
  testsupport::WriteFile(big, std::string(8192, '\xFF'));
  ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
  struct Case {
    std::vector<std::string> args;  // after --image fresh --image good
    std::string says;
  };
  const Case cases[] = {
      {{"--image", odd}, "image " + odd + " holds 3000 bytes: a chip size is a power of two"},
      {{"--image", dir}, "image " + dir + " is not a regular file"},
      {{"--image", big, "--size", "4K"}, "image " + big + " holds 8192 bytes, not the 4096 of --size"},
      {{"--image", fresh}, "image " + fresh + " is given twice"},
      {{"--image", link}, "image " + link + " is given twice"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--image", fresh, "--image", good};
    args.insert(args.end(), c.args.begin(), c.args.end());
    for (const char* arg : {"--", "/bin/true"}) args.push_back(arg);
    auto r = RunProcess(Stb(args), ProcessOptions{.timeoutMs = 10000});
    EXPECT_EQ(r.status, 2) << c.says << r.err;
    EXPECT_EQ(r.err.rfind("tarvex-stb: " + c.says, 0), 0u) << c.says << r.err;
    EXPECT_EQ(r.err.find("line "), std::string::npos) << c.says << r.err;
    EXPECT_NE(access(fresh.c_str(), F_OK), 0) << c.says;
    EXPECT_EQ(ReadFile(good), std::string(4096, 'g')) << c.says;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--client") == 0) {
    std::string com = "TARVEX_COM1";
    for (int i = 3; i < argc; ++i)
      if (std::strncmp(argv[i], "-COM", 4) == 0) com = std::string("TARVEX_COM") + (argv[i] + 4);
    return RunClient(argv[2], com.c_str());
  }
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  gSelf = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
