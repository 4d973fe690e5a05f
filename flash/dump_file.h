// The file a flash read fills. A regular file (or a name not yet taken) is
// written as a new file beside it and put in its place only once complete,
// so that a failed or stopped read leaves the old content as it was. Other
// files (devices, pipes) are written directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct DumpFile {
  std::FILE* file = nullptr;
  std::string path;      // the data file the user named
  std::string tempPath;  // empty when writing to `path` directly
};

struct FileResult {
  bool ok = true;
  std::string error;  // what failed, for the user
};

FileResult CreateDumpFile(const std::string& path, DumpFile& dump);
FileResult WriteDump(DumpFile& dump, const uint8_t* data, size_t count);
// Flushes, syncs, closes and renames the new file onto the data file.
FileResult CommitDump(DumpFile& dump);
// Closes and removes the new file; the data file keeps its content.
void DiscardDump(DumpFile& dump);
