// The wire trace of a SerialPort on real pseudo-terminals: what each write,
// read, time-out, drop and note puts in the file, and when nothing is
// written at all.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "serial/serial_port.h"
#include "serial/wire_trace.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

using testsupport::ComMapping;
using testsupport::PtyPair;

namespace {

constexpr uint32_t kTotalMs = 1000;

// Sets TARVEX_TRACE for the lifetime of the object.
class TraceVariable {
public:
  explicit TraceVariable(const std::string& path) { setenv(WireTrace::kEnvironmentVariable, path.c_str(), 1); }
  ~TraceVariable() { unsetenv(WireTrace::kEnvironmentVariable); }
};

struct TraceLine {
  double ms = 0;
  std::string text;  // what follows the stamp, e.g. "> 13 3A" or "# read time-out: ..."
};

// Splits the trace into lines; fails the test on a line of another shape.
// (No std::regex on the lines: one write's line can be megabytes long.)
std::vector<TraceLine> ParseTrace(const std::string& trace) {
  static const std::regex kStamp("\\d+\\.\\d{3}");
  std::vector<TraceLine> out;
  EXPECT_TRUE(trace.empty() || trace.back() == '\n') << "the trace ends inside a line";
  std::istringstream in(trace);
  std::string line;
  while (std::getline(in, line)) {
    const bool note = line.rfind("# ", 0) == 0;
    const size_t from = note ? 2 : 0;
    const size_t blank = line.find(' ', from);
    if (blank == std::string::npos || !std::regex_match(line.substr(from, blank - from), kStamp)) {
      ADD_FAILURE() << "not a trace line: '" << line.substr(0, 80) << "'";
      continue;
    }
    out.push_back({std::stod(line.substr(from, blank - from)),
                   (note ? "# " : "") + line.substr(blank + 1)});
  }
  return out;
}

std::vector<std::string> Texts(const std::vector<TraceLine>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines) out.push_back(l.text);
  return out;
}

class WireTraceTest : public ::testing::Test {
protected:
  std::string dir = testsupport::MakeTempDir();
  std::string tracePath = dir + "/trace.txt";
  PtyPair pty;
  ComMapping mapping{"COM7", pty.SlavePath()};

  ~WireTraceTest() override { std::filesystem::remove_all(dir); }
  std::vector<TraceLine> Trace() { return ParseTrace(testsupport::ReadFile(tracePath)); }
};

TEST_F(WireTraceTest, WritesReadsTimeOutsDropsAndNotesInOrder) {
  testsupport::WriteFile(tracePath, "left over from an earlier run\n");
  TraceVariable trace(tracePath);
  SerialPort port;
  ASSERT_TRUE(port.Open("COM7", 115200, kTotalMs));
  ASSERT_TRUE(port.SetReadTimeouts(200, 30));

  const uint8_t frame[] = {0x13, 0x3A, 0x01, 0x00, 0x06};
  ASSERT_TRUE(port.Write(frame, sizeof frame));
  pty.Send(std::vector<uint8_t>{0x62, 0x61, 0x0A});
  uint8_t buf[4] = {};
  ASSERT_TRUE(port.Read(buf, 3));
  EXPECT_FALSE(port.Read(buf, 2));  // silent: the total ends it
  pty.Send(std::vector<uint8_t>{0xFF});
  EXPECT_FALSE(port.Read(buf, 4));  // one byte, then the interval ends it
  pty.Send(std::vector<uint8_t>{0xDE, 0xAD});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  port.DiscardInput();
  port.DiscardInput();  // nothing left
  port.TraceNote("pass 2 read");
  ASSERT_TRUE(port.SetReadTimeouts(1000, 200));
  ASSERT_TRUE(port.SetReadTimeouts(1000, 200));  // unchanged: no line
  port.Close();
  port.TraceNote("after the end");  // no trace any more: nothing

  const auto lines = Trace();
  EXPECT_EQ(Texts(lines), (std::vector<std::string>{
                              "# open COM7 (" + pty.SlavePath() + ") at 115200 baud",
                              "# read time-outs: total 200 ms, interval 30 ms",
                              "> 13 3A 01 00 06",
                              "< 62 61 0A",
                              "# read time-out: wanted 2, got 0",
                              "< FF",
                              "# read time-out: wanted 4, got 1",
                              "< DE AD",
                              "# input dropped: 2 bytes",
                              "# input dropped: 0 bytes",
                              "# pass 2 read",
                              "# read time-outs: total 1000 ms, interval 200 ms",
                              "# close",
                          }));
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_LT(lines[0].ms, 100);
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_GE(lines[i].ms, lines[i - 1].ms) << i;
  // The silent read's line comes its 200 ms total after the read before it.
  EXPECT_GE(lines[4].ms - lines[3].ms, 190);
  EXPECT_LT(lines[4].ms - lines[3].ms, 2000);
}

TEST_F(WireTraceTest, EveryByteValueAndALargeWriteInOneLine) {
  TraceVariable trace(tracePath);
  SerialPort port;
  ASSERT_TRUE(port.Open("COM7", 115200, kTotalMs));
  std::vector<uint8_t> data(300000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i);
  std::thread reader([&] { pty.Receive(data.size(), 10000); });
  ASSERT_TRUE(port.Write(data.data(), static_cast<uint32_t>(data.size())));
  reader.join();
  port.Close();

  std::string expected = ">";
  char hex[4];
  for (uint8_t b : data) {
    std::snprintf(hex, sizeof hex, " %02X", b);
    expected += hex;
  }
  const auto lines = Trace();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(lines[1].text == expected) << "the write's line differs";
}

TEST_F(WireTraceTest, ALostPortIsNoted) {
  TraceVariable trace(tracePath);
  SerialPort port;
  ASSERT_TRUE(port.Open("COM7", 115200, kTotalMs));
  ASSERT_TRUE(port.SetReadTimeouts(5000, 30));
  std::thread hangup([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty.HangUp();
  });
  uint8_t buf[4];
  EXPECT_FALSE(port.Read(buf, 4));
  hangup.join();
  EXPECT_FALSE(port.Write(buf, 1));
  port.Close();
  const auto texts = Texts(Trace());
  EXPECT_EQ(std::vector<std::string>(texts.begin() + 2, texts.end()),
            (std::vector<std::string>{"# port lost: hung up", "# read ended, port lost: wanted 4, got 0",
                                      "# write failed: wanted 1, wrote 0", "# close"}));
}

TEST_F(WireTraceTest, FailedOpenIsTracedAndEndsTheTrace) {
  TraceVariable trace(tracePath);
  ComMapping missing("COM8", dir + "/ttyUSB9");
  SerialPort port;
  ASSERT_FALSE(port.Open("COM8", 9600, kTotalMs));
  EXPECT_EQ(Texts(Trace()), (std::vector<std::string>{"# open COM8 (" + dir + "/ttyUSB9) at 9600 baud",
                                                      "# open failed: No such file or directory"}));
}

TEST_F(WireTraceTest, WithoutTheVariableNothingIsWritten) {
  for (const char* value : {static_cast<const char*>(nullptr), ""}) {
    if (value) setenv(WireTrace::kEnvironmentVariable, value, 1);
    SerialPort port;
    ASSERT_TRUE(port.Open("COM7", 115200, kTotalMs));
    EXPECT_FALSE(port.Tracing());
    const uint8_t byte = 0x55;
    ASSERT_TRUE(port.Write(&byte, 1));
    port.TraceNote("nobody reads this");
    port.Close();
    unsetenv(WireTrace::kEnvironmentVariable);
  }
  EXPECT_TRUE(testsupport::ReadFile(tracePath).empty());
  EXPECT_FALSE(std::filesystem::exists(tracePath));
}

TEST_F(WireTraceTest, ATraceFileThatCannotBeMadeLeavesThePortWorking) {
  TraceVariable trace(dir + "/no-such-folder/trace.txt");
  SerialPort port;
  testing::internal::CaptureStderr();
  ASSERT_TRUE(port.Open("COM7", 115200, kTotalMs));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: cannot create the trace file " + dir +
                "/no-such-folder/trace.txt: No such file or directory; going on without a trace.\n");
  EXPECT_FALSE(port.Tracing());
  const uint8_t byte = 0x55;
  EXPECT_TRUE(port.Write(&byte, 1));
}

// Lines stay in memory only briefly: a run that is killed outright still
// leaves what it traced up to a moment ago, in whole lines.
TEST_F(WireTraceTest, GatheredLinesReachTheFileWithinTheFlushInterval) {
  TraceVariable trace(tracePath);
  SerialPort port;
  ASSERT_TRUE(port.Open("COM7", 115200, kTotalMs));
  const uint8_t byte = 0x42;
  ASSERT_TRUE(port.Write(&byte, 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(WireTrace::kFlushIntervalMs + 50));
  port.TraceNote("later");  // the next line sends what is gathered
  const auto lines = ParseTrace(testsupport::ReadFile(tracePath));
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines.back().text, "# later");
}

}  // namespace
