#include "microcode/pack.h"

#include <utility>

#include "microcode/record_mask.h"

namespace microcode {

namespace {

PackResult Refuse(size_t offset, std::string error) {
  PackResult result;
  result.errorOffset = offset;
  result.error = std::move(error);
  return result;
}

}  // namespace

PackResult PackMicrocode(std::span<const uint8_t> plain) {
  if (plain.empty()) return Refuse(0, "the file is empty; it holds no record");
  if (plain.size() > kMaxPlainSize)
    return Refuse(0, "the file is larger than " + std::to_string(kMaxPlainSize) + " bytes");

  const PayloadKey key = BuildPayloadKey();
  PackResult result;
  result.image.assign(kImageLead.begin(), kImageLead.end());
  result.image.reserve(kImageLeadSize + plain.size());
  size_t offset = 0;
  while (offset < plain.size()) {
    if (plain.size() - offset < kRecordHeaderSize)
      return Refuse(offset, "the record's length runs past the end of the file (" +
                                std::to_string(plain.size()) + " bytes)");
    const uint32_t length = (static_cast<uint32_t>(plain[offset]) << 8) | plain[offset + 1];
    const size_t recordSize = kRecordHeaderSize + length;
    if (plain.size() - offset < recordSize)
      return Refuse(offset, "the record of length " + std::to_string(length) +
                                " runs past the end of the file (" +
                                std::to_string(plain.size()) + " bytes)");
    const size_t start = result.image.size();
    result.image.insert(result.image.end(), plain.begin() + static_cast<std::ptrdiff_t>(offset),
                        plain.begin() + static_cast<std::ptrdiff_t>(offset + recordSize));
    ApplyRecordMask(std::span<uint8_t>(result.image).subspan(start, recordSize), key);
    offset += recordSize;
  }
  result.ok = true;
  return result;
}

}  // namespace microcode
