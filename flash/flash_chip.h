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
// Sends of a read transaction whose reply came back short, with a wrong
// checksum or with bytes behind it: the first and two more.
inline constexpr uint32_t kReadAttempts = 3;
// Reads of one chunk that a confirmed read makes at most while looking for
// two that agree.
inline constexpr uint32_t kConfirmedReadLimit = 5;
// Transactions in a row without a single reply byte after which an
// operation gives the target up.
inline constexpr uint32_t kSilentLimit = 3;
// Transactions in a row whose replies were all damaged after which an
// operation gives the line up: nothing it decides from them would hold.
inline constexpr uint32_t kDamagedLimit = 20;
// After a damaged exchange the line counts as clean again once nothing has
// arrived for this long; the rest of a late or long reply is dropped
// meanwhile instead of shifting the next reply. Bounded by kResyncLimitMs.
inline constexpr uint32_t kResyncQuietMs = 50;
inline constexpr uint32_t kResyncLimitMs = 3000;
// A chip erase whose write enable or erase request did not come back clean
// is done again, once.
inline constexpr uint32_t kEraseAttempts = 2;

enum class FlashStatus {
  kOk,
  kReadFailed,        // a read kept failing or never settled: the data would be wrong
  kNotResponding,     // kSilentLimit transactions in a row brought no byte
  kLineTooNoisy,      // kDamagedLimit transactions in a row came back damaged
  kEraseUnconfirmed,  // neither erase attempt's requests came back clean
  kPortLost,          // the serial device is gone
  kStopped,           // a stop was requested
};

struct ProbeResult {
  FlashStatus status = FlashStatus::kOk;  // kOk, kPortLost or kStopped
  uint32_t size = 0;                      // chip size in bytes; 0 when unknown
  uint8_t id[3] = {};                     // the three bytes of the "Flash id" line
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
  bool gaveUp = false;    // the chip was still busy after the poll limit
  bool unproven = false;  // the write enable or program request did not come back clean
};

struct BlockResult {
  FlashStatus status = FlashStatus::kOk;
  uint32_t gaveUp = 0;    // pages whose busy wait gave up, 0 to 16
  uint32_t unproven = 0;  // pages whose requests did not come back clean
};

// What the line did over the transactions of one operation or of a whole
// pass: silences and damage in a row end an operation; every damaged
// exchange is counted for the pass's report; a damaged exchange leaves the
// line to be cleared before the next transaction.
struct LineWatch {
  uint32_t silentInRow = 0;
  uint32_t damagedInRow = 0;
  uint32_t errors = 0;  // exchanges resent, polled again or repaired
  bool dirty = false;   // the line may still carry bytes of a damaged exchange
  // Not one byte of the last reply came: the target may have lost a byte
  // of the request and still be waiting for the rest.
  bool requestMayBeOpen = false;
};

// A plain read takes a chunk from its first clean reply; a confirmed read
// takes it only when two reads of it agree.
enum class ReadCheck { kOnce, kTwice };

// Prints the chip's identity, size and status registers (four lines).
ProbeResult ProbeFlash(SerialPort& port);
ProbeResult ProbeFlash(SerialPort& port, LineWatch& line);

// Reads the kBlockSize bytes from `address` into `destination`. On any
// status but kOk the destination does not hold the chip's content.
ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address);
ReadResult ReadBlock(SerialPort& port, uint8_t* destination, uint32_t address,
                     LineWatch& line, ReadCheck check = ReadCheck::kOnce);

// `chunk` holds one read of the kReadChunkSize bytes at `address`; reads
// again until two reads agree and leaves the agreed content in `chunk`.
ReadResult ConfirmChunk(SerialPort& port, uint8_t* chunk, uint32_t address, LineWatch& line);

// Erases the whole chip and waits until two clean status reads in a row
// find it no longer busy.
FlashStatus EraseChip(SerialPort& port);
FlashStatus EraseChip(SerialPort& port, LineWatch& line);

// Programs one page of kPageSize bytes; a blank page (all 0xFF) sends nothing.
PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address);
PageResult ProgramPage(SerialPort& port, const uint8_t* source, uint32_t address,
                       LineWatch& line);

// Programs the kPagesPerBlock pages of one block.
BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address);
BlockResult ProgramBlock(SerialPort& port, const uint8_t* source, uint32_t address,
                         LineWatch& line);

// Chip size from the device ID's low nibble n. A cleanly identified chip
// has 2^(n + 17) bytes (128 KB for n = 0); an identification that did not
// come back clean keeps the whole-megabyte rule, 2^n / 8 megabytes. Both
// give 0 where the size does not fit 32 bits.
uint32_t FlashSizeFromDeviceId(uint8_t deviceId, bool identified = true);
