// Bridge frame parsing and checksum, and the upload check against the
// plain microcode records.
#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "sim/bridge_frame.h"
#include "sim/microcode_ref.h"
#include "sim/upload_check.h"
#include "tests/sim/host_frame.h"

namespace stb {
namespace {

std::vector<FrameEvent> FeedAll(FrameParser& p, const std::vector<uint8_t>& bytes) {
  std::vector<FrameEvent> events;
  FrameEvent ev;
  for (uint8_t b : bytes)
    if (FeedFrameByte(p, b, ev)) events.push_back(ev);
  return events;
}

std::vector<uint8_t> Frame(const std::vector<uint8_t>& bus) { return HostFrame(bus); }

TEST(BridgeFrame, ParsesFramesAndSumsTheBusBytes) {
  FrameParser p;
  auto events = FeedAll(p, {0x13, 0x3A, 0x01, 0x00, 0x06});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].bus, (std::vector<uint8_t>{0x06}));
  EXPECT_EQ(BuildReply(std::vector<uint8_t>{0xFF}, BusSum(events[0].bus)),
            (std::vector<uint8_t>{0xFF, 0x06, 0x00}));

  // 1028 bytes: the sum wraps at 16 bits and goes out low byte first.
  std::vector<uint8_t> bus(1028, 0xFF);
  bus[0] = 0x03;
  events = FeedAll(p, Frame(bus));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].length, 1028u);
  const uint16_t sum = static_cast<uint16_t>((0x03 + 1027 * 0xFF) & 0xFFFF);
  EXPECT_EQ(BusSum(events[0].bus), sum);
  const auto reply = BuildReply(std::vector<uint8_t>(), sum);
  EXPECT_EQ(reply, (std::vector<uint8_t>{static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)}));

  // An empty frame.
  events = FeedAll(p, {0x13, 0x3A, 0x00, 0x00});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].bus.empty());
}

TEST(BridgeFrame, SkipsGarbageUpToTheSync) {
  FrameParser p;
  // 0x13 not followed by 0x3A is noise, but a second 0x13 may start a frame.
  auto events = FeedAll(p, {0x00, 0x13, 0x13, 0x3A, 0x01, 0x00, 0x05, 0x3A, 0x13, 0x99});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].garbageBefore, 2u);
  EXPECT_EQ(events[0].bus, (std::vector<uint8_t>{0x05}));
  EXPECT_EQ(TakeGarbage(p), 3u);
}

TEST(BridgeFrame, RejectsAnOversizedNAndSkipsItsBytes) {
  struct Case {
    uint32_t n;
    bool rejected;
  };
  for (const Case c : {Case{kMaxBusBytes, false}, Case{kMaxBusBytes + 1, true}, Case{0xFFFF, true}}) {
    FrameParser p;
    std::vector<uint8_t> bytes = {0x13, 0x3A, static_cast<uint8_t>(c.n & 0xFF), static_cast<uint8_t>(c.n >> 8)};
    // The body holds what looks like a frame: it must not be taken as one.
    std::vector<uint8_t> body(c.n, 0x00);
    const std::vector<uint8_t> inner = Frame({0x9F, 0, 0, 0});
    std::copy(inner.begin(), inner.end(), body.begin() + 10);
    bytes.insert(bytes.end(), body.begin(), body.end());
    const std::vector<uint8_t> next = Frame({0x06});
    bytes.insert(bytes.end(), next.begin(), next.end());
    auto events = FeedAll(p, bytes);
    ASSERT_EQ(events.size(), 2u) << c.n;
    EXPECT_EQ(events[0].kind, c.rejected ? FrameEvent::Kind::Rejected : FrameEvent::Kind::Frame);
    EXPECT_EQ(events[0].length, c.n);
    EXPECT_LE(p.bus.capacity(), kMaxBusBytes);
    EXPECT_EQ(events[1].bus, (std::vector<uint8_t>{0x06})) << c.n;
  }
}

class UploadCheckTest : public ::testing::Test {
protected:
  UploadCheckTest() : reference(PlainMicrocode()), records(*SplitRecords(reference)) {}

  std::vector<uint8_t> Record(size_t k) const {
    const RecordRef& r = records[k];
    std::vector<uint8_t> out;
    out.reserve(2 + r.length);
    out.push_back(static_cast<uint8_t>(r.length >> 8));
    out.push_back(static_cast<uint8_t>(r.length));
    out.insert(out.end(), reference.begin() + r.offset, reference.begin() + r.offset + r.length);
    return out;
  }
  std::vector<RecordEvent> Feed(UploadReceiver& rx, const std::vector<uint8_t>& bytes) {
    std::vector<RecordEvent> events;
    RecordEvent ev;
    for (uint8_t b : bytes)
      if (FeedUploadByte(rx, b, ev)) events.push_back(ev);
    return events;
  }

  std::span<const uint8_t> reference;
  std::vector<RecordRef> records;
};

TEST_F(UploadCheckTest, BuiltInRecordsSplitWhole) {
  ASSERT_FALSE(records.empty());
  size_t total = 0;
  for (const RecordRef& r : records) total += r.length + 2u;
  EXPECT_EQ(total, reference.size());
  EXPECT_FALSE(SplitRecords(std::vector<uint8_t>{0x00, 0x05, 1, 2}).has_value());
  EXPECT_FALSE(SplitRecords(std::vector<uint8_t>{0x00, 0x01, 1, 0x00}).has_value());
}

TEST_F(UploadCheckTest, AcceptsAnExactUpload) {
  UploadReceiver rx = MakeUploadReceiver(reference, records, {}, false);
  for (size_t k = 0; k < records.size(); ++k) {
    auto events = Feed(rx, Record(k));
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].index, k);
    EXPECT_EQ(events[0].verdict, RecordVerdict::Ok);
    EXPECT_EQ(AnswerFor(events[0].verdict), kRecordAccepted);
  }
  EXPECT_TRUE(UploadComplete(rx));
  EXPECT_EQ(UploadSummary(rx), "upload complete " + std::to_string(records.size()) + " records correct");
}

TEST_F(UploadCheckTest, ScriptedRefusalsThenAcceptance) {
  UploadReceiver rx = MakeUploadReceiver(reference, records, {{1, 3}}, false);
  EXPECT_EQ(Feed(rx, Record(0))[0].verdict, RecordVerdict::Ok);
  for (int i = 0; i < 3; ++i) {
    auto ev = Feed(rx, Record(1));
    EXPECT_EQ(ev[0].verdict, RecordVerdict::Refused);
    EXPECT_NE(AnswerFor(ev[0].verdict), kRecordAccepted);
  }
  EXPECT_EQ(Feed(rx, Record(1))[0].verdict, RecordVerdict::Ok);
  EXPECT_EQ(rx.accepted, 2u);
}

TEST_F(UploadCheckTest, MismatchesAreRefusedAndNotCounted) {
  UploadReceiver rx = MakeUploadReceiver(reference, records, {}, false);
  std::vector<uint8_t> bad = Record(0);
  bad.back() ^= 0x01;  // one payload bit
  auto ev = Feed(rx, bad);
  EXPECT_EQ(ev[0].verdict, RecordVerdict::Mismatch);
  EXPECT_EQ(AnswerFor(ev[0].verdict), kRecordRefused);
  // Record 1 sent in place of record 0 (a host that skipped one).
  EXPECT_EQ(Feed(rx, Record(1))[0].verdict, RecordVerdict::Mismatch);
  EXPECT_EQ(Feed(rx, Record(0))[0].verdict, RecordVerdict::Ok);
  // Record 0 again (a host that did not move on).
  EXPECT_EQ(Feed(rx, Record(0))[0].verdict, RecordVerdict::Mismatch);
  EXPECT_EQ(rx.accepted, 1u);
}

TEST_F(UploadCheckTest, IncompleteUploads) {
  UploadReceiver rx = MakeUploadReceiver(reference, records, {}, false);
  for (size_t k = 0; k < 3; ++k) Feed(rx, Record(k));
  EXPECT_FALSE(UploadComplete(rx));
  EXPECT_EQ(UploadSummary(rx), "upload incomplete 3 of " + std::to_string(records.size()) + " records");

  // Everything but the last byte of the last record.
  UploadReceiver cut = MakeUploadReceiver(reference, records, {}, false);
  for (size_t k = 0; k + 1 < records.size(); ++k) Feed(cut, Record(k));
  std::vector<uint8_t> last = Record(records.size() - 1);
  last.pop_back();
  EXPECT_TRUE(Feed(cut, last).empty());
  EXPECT_FALSE(UploadComplete(cut));
}

TEST_F(UploadCheckTest, NoAnswerMode) {
  UploadReceiver rx = MakeUploadReceiver(reference, records, {}, true);
  auto ev = Feed(rx, Record(0));
  EXPECT_EQ(ev[0].verdict, RecordVerdict::Unanswered);
  EXPECT_FALSE(AnswerFor(ev[0].verdict).has_value());
}

}  // namespace
}  // namespace stb
