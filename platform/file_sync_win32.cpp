#include "platform/file_sync.h"

#include <io.h>

namespace platform {

bool SyncFileToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
  return _commit(_fileno(file)) == 0;
}

}  // namespace platform
