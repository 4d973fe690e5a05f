// Data-file names with placeholders, so that a run of reads gives each box
// its own file: "{n}" stands for the pass number (1, 2, 3...), "{id}" for
// the six hex digits of the "Flash id:" line, as printed. No other
// placeholder exists and there is no escape: a name cannot hold a literal
// "{". A "}" on its own is plain text. The name is never used as a format
// string.
#pragma once

#include <cstdint>
#include <string>

// "" when every "{" opens {n} or {id}; otherwise what is wrong, for the user,
// e.g. "unknown placeholder {x} in box-{x}.bin; use {n} or {id}".
std::string CheckDumpName(const std::string& pattern);

// Whether the name holds {n} or {id} at least once.
bool HasPlaceholders(const std::string& pattern);

// The name with each {n} replaced by the pass number in decimal and each {id}
// by `flashId`, or by "unknown" when `flashId` is empty (no id was probed).
// Parts that CheckDumpName rejects are kept as they are.
std::string ExpandDumpName(const std::string& pattern, uint32_t pass, const std::string& flashId);
