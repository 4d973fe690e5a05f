// Plain microcode records for the tests: read a record file, build small ones.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace mctest {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Splits a well-formed plain stream into records (header and payload each).
inline std::vector<Bytes> SplitRecords(const Bytes& plain) {
  std::vector<Bytes> records;
  size_t offset = 0;
  while (offset + 2 <= plain.size()) {
    const size_t length = (size_t{plain[offset]} << 8) | plain[offset + 1];
    const size_t end = offset + 2 + length;
    if (end > plain.size()) break;
    records.emplace_back(plain.begin() + static_cast<std::ptrdiff_t>(offset),
                         plain.begin() + static_cast<std::ptrdiff_t>(end));
    offset = end;
  }
  return records;
}

// A plain record of `length` bytes whose content starts at `seed`.
inline Bytes MakeRecord(size_t length, uint8_t seed) {
  Bytes record = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)};
  for (size_t i = 0; i < length; ++i) record.push_back(static_cast<uint8_t>(seed + i * 7));
  return record;
}

inline Bytes Join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace mctest
