// One pass of flash mode: the work after one greeting, and how it ended.
// Shared by the read, write and verify passes and the greeting loop.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "app/run_options.h"
#include "flash/flash_chip.h"

class SerialPort;

namespace flashmode {

enum class PassResult {
  kDone,     // the pass did all its mode asks
  kFailed,   // it started and did not finish
  kRefused,  // it did not start its work: the chip or the file did not allow it
  kStopped,  // a stop request ended it
};

// How a pass ended: go on with the next greeting, or end the run.
struct PassEnd {
  bool endRun = false;
  int exitStatus = 0;
  PassResult result = PassResult::kDone;
  std::string message;            // the failure as the console showed it
  uint64_t bytes = 0;             // read from or written into the chip
  std::optional<uint32_t> crc32;  // of the dump, or of the bytes written
};

// What a pass works with.
struct Pass {
  SerialPort& port;
  const RunOptions& options;
  std::string dataFile;  // the data file of this pass, its name expanded
  uint32_t chipSize = 0;
  ReadCheck readCheck = ReadCheck::kOnce;  // -frv: every chunk read until two reads agree
  bool verify = false;                     // -fwv
  LineWatch line;                          // the whole pass, probe included
};

using Block = std::array<uint8_t, kBlockSize>;

// Printed as "\nFailed: Target is not responding.\n".
inline constexpr char kNotResponding[] = "Target is not responding.";

// Block k's start as a share of the chip size in whole percent, plus 1, in
// 32-bit arithmetic; 0 when the size is not known.
uint32_t Percent(uint32_t block, uint32_t chipSize);
uint32_t SecondsSince(uint32_t startMs);
std::string ErrnoText(const std::string& what, const std::string& path, int err);

// Prints "\nFailed: <text>\n" (or "Failed: ..." at the start of a line with
// `newline` false) and records it; the pass goes on with the next greeting.
PassEnd Fail(const std::string& text, PassResult result = PassResult::kFailed,
             bool newline = true);
// Closes the port, prints the stop message (with what was left alone).
PassEnd Stop(SerialPort& port, const std::string& note = {});
PassEnd PortLost(SerialPort& port, const RunOptions& options);
// What a failed flash operation means for the pass. `note` says what was
// left alone, for the failure and stop messages.
PassEnd EndOnFailure(FlashStatus status, uint32_t address, SerialPort& port,
                     const RunOptions& options, const std::string& note = {});
// " line errors: N (resent or repaired)" after a pass that met any.
void ReportLineErrors(const Pass& pass);

// Opens the data file of a write and checks that it can be read; on
// failure `error` says why.
std::FILE* OpenWriteSource(const std::string& path, std::string& error);

// Fills the block with 0xFF and reads up to a block of the file into it.
// False on a read error; `count` 0 at the end of the file.
bool ReadFileBlock(std::FILE* in, Block& block, size_t& count);

PassEnd ReadPass(Pass& pass);
PassEnd WritePass(Pass& pass);
// Reads back the `blocks` blocks written from `in` and compares them, every
// difference confirmed by a second read of its chunk.
PassEnd VerifyPass(Pass& pass, std::FILE* in, uint32_t blocks);

}  // namespace flashmode
