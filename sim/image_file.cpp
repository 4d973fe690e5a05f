#include "sim/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sim/flash_chip.h"

namespace stb {

namespace {

std::string SystemError(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + std::strerror(errno);
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

LoadedImage LoadImage(const std::string& path, std::optional<uint32_t> size) {
  LoadedImage result;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) {
      result.error = SystemError("cannot read image", path);
      return result;
    }
    result.content.assign(size.value_or(ChipConfig{}.size), kErased);
    result.created = true;
    return result;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result.error = "image " + path + " is not a regular file";
    close(fd);
    return result;
  }
  const auto length = static_cast<uint64_t>(st.st_size);
  if (size && length != *size) {
    result.error = "image " + path + " holds " + std::to_string(length) + " bytes, not the " +
                   std::to_string(*size) + " of --size";
  } else if (!size && !IsValidChipSize(length)) {
    result.error = "image " + path + " holds " + std::to_string(length) +
                   " bytes: a chip size is a power of two from 4K to 64M";
  }
  if (!result.error.empty()) {
    close(fd);
    return result;
  }
  result.content.resize(length);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = read(fd, result.content.data() + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      result.error = n < 0 ? SystemError("cannot read image", path) : "image " + path + " shrank while read";
      break;
    }
    done += static_cast<size_t>(n);
  }
  close(fd);
  return result;
}

bool SameImage(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {}, sb {};
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string SaveImage(const std::string& path, const std::vector<uint8_t>& content) {
  std::string temp = path + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) return SystemError("cannot write image next to", path);
  fchmod(fd, 0644);
  const bool ok = WriteAll(fd, content.data(), content.size()) && fsync(fd) == 0;
  const int writeErrno = errno;
  if (close(fd) != 0 || !ok) {
    errno = ok ? errno : writeErrno;
    std::string error = SystemError("cannot write image", temp);
    unlink(temp.c_str());
    return error;
  }
  if (rename(temp.c_str(), path.c_str()) != 0) {
    std::string error = SystemError("cannot replace image", path);
    unlink(temp.c_str());
    return error;
  }
  return {};
}

}  // namespace stb
