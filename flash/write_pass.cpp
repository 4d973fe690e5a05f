// The write pass: erase the chip, program the data file into it from
// address 0, and read the written span back when asked to or when the line
// damaged any request that programs the chip.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include "flash/crc32.h"
#include "flash/pass.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace flashmode {

PassEnd VerifyPass(Pass& pass, std::FILE* in, uint32_t blocks) {
  const std::string& path = pass.dataFile;
  if (std::fseek(in, 0, SEEK_SET) != 0)
    return Fail(ErrnoText("cannot read again for the verify", path, errno), PassResult::kFailed,
                false);
  pass.port.TraceNote("verify " + std::to_string(blocks) + " blocks against " + path);
  const uint32_t start = platform::TickCountMs();
  Block expected;
  Block actual;
  uint32_t differ = 0;
  uint32_t firstDiffer = 0;
  for (uint32_t k = 0; k < blocks; ++k) {
    const uint32_t address = k * kBlockSize;
    if (platform::StopRequested()) return Stop(pass.port);
    size_t count = 0;
    if (!ReadFileBlock(in, expected, count)) return Fail(ErrnoText("cannot read", path, errno));
    ReadResult r = ReadBlock(pass.port, actual.data(), address, pass.line);
    for (uint32_t c = 0; c < kChunksPerBlock && r.status == FlashStatus::kOk; ++c) {
      const uint32_t offset = c * kReadChunkSize;
      // A difference counts only once a second read of the chunk agrees
      // with a first: a byte flipped on its way back is not the chip's.
      if (std::memcmp(expected.data() + offset, actual.data() + offset, kReadChunkSize) == 0)
        continue;
      r = ConfirmChunk(pass.port, actual.data() + offset, address + offset, pass.line);
    }
    if (r.status != FlashStatus::kOk)
      return EndOnFailure(r.status, r.address, pass.port, pass.options, "verify incomplete.");
    for (uint32_t i = 0; i < kBlockSize; ++i) {
      if (expected[i] == actual[i]) continue;
      if (differ == 0) firstDiffer = address + i;
      ++differ;
    }
    std::printf(" verifying address=%08X: %u%% done\r", address, Percent(k, pass.chipSize));
  }
  if (differ == 0) {
    std::printf("\n verify done time=%us\n", SecondsSince(start));
    std::fflush(stdout);
    return {};
  }
  std::printf("\n verify FAILED: %u bytes differ, first at %08X\n", differ, firstDiffer);
  std::fflush(stdout);
  PassEnd end;
  end.result = PassResult::kFailed;
  char text[96];
  std::snprintf(text, sizeof text, "verify FAILED: %u bytes differ, first at %08X", differ,
                firstDiffer);
  end.message = text;
  return end;
}

PassEnd WritePass(Pass& pass) {
  const std::string& path = pass.dataFile;
  std::string error;
  std::FILE* in = OpenWriteSource(path, error);
  if (!in) return Fail(error + "; nothing erased.", PassResult::kRefused, false);
  struct Closer {
    std::FILE* f;
    ~Closer() { std::fclose(f); }
  } closer{in};

  // A file larger than the chip would wrap around and overwrite its start.
  std::error_code ec;
  const auto fileSize = std::filesystem::file_size(path, ec);
  if (!ec && pass.chipSize != 0 && fileSize > pass.chipSize) {
    return Fail(path + " holds " + std::to_string(fileSize) + " bytes, more than the flash size of " +
                    std::to_string(pass.chipSize) + " bytes; nothing erased.",
                PassResult::kRefused, false);
  }

  pass.port.TraceNote("erase chip");
  std::printf(" erase chip...");
  std::fflush(stdout);
  uint32_t start = platform::TickCountMs();
  if (FlashStatus s = EraseChip(pass.port, pass.line); s != FlashStatus::kOk)
    return EndOnFailure(s, 0, pass.port, pass.options);
  std::printf(" done time=%us\n", SecondsSince(start));

  pass.port.TraceNote("write " + path);
  start = platform::TickCountMs();
  Block block;
  Crc32 crc;
  uint64_t bytes = 0;
  uint32_t unproven = 0;
  uint32_t k = 0;
  uint32_t address = 0;
  const std::string partNote = "the flash holds only part of " + path + ".";
  for (;; ++k, address += kBlockSize) {
    if (platform::StopRequested()) return Stop(pass.port, partNote);
    size_t count = 0;
    if (!ReadFileBlock(in, block, count))
      return Fail(ErrnoText("cannot read", path, errno) + "; " + partNote);
    if (count == 0) break;
    const BlockResult r = ProgramBlock(pass.port, block.data(), address, pass.line);
    unproven += r.unproven;
    if (r.status != FlashStatus::kOk) {
      PassEnd end = EndOnFailure(r.status, address, pass.port, pass.options, partNote);
      end.bytes = bytes;
      return end;
    }
    crc.Update(block.data(), block.size());
    bytes += block.size();
    std::printf(" writing[%d] address=%08X: %u%% done\r", static_cast<int>(r.gaveUp), address,
                Percent(k, pass.chipSize));
  }
  std::printf("\n write done time=%us\n", SecondsSince(start));
  std::fflush(stdout);
  // A write enable or program request that did not come back clean may
  // have left a page unprogrammed, or programmed it at another address:
  // only reading the chip back can tell.
  PassEnd end;
  if (unproven > 0)
    pass.port.TraceNote(std::to_string(unproven) + " pages with requests not proven clean");
  if (pass.verify || unproven > 0) end = VerifyPass(pass, in, k);
  if (!end.endRun) {
    end.bytes = bytes;
    end.crc32 = crc.Value();
  }
  return end;
}

}  // namespace flashmode
