#include "sim/box.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace stb {

namespace {

constexpr int64_t kNsPerMs = 1'000'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;
constexpr int64_t kBitsPerByte = 10;
// Without pacing, --garbage-ms sends one noise byte per millisecond.
constexpr int64_t kUnpacedNoiseGapNs = kNsPerMs;
constexpr int64_t kWakeWindowNs = kNsPerMs;
constexpr const char* kNoiseToBox = "noise to-box ";
constexpr const char* kNoiseToHost = "noise to-host ";

std::string Hex(uint32_t value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%0*X", digits, value);
  return buf;
}

void Log(Box& box, const std::string& line) {
  if (box.log) box.log(line);
}

uint8_t NextRandom(Box& box) {
  // xorshift64*: the same noise on every run.
  box.random ^= box.random >> 12;
  box.random ^= box.random << 25;
  box.random ^= box.random >> 27;
  return static_cast<uint8_t>((box.random * 0x2545F4914F6CDD1Dull) >> 56);
}

// One transcript line per noise event: "flip 5A>5B", "lose 13", "add 7F".
void LogNoise(Box& box, const char* prefix, uint8_t sent, const NoiseResult& r) {
  if (r.flipped) Log(box, prefix + std::string("flip ") + Hex(sent, 2) + ">" + Hex(r.value, 2));
  if (r.lost) Log(box, prefix + std::string("lose ") + Hex(sent, 2));
  if (r.added) Log(box, prefix + std::string("add ") + Hex(*r.added, 2));
}

// Queues bytes: the first not before `atNs` and not before `pauseNs` after
// the line's previous byte, later ones `gapNs` apart. With `noise`, a lost
// byte still takes its time on the line and an extra byte follows the one
// it came with at once, in a byte time of its own.
void Send(Box& box, std::span<const uint8_t> bytes, int64_t nowNs, int64_t atNs = 0,
          int64_t pauseNs = 0, int64_t gapNs = 0, NoiseStream* noise = nullptr) {
  int64_t start = std::max({nowNs, atNs, box.txFreeNs + pauseNs});
  auto queue = [&](uint8_t value, bool arrives) {
    const int64_t due = start + box.config.byteNs;
    if (arrives) box.tx.push_back({value, due, false});
    box.txFreeNs = due;
  };
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) start = std::max(nowNs, box.txFreeNs + gapNs);
    if (!noise) {
      queue(bytes[i], true);
      continue;
    }
    const NoiseResult r = PassByte(*noise, bytes[i]);
    LogNoise(box, kNoiseToHost, bytes[i], r);
    queue(r.value, !r.lost);
    if (r.added) {
      start = std::max(nowNs, box.txFreeNs);
      queue(*r.added, true);
    }
  }
}

void SendHangup(Box& box, int64_t atNs) {
  const int64_t due = std::max(atNs, box.txFreeNs);
  box.tx.push_back({0, due, true});
  box.txFreeNs = due;
}

void FlushIgnored(Box& box) {
  if (box.ignored > 0) Log(box, "ignored " + std::to_string(box.ignored) + " more bytes");
  box.ignored = 0;
  box.ignoring = false;
}

void FlushGarbage(Box& box) {
  if (size_t n = TakeGarbage(box.parser); n > 0)
    Log(box, "garbage " + std::to_string(n) + " bytes");
}

void EndUpload(Box& box) {
  if (!box.upload) return;
  const std::string summary = UploadSummary(*box.upload);
  Log(box, summary);
  if (box.notice) box.notice(summary);
  box.upload.reset();
}

void StartUpload(Box& box, int64_t nowNs) {
  // A host that starts the upload before the greeting went out meets a box
  // that is already up: the greeting is dropped.
  if (nowNs < box.greetingDueNs) {
    box.tx.clear();
    box.txFreeNs = nowNs;
  }
  box.greetingDueNs = kNever;
  Log(box, "upload start");
  box.upload = MakeUploadReceiver(box.microcode, box.records, box.config.refusals,
                                  box.config.noAnswer);
  box.mode = Mode::Upload;
}

// The first ignored byte of a run is logged, the rest only counted.
void Ignore(Box& box, const std::string& firstLine) {
  if (!box.ignoring) {
    Log(box, firstLine);
    box.ignoring = true;
  } else {
    ++box.ignored;
  }
}

std::vector<const Fault*> FaultsFor(const Box& box, uint64_t frame) {
  std::vector<const Fault*> found;
  for (const Fault& f : box.config.faults)
    if (f.frame == frame) found.push_back(&f);
  return found;
}

void ServeFrame(Box& box, const FrameEvent& event, int64_t nowNs) {
  if (event.garbageBefore > 0) Log(box, "garbage " + std::to_string(event.garbageBefore) + " bytes");
  const uint64_t index = box.frames++;
  if (event.kind == FrameEvent::Kind::Rejected) {
    Log(box, "frame " + std::to_string(index) + " rejected n=" + std::to_string(event.length));
    return;
  }
  std::string line = "frame " + std::to_string(index) + " op=" +
                     (event.bus.empty() ? std::string("--") : Hex(event.bus[0], 2)) +
                     " n=" + std::to_string(event.length);
  if (event.bus.size() >= 4 && (event.bus[0] == kOpReadData || event.bus[0] == kOpPageProgram))
    line += " addr=" + Hex((uint32_t{event.bus[1]} << 16) | (uint32_t{event.bus[2]} << 8) | event.bus[3], 6);
  Log(box, line);

  Transaction t = RunTransaction(box.chip, event.bus, nowNs);
  if (!t.note.empty()) Log(box, t.note);
  std::vector<uint8_t> reply = BuildReply(t.out, BusSum(event.bus));

  bool silent = box.silentFrom;
  bool hangup = false;
  int64_t atNs = nowNs;
  int64_t gapNs = 0;
  const auto faults = FaultsFor(box, index);
  // Content first (checksum, substitution, cut, extra byte), then timing.
  // The input faults have already acted on the frame's way in.
  static constexpr FaultKind kOrder[] = {FaultKind::SilentFrom, FaultKind::Silent,  FaultKind::Hangup,
                                         FaultKind::BadSum,     FaultKind::Garbage, FaultKind::FlipOut,
                                         FaultKind::Short,      FaultKind::Stray,   FaultKind::Slow,
                                         FaultKind::Late};
  for (FaultKind kind : kOrder) {
    for (const Fault* f : faults) {
      if (f->kind != kind) continue;
      Log(box, "fault " + std::to_string(index) + " " + f->text);
      switch (kind) {
        case FaultKind::SilentFrom: box.silentFrom = true; silent = true; break;
        case FaultKind::Silent: silent = true; break;
        case FaultKind::Hangup: hangup = true; break;
        case FaultKind::BadSum: reply[reply.size() - 2] ^= 0xFF; break;
        case FaultKind::Garbage:
          reply.resize(f->arg);
          for (uint8_t& b : reply) b = NextRandom(box);
          break;
        case FaultKind::Short: reply.resize(std::min<size_t>(reply.size(), f->arg)); break;
        case FaultKind::Stray: reply.push_back(kStrayByte); break;
        case FaultKind::Slow: gapNs = int64_t{f->arg} * kNsPerMs; break;
        case FaultKind::Late: atNs = nowNs + int64_t{f->arg} * kNsPerMs; break;
        case FaultKind::FlipOut:
          if (f->arg < reply.size()) reply[f->arg] ^= kFaultFlipMask;
          break;
        case FaultKind::DropIn:
        case FaultKind::FlipIn: break;
      }
    }
  }
  if (hangup) {
    SendHangup(box, nowNs);
    return;
  }
  if (silent) return;
  Send(box, reply, nowNs, atNs, 0, gapNs,
       box.noiseToHost.spec.Any() ? &box.noiseToHost : nullptr);
}

// Where the parser would put the next byte: the request frame's number and
// the byte's place in it (0: the 0x13). Nothing for a byte that cannot start
// a frame.
std::optional<std::pair<uint64_t, uint32_t>> PlaceInFrame(const Box& box, uint8_t byte) {
  using State = FrameParser::State;
  const FrameParser& p = box.parser;
  switch (p.state) {
    case State::Sync0:
      if (byte != kFrameSync0) return std::nullopt;
      return std::pair{box.frames, 0u};
    case State::Sync1: return std::pair{box.frames, 1u};
    case State::Length0: return std::pair{box.frames, 2u};
    case State::Length1: return std::pair{box.frames, 3u};
    case State::Body:
      return std::pair{box.frames, kFrameHeaderBytes + static_cast<uint32_t>(p.bus.size())};
    case State::Skip:
      // A rejected frame was counted when its header arrived.
      return std::pair{box.frames - 1, kFrameHeaderBytes + p.length - p.skipLeft};
  }
  return std::nullopt;
}

// drop-in and flip-in: each acts once, on the byte that takes its place.
// Returns the byte as the parser gets it, or nothing when it is dropped.
std::optional<uint8_t> ApplyInputFaults(Box& box, uint8_t byte) {
  if (box.faultUsed.empty()) return byte;
  const auto place = PlaceInFrame(box, byte);
  if (!place) return byte;
  for (size_t i = 0; i < box.config.faults.size(); ++i) {
    const Fault& f = box.config.faults[i];
    if ((f.kind != FaultKind::DropIn && f.kind != FaultKind::FlipIn) || box.faultUsed[i] ||
        f.frame != place->first || f.arg != place->second)
      continue;
    box.faultUsed[i] = true;
    Log(box, "fault " + std::to_string(f.frame) + " " + f.text);
    if (f.kind == FaultKind::DropIn) return std::nullopt;
    byte ^= kFaultFlipMask;
  }
  return byte;
}

void HandleByte(Box& box, uint8_t byte, int64_t nowNs) {
  box.passHostByte = true;
  switch (box.mode) {
    case Mode::AwaitAnswer:
      if (byte == kAnswerBridge) {
        FlushIgnored(box);
        Log(box, "answer 7B bridge");
        box.mode = Mode::Bridge;
        box.greetingDueNs = kNever;
      } else if (byte == kAnswerUpload) {
        FlushIgnored(box);
        Log(box, "answer AE upload");
        box.mode = Mode::AwaitStart;
        box.greetingDueNs = kNever;
      } else if (byte == kUploadStart) {
        FlushIgnored(box);
        StartUpload(box, nowNs);
      } else {
        Ignore(box, "answer " + Hex(byte, 2) + " ignored");
      }
      return;
    case Mode::AwaitStart:
      if (byte == kUploadStart) {
        FlushIgnored(box);
        StartUpload(box, nowNs);
      } else {
        Ignore(box, "byte " + Hex(byte, 2) + " ignored, waiting for the upload start");
      }
      return;
    case Mode::Upload: {
      RecordEvent ev;
      if (!FeedUploadByte(*box.upload, byte, ev)) return;
      Log(box, "record " + std::to_string(ev.index) + " len=" + std::to_string(ev.length) + " " +
                   VerdictName(ev.verdict));
      if (auto answer = AnswerFor(ev.verdict)) {
        const uint8_t a = *answer;
        Send(box, std::span<const uint8_t>(&a, 1), nowNs);
      }
      return;
    }
    case Mode::Bridge: {
      const std::optional<uint8_t> in = ApplyInputFaults(box, byte);
      FrameEvent ev;
      if (in && FeedFrameByte(box.parser, *in, ev)) ServeFrame(box, ev, nowNs);
      return;
    }
    case Mode::Noise:
      Ignore(box, "host bytes ignored during the noise");
      return;
    case Mode::Lost:
      return;
  }
}

// A host byte reaches the box: through the noise while it serves frames.
void ReceiveByte(Box& box, uint8_t byte, int64_t nowNs) {
  if (box.mode != Mode::Bridge || !box.noiseToBox.spec.Any()) {
    HandleByte(box, byte, nowNs);
    return;
  }
  const NoiseResult r = PassByte(box.noiseToBox, byte);
  LogNoise(box, kNoiseToBox, byte, r);
  if (!r.lost) HandleByte(box, r.value, nowNs);
  if (r.added) HandleByte(box, *r.added, nowNs);
}

bool IdleTimerArmed(const Box& box) {
  if (!box.passHostByte || !box.tx.empty() || box.stopRequested) return false;
  // An upload ends the host's run by itself.
  return box.mode != Mode::Upload && box.mode != Mode::AwaitStart && box.mode != Mode::Lost;
}

// Puts the chip of power-up `powerup` on the board; logs it when there is a
// choice of chips.
void ServeChipOf(Box& box, uint32_t powerup) {
  if (box.shelf.size() < 2) return;
  const size_t next = (powerup - 1) % box.shelf.size();
  if (next != box.onBoard) {
    box.shelf[box.onBoard].chip = std::move(box.chip);
    box.chip = std::move(box.shelf[next].chip);
    box.onBoard = next;
  }
  Log(box, "chip " + std::to_string(next + 1) + " " + box.shelf[next].name + " " +
               ChipSizeText(box.chip.config.size));
}

// Paced bytes are handled a window at a time: the loop wakes when the last
// byte due within a window of the first is due. Every byte keeps its own
// time in the schedule, so this bunches bytes a little without slowing them.
template <typename Queue>
int64_t WindowEnd(const Queue& queue) {
  const int64_t first = queue.front().dueNs;
  int64_t end = first;
  for (const auto& b : queue) {
    if (b.dueNs > first + kWakeWindowNs) break;
    end = b.dueNs;
  }
  return end;
}

}  // namespace

int64_t ByteTimeNs(uint32_t baud) {
  if (baud == 0) return 0;
  return kBitsPerByte * kNsPerSecond / baud;
}

Box MakeBox(const BoxConfig& config, std::span<const uint8_t> microcode) {
  Box box;
  box.config = config;
  box.chip = MakeChip(config.chip);
  box.microcode = microcode;
  if (auto records = SplitRecords(microcode)) box.records = std::move(*records);
  box.noiseToBox = MakeNoiseStream(config.noiseToBox, config.noiseSeed, NoiseDirection::ToBox);
  box.noiseToHost = MakeNoiseStream(config.noiseToHost, config.noiseSeed, NoiseDirection::ToHost);
  const bool inputFaults = std::any_of(config.faults.begin(), config.faults.end(), [](const Fault& f) {
    return f.kind == FaultKind::DropIn || f.kind == FaultKind::FlipIn;
  });
  if (inputFaults) box.faultUsed.assign(config.faults.size(), false);
  return box;
}

void LoadShelf(Box& box, std::vector<ShelfChip> chips) {
  box.shelf = std::move(chips);
  box.onBoard = 0;
  if (!box.shelf.empty()) box.chip = std::move(box.shelf.front().chip);
}

const FlashChip& ShelfChipAt(const Box& box, size_t index) {
  return index == box.onBoard ? box.chip : box.shelf.at(index).chip;
}

void StartBox(Box& box, int64_t nowNs) {
  box.lastActivityNs = nowNs;
  box.rxFreeNs = nowNs;
  box.txFreeNs = nowNs;
  if (box.config.powerups > 0) PowerUp(box, nowNs);
}

void PowerUp(Box& box, int64_t nowNs) {
  FlushIgnored(box);
  FlushGarbage(box);
  EndUpload(box);
  box.parser = FrameParser{};
  box.tx.clear();
  box.txFreeNs = nowNs;
  ++box.powerupsServed;
  box.passHostByte = false;
  box.lastActivityNs = nowNs;
  Log(box, "powerup " + std::to_string(box.powerupsServed));
  ServeChipOf(box, box.powerupsServed);

  const int64_t at = nowNs + box.config.powerupDelayMs * kNsPerMs;
  const uint8_t first = kGreetingFirst;
  const uint8_t second = kGreetingSecond;
  Send(box, std::span<const uint8_t>(&first, 1), nowNs, at);
  box.greetingDueNs = box.tx.back().dueNs;
  if (box.config.damaged) {
    Log(box, "greeting b");
  } else {
    Send(box, std::span<const uint8_t>(&second, 1), nowNs, 0, box.config.greetingGapMs * kNsPerMs);
    Log(box, "greeting ba");
  }
  box.mode = box.config.damaged ? Mode::AwaitStart : Mode::AwaitAnswer;

  if (box.config.garbageMs > 0) {
    const int64_t spanNs = box.config.garbageMs * kNsPerMs;
    const bool paced = box.config.byteNs > 0;
    const int64_t count = paced ? spanNs / box.config.byteNs : box.config.garbageMs;
    std::vector<uint8_t> noise(static_cast<size_t>(count));
    for (uint8_t& b : noise) b = NextRandom(box);
    Send(box, noise, nowNs, 0, 0, paced ? 0 : kUnpacedNoiseGapNs);
    Log(box, "noise " + std::to_string(count) + " bytes");
    box.noiseUntilNs = box.txFreeNs;
    box.mode = Mode::Noise;
  }
}

void ReceiveBytes(Box& box, std::span<const uint8_t> bytes, int64_t readNs) {
  if (box.mode == Mode::Lost) return;
  for (uint8_t b : bytes) {
    const int64_t due = std::max(readNs, box.rxFreeNs) + box.config.byteNs;
    box.rx.push_back({b, due});
    box.rxFreeNs = due;
  }
}

void Advance(Box& box, int64_t nowNs) {
  for (;;) {
    // Timers and received bytes in the order of their times.
    const int64_t rxDue = box.rx.empty() ? kNever : box.rx.front().dueNs;
    const int64_t noiseEnd = box.mode == Mode::Noise ? box.noiseUntilNs : kNever;
    const int64_t idleEnd = IdleTimerArmed(box) ? box.lastActivityNs + box.config.idleMs * kNsPerMs : kNever;
    const int64_t next = std::min({rxDue, noiseEnd, idleEnd});
    if (next > nowNs) return;
    if (next == noiseEnd) {
      FlushIgnored(box);
      box.mode = box.config.damaged ? Mode::AwaitStart : Mode::AwaitAnswer;
    } else if (next == rxDue) {
      const RxByte b = box.rx.front();
      box.rx.pop_front();
      box.lastActivityNs = std::max(box.lastActivityNs, b.dueNs);
      ReceiveByte(box, b.value, b.dueNs);
    } else {
      if (box.powerupsServed < box.config.powerups) {
        PowerUp(box, idleEnd);
      } else {
        FlushIgnored(box);
        FlushGarbage(box);
        Log(box, "idle after the last power-up");
        box.stopRequested = true;
      }
    }
  }
}

bool TakeDue(Box& box, int64_t nowNs, std::vector<uint8_t>& out) {
  while (!box.tx.empty() && box.tx.front().dueNs <= nowNs) {
    const TxByte b = box.tx.front();
    box.tx.pop_front();
    box.lastActivityNs = std::max(box.lastActivityNs, b.dueNs);
    if (b.hangup) {
      Log(box, "hangup");
      box.mode = Mode::Lost;
      box.tx.clear();
      box.rx.clear();
      return true;
    }
    out.push_back(b.value);
  }
  return false;
}

int64_t NextWakeNs(const Box& box) {
  int64_t next = kNever;
  if (!box.rx.empty()) next = std::min(next, WindowEnd(box.rx));
  if (!box.tx.empty()) next = std::min(next, WindowEnd(box.tx));
  if (box.mode == Mode::Noise) next = std::min(next, box.noiseUntilNs);
  if (IdleTimerArmed(box)) next = std::min(next, box.lastActivityNs + box.config.idleMs * kNsPerMs);
  return next;
}

void FinishBox(Box& box) {
  FlushIgnored(box);
  FlushGarbage(box);
  EndUpload(box);
}

}  // namespace stb
