// Making a file's content durable before it takes another file's place.
#pragma once

#include <cstdio>

namespace platform {

// Flushes the stream and asks the system to put the file's data on the
// disk. False, with errno set, when either step fails.
bool SyncFileToDisk(std::FILE* file);

}  // namespace platform
