#include "flash/dump_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#include "platform/file_sync.h"

namespace fs = std::filesystem;

namespace {

constexpr const char kTempInfix[] = ".tarvex-";
constexpr int kTempNameAttempts = 16;

std::string ErrnoText(const std::string& what, const std::string& path, int err) {
  return what + " " + path + ": " + std::strerror(err);
}

}  // namespace

FileResult CreateDumpFile(const std::string& path, DumpFile& dump) {
  dump = DumpFile{};
  dump.path = path;
  std::error_code ec;
  fs::path target = path;
  if (fs::is_symlink(target, ec)) {
    // Replace what the link points to, not the link.
    const fs::path resolved = fs::weakly_canonical(target, ec);
    if (!ec) target = resolved;
  }
  const fs::file_status status = fs::status(target, ec);
  const bool exists = fs::exists(status);
  if (exists && !fs::is_regular_file(status)) {
    if (fs::is_directory(status)) return {false, ErrnoText("cannot write", path, EISDIR)};
    dump.file = std::fopen(path.c_str(), "wb");
    if (!dump.file) return {false, ErrnoText("cannot open", path, errno)};
    return {};
  }

  std::random_device random;
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, "%08x", static_cast<unsigned>(random()));
    const std::string temp = target.string() + kTempInfix + suffix;
    dump.file = std::fopen(temp.c_str(), "wbx");  // fails when the name is taken
    if (dump.file) {
      dump.tempPath = temp;
      if (exists) fs::permissions(temp, status.permissions(), ec);
      dump.path = target.string();
      return {};
    }
    if (errno != EEXIST) return {false, ErrnoText("cannot create a file beside", path, errno)};
  }
  return {false, ErrnoText("cannot create a file beside", path, EEXIST)};
}

FileResult WriteDump(DumpFile& dump, const uint8_t* data, size_t count) {
  errno = 0;
  if (std::fwrite(data, 1, count, dump.file) != count)
    return {false, ErrnoText("cannot write", dump.path, errno ? errno : EIO)};
  return {};
}

FileResult CommitDump(DumpFile& dump) {
  std::FILE* file = dump.file;
  dump.file = nullptr;
  errno = 0;
  if (dump.tempPath.empty()) {
    const bool flushed = std::fflush(file) == 0;
    const int err = errno;
    const bool closed = std::fclose(file) == 0;
    if (!flushed || !closed) return {false, ErrnoText("cannot write", dump.path, err ? err : errno)};
    return {};
  }
  const bool synced = platform::SyncFileToDisk(file);
  const int syncErr = errno;
  const bool closed = std::fclose(file) == 0;
  if (!synced || !closed) {
    const int err = !synced ? syncErr : errno;
    std::remove(dump.tempPath.c_str());
    return {false, ErrnoText("cannot write", dump.path, err ? err : EIO)};
  }
  std::error_code ec;
  fs::rename(dump.tempPath, dump.path, ec);
  if (ec) {
    std::remove(dump.tempPath.c_str());
    return {false, "cannot replace " + dump.path + ": " + ec.message()};
  }
  return {};
}

void DiscardDump(DumpFile& dump) {
  if (dump.file) std::fclose(dump.file);
  dump.file = nullptr;
  if (!dump.tempPath.empty()) std::remove(dump.tempPath.c_str());
}
