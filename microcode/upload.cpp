#include "microcode/upload.h"

#include <cstdio>
#include <string>
#include <vector>

#include "microcode/image.h"
#include "microcode/pack.h"
#include "microcode/record_mask.h"
#include "microcode/upload_image.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace microcode {

namespace {

constexpr uint8_t kStartByte = 0x75;   // 'u': a record stream follows
constexpr uint8_t kAcceptByte = 0x11;  // the target took the record
constexpr int kMaxAttempts = 4;        // sends of one record before giving up

constexpr uint32_t kReadTotalMs = 1000;
constexpr uint32_t kReadIntervalMs = 30;
constexpr uint32_t kPauseBeforeStartMs = 10;
constexpr uint32_t kPauseAfterStartMs = 50;
constexpr uint32_t kPauseBeforeHeaderMs = 2;
constexpr uint32_t kPauseBeforePayloadMs = 1;

// One character per attempt, starting again after the last.
constexpr char kSpinner[] = {'-', '-', '\\', '\\', '|', '|', '/', '/'};

constexpr const char kStoppedMessage[] =
    "\nStopped: the upload was interrupted; the target's microcode is incomplete, "
    "run the upload again.\n";

int Fail(SerialPort& port, const char* message) {
  std::printf("%s", message);
  std::fflush(stdout);
  port.Close();
  return -1;
}

int NotResponding(SerialPort& port) {
  return Fail(port, "\nFailed: Target is not responding.\n");
}

// A protocol pause, noted in the wire trace so that a reader sees where the
// gaps between writes come from.
void Pause(SerialPort& port, uint32_t ms) {
  if (port.Tracing()) port.TraceNote("pause " + std::to_string(ms) + " ms");
  platform::SleepMs(ms);
}

}  // namespace

int UploadImage(SerialPort& port, std::span<const uint8_t> image) {
  const size_t size = image.size();
  const PayloadKey key = BuildPayloadKey();
  std::vector<uint8_t> record;
  record.reserve(kMaxRecordSize);

  port.SetReadTimeouts(kReadTotalMs, kReadIntervalMs);
  if (port.Tracing())
    port.TraceNote("upload start: " + std::to_string(size) + " bytes of image");
  Pause(port, kPauseBeforeStartMs);
  port.Write(&kStartByte, 1);
  Pause(port, kPauseAfterStartMs);

  size_t offset = kImageLeadSize;
  uint64_t accepted = 0;
  int refusals = 0;
  size_t spinner = 0;
  uint32_t recordNumber = 1;

  while (offset < size) {
    if (platform::StopRequested())
      return Fail(port, kStoppedMessage);
    // The packer only builds images that end with a whole record; should one
    // not, stop rather than read past its end.
    const size_t left = size - offset;
    const uint32_t length =
        left >= kRecordHeaderSize ? StoredRecordLength(image[offset], image[offset + 1]) : 0;
    if (left < kRecordHeaderSize + length) {
      std::printf("\nFailed: the built-in microcode is damaged at offset %lu; rebuild tarvex.\n",
                  static_cast<unsigned long>(offset));
      std::fflush(stdout);
      port.Close();
      return -1;
    }
    const size_t recordSize = kRecordHeaderSize + length;
    record.assign(image.begin() + static_cast<std::ptrdiff_t>(offset),
                  image.begin() + static_cast<std::ptrdiff_t>(offset + recordSize));
    ApplyRecordMask(record, key);

    port.SetReadTimeouts(kReadTotalMs, kReadIntervalMs);
    std::printf("\r                        \rTransferring.. %c %d%% done.", kSpinner[spinner],
                static_cast<int>(accepted * 100 / size));
    spinner = (spinner + 1) % sizeof kSpinner;
    std::fflush(stdout);

    if (port.Tracing())
      port.TraceNote("upload record " + std::to_string(recordNumber) + " len=" + std::to_string(length) +
                     (refusals > 0 ? " attempt " + std::to_string(refusals + 1) : ""));
    Pause(port, kPauseBeforeHeaderMs);
    port.Write(record.data(), kRecordHeaderSize);
    Pause(port, kPauseBeforePayloadMs);
    port.Write(record.data() + kRecordHeaderSize, length);

    uint8_t answer = 0;
    if (port.Lost() || !port.Read(&answer, 1)) {
      if (platform::StopRequested() && !port.Lost())
        return Fail(port, kStoppedMessage);
      return NotResponding(port);
    }
    if (answer == kAcceptByte) {
      refusals = 0;
      accepted += recordSize;
      offset += recordSize;
      ++recordNumber;
    } else if (++refusals == kMaxAttempts) {
      return Fail(port, "\nCRC error. File damaged.\n");
    }
  }

  std::printf("\rTransferring.. 100%% done.  \n");
  port.Close();
  std::printf("Microcode updated successfully.\n");
  std::fflush(stdout);
  platform::WaitForKeyPress();
  return 0;
}

}  // namespace microcode

int UploadMicrocode(SerialPort& port) {
  return microcode::UploadImage(port, std::span<const uint8_t>(MicrocodeImage, MicrocodeImageSize));
}
