// The target's side of the upload, played by a test thread on the master end
// of a pty: takes the start byte, then records, and answers each one as the
// script says.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <thread>
#include <vector>

#include "tests/microcode/records.h"
#include "tests/support/pty_pair.h"

namespace mctest {

struct TargetScript {
  std::map<size_t, int> refusals;   // record index -> how many first sends to refuse
  uint8_t refusalByte = 0x00;
  std::optional<size_t> silentAt;   // never answer this record (nor anything after)
  std::optional<size_t> hangUpAt;   // close the line instead of answering this record
  int waitMs = 5000;                // for the host's next bytes
};

class FakeTarget {
public:
  static constexpr uint8_t kAccept = 0x11;
  // The host gives a record up after this many refusals; the target stops
  // there too, and the test looks for anything that still comes.
  static constexpr int kHostAttempts = 4;

  FakeTarget(testsupport::PtyPair& pty, TargetScript script, size_t recordCount)
      : pty_(pty), script_(std::move(script)), recordCount_(recordCount) {
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeTarget() { Join(); }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  // Filled by the thread; read them after Join().
  Bytes start;                     // what came before the first record
  std::vector<Bytes> sends;        // every record as it arrived, resends included
  std::vector<size_t> sendIndex;   // the record index of each send
  std::chrono::steady_clock::time_point lastSendAt;

  // The records that were accepted, in order, joined.
  Bytes Accepted() const {
    Bytes all;
    for (size_t i = 0; i < sends.size(); ++i)
      if (accepted_[i]) all.insert(all.end(), sends[i].begin(), sends[i].end());
    return all;
  }

private:
  void Run() {
    start = pty_.Receive(1, script_.waitMs);
    if (start.empty()) return;
    size_t index = 0;
    std::map<size_t, int> refused;
    while (index < recordCount_) {
      Bytes record = pty_.Receive(2, script_.waitMs);
      if (record.size() < 2) return;
      const size_t length = (size_t{record[0]} << 8) | record[1];
      const Bytes payload = pty_.Receive(length, script_.waitMs);
      record.insert(record.end(), payload.begin(), payload.end());
      lastSendAt = std::chrono::steady_clock::now();
      sends.push_back(record);
      sendIndex.push_back(index);
      accepted_.push_back(false);
      if (payload.size() < length) return;
      if (script_.hangUpAt == index) {
        pty_.HangUp();
        return;
      }
      if (script_.silentAt == index) return;
      if (refused[index] < script_.refusals[index]) {
        pty_.Send(Bytes{script_.refusalByte});
        if (++refused[index] == kHostAttempts) return;
      } else {
        accepted_.back() = true;
        pty_.Send(Bytes{kAccept});
        ++index;
      }
    }
  }

  testsupport::PtyPair& pty_;
  TargetScript script_;
  size_t recordCount_;
  std::vector<bool> accepted_;
  std::thread thread_;
};

}  // namespace mctest
