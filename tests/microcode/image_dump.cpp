// Writes the built-in image's records, unmasked, to standard output: the
// plain record file that the build embedded, byte for byte.
#include <cstdio>
#include <vector>

#include "microcode/image.h"
#include "microcode/pack.h"
#include "microcode/record_mask.h"

int main() {
  const auto key = microcode::BuildPayloadKey();
  size_t offset = microcode::kImageLeadSize;
  while (offset + microcode::kRecordHeaderSize <= MicrocodeImageSize) {
    const size_t size = microcode::kRecordHeaderSize +
                        microcode::StoredRecordLength(MicrocodeImage[offset], MicrocodeImage[offset + 1]);
    if (offset + size > MicrocodeImageSize) return 1;
    std::vector<uint8_t> record(MicrocodeImage + offset, MicrocodeImage + offset + size);
    microcode::ApplyRecordMask(record, key);
    std::fwrite(record.data(), 1, record.size(), stdout);
    offset += size;
  }
  return offset == MicrocodeImageSize ? 0 : 1;
}
