// The box's microcode receiver: after the start byte 0x75, records of a
// two-byte big-endian length L and L bytes, each answered with 0x11 or a
// refusal. Each record is checked against the plain records built in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace stb {

constexpr uint8_t kUploadStart = 0x75;
constexpr uint8_t kRecordAccepted = 0x11;
constexpr uint8_t kRecordRefused = 0xEE;

struct RecordRef {
  size_t offset = 0;  // of the payload in the stream
  uint16_t length = 0;
};

// Splits a plain record stream; nullopt when it does not end exactly with
// its last record.
std::optional<std::vector<RecordRef>> SplitRecords(std::span<const uint8_t> stream);

enum class RecordVerdict { Ok, Refused, Mismatch, Unanswered };

struct UploadReceiver {
  std::span<const uint8_t> reference;
  std::vector<RecordRef> records;
  std::map<size_t, uint32_t> refuseLeft;  // record index -> refusals still to give
  bool noAnswer = false;

  enum class State { Header0, Header1, Payload };
  State state = State::Header0;
  uint16_t length = 0;
  std::vector<uint8_t> payload;
  size_t accepted = 0;  // records taken, in order; also the index expected next
};

UploadReceiver MakeUploadReceiver(std::span<const uint8_t> reference,
                                  std::vector<RecordRef> records,
                                  std::map<size_t, uint32_t> refusals, bool noAnswer);

struct RecordEvent {
  size_t index = 0;
  uint16_t length = 0;
  RecordVerdict verdict = RecordVerdict::Ok;
};

// Takes one byte after the start byte; true when it completed a record.
bool FeedUploadByte(UploadReceiver& rx, uint8_t byte, RecordEvent& event);

// The answer byte for a verdict; nullopt when nothing is sent.
std::optional<uint8_t> AnswerFor(RecordVerdict verdict);
const char* VerdictName(RecordVerdict verdict);

bool UploadComplete(const UploadReceiver& rx);
// "upload complete N records correct" or "upload incomplete K of N records".
std::string UploadSummary(const UploadReceiver& rx);

}  // namespace stb
