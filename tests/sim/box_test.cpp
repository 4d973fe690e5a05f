// The box on a simulated clock: greeting timing, answers, frames with their
// log lines, faults, pacing and power-ups.
#include <gtest/gtest.h>
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

}  // namespace
}  // namespace stb
