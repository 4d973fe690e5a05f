// The chip's content on disk: a raw image from address 0.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace stb {

struct LoadedImage {
  std::vector<uint8_t> content;
  bool created = false;  // the file did not exist
  std::string error;     // empty on success
};

// Reads the image at `path`. An absent file gives `size` bytes of 0xFF. With
// `size` unset, an existing file's length is the chip size.
LoadedImage LoadImage(const std::string& path, std::optional<uint32_t> size);

// The two paths name one file: the same text, or one existing file.
bool SameImage(const std::string& a, const std::string& b);

// Writes the image next to `path` and renames it into place, so the file is
// always either the old image or the new one. Returns an error text, or empty.
std::string SaveImage(const std::string& path, const std::vector<uint8_t>& content);

}  // namespace stb
