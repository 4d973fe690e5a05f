// What each flash pass did, for the people who run a production line: one
// JSON line per pass appended to a report file, and a summary of the run for
// the console at its end.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The environment variable that names the report file; without it (or when
// it is empty) no report is written.
constexpr char kReportVariable[] = "TARVEX_REPORT";

// The report file that kReportVariable names, or "" for none.
std::string ReportPath();

// The console text on one line: each run of blanks that holds a line break
// becomes one space, and blanks at either end go. Other blanks stay as they
// are.
std::string OneLine(std::string_view text);

struct PassRecord {
  std::string port;                    // as the messages name it, e.g. "COM1"
  uint32_t pass = 0;                   // 1, 2, 3...
  std::string mode;                    // the mode letter as text ("r", "w", "a", ...), or "upload" for a hand-over
  std::optional<std::string> flashId;  // six hex digits, when probed
  std::optional<uint32_t> size;        // chip size in bytes, when probed
  std::optional<std::string> file;     // the data file, its name expanded
  std::string result;                  // "done", "failed", "refused" or "stopped"
  std::optional<std::string> message;  // the failure the console showed (newlines removed); absent when done
  double seconds = 0;                  // the pass's duration
  uint64_t bytes = 0;                  // read or written
  uint32_t lineErrors = 0;
  std::optional<uint32_t> crc32;       // printed as eight lower-case hex digits
};

// One JSON object on one line, ending in "\n", with the keys in this order:
// "time" (endedAt in UTC, as 2026-12-11T17:05:03Z; null when the C library
// cannot convert it), "port", "pass", "mode", "flash_id", "size", "file",
// "result", "message", "seconds" (three decimals), "bytes", "line_errors",
// "crc32". Absent optional members leave their key out. The message's line
// breaks become single spaces between words and go at its ends.
std::string FormatPassRecord(const PassRecord& record, std::time_t endedAt);

// Appends the record's line to the file at `path` (created when missing) in
// one write, so that several processes can share one report file without
// their lines mixing. "" on success, otherwise what failed, naming the file.
std::string AppendPassRecord(const std::string& path, const PassRecord& record, std::time_t endedAt);

struct PassOutcome {
  uint32_t pass;
  std::string result;   // as in PassRecord
  std::string message;  // as the console showed it
};

// The lines that end a run; "" when it had no pass. First
// " passes: P, done: D, failed: F" (then ", refused: R" and ", stopped: S"
// when not 0), then " pass N: message" for each pass that did not end
// "done", with the message's line breaks removed as in the report (the
// result itself when the message is empty). A result other than the four
// known ones counts as failed.
std::string FormatRunSummary(const std::vector<PassOutcome>& passes);
