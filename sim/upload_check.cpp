#include "sim/upload_check.h"

#include <algorithm>

namespace stb {

namespace {
constexpr size_t kRecordHeaderBytes = 2;
}  // namespace

std::optional<std::vector<RecordRef>> SplitRecords(std::span<const uint8_t> stream) {
  std::vector<RecordRef> records;
  size_t at = 0;
  while (at < stream.size()) {
    if (stream.size() - at < kRecordHeaderBytes) return std::nullopt;
    const uint16_t length = static_cast<uint16_t>((stream[at] << 8) | stream[at + 1]);
    at += kRecordHeaderBytes;
    if (stream.size() - at < length) return std::nullopt;
    records.push_back({at, length});
    at += length;
  }
  return records;
}

UploadReceiver MakeUploadReceiver(std::span<const uint8_t> reference,
                                  std::vector<RecordRef> records,
                                  std::map<size_t, uint32_t> refusals, bool noAnswer) {
  UploadReceiver rx;
  rx.reference = reference;
  rx.records = std::move(records);
  rx.refuseLeft = std::move(refusals);
  rx.noAnswer = noAnswer;
  return rx;
}

bool FeedUploadByte(UploadReceiver& rx, uint8_t byte, RecordEvent& event) {
  using State = UploadReceiver::State;
  switch (rx.state) {
    case State::Header0:
      rx.length = static_cast<uint16_t>(byte << 8);
      rx.state = State::Header1;
      return false;
    case State::Header1:
      rx.length = static_cast<uint16_t>(rx.length | byte);
      rx.payload.clear();
      if (rx.length > 0) {
        rx.state = State::Payload;
        return false;
      }
      break;
    case State::Payload:
      rx.payload.push_back(byte);
      if (rx.payload.size() < rx.length) return false;
      break;
  }
  rx.state = State::Header0;

  event = RecordEvent{};
  event.index = rx.accepted;
  event.length = rx.length;
  bool exact = false;
  if (rx.accepted < rx.records.size()) {
    const RecordRef& ref = rx.records[rx.accepted];
    exact = ref.length == rx.length &&
            std::equal(rx.payload.begin(), rx.payload.end(), rx.reference.begin() + ref.offset);
  }
  if (rx.noAnswer) {
    event.verdict = RecordVerdict::Unanswered;
  } else if (auto it = rx.refuseLeft.find(rx.accepted); it != rx.refuseLeft.end() && it->second > 0) {
    --it->second;
    event.verdict = RecordVerdict::Refused;
  } else if (!exact) {
    event.verdict = RecordVerdict::Mismatch;  // a real box's check fails: refused
  } else {
    event.verdict = RecordVerdict::Ok;
    ++rx.accepted;
  }
  return true;
}

std::optional<uint8_t> AnswerFor(RecordVerdict verdict) {
  switch (verdict) {
    case RecordVerdict::Ok: return kRecordAccepted;
    case RecordVerdict::Refused:
    case RecordVerdict::Mismatch: return kRecordRefused;
    case RecordVerdict::Unanswered: return std::nullopt;
  }
  return std::nullopt;
}

const char* VerdictName(RecordVerdict verdict) {
  switch (verdict) {
    case RecordVerdict::Ok: return "ok";
    case RecordVerdict::Refused: return "refused";
    case RecordVerdict::Mismatch: return "mismatch";
    case RecordVerdict::Unanswered: return "unanswered";
  }
  return "?";
}

bool UploadComplete(const UploadReceiver& rx) {
  return rx.accepted == rx.records.size() && rx.state == UploadReceiver::State::Header0;
}

std::string UploadSummary(const UploadReceiver& rx) {
  const std::string total = std::to_string(rx.records.size());
  if (UploadComplete(rx)) return "upload complete " + total + " records correct";
  return "upload incomplete " + std::to_string(rx.accepted) + " of " + total + " records";
}

}  // namespace stb
