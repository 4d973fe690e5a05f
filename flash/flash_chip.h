// Operations on the target's SPI NOR flash chip, each command one bridge
// transaction: identify, read 4096-byte blocks, erase, program pages.
#pragma once

#include <cstdint>

class SerialPort;

inline constexpr uint32_t kPageSize = 256;
inline constexpr uint8_t kErasedByte = 0xFF;  // a flash byte after an erase
inline constexpr uint32_t kBlockSize = 4096;
inline constexpr uint32_t kReadChunkSize = 1024;  // data bytes of one read transaction
inline constexpr uint32_t kPagesPerBlock = kBlockSize / kPageSize;
inline constexpr uint32_t kChunksPerBlock = kBlockSize / kReadChunkSize;

// Status reads after a page program before its wait gives up (beyond the first).
inline constexpr uint32_t kPagePollLimit = 1000;
// Sends of a read transaction whose reply came back short or with a wrong
// checksum: the first and two more.
inline constexpr uint32_t kReadAttempts = 3;
// Transactions in a row without a single reply byte after which an
// operation gives the target up.
inline constexpr uint32_t kSilentLimit = 3;
// Pause before a read is sent again, so that the rest of a late reply has
// arrived and can be dropped instead of shifting the next reply.
inline constexpr uint32_t kRetrySettleMs = 100;

enum class FlashStatus {
  kOk,
  kReadFailed,     // a read transaction kept failing: the data would be wrong
  kNotResponding,  // kSilentLimit transactions in a row brought no byte
  kPortLost,       // the serial device is gone
  kStopped,        // a stop was requested
};

struct ProbeResult {
  FlashStatus status = FlashStatus::kOk;  // kOk, kPortLost or kStopped
  uint32_t size = 0;                      // chip size in bytes; 0 when unknown
  // Both identification transactions came back whole with the right
  // checksum: the size is the chip's word, not noise or the sent bytes.
  bool identified = false;
  bool silent = false;  // neither identification transaction brought a byte
};

struct ReadResult {
  FlashStatus status = FlashStatus::kOk;
  uint32_t address = 0;  // where the failing read transaction started
};

struct PageResult {
  FlashStatus status = FlashStatus::kOk;
  bool gaveUp = false;  // the chip was still busy after the poll limit
};

struct BlockResult {
  FlashStatus status = FlashStatus::kOk;
  uint32_t gaveUp = 0;  // pages whose busy wait gave up, 0 to 16
};

// Counts transactions in a row that brought no reply byte; one per
// operation, or one for a run of operations that belong together.
struct SilenceWatch {
  uint32_t inRow = 0;
};

// Prints the chip's identity, size and status registers (four lines).
ProbeResult ProbeFlash(SerialPort& port);

// Reads the kBlockSize bytes from `address` into `destination`. On any
// status but kOk the destination does not hold the chip's content.
ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address);
ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address,
                     SilenceWatch& watch);

// Erases the whole chip and waits until it is no longer busy.
FlashStatus EraseChip(SerialPort& port);

// Programs one page of kPageSize bytes; a blank page (all 0xFF) sends nothing.
PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address);
PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address,
                       SilenceWatch& watch);

// Programs the kPagesPerBlock pages of one block.
BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address);
BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address,
                         SilenceWatch& watch);

// Chip size from the device ID: 2^(id & 0x0F) / 8 megabytes, 0 where that
// does not work out in 32 bits.
uint32_t FlashSizeFromDeviceId(uint8_t deviceId);
