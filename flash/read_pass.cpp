// The read pass: the whole chip into the data file, block by block, never
// replacing the old file with anything less than a complete dump.
#include <string>

#include "flash/crc32.h"
#include "flash/dump_file.h"
#include "flash/pass.h"
#include "platform/platform.h"
#include "serial/serial_port.h"

namespace flashmode {

PassEnd ReadPass(Pass& pass) {
  const std::string& path = pass.dataFile;
  DumpFile dump;
  if (FileResult r = CreateDumpFile(path, dump); !r.ok) return Fail(r.error, PassResult::kFailed, false);
  const std::string keptNote = dump.tempPath.empty() ? path + " got only part of the chip."
                                                     : path + " was left unchanged.";
  auto fail = [&](const std::string& text) {
    DiscardDump(dump);
    return Fail(text);
  };

  pass.port.TraceNote("read " + std::to_string(pass.chipSize) + " bytes into " + path +
                      (pass.readCheck == ReadCheck::kTwice ? ", every chunk confirmed" : ""));
  const uint32_t start = platform::TickCountMs();
  Block block;
  Crc32 crc;
  uint64_t bytes = 0;
  uint32_t k = 0;
  for (uint64_t address = 0; address < pass.chipSize; address += kBlockSize, ++k) {
    const uint32_t at = static_cast<uint32_t>(address);
    if (platform::StopRequested()) {
      DiscardDump(dump);
      return Stop(pass.port, keptNote);
    }
    const ReadResult r = ReadBlock(pass.port, block.data(), at, pass.line, pass.readCheck);
    if (r.status != FlashStatus::kOk) {
      DiscardDump(dump);
      PassEnd end = EndOnFailure(r.status, r.address, pass.port, pass.options, keptNote);
      end.bytes = bytes;
      return end;
    }
    std::printf(" reading address=%08X: %u%% done\r", at, Percent(k, pass.chipSize));
    if (FileResult w = WriteDump(dump, block.data(), block.size()); !w.ok) return fail(w.error);
    crc.Update(block.data(), block.size());
    bytes += block.size();
  }
  if (FileResult c = CommitDump(dump); !c.ok) return fail(c.error);
  std::printf("\n read done time=%us\n", SecondsSince(start));
  std::fflush(stdout);
  PassEnd end;
  end.bytes = bytes;
  end.crc32 = crc.Value();
  return end;
}

}  // namespace flashmode
