// Data-file names with {n} and {id}, the CRC-32, the pass report's JSON
// lines (exact text, escaping, a JSON reader's view, appends from two
// processes at once) and the run summary.
#include "flash/pass_record.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "flash/crc32.h"
#include "flash/dump_name.h"
#include "tests/support/process.h"

#ifdef TARVEX_TEST_HAVE_ZLIB
#include <zlib.h>
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

// ---- Data-file names -------------------------------------------------------

struct NameCheckCase {
  const char* pattern;
  const char* error;  // "" when the pattern is fine
  bool hasPlaceholders;
};

const NameCheckCase kNameChecks[] = {
    {"dump.bin", "", false},
    {"", "", false},
    {"box-{n}.bin", "", true},
    {"{id}.bin", "", true},
    {"{id}-{n}-{n}-{id}.bin", "", true},
    {"a}b}.bin", "", false},  // a lone } is text
    {"}{n}", "", true},
    {"box-{x}.bin", "unknown placeholder {x} in box-{x}.bin; use {n} or {id}", false},
    {"box-{x}-{n}.bin", "unknown placeholder {x} in box-{x}-{n}.bin; use {n} or {id}", true},
    {"{N}.bin", "unknown placeholder {N} in {N}.bin; use {n} or {id}", false},
    {"{ID}.bin", "unknown placeholder {ID} in {ID}.bin; use {n} or {id}", false},
    {"{}.bin", "unknown placeholder {} in {}.bin; use {n} or {id}", false},
    {"{ n }.bin", "unknown placeholder { n } in { n }.bin; use {n} or {id}", false},
    {"{{n}}.bin", "unknown placeholder {{n} in {{n}}.bin; use {n} or {id}", false},
    {"box-{n.bin", "unclosed { in box-{n.bin; use {n} or {id}", false},
    {"box-{n}{", "unclosed { in box-{n}{; use {n} or {id}", true},
    {"{", "unclosed { in {; use {n} or {id}", false},
    // The first fault is the one reported.
    {"{id}{x}{", "unknown placeholder {x} in {id}{x}{; use {n} or {id}", true},
};

TEST(DumpName, CheckAndPlaceholders) {
  for (const NameCheckCase& c : kNameChecks) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(CheckDumpName(c.pattern), c.error);
    EXPECT_EQ(HasPlaceholders(c.pattern), c.hasPlaceholders);
  }
}

struct ExpandCase {
  const char* pattern;
  uint32_t pass;
  const char* flashId;
  const char* expected;
};

const ExpandCase kExpansions[] = {
    {"dump.bin", 5, "EF4013", "dump.bin"},
    {"box-{n}.bin", 3, "EF4013", "box-3.bin"},
    {"{id}_{n}_{id}.bin", 12, "C22017", "C22017_12_C22017.bin"},
    {"{n}{id}", 1, "EF4013", "1EF4013"},
    {"{n}", 4294967295u, "EF4013", "4294967295"},
    {"{id}.bin", 1, "", "unknown.bin"},  // no id known
    {"%s%n{n}%d", 1, "EF4013", "%s%n1%d"},  // not a format string
    {"a}b{n}}", 7, "EF4013", "a}b7}"},
    // What CheckDumpName rejects stays as it is.
    {"{x}-{n}-{", 2, "EF4013", "{x}-2-{"},
    {"{{n}}", 2, "EF4013", "{{n}}"},
};

TEST(DumpName, Expand) {
  for (const ExpandCase& c : kExpansions) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(ExpandDumpName(c.pattern, c.pass, c.flashId), c.expected);
  }
}

// ---- CRC-32 -----------------------------------------------------------------

struct CrcVector {
  std::string data;
  uint32_t crc;
};

const CrcVector kCrcVectors[] = {
    {"", 0x00000000u},
    {"a", 0xE8B7BE43u},
    {"123456789", 0xCBF43926u},
    {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
    {std::string(32, '\0'), 0x190A55ADu},
    {std::string(32, '\xFF'), 0xFF6CAB0Bu},
};

uint32_t CrcOf(const std::vector<uint8_t>& data) {
  Crc32 crc;
  crc.Update(data.data(), data.size());
  return crc.Value();
}

TEST(Crc32, KnownVectors) {
  for (const CrcVector& v : kCrcVectors) {
    SCOPED_TRACE(v.data.substr(0, 12));
    EXPECT_EQ(CrcOf(std::vector<uint8_t>(v.data.begin(), v.data.end())), v.crc);
  }
}

std::vector<uint8_t> PseudoRandom(size_t size) {
  std::vector<uint8_t> data(size);
  uint32_t x = 12345;
  for (uint8_t& b : data) {
    x = x * 1103515245u + 12345u;
    b = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

TEST(Crc32, PiecesGiveTheWholeCrc) {
  const std::vector<uint8_t> data = PseudoRandom(10007);
  const uint32_t whole = CrcOf(data);
  for (size_t piece : {size_t{1}, size_t{3}, size_t{255}, size_t{256}, size_t{4096}}) {
    SCOPED_TRACE(piece);
    Crc32 crc;
    crc.Update(nullptr, 0);
    for (size_t at = 0; at < data.size(); at += piece) {
      crc.Update(data.data() + at, std::min(piece, data.size() - at));
      crc.Update(data.data() + at, 0);
    }
    EXPECT_EQ(crc.Value(), whole);
  }
}

#ifdef TARVEX_TEST_HAVE_ZLIB
TEST(Crc32, SameAsZlib) {
  for (size_t size : {size_t{1}, size_t{17}, size_t{4096}, size_t{65537}}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> data = PseudoRandom(size);
    const uLong expected = crc32(crc32(0L, Z_NULL, 0), data.data(), static_cast<uInt>(data.size()));
    EXPECT_EQ(CrcOf(data), static_cast<uint32_t>(expected));
  }
}
#endif

// ---- Report lines -------------------------------------------------------------

constexpr std::time_t kDecember11 = 1797008703;  // 2026-12-11T17:05:03Z

PassRecord FullRecord() {
  PassRecord r;
  r.port = "COM1";
  r.pass = 2;
  r.mode = "r";
  r.flashId = "EF4013";
  r.size = 1048576;
  r.file = "box-2.bin";
  r.result = "failed";
  r.message = "\nFailed: Target is not responding.\n";
  r.seconds = 12.3456;
  r.bytes = 65536;
  r.lineErrors = 3;
  r.crc32 = 0x0000ABCDu;
  return r;
}

PassRecord MinimalRecord() {
  PassRecord r;
  r.port = "COM3";
  r.pass = 1;
  r.mode = "a";
  r.result = "done";
  return r;
}

PassRecord LargestRecord() {
  PassRecord r = MinimalRecord();
  r.mode = "w";
  r.pass = std::numeric_limits<uint32_t>::max();
  r.size = std::numeric_limits<uint32_t>::max();
  r.bytes = std::numeric_limits<uint64_t>::max();
  r.lineErrors = std::numeric_limits<uint32_t>::max();
  r.crc32 = 0xFFFFFFFFu;
  r.seconds = 1e6;
  return r;
}

PassRecord UploadRecord() {
  PassRecord r = MinimalRecord();
  r.mode = "upload";
  r.seconds = 3;
  r.bytes = 4321;
  return r;
}

struct LineCase {
  const char* name;
  PassRecord record;
  std::time_t endedAt;
  const char* expected;
};

TEST(PassRecord, ExactLines) {
  const LineCase cases[] = {
      {"every key", FullRecord(), kDecember11,
       R"({"time":"2026-12-11T17:05:03Z","port":"COM1","pass":2,"mode":"r","flash_id":"EF4013",)"
       R"("size":1048576,"file":"box-2.bin","result":"failed","message":"Failed: Target is not responding.",)"
       R"("seconds":12.346,"bytes":65536,"line_errors":3,"crc32":"0000abcd"})"
       "\n"},
      {"optional keys left out", MinimalRecord(), 0,
       R"({"time":"1970-01-01T00:00:00Z","port":"COM3","pass":1,"mode":"a","result":"done",)"
       R"("seconds":0.000,"bytes":0,"line_errors":0})"
       "\n"},
      {"hand-over to the upload", UploadRecord(), kDecember11,
       R"({"time":"2026-12-11T17:05:03Z","port":"COM3","pass":1,"mode":"upload","result":"done",)"
       R"("seconds":3.000,"bytes":4321,"line_errors":0})"
       "\n"},
      {"largest numbers", LargestRecord(), kDecember11,
       R"({"time":"2026-12-11T17:05:03Z","port":"COM3","pass":4294967295,"mode":"w","size":4294967295,)"
       R"("result":"done","seconds":1000000.000,"bytes":18446744073709551615,"line_errors":4294967295,)"
       R"("crc32":"ffffffff"})"
       "\n"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatPassRecord(c.record, c.endedAt), c.expected);
  }
}

// Each optional key on its own: present exactly when its member is.
TEST(PassRecord, EachOptionalKeyOnItsOwn) {
  struct OptionalCase {
    const char* key;
    void (*set)(PassRecord&);
  };
  const OptionalCase cases[] = {
      {"\"flash_id\":\"C22017\",", [](PassRecord& r) { r.flashId = "C22017"; }},
      {"\"size\":0,", [](PassRecord& r) { r.size = 0; }},
      {"\"file\":\"\",", [](PassRecord& r) { r.file = ""; }},
      {"\"message\":\"\",", [](PassRecord& r) { r.message = ""; }},
      {",\"crc32\":\"00000000\"", [](PassRecord& r) { r.crc32 = 0; }},
  };
  const std::string bare = FormatPassRecord(MinimalRecord(), 0);
  for (const OptionalCase& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(bare.find(c.key), std::string::npos);
    PassRecord record = MinimalRecord();
    c.set(record);
    const std::string line = FormatPassRecord(record, 0);
    EXPECT_NE(line.find(c.key), std::string::npos) << line;
    EXPECT_EQ(line.size(), bare.size() + std::string(c.key).size()) << line;
  }
}

// The time is UTC whatever the local zone.
TEST(PassRecord, TimeIsUtc) {
  const char* oldZone = std::getenv("TZ");
  const std::string saved = oldZone ? oldZone : "";
  setenv("TZ", "XST5", 1);  // five hours behind UTC, no zone files needed
  tzset();
  const std::pair<std::time_t, const char*> cases[] = {
      {0, "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29T00:00:00Z"},
      {4102444799, "2099-12-31T23:59:59Z"},
      {kDecember11, "2026-12-11T17:05:03Z"},
  };
  for (const auto& [at, text] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(FormatPassRecord(MinimalRecord(), at).rfind(std::string("{\"time\":\"") + text + "\",", 0), 0u);
  }
  if (oldZone)
    setenv("TZ", saved.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(PassRecord, Seconds) {
  const std::pair<double, const char*> cases[] = {
      {0.25, "0.250"},
      {59.9996, "60.000"},
      {0.0004, "0.000"},
      {86400.5, "86400.500"},
      {-1.5, "0.000"},
      {std::nan(""), "0.000"},
      {std::numeric_limits<double>::infinity(), "0.000"},
  };
  for (const auto& [seconds, text] : cases) {
    SCOPED_TRACE(text);
    PassRecord record = MinimalRecord();
    record.seconds = seconds;
    EXPECT_NE(FormatPassRecord(record, 0).find(std::string(",\"seconds\":") + text + ",\"bytes\":"),
              std::string::npos);
  }
}

// Every string goes through the same escaping; the file name shows it.
TEST(PassRecord, Escaping) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain.bin", "plain.bin"},
      {"say \"hi\".bin", R"(say \"hi\".bin)"},
      {R"(C:\dumps\box.bin)", R"(C:\\dumps\\box.bin)"},
      {std::string("a\0b", 3), R"(a\u0000b)"},
      {"\x01\x1f\t\n\r", R"(\u0001\u001f\u0009\u000a\u000d)"},
      {"del\x7f", "del\x7f"},
      {"\xC3\x9C.bin", "\xC3\x9C.bin"},  // UTF-8 as it is
      {"\xFF\x80.bin", "\xFF\x80.bin"},  // bytes that are not UTF-8 too
  };
  for (const auto& [name, escaped] : cases) {
    SCOPED_TRACE(escaped);
    PassRecord record = MinimalRecord();
    record.file = name;
    EXPECT_NE(FormatPassRecord(record, 0).find(",\"file\":\"" + escaped + "\",\"result\":"), std::string::npos);
  }
}

TEST(PassRecord, MessageOnOneLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"\nFailed: Target is not responding.\n", "Failed: Target is not responding."},
      {"one\ntwo", "one two"},
      {"one\r\ntwo\n\nthree", "one two three"},
      {"one \n two", "one two"},
      {"one  two\ttab", R"(one  two\u0009tab)"},  // blanks without a break stay
      {"\r reading: 5% done\r", "reading: 5% done"},
      {"  \r\n ", ""},
  };
  for (const auto& [message, expected] : cases) {
    SCOPED_TRACE(expected);
    PassRecord record = FullRecord();
    record.message = message;
    EXPECT_NE(FormatPassRecord(record, 0).find(std::string(",\"message\":\"") + expected + "\",\"seconds\":"),
              std::string::npos);
  }
}

// ---- What a JSON reader makes of the lines --------------------------------------

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path ? path : "");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 0xF];
  }
  return out;
}

// Python's json module reads every line back: keys in order, strings as
// their bytes in hex, numbers as JSON.
constexpr char kReadBack[] = R"(
import json, sys
for raw in open(sys.argv[1], 'rb'):
    record = json.loads(raw)
    print(' '.join(k + '=' + (v.encode('utf-8').hex() if isinstance(v, str) else json.dumps(v))
                   for k, v in record.items()))
)";

class ReportFileTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir); }
  std::string dir = testsupport::MakeTempDir();
  std::string path = dir + "/report.jsonl";
};

TEST_F(ReportFileTest, AJsonReaderGetsTheValuesBack) {
  const std::string python = FindProgram("python3");
  if (python.empty()) GTEST_SKIP() << "no python3";
  PassRecord awkward = FullRecord();
  awkward.port = "CO\"M\\1";
  awkward.mode = "w\x01";
  awkward.flashId = "EF\t4013";
  awkward.file = "dir\\sub/\"quoted\" \x01\x1f\x7f \xC3\x9C.bin";
  awkward.result = "re\"fused";
  awkward.message = "first line\r\nsecond\tline \x02\n";
  awkward.crc32 = 0x89ABCDEFu;
  ASSERT_EQ(AppendPassRecord(path, awkward, kDecember11), "");
  ASSERT_EQ(AppendPassRecord(path, MinimalRecord(), 0), "");

  const testsupport::ProcessResult read = testsupport::RunProcess({python, "-c", kReadBack, path});
  ASSERT_EQ(read.status, 0) << read.err;
  const std::string expected =
      "time=" + Hex("2026-12-11T17:05:03Z") + " port=" + Hex(awkward.port) + " pass=2 mode=" + Hex(awkward.mode) +
      " flash_id=" + Hex(*awkward.flashId) + " size=1048576 file=" + Hex(*awkward.file) +
      " result=" + Hex(awkward.result) + " message=" + Hex("first line second\tline \x02") +
      " seconds=12.346 bytes=65536 line_errors=3 crc32=" + Hex("89abcdef") + "\n" +
      "time=" + Hex("1970-01-01T00:00:00Z") + " port=" + Hex("COM3") + " pass=1 mode=" + Hex("a") +
      " result=" + Hex("done") + " seconds=0.0 bytes=0 line_errors=0\n";
  EXPECT_EQ(read.out, expected);
}

// ---- Appending to the report file --------------------------------------------------

TEST_F(ReportFileTest, AppendCreatesTheFileThenAddsToIt) {
  ASSERT_EQ(AppendPassRecord(path, MinimalRecord(), 0), "");
  EXPECT_EQ(ReadFile(path), FormatPassRecord(MinimalRecord(), 0));

  WriteFile(path, "earlier line\n");
  ASSERT_EQ(AppendPassRecord(path, FullRecord(), kDecember11), "");
  ASSERT_EQ(AppendPassRecord(path, MinimalRecord(), 0), "");
  EXPECT_EQ(ReadFile(path),
            "earlier line\n" + FormatPassRecord(FullRecord(), kDecember11) + FormatPassRecord(MinimalRecord(), 0));
}

TEST_F(ReportFileTest, AppendFailureNamesTheFile) {
  const std::string cases[] = {dir + "/missing/report.jsonl", dir};
  for (const std::string& target : cases) {
    SCOPED_TRACE(target);
    const std::string error = AppendPassRecord(target, MinimalRecord(), 0);
    EXPECT_NE(error.find(target), std::string::npos) << error;
  }
  EXPECT_FALSE(fs::exists(dir + "/missing"));
}

TEST(ReportPathTest, FromTheEnvironment) {
  const char* old = std::getenv(kReportVariable);
  const std::string saved = old ? old : "";
  unsetenv("TARVEX_REPORT");
  EXPECT_EQ(ReportPath(), "");
  setenv("TARVEX_REPORT", "", 1);
  EXPECT_EQ(ReportPath(), "");
  setenv("TARVEX_REPORT", "/var/log/line 3.jsonl", 1);
  EXPECT_EQ(ReportPath(), "/var/log/line 3.jsonl");
  if (old)
    setenv("TARVEX_REPORT", saved.c_str(), 1);
  else
    unsetenv("TARVEX_REPORT");
}

// Two processes append 200 long lines each at the same moment; every line
// must come out whole. The lines are longer than a default stdio buffer, so
// a line written in pieces would show up as broken lines.
constexpr int kWriters = 2;
constexpr uint32_t kLinesEach = 200;
constexpr size_t kLongMessage = 10000;

PassRecord WriterRecord(int writer, uint32_t pass) {
  PassRecord r = FullRecord();
  r.port = "COM" + std::to_string(writer + 1);
  r.pass = pass;
  r.message = std::string(kLongMessage, static_cast<char>('a' + writer));
  return r;
}

TEST_F(ReportFileTest, TwoProcessesAppendingAtOnceKeepEveryLineWhole) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  std::vector<pid_t> writers;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(gate[1]);
      char go;
      (void)!read(gate[0], &go, 1);  // returns at the parent's close
      bool ok = true;
      for (uint32_t pass = 1; pass <= kLinesEach; ++pass)
        ok = AppendPassRecord(path, WriterRecord(w, pass), kDecember11).empty() && ok;
      _exit(ok ? 0 : 1);
    }
    writers.push_back(pid);
  }
  close(gate[0]);
  close(gate[1]);
  for (pid_t pid : writers) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  std::set<std::string> expected;
  for (int w = 0; w < kWriters; ++w)
    for (uint32_t pass = 1; pass <= kLinesEach; ++pass) expected.insert(FormatPassRecord(WriterRecord(w, pass), kDecember11));
  const std::string content = ReadFile(path);
  std::set<std::string> seen;
  size_t lines = 0, broken = 0;
  for (size_t at = 0; at < content.size();) {
    size_t end = content.find('\n', at);
    end = end == std::string::npos ? content.size() : end + 1;
    const std::string line = content.substr(at, end - at);
    ++lines;
    if (expected.count(line))
      seen.insert(line);
    else
      ++broken;
    at = end;
  }
  EXPECT_EQ(broken, 0u);
  EXPECT_EQ(lines, expected.size());
  EXPECT_EQ(seen, expected);
}

// ---- Run summary -------------------------------------------------------------------

struct SummaryCase {
  const char* name;
  std::vector<PassOutcome> passes;
  const char* expected;
};

TEST(RunSummary, Lines) {
  const SummaryCase cases[] = {
      {"no pass", {}, ""},
      {"all done", {{1, "done", ""}, {2, "done", ""}}, " passes: 2, done: 2, failed: 0\n"},
      {"every result",
       {{1, "done", ""},
        {2, "failed", "\nFailed: Target is not responding.\n"},
        {3, "refused", "x.bin holds 5 bytes, more than the flash size of 4 bytes;\nnothing erased."},
        {4, "stopped", "Stopped."}},
       " passes: 4, done: 1, failed: 1, refused: 1, stopped: 1\n"
       " pass 2: Failed: Target is not responding.\n"
       " pass 3: x.bin holds 5 bytes, more than the flash size of 4 bytes; nothing erased.\n"
       " pass 4: Stopped.\n"},
      {"stopped without refused, empty message",
       {{1, "failed", "Target is not responding."}, {2, "stopped", "\n"}},
       " passes: 2, done: 0, failed: 1, stopped: 1\n"
       " pass 1: Target is not responding.\n"
       " pass 2: stopped\n"},
      {"refused without stopped",
       {{7, "refused", "the flash identification did not come back right; nothing erased."}, {8, "done", ""}},
       " passes: 2, done: 1, failed: 0, refused: 1\n"
       " pass 7: the flash identification did not come back right; nothing erased.\n"},
      {"an unknown result counts as failed", {{1, "lost", "lost COM1"}},
       " passes: 1, done: 0, failed: 1\n pass 1: lost COM1\n"},
  };
  for (const SummaryCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FormatRunSummary(c.passes), c.expected);
  }
}

}  // namespace
