// The box itself, without any file descriptors: what it does with each byte
// from the host, what it sends and when. Time is a monotonic clock in
// nanoseconds handed in by the caller, so the whole box can be driven in
// process. With a byte time set, both directions are paced against an
// absolute schedule: a host byte counts as received one byte time after the
// previous one at the earliest, and each byte the box sends becomes due one
// byte time after the line was last free. While the box serves bridge
// frames, both directions may carry seeded random noise.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sim/bridge_frame.h"
#include "sim/flash_chip.h"
#include "sim/line_noise.h"
#include "sim/upload_check.h"

namespace stb {

constexpr uint8_t kGreetingFirst = 'b';
constexpr uint8_t kGreetingSecond = 'a';
constexpr uint8_t kAnswerBridge = 0x7B;
constexpr uint8_t kAnswerUpload = 0xAE;
constexpr uint8_t kStrayByte = 0x5A;
constexpr int64_t kNever = std::numeric_limits<int64_t>::max();

enum class FaultKind {
  Silent, SilentFrom, Short, BadSum, Stray, Slow, Late, Hangup, Garbage,
  DropIn, FlipIn,  // byte `arg` of the request frame (0: its 0x13), on its way in
  FlipOut,         // byte `arg` of the reply
};
// What flip-in and flip-out invert.
constexpr uint8_t kFaultFlipMask = 0x01;

struct Fault {
  uint64_t frame = 0;
  FaultKind kind = FaultKind::Silent;
  uint32_t arg = 0;
  std::string text;  // as given, for the log
};

struct BoxConfig {
  ChipConfig chip;
  int64_t greetingGapMs = 5;
  int64_t powerupDelayMs = 100;
  uint32_t powerups = 1;
  int64_t idleMs = 400;
  bool damaged = false;
  std::map<size_t, uint32_t> refusals;
  bool noAnswer = false;
  int64_t garbageMs = 0;
  std::vector<Fault> faults;
  int64_t byteNs = 0;  // one byte's time on the line (ten bits); 0: unpaced
  uint64_t noiseSeed = 1;
  NoiseSpec noiseToBox;   // host bytes before the box parses them
  NoiseSpec noiseToHost;  // reply bytes as the box sends them
};

// Ten bit times per byte.
int64_t ByteTimeNs(uint32_t baud);

enum class Mode { AwaitAnswer, Bridge, AwaitStart, Upload, Noise, Lost };

struct TxByte {
  uint8_t value = 0;
  int64_t dueNs = 0;
  bool hangup = false;  // close the line here instead of sending
};

struct RxByte {
  uint8_t value = 0;
  int64_t dueNs = 0;
};

// A chip the box can be powered up with, and its name in the log.
struct ShelfChip {
  FlashChip chip;
  std::string name;
};

struct Box {
  BoxConfig config;
  FlashChip chip;  // the chip on the board
  // With two or more chips here, each power-up serves the next in turn:
  // power-up k puts chip (k - 1) mod shelf.size() on the board, into `chip`,
  // and the one it replaces back into its place. Each chip keeps its content
  // and state from one of its power-ups to the next.
  std::vector<ShelfChip> shelf;
  size_t onBoard = 0;  // the shelf place of `chip`
  std::span<const uint8_t> microcode;
  std::vector<RecordRef> records;
  std::function<void(const std::string&)> log;     // one transcript line
  std::function<void(const std::string&)> notice;  // a line for the user

  Mode mode = Mode::AwaitAnswer;
  FrameParser parser;
  std::optional<UploadReceiver> upload;
  uint64_t frames = 0;
  uint32_t powerupsServed = 0;
  bool silentFrom = false;

  bool passHostByte = false;   // the host has sent something since the power-up
  int64_t lastActivityNs = 0;  // last byte on the line, either way
  bool stopRequested = false;  // the last pass is over: the command may be stopped
  int64_t noiseUntilNs = 0;
  int64_t greetingDueNs = kNever;  // first greeting byte not yet sent before this
  bool ignoring = false;           // in a run of ignored host bytes
  size_t ignored = 0;              // of them, those after the logged first one

  std::deque<RxByte> rx;
  int64_t rxFreeNs = 0;
  std::deque<TxByte> tx;
  int64_t txFreeNs = 0;
  uint64_t random = 0x9E3779B97F4A7C15ull;
  NoiseStream noiseToBox;
  NoiseStream noiseToHost;
  std::vector<bool> faultUsed;  // per config.faults entry: a one-shot input fault has fired
};

// `microcode` must outlive the box. Records that do not split cleanly leave
// the upload check with no records, so no upload can be complete.
Box MakeBox(const BoxConfig& config, std::span<const uint8_t> microcode);

// Takes the chips a run serves, the first on the board at once.
void LoadShelf(Box& box, std::vector<ShelfChip> chips);
// Chip `index` of the shelf, wherever it is now.
const FlashChip& ShelfChipAt(const Box& box, size_t index);

// The first power-up (none with powerups = 0: the box then waits for an
// answer or an upload start without greeting).
void StartBox(Box& box, int64_t nowNs);
// A power-up: the box forgets its mode and greets again.
void PowerUp(Box& box, int64_t nowNs);
// Bytes read from the line at `readNs`.
void ReceiveBytes(Box& box, std::span<const uint8_t> bytes, int64_t readNs);
// Handles the received bytes that are due and the timers.
void Advance(Box& box, int64_t nowNs);
// Appends the bytes due by now; returns true when the line is to be closed.
bool TakeDue(Box& box, int64_t nowNs, std::vector<uint8_t>& out);
// When Advance or TakeDue next have work.
int64_t NextWakeNs(const Box& box);
// The run is over: logs the upload verdict and what was left unsaid.
void FinishBox(Box& box);

}  // namespace stb
