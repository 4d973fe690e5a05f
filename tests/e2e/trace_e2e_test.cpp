// The wire trace end to end: the bytes that tarvex's trace shows going each
// way, joined, are exactly those that the virtual box recorded crossing its
// end of the line.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/e2e/box_run.h"

namespace e2e {
namespace {

constexpr int kStoppedBySigint = 130;  // the box ends flash mode with SIGINT

struct Crossed {
  std::string toBox;    // hex bytes, joined with single spaces
  std::string fromBox;
  size_t notes = 0;     // "#" lines
  std::vector<std::string> bad;  // lines of no known shape
};

void Join(std::string& to, const std::string& hex) {
  if (!to.empty() && !hex.empty()) to += ' ';
  to += hex;
}

// tarvex's trace: "<ms> > XX XX", "<ms> < XX", "# <ms> text".
Crossed FromTrace(const std::string& trace) {
  Crossed c;
  std::istringstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("# ", 0) == 0) {
      ++c.notes;
      continue;
    }
    const size_t blank = line.find(' ');
    if (blank == std::string::npos || line.size() < blank + 4) {
      c.bad.push_back(line);
      continue;
    }
    const char direction = line[blank + 1];
    const std::string hex = line.substr(blank + 3);
    if (direction == '>')
      Join(c.toBox, hex);
    else if (direction == '<')
      Join(c.fromBox, hex);
    else
      c.bad.push_back(line);
  }
  return c;
}

// The box's record: "> XX" for bytes it received, "< XX" for bytes it sent.
Crossed FromBoxWire(const std::string& wire) {
  Crossed c;
  std::istringstream in(wire);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("> ", 0) == 0)
      Join(c.toBox, line.substr(2));
    else if (line.rfind("< ", 0) == 0)
      Join(c.fromBox, line.substr(2));
    else
      c.bad.push_back(line);
  }
  return c;
}

struct TraceCase {
  const char* what;
  std::vector<std::string> box;
  std::vector<std::string> flash;  // tarvex's arguments after the speed
  int status;
  const char* printed;  // a text standard output must hold
  const char* firstToBox;  // the trace's first bytes to the box
};

class TraceE2eTest : public BoxTest {};

TEST_F(TraceE2eTest, TracedBytesAreWhatCrossedTheLine) {
  const std::vector<TraceCase> cases = {
      {"probe", {"--size", "1M"}, {"-fa"}, kStoppedBySigint, "Flash id: ", "7B"},
      {"short read", {"--size", "128K"}, {"-fr", "dump.bin"}, kStoppedBySigint, " read done", "7B"},
      // A spoiled reply is read again after what is left of it is dropped:
      // the dropped bytes are in the trace too.
      {"read with a bad checksum", {"--size", "1M", "--fault", "6:badsum", "--fault", "9:stray"},
       {"-fr", "dump.bin"}, kStoppedBySigint, " read done", "7B"},
      {"microcode upload", {"--powerups", "0"}, {}, 0, "Microcode updated successfully.", "75"},
  };
  for (const TraceCase& c : cases) {
    std::vector<std::string> box = {"--wire", Path("box.wire")};
    box.insert(box.end(), c.box.begin(), c.box.end());
    testsupport::ProcessOptions options;
    options.workDir = Dir();
    options.timeoutMs = 60000;
    options.env = {{"TARVEX_TRACE", Path("trace.txt")}};
    const BoxRun run = Collect(testsupport::RunProcess(BoxArgv(box, TarvexArgv(c.flash)), options));
    EXPECT_EQ(run.proc.status, c.status) << c.what << "\n" << run.proc.out << run.proc.err;
    EXPECT_NE(run.proc.out.find(c.printed), std::string::npos) << c.what << "\n" << run.proc.out;

    const std::string traceText = testsupport::ReadFile(Path("trace.txt"));
    ASSERT_FALSE(traceText.empty()) << c.what;
    EXPECT_EQ(traceText.back(), '\n') << c.what;
    const Crossed traced = FromTrace(traceText);
    const Crossed recorded = FromBoxWire(testsupport::ReadFile(Path("box.wire")));
    EXPECT_TRUE(traced.bad.empty()) << c.what << ": " << traced.bad.front();
    EXPECT_TRUE(recorded.bad.empty()) << c.what << ": " << recorded.bad.front();
    EXPECT_GT(traced.notes, 0u) << c.what;
    ASSERT_FALSE(recorded.toBox.empty()) << c.what;
    EXPECT_EQ(traced.toBox.rfind(c.firstToBox, 0), 0u) << c.what;
    // Compared as wholes, but reported by the first difference.
    EXPECT_TRUE(traced.toBox == recorded.toBox)
        << c.what << ": to the box, " << traced.toBox.size() << " vs " << recorded.toBox.size()
        << " characters, first difference at "
        << std::mismatch(traced.toBox.begin(), traced.toBox.end(), recorded.toBox.begin(), recorded.toBox.end()).first -
               traced.toBox.begin();
    EXPECT_TRUE(traced.fromBox == recorded.fromBox)
        << c.what << ": from the box, " << traced.fromBox.size() << " vs " << recorded.fromBox.size()
        << " characters, first difference at "
        << std::mismatch(traced.fromBox.begin(), traced.fromBox.end(), recorded.fromBox.begin(),
                         recorded.fromBox.end()).first -
               traced.fromBox.begin();
  }
}

}  // namespace
}  // namespace e2e
