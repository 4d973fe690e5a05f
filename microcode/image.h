// The built-in microcode image: the lead bytes, then the masked records
// (see record_mask.h). Generated at build time from the plain record file
// named by TARVEX_MICROCODE.
#pragma once

#include <cstddef>
#include <cstdint>

extern const std::uint8_t MicrocodeImage[];
extern const std::size_t MicrocodeImageSize;
