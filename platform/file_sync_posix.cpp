#include "platform/file_sync.h"

#include <unistd.h>

#include <cerrno>

namespace platform {

bool SyncFileToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  while (fsync(fileno(file)) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace platform
