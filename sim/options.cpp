#include "sim/options.h"

#include <cctype>
#include <charconv>
#include <optional>
#include <string_view>

namespace stb {

namespace {

constexpr int64_t kMaxMs = 24LL * 3600 * 1000;
constexpr uint64_t kMaxCount = 1'000'000'000;
constexpr uint32_t kMaxBaud = 4'000'000;

std::optional<uint64_t> ParseUnsigned(const std::string& text, int base = 10) {
  std::string_view s = text;
  if (base == 16 && (s.starts_with("0x") || s.starts_with("0X"))) s.remove_prefix(2);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
  if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// Decimal, or hex with 0x.
std::optional<uint64_t> ParseAddress(const std::string& text) {
  if (text.starts_with("0x") || text.starts_with("0X")) return ParseUnsigned(text, 16);
  return ParseUnsigned(text);
}

std::optional<uint64_t> ParseSize(std::string text) {
  uint64_t scale = 1;
  if (!text.empty()) {
    const char last = static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
    if (last == 'K') scale = kKiB;
    if (last == 'M') scale = kMiB;
    if (scale != 1) text.pop_back();
  }
  auto v = ParseUnsigned(text);
  if (!v || *v > (uint64_t{1} << 40)) return std::nullopt;
  return *v * scale;
}

std::optional<Fault> ParseFault(const std::string& spec) {
  const size_t c1 = spec.find(':');
  if (c1 == std::string::npos) return std::nullopt;
  auto frame = ParseUnsigned(spec.substr(0, c1));
  if (!frame) return std::nullopt;
  std::string kind = spec.substr(c1 + 1);
  std::string arg;
  if (size_t c2 = kind.find(':'); c2 != std::string::npos) {
    arg = kind.substr(c2 + 1);
    kind = kind.substr(0, c2);
  }
  struct KindName {
    const char* name;
    FaultKind kind;
    bool needsArg;
  };
  static constexpr KindName kKinds[] = {
      {"silent", FaultKind::Silent, false}, {"silent-from", FaultKind::SilentFrom, false},
      {"short", FaultKind::Short, true},    {"badsum", FaultKind::BadSum, false},
      {"stray", FaultKind::Stray, false},   {"slow", FaultKind::Slow, true},
      {"late", FaultKind::Late, true},      {"hangup", FaultKind::Hangup, false},
      {"garbage", FaultKind::Garbage, true},  {"drop-in", FaultKind::DropIn, true},
      {"flip-in", FaultKind::FlipIn, true},   {"flip-out", FaultKind::FlipOut, true}};
  for (const KindName& k : kKinds) {
    if (kind != k.name) continue;
    Fault f;
    f.frame = *frame;
    f.kind = k.kind;
    f.text = kind;
    if (k.needsArg) {
      auto v = ParseUnsigned(arg);
      if (!v || *v > kMaxCount) return std::nullopt;
      f.arg = static_cast<uint32_t>(*v);
      f.text += ":" + arg;
    } else if (!arg.empty() && k.kind != FaultKind::SilentFrom) {
      return std::nullopt;
    }
    return f;
  }
  return std::nullopt;
}

constexpr std::string_view kNoiseFlip = "flip";
constexpr std::string_view kNoiseLose = "lose";
constexpr std::string_view kNoiseAdd = "add";

// "'text'" followed by `what`, built by appending.
std::string Quoted(std::string_view text, std::string_view what) {
  std::string out = "'";
  out.append(text);
  out += '\'';
  out.append(what);
  return out;
}

// "flip=N,lose=N,add=N", any of them, each at most once. Empty on success,
// else what is wrong with it.
std::string ParseNoiseSpec(const std::string& text, NoiseSpec& spec) {
  spec = NoiseSpec{};
  if (text.empty()) return "empty; expected flip=N,lose=N,add=N";
  bool seenFlip = false, seenLose = false, seenAdd = false;
  std::string_view rest = text;
  for (;;) {
    const size_t comma = rest.find(',');
    const std::string_view item = rest.substr(0, comma);
    const size_t eq = item.find('=');
    if (eq == std::string_view::npos) return Quoted(item, " is not KIND=N");
    const std::string_view name = item.substr(0, eq);
    const std::string_view digits = item.substr(eq + 1);
    uint64_t n = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size() || n > kMaxCount)
      return "bad count in " + Quoted(item, "");
    uint32_t* field = nullptr;
    bool* seen = nullptr;
    if (name == kNoiseFlip) {
      field = &spec.flipEvery;
      seen = &seenFlip;
    } else if (name == kNoiseLose) {
      field = &spec.loseEvery;
      seen = &seenLose;
    } else if (name == kNoiseAdd) {
      field = &spec.addEvery;
      seen = &seenAdd;
    } else {
      return "unknown kind " + Quoted(name, "; expected flip, lose or add");
    }
    if (*seen) return Quoted(name, " given twice");
    *seen = true;
    *field = static_cast<uint32_t>(n);
    if (comma == std::string_view::npos) return {};
    rest.remove_prefix(comma + 1);
  }
}

}  // namespace

const char* UsageText() {
  return "usage: tarvex-stb [options] [-- COMMAND ARGS...]\n"
         "  --device PATH          serve on a serial device instead of a new pty\n"
         "  --image FILE           chip content (created filled with 0xFF), written back at exit;\n"
         "                         repeatable: power-up k serves image (k-1) mod count + 1\n"
         "  --size BYTES           chip size, a power of two from 4K to 64M (default 1M)\n"
         "  --jedec HEX6           0x9F identification, every chip's (default EF40 + log2 size)\n"
         "  --device-id HEX2       0xAB device ID, every chip's (default 0x10 + log2(size / 128K))\n"
         "  --status2 HEX2         status register 2 (default 00)\n"
         "  --erase-busy N         status reads a chip erase stays busy (default 3)\n"
         "  --program-busy N       status reads a page program stays busy (default 1)\n"
         "  --erase-ms MS          a chip erase stays busy at least this long (default 0)\n"
         "  --protect              page programs and erases are ignored\n"
         "  --flip ADDR            a page program covering ADDR stores that byte inverted\n"
         "  --greeting-gap-ms MS   pause between the b and the a of the greeting (default 5)\n"
         "  --powerup-delay-ms MS  pause before each greeting (default 100)\n"
         "  --powerups N           power-ups to serve (default 1; 0: no greeting)\n"
         "  --idle-ms MS           idle time that ends a pass (default 400)\n"
         "  --kill-after-ms MS     SIGKILL this long after stopping the command (default 5000)\n"
         "  --damaged              greet with a lone b (damaged microcode)\n"
         "  --refuse K:M           refuse upload record K its first M times (repeatable)\n"
         "  --no-answer            never answer upload records\n"
         "  --baud B               pace both directions at B baud, ten bit times per byte\n"
         "  --fault FRAME:KIND[:ARG]  silent, silent-from, short:N, badsum, stray,\n"
         "                         slow:MS, late:MS, hangup, garbage:N, drop-in:K,\n"
         "                         flip-in:K, flip-out:K (repeatable)\n"
         "  --garbage-ms MS        after the greeting, send noise for MS and ignore the host\n"
         "  --noise-to-box SPEC    random noise on host bytes while the box serves frames;\n"
         "                         SPEC: flip=N,lose=N,add=N, one event per N bytes on average\n"
         "  --noise-to-host SPEC   the same on the box's replies\n"
         "  --noise-seed S         seed of the noise (default 1)\n"
         "  --log FILE             transcript of what crossed the line\n"
         "  --wire FILE            every byte that crossed the line, in hex, chunk by chunk\n"
         "  --help                 this text\n";
}

ParsedOptions ParseOptions(std::span<const std::string> args) {
  ParsedOptions result;
  Options& o = result.options;
  auto fail = [&](const std::string& message) {
    result.error = message;
    return result;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& opt = args[i];
    if (opt == "--") {
      o.command.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      if (o.command.empty()) return fail("-- needs a command to run");
      break;
    }
    if (opt == "--help") { o.help = true; continue; }
    if (opt == "--protect") { o.box.chip.protect = true; continue; }
    if (opt == "--damaged") { o.box.damaged = true; continue; }
    if (opt == "--no-answer") { o.box.noAnswer = true; continue; }
    if (!opt.starts_with("--")) return fail("unexpected argument '" + opt + "'; run tarvex-stb --help");

    if (i + 1 >= args.size()) return fail(opt + " needs a value");
    const std::string& value = args[++i];
    auto bad = [&]() { return fail("bad value '" + value + "' for " + opt); };
    auto ms = [&](int64_t& field) -> bool {
      auto v = ParseUnsigned(value);
      if (!v || *v > static_cast<uint64_t>(kMaxMs)) return false;
      field = static_cast<int64_t>(*v);
      return true;
    };
    auto count = [&](uint32_t& field) -> bool {
      auto v = ParseUnsigned(value);
      if (!v || *v > kMaxCount) return false;
      field = static_cast<uint32_t>(*v);
      return true;
    };
    auto hexByte = [&](uint8_t& field) -> bool {
      auto v = ParseUnsigned(value, 16);
      if (!v || *v > 0xFF) return false;
      field = static_cast<uint8_t>(*v);
      return true;
    };

    if (opt == "--device") {
      o.device = value;
    } else if (opt == "--image") {
      o.images.push_back(value);
    } else if (opt == "--log") {
      o.log = value;
    } else if (opt == "--wire") {
      o.wire = value;
    } else if (opt == "--noise-seed") {
      auto v = ParseAddress(value);
      if (!v) return bad();
      o.box.noiseSeed = *v;
    } else if (opt == "--noise-to-box" || opt == "--noise-to-host") {
      NoiseSpec& spec = opt == "--noise-to-box" ? o.box.noiseToBox : o.box.noiseToHost;
      if (std::string why = ParseNoiseSpec(value, spec); !why.empty())
        return fail("bad noise '" + value + "' for " + opt + ": " + why);
    } else if (opt == "--size") {
      auto v = ParseSize(value);
      if (!v || !IsValidChipSize(*v))
        return fail("chip size '" + value + "' is not a power of two from 4K to 64M");
      o.box.chip.size = static_cast<uint32_t>(*v);
      o.sizeGiven = true;
    } else if (opt == "--jedec") {
      std::string digits = value.starts_with("0x") || value.starts_with("0X") ? value.substr(2) : value;
      auto v = ParseUnsigned(digits, 16);
      if (digits.size() != 6 || !v) return bad();
      o.box.chip.jedec = {static_cast<uint8_t>(*v >> 16), static_cast<uint8_t>(*v >> 8),
                          static_cast<uint8_t>(*v)};
      o.jedecGiven = true;
    } else if (opt == "--device-id") {
      if (!hexByte(o.box.chip.deviceId)) return bad();
      o.deviceIdGiven = true;
    } else if (opt == "--status2") {
      if (!hexByte(o.box.chip.status2)) return bad();
    } else if (opt == "--erase-busy") {
      if (!count(o.box.chip.eraseBusyReads)) return bad();
    } else if (opt == "--program-busy") {
      if (!count(o.box.chip.programBusyReads)) return bad();
    } else if (opt == "--erase-ms") {
      if (!ms(o.box.chip.eraseMs)) return bad();
    } else if (opt == "--flip") {
      auto v = ParseAddress(value);
      if (!v || *v >= kMaxChipSize) return bad();
      o.box.chip.flipAddr = static_cast<uint32_t>(*v);
    } else if (opt == "--greeting-gap-ms") {
      if (!ms(o.box.greetingGapMs)) return bad();
    } else if (opt == "--powerup-delay-ms") {
      if (!ms(o.box.powerupDelayMs)) return bad();
    } else if (opt == "--powerups") {
      if (!count(o.box.powerups)) return bad();
    } else if (opt == "--idle-ms") {
      if (!ms(o.box.idleMs)) return bad();
    } else if (opt == "--kill-after-ms") {
      if (!ms(o.killAfterMs)) return bad();
    } else if (opt == "--garbage-ms") {
      if (!ms(o.box.garbageMs)) return bad();
    } else if (opt == "--refuse") {
      const size_t colon = value.find(':');
      if (colon == std::string::npos) return bad();
      auto k = ParseUnsigned(value.substr(0, colon));
      auto m = ParseUnsigned(value.substr(colon + 1));
      if (!k || !m || *k > kMaxCount || *m > kMaxCount) return bad();
      o.box.refusals[static_cast<size_t>(*k)] = static_cast<uint32_t>(*m);
    } else if (opt == "--baud") {
      auto v = ParseUnsigned(value);
      if (!v || *v == 0 || *v > kMaxBaud) return bad();
      o.baud = static_cast<uint32_t>(*v);
      o.box.byteNs = ByteTimeNs(o.baud);
    } else if (opt == "--fault") {
      auto f = ParseFault(value);
      if (!f) return fail("bad fault '" + value + "': FRAME:KIND[:ARG]; run tarvex-stb --help");
      o.box.faults.push_back(*f);
    } else {
      return fail("unknown option " + opt + "; run tarvex-stb --help");
    }
  }
  return result;
}

void ApplySizeDefaults(const Options& o, ChipConfig& chip) {
  if (!o.jedecGiven) chip.jedec[2] = DefaultCapacityByte(chip.size);
  if (!o.deviceIdGiven) chip.deviceId = DefaultDeviceId(chip.size);
}

int ComNumber(std::span<const std::string> command) {
  constexpr std::string_view kPrefix = "-COM";
  constexpr int kMaxCom = 9999;
  for (size_t i = 1; i < command.size(); ++i) {
    std::string upper = command[i];
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!upper.starts_with(kPrefix) || upper.size() == kPrefix.size()) continue;
    auto n = ParseUnsigned(upper.substr(kPrefix.size()));
    if (n && *n <= kMaxCom) return static_cast<int>(*n);
  }
  return 1;
}

}  // namespace stb
