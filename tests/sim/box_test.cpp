// The box on a simulated clock: greeting timing, answers, frames with their
// log lines, faults, line noise, pacing and power-ups.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <functional>
#include <string>
#include <vector>

#include "sim/box.h"
#include "sim/microcode_ref.h"
#include "tests/sim/host_frame.h"

namespace stb {
namespace {

constexpr int64_t kMs = 1'000'000;

struct Sent {
  uint8_t value;
  int64_t dueNs;
};

class BoxTest : public ::testing::Test {
protected:
  BoxTest() {
    config.chip.size = 64u << 10;
    config.chip.jedec = {0xEF, 0x40, 0x10};
    config.powerupDelayMs = 100;
    config.greetingGapMs = 20;
    config.idleMs = 400;
  }
  void Start() {
    box = MakeBox(config, PlainMicrocode());
    box.log = [this](const std::string& line) { log.push_back(line); };
    StartBox(box, now);
  }
  // Host bytes read from the line at `now`.
  void Host(const std::vector<uint8_t>& bytes) {
    ReceiveBytes(box, bytes, now);
  }
  // Runs the box's clock to `untilNs`, event by event, collecting what it sends.
  std::vector<Sent> RunTo(int64_t untilNs) {
    std::vector<Sent> sent;
    for (;;) {
      Advance(box, now);
      std::vector<uint8_t> out;
      std::vector<int64_t> dues;
      for (const TxByte& b : box.tx)
        if (b.dueNs <= now && !b.hangup) dues.push_back(b.dueNs);
      hungUp = TakeDue(box, now, out) || hungUp;
      for (size_t i = 0; i < out.size(); ++i) sent.push_back({out[i], dues[i]});
      const int64_t next = NextWakeNs(box);
      if (next > untilNs || hungUp) break;
      now = std::max(now, next);
    }
    now = std::max(now, untilNs);
    return sent;
  }
  std::vector<uint8_t> Values(const std::vector<Sent>& sent) {
    std::vector<uint8_t> v;
    for (const Sent& s : sent) v.push_back(s.value);
    return v;
  }
  bool Logged(const std::string& line) const {
    return std::find(log.begin(), log.end(), line) != log.end();
  }
  // The lines appear in the log in this order (others may come between).
  bool LoggedInOrder(const std::vector<std::string>& lines) const {
    auto at = log.begin();
    for (const std::string& line : lines) {
      at = std::find(at, log.end(), line);
      if (at == log.end()) return false;
      ++at;
    }
    return true;
  }
  std::vector<std::string> LinesStarting(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& line : log)
      if (line.starts_with(prefix)) found.push_back(line);
    return found;
  }
  void Greet() {
    Start();
    RunTo(now + 200 * kMs);
    Host({kAnswerBridge});
    RunTo(now + 1 * kMs);
  }
  static std::vector<uint8_t> Frame(const std::vector<uint8_t>& bus) { return HostFrame(bus); }

  BoxConfig config;
  Box box;
  std::vector<std::string> log;
  int64_t now = 5000 * kMs;
  bool hungUp = false;
};

TEST_F(BoxTest, GreetsAfterTheDelayWithTheGap) {
  const int64_t t0 = now;
  Start();
  auto sent = RunTo(now + 500 * kMs);
  ASSERT_EQ(Values(sent), (std::vector<uint8_t>{'b', 'a'}));
  EXPECT_EQ(sent[0].dueNs - t0, 100 * kMs);
  EXPECT_EQ(sent[1].dueNs - sent[0].dueNs, 20 * kMs);
  EXPECT_EQ(log, (std::vector<std::string>{"powerup 1", "greeting ba"}));
}

TEST_F(BoxTest, DamagedGreetsWithALoneB) {
  config.damaged = true;
  Start();
  EXPECT_EQ(Values(RunTo(now + 1000 * kMs)), (std::vector<uint8_t>{'b'}));
  Host({kUploadStart});
  RunTo(now + 1 * kMs);
  EXPECT_TRUE(Logged("upload start"));
}

TEST_F(BoxTest, NoGreetingWithoutPowerUps) {
  config.powerups = 0;
  Start();
  EXPECT_TRUE(RunTo(now + 1000 * kMs).empty());
  Host({kUploadStart});
  RunTo(now + 1 * kMs);
  EXPECT_TRUE(Logged("upload start"));
}

TEST_F(BoxTest, AnUploadStartBeforeTheGreetingDropsIt) {
  Start();
  now += 10 * kMs;
  Host({kUploadStart});
  EXPECT_TRUE(RunTo(now + 1000 * kMs).empty());
}

TEST_F(BoxTest, AnswersAndFramesAreLogged) {
  Start();
  RunTo(now + 200 * kMs);
  Host({0x41, 0x42, 0x43, kAnswerBridge});
  RunTo(now + 1 * kMs);
  Host(Frame({kOpWriteEnable}));
  EXPECT_EQ(Values(RunTo(now + 1 * kMs)), (std::vector<uint8_t>{0xFF, 0x06, 0x00}));
  std::vector<uint8_t> read = {kOpReadData, 0x00, 0x04, 0x00};
  read.resize(1028, 0x00);
  Host(Frame(read));
  auto reply = RunTo(now + 1 * kMs);
  EXPECT_EQ(reply.size(), 1030u);
  std::vector<uint8_t> big = Frame(std::vector<uint8_t>(5000, 0));
  Host(big);
  EXPECT_TRUE(RunTo(now + 1 * kMs).empty());
  Host(Frame({kOpChipErase}));
  RunTo(now + 1 * kMs);
  EXPECT_EQ(log, (std::vector<std::string>{"powerup 1", "greeting ba", "answer 41 ignored",
                                           "ignored 2 more bytes", "answer 7B bridge",
                                           "frame 0 op=06 n=1", "frame 1 op=03 n=1028 addr=000400",
                                           "frame 2 rejected n=5000", "frame 3 op=C7 n=1"}));
}

TEST_F(BoxTest, Faults) {
  struct Case {
    FaultKind kind;
    uint32_t arg;
    std::vector<uint8_t> expected;  // reply to 0x9F with 3 filler bytes
  };
  const std::vector<uint8_t> good = {0xFF, 0xEF, 0x40, 0x10, 0x9F, 0x00};
  const Case cases[] = {
      {FaultKind::Silent, 0, {}},
      {FaultKind::Short, 2, {0xFF, 0xEF}},
      {FaultKind::BadSum, 0, {0xFF, 0xEF, 0x40, 0x10, 0x60, 0x00}},
      {FaultKind::Stray, 0, {0xFF, 0xEF, 0x40, 0x10, 0x9F, 0x00, kStrayByte}},
  };
  for (const Case& c : cases) {
    config.faults = {Fault{1, c.kind, c.arg, "x"}};
    log.clear();
    Greet();
    Host(Frame({kOpReadId, 0, 0, 0}));
    EXPECT_EQ(Values(RunTo(now + 1 * kMs)), good) << "frame 0 must be untouched";
    Host(Frame({kOpReadId, 0, 0, 0}));
    EXPECT_EQ(Values(RunTo(now + 1 * kMs)), c.expected) << static_cast<int>(c.kind);
    EXPECT_TRUE(Logged("fault 1 x"));
    Host(Frame({kOpReadId, 0, 0, 0}));
    EXPECT_EQ(Values(RunTo(now + 1 * kMs)), good) << "frame 2 must be untouched";
  }
}

TEST_F(BoxTest, GarbageLateSlowSilentFromAndHangup) {
  config.faults = {Fault{0, FaultKind::Garbage, 9, "garbage:9"}, Fault{1, FaultKind::Late, 300, "late:300"},
                   Fault{2, FaultKind::Slow, 50, "slow:50"}, Fault{3, FaultKind::SilentFrom, 0, "silent-from"}};
  Greet();
  Host(Frame({kOpReadId, 0, 0, 0}));
  EXPECT_EQ(RunTo(now + 1 * kMs).size(), 9u);

  Host(Frame({kOpReadId, 0, 0, 0}));
  const int64_t sentAt = now;
  auto late = RunTo(now + 1000 * kMs);
  ASSERT_EQ(late.size(), 6u);
  EXPECT_EQ(late[0].dueNs - sentAt, 300 * kMs);

  Host(Frame({kOpReadId, 0, 0, 0}));
  auto slow = RunTo(now + 1000 * kMs);
  ASSERT_EQ(slow.size(), 6u);
  for (size_t i = 1; i < slow.size(); ++i) EXPECT_EQ(slow[i].dueNs - slow[i - 1].dueNs, 50 * kMs);

  for (int i = 0; i < 3; ++i) {
    Host(Frame({kOpWriteEnable}));
    EXPECT_TRUE(RunTo(now + 100 * kMs).empty());
  }
  // The chip still ran the commands.
  EXPECT_TRUE(box.chip.writeEnabled);

  config.faults = {Fault{0, FaultKind::Hangup, 0, "hangup"}};
  Greet();
  Host(Frame({kOpReadId, 0, 0, 0}));
  EXPECT_TRUE(RunTo(now + 1 * kMs).empty());
  EXPECT_TRUE(hungUp);
  EXPECT_EQ(box.mode, Mode::Lost);
}

TEST_F(BoxTest, PacesBothDirectionsAgainstTheBaud) {
  config.byteNs = ByteTimeNs(115200);
  EXPECT_EQ(config.byteNs, 86805);
  Greet();
  RunTo(now + 10 * kMs);
  // A 1028-byte read: 1032 bytes in, then 1030 bytes out, back to back.
  std::vector<uint8_t> read = {kOpReadData, 0, 0, 0};
  read.resize(1028, 0x00);
  const int64_t t0 = now;
  Host(Frame(read));
  auto reply = RunTo(now + 2000 * kMs);
  ASSERT_EQ(reply.size(), 1030u);
  EXPECT_EQ(reply.front().dueNs - t0, (1032 + 1) * config.byteNs);
  EXPECT_EQ(reply.back().dueNs - t0, (1032 + 1030) * config.byteNs);
  for (size_t i = 1; i < reply.size(); ++i) ASSERT_EQ(reply[i].dueNs - reply[i - 1].dueNs, config.byteNs);
}

TEST_F(BoxTest, PowersUpAfterIdleThenAsksToStop) {
  config.powerups = 2;
  Greet();
  Host(Frame({kOpWriteEnable}));
  RunTo(now + 1 * kMs);
  auto second = RunTo(now + 399 * kMs);
  EXPECT_TRUE(second.empty()) << "power-up before the idle time";
  second = RunTo(now + 200 * kMs);
  EXPECT_EQ(Values(second), (std::vector<uint8_t>{'b', 'a'}));
  EXPECT_TRUE(Logged("powerup 2"));
  // The new power-up forgot bridge mode.
  Host(Frame({kOpWriteEnable}));
  RunTo(now + 1 * kMs);
  EXPECT_TRUE(Logged("answer 13 ignored"));
  Host({kAnswerBridge});
  RunTo(now + 1 * kMs);
  EXPECT_FALSE(box.stopRequested);
  RunTo(now + 500 * kMs);
  EXPECT_TRUE(box.stopRequested);
  EXPECT_TRUE(Logged("idle after the last power-up"));
}

// Three chips of three sizes over four power-ups: each pass meets its own
// chip, and the fourth finds the first as the first pass left it.
TEST_F(BoxTest, AShelfServesItsChipsInTurn) {
  struct Shelved {
    const char* name;
    uint32_t size;
    uint8_t capacity;  // the last 0x9F byte, distinct per chip here
    uint8_t mark;      // at address 0 from the start
  };
  const Shelved shelved[] = {{"a.bin", 4u << 10, 0x0C, 0xA1},
                             {"b.bin", 256u << 10, 0x12, 0xB2},
                             {"c.bin", 2u << 20, 0x15, 0xC3}};
  std::vector<ShelfChip> chips;
  for (const Shelved& s : shelved) {
    ChipConfig chip = config.chip;
    chip.size = s.size;
    chip.jedec[2] = s.capacity;
    chip.programBusyReads = 0;
    chips.push_back({MakeChip(chip), s.name});
    chips.back().chip.content[0] = s.mark;
  }
  config.powerups = 4;
  box = MakeBox(config, PlainMicrocode());
  box.log = [this](const std::string& line) { log.push_back(line); };
  LoadShelf(box, std::move(chips));
  StartBox(box, now);

  // Pass k programs 0x50 + k at address k of its chip.
  const std::vector<std::vector<uint8_t>> readBefore = {
      {0xA1, 0xFF, 0xFF, 0xFF}, {0xB2, 0xFF, 0xFF, 0xFF}, {0xC3, 0xFF, 0xFF, 0xFF}, {0xA1, 0x51, 0xFF, 0xFF}};
  for (uint8_t pass = 1; pass <= 4; ++pass) {
    const Shelved& s = shelved[(pass - 1) % 3];
    EXPECT_EQ(Values(RunTo(now + 700 * kMs)), (std::vector<uint8_t>{'b', 'a'})) << int{pass};
    Host({kAnswerBridge});
    Host(Frame({kOpReadId, 0, 0, 0}));
    const std::vector<uint8_t> id = Values(RunTo(now + 1 * kMs));
    ASSERT_EQ(id.size(), 6u) << int{pass};
    EXPECT_EQ(id[3], s.capacity) << int{pass};
    Host(Frame({kOpReadData, 0, 0, 0, 0, 0, 0, 0}));
    const std::vector<uint8_t> read = Values(RunTo(now + 1 * kMs));
    ASSERT_EQ(read.size(), 10u) << int{pass};
    EXPECT_EQ(std::vector<uint8_t>(read.begin() + 4, read.begin() + 8), readBefore[pass - 1]) << int{pass};
    Host(Frame({kOpWriteEnable}));
    Host(Frame({kOpPageProgram, 0, 0, pass, static_cast<uint8_t>(0x50 + pass)}));
    RunTo(now + 1 * kMs);
  }
  RunTo(now + 1000 * kMs);
  EXPECT_TRUE(box.stopRequested);

  std::vector<std::string> powerups;
  for (size_t i = 0; i < log.size(); ++i)
    if (log[i].starts_with("powerup ") && i + 1 < log.size()) powerups.push_back(log[i] + " / " + log[i + 1]);
  EXPECT_EQ(powerups, (std::vector<std::string>{"powerup 1 / chip 1 a.bin 4K", "powerup 2 / chip 2 b.bin 256K",
                                                "powerup 3 / chip 3 c.bin 2M", "powerup 4 / chip 1 a.bin 4K"}));
  const std::vector<std::vector<uint8_t>> after = {
      {0xA1, 0x51, 0xFF, 0xFF, 0x54}, {0xB2, 0xFF, 0x52, 0xFF, 0xFF}, {0xC3, 0xFF, 0xFF, 0x53, 0xFF}};
  for (size_t i = 0; i < 3; ++i) {
    const FlashChip& chip = ShelfChipAt(box, i);
    EXPECT_EQ(chip.content.size(), shelved[i].size) << i;
    EXPECT_EQ(std::vector<uint8_t>(chip.content.begin(), chip.content.begin() + 5), after[i]) << i;
    // Nothing else was written anywhere.
    const auto written = [](const std::vector<uint8_t>& bytes) {
      return std::count_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b != kErased; });
    };
    EXPECT_EQ(written(chip.content), written(after[i])) << i;
  }
}

// A shelf of one is the lone chip of old: it stays on the board and the log
// names no chip.
TEST_F(BoxTest, AShelfOfOneIsNotAnnounced) {
  config.powerups = 2;
  ChipConfig chip = config.chip;
  chip.programBusyReads = 0;
  std::vector<ShelfChip> chips;
  chips.push_back({MakeChip(chip), "only.bin"});
  box = MakeBox(config, PlainMicrocode());
  box.log = [this](const std::string& line) { log.push_back(line); };
  LoadShelf(box, std::move(chips));
  StartBox(box, now);
  for (uint8_t pass = 1; pass <= 2; ++pass) {
    EXPECT_EQ(Values(RunTo(now + 700 * kMs)), (std::vector<uint8_t>{'b', 'a'}));
    Host({kAnswerBridge});
    Host(Frame({kOpWriteEnable}));
    Host(Frame({kOpPageProgram, 0, 0, pass, 0x00}));
    RunTo(now + 1 * kMs);
  }
  EXPECT_TRUE(LinesStarting("chip").empty());
  EXPECT_EQ(ShelfChipAt(box, 0).content[1], 0x00);
  EXPECT_EQ(ShelfChipAt(box, 0).content[2], 0x00);
}

TEST_F(BoxTest, AnUploadPassEndsWithTheHostNotTheIdleTime) {
  config.powerups = 0;
  config.noAnswer = true;
  Start();
  Host({kUploadStart, 0x00, 0x04, 1, 2, 3, 4});
  EXPECT_TRUE(RunTo(now + 5000 * kMs).empty());
  EXPECT_FALSE(box.stopRequested);
  FinishBox(box);
  EXPECT_TRUE(Logged("record 0 len=4 unanswered"));
  EXPECT_TRUE(Logged("upload incomplete 0 of " + std::to_string(box.records.size()) + " records"));
}

TEST_F(BoxTest, UploadAnswersEachRecord) {
  config.powerups = 0;
  config.refusals = {{0, 1}};
  Start();
  const auto ref = PlainMicrocode();
  const size_t firstRecord = 2 + ((ref[0] << 8) | ref[1]);
  std::vector<uint8_t> bytes = {kUploadStart};
  bytes.insert(bytes.end(), ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(firstRecord));
  Host(bytes);
  EXPECT_EQ(Values(RunTo(now + 1 * kMs)), (std::vector<uint8_t>{kRecordRefused}));
  Host(std::vector<uint8_t>(ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(firstRecord)));
  EXPECT_EQ(Values(RunTo(now + 1 * kMs)), (std::vector<uint8_t>{kRecordAccepted}));
  EXPECT_TRUE(Logged("record 0 len=4 refused"));
  EXPECT_TRUE(Logged("record 0 len=4 ok"));
}

std::string Hex2(uint8_t v) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%02X", v);
  return buf;
}

TEST_F(BoxTest, InputAndOutputFaults) {
  struct Case {
    const char* name;
    std::vector<Fault> faults;
    std::vector<std::vector<uint8_t>> frames;  // bus bytes, one frame at a time
    std::vector<uint8_t> replies;              // everything the box sent back
    std::vector<std::string> lines;            // in this order in the log
  };
  const Case cases[] = {
      {"flip-in on the opcode turns a chip erase into an unknown command",
       {{1, FaultKind::FlipIn, 4, "flip-in:4"}},
       {{kOpWriteEnable}, {kOpChipErase}, {kOpReadStatus1, 0}},
       // The sum is of what the box received; the latch is still set and the chip not busy.
       {0xFF, 0x06, 0x00, 0xFF, 0xC6, 0x00, 0xFF, 0x02, 0x05, 0x00},
       {"fault 1 flip-in:4", "frame 1 op=C6 n=1", "chip ignored op=C6 unknown"}},
      {"drop-in on the opcode: the next frame's start byte completes the frame",
       {{0, FaultKind::DropIn, 4, "drop-in:4"}},
       {{kOpWriteEnable}, {kOpReadStatus1, 0}, {kOpReadStatus1, 0}},
       {0xFF, 0x13, 0x00, 0xFF, 0x00, 0x05, 0x00},
       {"fault 0 drop-in:4", "frame 0 op=13 n=1", "garbage 5 bytes", "frame 1 op=05 n=2"}},
      {"drop-in of the start byte makes the frame garbage, once",
       {{0, FaultKind::DropIn, 0, "drop-in:0"}},
       {{kOpWriteEnable}, {kOpReadStatus1, 0}, {kOpWriteEnable}},
       {0xFF, 0x00, 0x05, 0x00, 0xFF, 0x06, 0x00},
       {"fault 0 drop-in:0", "garbage 4 bytes", "frame 0 op=05 n=2", "frame 1 op=06 n=1"}},
      {"two input faults on one frame: places count after the drop",
       {{0, FaultKind::DropIn, 4, "drop-in:4"}, {0, FaultKind::FlipIn, 5, "flip-in:5"}},
       {{kOpReadId, 0x00, 0x10, 0x00}, {kOpReadStatus1, 0}},
       {0xFF, 0xFF, 0xFF, 0xFF, 0x24, 0x00},
       {"fault 0 drop-in:4", "fault 0 flip-in:5", "frame 0 op=00 n=4"}},
      {"flip-out and badsum: a busy status read looks ready with a wrong sum",
       {{2, FaultKind::BadSum, 0, "badsum"}, {2, FaultKind::FlipOut, 1, "flip-out:1"}},
       {{kOpWriteEnable}, {kOpChipErase}, {kOpReadStatus1, 0}, {kOpReadStatus1, 0}},
       {0xFF, 0x06, 0x00, 0xFF, 0xC7, 0x00, 0xFF, 0x02, 0xFA, 0x00, 0xFF, 0x03, 0x05, 0x00},
       {"frame 2 op=05 n=2", "fault 2 badsum", "fault 2 flip-out:1", "frame 3 op=05 n=2"}},
      {"flip-out on a checksum byte",
       {{0, FaultKind::FlipOut, 4, "flip-out:4"}},
       {{kOpReadId, 0, 0, 0}},
       {0xFF, 0xEF, 0x40, 0x10, 0x9E, 0x00},
       {"frame 0 op=9F n=4", "fault 0 flip-out:4"}},
  };
  for (const Case& c : cases) {
    config.faults = c.faults;
    log.clear();
    Greet();
    std::vector<uint8_t> replies;
    for (const auto& bus : c.frames) {
      Host(Frame(bus));
      const auto v = Values(RunTo(now + 1 * kMs));
      replies.insert(replies.end(), v.begin(), v.end());
    }
    EXPECT_EQ(replies, c.replies) << c.name;
    EXPECT_TRUE(LoggedInOrder(c.lines)) << c.name;
  }
}

TEST_F(BoxTest, NoiseOnlyWhileServingFramesAndEachKindAtEveryByte) {
  const std::vector<uint8_t> good = {0xFF, 0xEF, 0x40, 0x10, 0x9F, 0x00};
  using Check = std::function<void(const std::vector<uint8_t>&, const std::vector<std::string>&)>;
  struct Case {
    const char* name;
    NoiseSpec toBox, toHost;
    Check check;  // the reply to 0x9F and the noise lines
  };
  const Case cases[] = {
      {"to-box lose", {0, 1, 0}, {},
       [](const auto& reply, const auto& noise) {
         EXPECT_TRUE(reply.empty());
         EXPECT_EQ(noise, (std::vector<std::string>{
                              "noise to-box lose 13", "noise to-box lose 3A", "noise to-box lose 04",
                              "noise to-box lose 00", "noise to-box lose 9F", "noise to-box lose 00",
                              "noise to-box lose 00", "noise to-box lose 00"}));
       }},
      {"to-host lose", {}, {0, 1, 0},
       [&](const auto& reply, const auto& noise) {
         EXPECT_TRUE(reply.empty());
         ASSERT_EQ(noise.size(), good.size());
         for (size_t i = 0; i < good.size(); ++i) EXPECT_EQ(noise[i], "noise to-host lose " + Hex2(good[i]));
       }},
      {"to-host flip", {}, {1, 0, 0},
       [&](const auto& reply, const auto& noise) {
         ASSERT_EQ(reply.size(), good.size());
         ASSERT_EQ(noise.size(), good.size());
         for (size_t i = 0; i < good.size(); ++i) {
           EXPECT_EQ(std::popcount(static_cast<unsigned>(reply[i] ^ good[i])), 1);
           EXPECT_EQ(noise[i], "noise to-host flip " + Hex2(good[i]) + ">" + Hex2(reply[i]));
         }
       }},
      {"to-host add", {}, {0, 0, 1},
       [&](const auto& reply, const auto& noise) {
         ASSERT_EQ(reply.size(), 2 * good.size());
         ASSERT_EQ(noise.size(), good.size());
         for (size_t i = 0; i < good.size(); ++i) {
           EXPECT_EQ(reply[2 * i], good[i]);
           EXPECT_EQ(noise[i], "noise to-host add " + Hex2(reply[2 * i + 1]));
         }
       }},
  };
  const auto ref = PlainMicrocode();
  const size_t firstRecord = 2 + ((ref[0] << 8) | ref[1]);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config.powerups = 2;
    config.noiseToBox = c.toBox;
    config.noiseToHost = c.toHost;
    log.clear();
    Start();
    EXPECT_EQ(Values(RunTo(now + 200 * kMs)), (std::vector<uint8_t>{'b', 'a'}));
    Host({kAnswerBridge});
    RunTo(now + 1 * kMs);
    EXPECT_TRUE(Logged("answer 7B bridge"));
    EXPECT_TRUE(LinesStarting("noise ").empty());
    Host(Frame({kOpReadId, 0, 0, 0}));
    const auto reply = Values(RunTo(now + 1 * kMs));
    const auto noise = LinesStarting("noise ");
    c.check(reply, noise);

    // The next power-up ends the noise: greeting, answer and upload cross clean.
    EXPECT_EQ(Values(RunTo(now + 600 * kMs)), (std::vector<uint8_t>{'b', 'a'}));
    Host({kAnswerUpload, kUploadStart});
    Host(std::vector<uint8_t>(ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(firstRecord)));
    EXPECT_EQ(Values(RunTo(now + 1 * kMs)), (std::vector<uint8_t>{kRecordAccepted}));
    EXPECT_TRUE(LoggedInOrder({"powerup 2", "answer AE upload", "upload start", "record 0 len=4 ok"}));
    EXPECT_EQ(LinesStarting("noise ").size(), noise.size());
  }
}

TEST_F(BoxTest, ToBoxNoiseActsOnWhatTheParserGets) {
  struct Case {
    const char* name;
    NoiseSpec spec;
    size_t trailing;  // zero bytes after the frame
  };
  const Case cases[] = {
      {"flip", {150, 0, 0}, 0},
      {"lose", {0, 150, 0}, 40},
      {"add", {0, 0, 150}, 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config.noiseToBox = c.spec;
    log.clear();
    Greet();
    // 0x9F with 1027 zero bytes after it: the chip does not care what they
    // are, and the sum shows what arrived.
    std::vector<uint8_t> bus(1028, 0x00);
    bus[0] = kOpReadId;
    std::vector<uint8_t> bytes = Frame(bus);
    bytes.insert(bytes.end(), c.trailing, 0x00);
    Host(bytes);
    const auto reply = Values(RunTo(now + 1 * kMs));
    FinishBox(box);
    // With this seed the noise leaves the header and the opcode alone.
    ASSERT_TRUE(Logged("frame 0 op=9F n=1028"));
    ASSERT_EQ(reply.size(), 1030u);
    const uint16_t sum = static_cast<uint16_t>(reply[1028] | (reply[1029] << 8));

    const auto flips = LinesStarting("noise to-box flip ");
    const auto losses = LinesStarting("noise to-box lose ");
    const auto adds = LinesStarting("noise to-box add ");
    EXPECT_GT(flips.size() + losses.size() + adds.size(), 3u);
    // A lost byte is made up by the next one; an added byte pushes one out.
    const size_t garbage = c.trailing - losses.size() + adds.size();
    if (garbage > 0) EXPECT_TRUE(Logged("garbage " + std::to_string(garbage) + " bytes"));
    else EXPECT_TRUE(LinesStarting("garbage ").empty());
    if (adds.empty()) {
      // Lost zeros leave the sum alone; each flipped zero adds its new value.
      uint32_t expected = kOpReadId;
      for (const std::string& f : flips) {
        ASSERT_EQ(f.rfind("noise to-box flip 00>", 0), 0u) << f;
        expected += static_cast<uint32_t>(std::stoul(f.substr(f.size() - 2), nullptr, 16));
      }
      EXPECT_EQ(sum, expected);
    }
  }
}

TEST_F(BoxTest, PacedNoiseKeepsEveryByteTime) {
  config.byteNs = ByteTimeNs(115200);
  const std::vector<uint8_t> good = {0xFF, 0xEF, 0x40, 0x10, 0x9F, 0x00};  // all different
  struct Case {
    const char* name;
    NoiseSpec spec;
  };
  const Case cases[] = {{"an extra byte takes a byte time of its own", {0, 0, 1}},
                        {"a lost byte keeps its byte time", {0, 2, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    config.noiseToHost = c.spec;
    log.clear();
    Greet();
    RunTo(now + 10 * kMs);
    const int64_t t0 = now;
    Host(Frame({kOpReadId, 0, 0, 0}));
    const auto reply = RunTo(now + 100 * kMs);
    // Slot k of the reply ends (8 bytes in + 1 + k) byte times after t0.
    std::vector<int64_t> slots;
    const auto losses = LinesStarting("noise to-host lose ");
    const size_t adds = LinesStarting("noise to-host add ").size();
    size_t slot = 0;
    for (uint8_t g : good) {
      if (std::find(losses.begin(), losses.end(), "noise to-host lose " + Hex2(g)) == losses.end())
        slots.push_back(static_cast<int64_t>(slot));
      ++slot;
      if (adds > 0) slots.push_back(static_cast<int64_t>(slot++));
    }
    EXPECT_GT(losses.size() + adds, 0u);
    ASSERT_EQ(reply.size(), slots.size());
    for (size_t i = 0; i < reply.size(); ++i)
      EXPECT_EQ(reply[i].dueNs - t0, (8 + 1 + slots[i]) * config.byteNs) << i;
  }
}

TEST_F(BoxTest, NoiseReplaysWithTheSeed) {
  auto session = [&](uint64_t seed) {
    config.noiseSeed = seed;
    config.noiseToBox = {40, 60, 80};
    config.noiseToHost = {30, 50, 70};
    log.clear();
    Greet();
    std::vector<uint8_t> out;
    for (uint8_t page = 0; page < 16; ++page) {
      std::vector<uint8_t> program = {kOpPageProgram, 0x00, page, 0x00};
      program.resize(4 + 64, static_cast<uint8_t>(page * 7));
      std::vector<uint8_t> read = {kOpReadData, 0x00, page, 0x00};
      read.resize(4 + 64, 0x00);
      for (const auto& bus : {std::vector<uint8_t>{kOpWriteEnable}, program,
                              std::vector<uint8_t>{kOpReadStatus1, 0}, read}) {
        Host(Frame(bus));
        const auto v = Values(RunTo(now + 1 * kMs));
        out.insert(out.end(), v.begin(), v.end());
      }
    }
    FinishBox(box);
    EXPECT_FALSE(LinesStarting("noise to-box ").empty());
    EXPECT_FALSE(LinesStarting("noise to-host ").empty());
    return std::pair{out, log};
  };
  const auto first = session(5);
  EXPECT_EQ(session(5), first);
  const auto other = session(6);
  EXPECT_NE(other.first, first.first);
  EXPECT_NE(other.second, first.second);
}

}  // namespace
}  // namespace stb
