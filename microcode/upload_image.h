// The upload of a given image; UploadMicrocode runs it on the built-in one.
#pragma once

#include <cstdint>
#include <span>

class SerialPort;

namespace microcode {

// Sends `image` (lead bytes, then stored records) over the open port, record
// by record with acknowledgements and a progress line. Returns 0 after
// success and -1 after a failure; the port is closed on every outcome.
int UploadImage(SerialPort& port, std::span<const uint8_t> image);

}  // namespace microcode
