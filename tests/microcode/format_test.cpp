// The stored record format: masking and unmasking, the packer's checks and
// the image that the build embeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <span>
#include <string>

#include "microcode/image.h"
#include "microcode/pack.h"
#include "microcode/record_mask.h"
#include "tests/microcode/records.h"
#include "tests/support/process.h"

namespace {

using mctest::Bytes;
using microcode::ApplyRecordMask;
using microcode::BuildPayloadKey;
using microcode::PackMicrocode;

TEST(PayloadKey, IsTheSameEveryTimeAndHasNoZeroByte) {
  const auto key = BuildPayloadKey();
  EXPECT_EQ(key, BuildPayloadKey());
  // A zero byte would leave its payload bytes as they are, and the masking
  // tests below could not tell a masked byte from a plain one.
  for (uint8_t b : key) EXPECT_NE(b, 0);
  EXPECT_GT(std::set<uint8_t>(key.begin(), key.end()).size(), 8u);
}

TEST(PayloadKey, IsNotStoredWholeInTheProgram) {
  const auto key = BuildPayloadKey();
  const std::string program = testsupport::ReadFile(TARVEX_BIN);
  ASSERT_GT(program.size(), 10000u);
  const std::string whole(key.begin(), key.end());
  EXPECT_EQ(program.find(whole), std::string::npos);
}

// How many payload bytes, from the start, a record of length L has masked.
struct MaskCase {
  size_t length;
  size_t maskedPrefix;
};

class RecordMask : public ::testing::TestWithParam<MaskCase> {};

TEST_P(RecordMask, MasksTheGroupsThatStartBelowLengthMinusFour) {
  const MaskCase c = GetParam();
  const Bytes plain = mctest::MakeRecord(c.length, 0x31);
  Bytes stored = plain;
  const auto key = BuildPayloadKey();
  ApplyRecordMask(stored, key);

  ASSERT_EQ(stored.size(), plain.size());
  EXPECT_EQ(microcode::StoredRecordLength(stored[0], stored[1]), c.length);
  EXPECT_NE(stored[0], plain[0]);
  EXPECT_NE(stored[1], plain[1]);
  for (size_t j = 0; j < c.length; ++j) {
    const uint8_t expected = j < c.maskedPrefix ? plain[2 + j] ^ key[j % 16] : plain[2 + j];
    EXPECT_EQ(stored[2 + j], expected) << "payload byte " << j;
  }

  Bytes back = stored;
  ApplyRecordMask(back, key);
  EXPECT_EQ(back, plain);
}

INSTANTIATE_TEST_SUITE_P(
    Lengths, RecordMask,
    ::testing::Values(MaskCase{0, 0}, MaskCase{1, 0}, MaskCase{3, 0}, MaskCase{4, 0},
                      MaskCase{5, 5}, MaskCase{15, 15}, MaskCase{16, 16}, MaskCase{17, 16},
                      MaskCase{20, 16}, MaskCase{21, 21}, MaskCase{32, 32}, MaskCase{33, 32},
                      MaskCase{36, 32}, MaskCase{37, 37}, MaskCase{48, 48}, MaskCase{52, 48},
                      MaskCase{53, 53}, MaskCase{996, 992}, MaskCase{1000, 1000}, MaskCase{65535, 65535}),
    [](const auto& param) { return std::string("L").append(std::to_string(param.param.length)); });

TEST(RecordMask, StoredLengthReadsBothHeaderBytes) {
  const auto key = BuildPayloadKey();
  for (size_t length : {0x0100u, 0x00FFu, 0x1234u, 0xFFFFu}) {
    Bytes record = mctest::MakeRecord(length, 1);
    ApplyRecordMask(record, key);
    EXPECT_EQ(microcode::StoredRecordLength(record[0], record[1]), length);
  }
}

// Unmasks a stored image back into its plain records.
Bytes Unpack(std::span<const uint8_t> image) {
  const auto key = BuildPayloadKey();
  Bytes plain;
  size_t offset = microcode::kImageLeadSize;
  while (offset + 2 <= image.size()) {
    const size_t length = microcode::StoredRecordLength(image[offset], image[offset + 1]);
    if (offset + 2 + length > image.size()) break;
    Bytes record(image.begin() + static_cast<std::ptrdiff_t>(offset),
                 image.begin() + static_cast<std::ptrdiff_t>(offset + 2 + length));
    ApplyRecordMask(record, key);
    plain.insert(plain.end(), record.begin(), record.end());
    offset += 2 + length;
  }
  return plain;
}

TEST(Pack, ImageIsTheLeadBytesThenTheMaskedRecords) {
  const Bytes plain = mctest::Join({mctest::MakeRecord(3, 9), mctest::MakeRecord(0, 0),
                                    mctest::MakeRecord(21, 40), mctest::MakeRecord(300, 2)});
  const auto packed = PackMicrocode(plain);
  ASSERT_TRUE(packed.ok) << packed.error;
  ASSERT_EQ(packed.image.size(), microcode::kImageLeadSize + plain.size());
  EXPECT_TRUE(std::equal(microcode::kImageLead.begin(), microcode::kImageLead.end(),
                         packed.image.begin()));
  EXPECT_EQ(Unpack(packed.image), plain);
  // The records are stored masked, not as they are.
  EXPECT_FALSE(std::equal(plain.begin(), plain.end(),
                          packed.image.begin() + microcode::kImageLeadSize));
}

struct BadFile {
  const char* name;
  Bytes plain;
  size_t offset;
};

class PackRefuses : public ::testing::TestWithParam<BadFile> {};

TEST_P(PackRefuses, NamesTheOffsetOfTheFaultyRecord) {
  const auto packed = PackMicrocode(GetParam().plain);
  EXPECT_FALSE(packed.ok);
  EXPECT_EQ(packed.errorOffset, GetParam().offset);
  EXPECT_FALSE(packed.error.empty());
  EXPECT_TRUE(packed.image.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Files, PackRefuses,
    ::testing::Values(BadFile{"Empty", {}, 0}, BadFile{"LoneLengthByte", {0x00}, 0},
                      BadFile{"PayloadPastTheEnd", {0x00, 0x05, 1, 2, 3}, 0},
                      BadFile{"SecondLengthCut", {0x00, 0x01, 0xAA, 0x00}, 3},
                      BadFile{"SecondPayloadPastTheEnd", {0x00, 0x01, 0xAA, 0x01, 0x00, 7}, 3},
                      BadFile{"HighLengthByteCounts", {0x01, 0x00, 1, 2, 3, 4}, 0}),
    [](const auto& param) { return std::string(param.param.name); });

// The packer program: what the build runs, and what a user sees when the
// microcode file named by TARVEX_MICROCODE is unusable.
class Packer : public ::testing::Test {
protected:
  void SetUp() override { dir_ = testsupport::MakeTempDir(); }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  testsupport::ProcessResult Pack(const std::string& in, const std::string& out) {
    return testsupport::RunProcess({TARVEX_PACK_BIN, in, out});
  }
  std::string dir_;
};

TEST_F(Packer, WritesTheImageSource) {
  const std::string in = dir_ + "/good.rec";
  const std::string out = dir_ + "/image.cpp";
  const Bytes plain = mctest::Join({mctest::MakeRecord(2, 1), mctest::MakeRecord(20, 5)});
  testsupport::WriteFile(in, std::string(plain.begin(), plain.end()));
  const auto r = Pack(in, out);
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string source = testsupport::ReadFile(out);
  EXPECT_NE(source.find("MicrocodeImage[]"), std::string::npos);
  EXPECT_NE(source.find("MicrocodeImageSize"), std::string::npos);
  // 4 lead bytes + 4 + 22 record bytes, one "0x" each.
  size_t count = 0;
  for (size_t at = source.find("0x"); at != std::string::npos; at = source.find("0x", at + 1))
    ++count;
  EXPECT_EQ(count, 30u);
}

struct PackerRefusal {
  const char* name;
  std::string content;
  const char* offsetText;
};

class PackerRefuses : public Packer, public ::testing::WithParamInterface<PackerRefusal> {};

TEST_P(PackerRefuses, FailsNamingTheFileAndOffsetAndWritesNothing) {
  const std::string in = dir_ + "/bad.rec";
  const std::string out = dir_ + "/image.cpp";
  testsupport::WriteFile(in, GetParam().content);
  const auto r = Pack(in, out);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(in), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(GetParam().offsetText), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(out));
}

INSTANTIATE_TEST_SUITE_P(
    Files, PackerRefuses,
    ::testing::Values(PackerRefusal{"Empty", "", "offset 0"},
                      PackerRefusal{"LastRecordPastTheEnd",
                                    std::string("\x00\x02xy\x00\x09short", 11), "offset 4"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(Packer, FailsOnAMissingFile) {
  const std::string in = dir_ + "/missing.rec";
  const auto r = Pack(in, dir_ + "/image.cpp");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.err.find(in), std::string::npos) << r.err;
}

// The image that this build embedded.
TEST(EmbeddedImage, HoldsTheConfiguredFileByteForByte) {
  const Bytes plain = mctest::ReadBytes(TARVEX_MICROCODE_FILE);
  ASSERT_FALSE(plain.empty());
  const std::span<const uint8_t> image(MicrocodeImage, MicrocodeImageSize);
  EXPECT_EQ(image.size(), microcode::kImageLeadSize + plain.size());
  EXPECT_EQ(Unpack(image), plain);
  const auto packed = PackMicrocode(plain);
  ASSERT_TRUE(packed.ok);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), packed.image.begin(), packed.image.end()));
}

TEST(EmbeddedImage, DefaultSampleIs6664BytesAndCoversTheMaskingRules) {
  const std::filesystem::path configured(TARVEX_MICROCODE_FILE);
  const std::filesystem::path sample =
      std::filesystem::path(TARVEX_SOURCE_DIR) / "microcode/data/microcode.rec";
  if (!std::filesystem::equivalent(configured, sample))
    GTEST_SKIP() << "built with another microcode: " << TARVEX_MICROCODE_FILE;
  EXPECT_EQ(MicrocodeImageSize, 6664u);
  std::set<size_t> lengths;
  for (const Bytes& r : mctest::SplitRecords(mctest::ReadBytes(TARVEX_MICROCODE_FILE)))
    lengths.insert(r.size() - 2);
  for (size_t l : {1u, 2u, 3u, 4u, 16u, 17u, 20u, 21u, 32u, 33u, 36u, 37u})
    EXPECT_TRUE(lengths.count(l)) << "no record of length " << l;
  EXPECT_GT(*lengths.rbegin(), 1000u);
}

}  // namespace
