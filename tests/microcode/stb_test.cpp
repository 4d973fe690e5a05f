// End to end: tarvex uploads its built-in microcode to the virtual set-top
// box, which checks every record against the plain records it was built
// with (so a wrong unmasking shows as a mismatch).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/microcode/records.h"
#include "tests/support/process.h"

namespace {

class StbUpload : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    log_ = dir_ + "/stb.log";
    records_ = mctest::SplitRecords(mctest::ReadBytes(TARVEX_MICROCODE_FILE)).size();
    ASSERT_GT(records_, 4u);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  testsupport::ProcessResult Run(std::vector<std::string> boxOptions) {
    std::vector<std::string> argv = {TARVEX_STB_BIN, "--log", log_};
    argv.insert(argv.end(), boxOptions.begin(), boxOptions.end());
    for (const char* a : {"--", TARVEX_BIN, "fw.bin", "-COM1", "-115200"}) argv.push_back(a);
    testsupport::ProcessOptions o;
    o.timeoutMs = 60000;
    return testsupport::RunProcess(argv, o);
  }
  std::string Log() const { return testsupport::ReadFile(log_); }
  static size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  }

  std::string dir_, log_;
  size_t records_ = 0;
};

TEST_F(StbUpload, CleanUploadArrivesWholeAndByteExact) {
  const auto r = Run({});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string log = Log();
  EXPECT_NE(log.find("upload start"), std::string::npos) << log;
  EXPECT_NE(log.find("upload complete " + std::to_string(records_) + " records correct"),
            std::string::npos)
      << log;
  EXPECT_EQ(Count(log, " ok\n"), records_) << log;
  EXPECT_EQ(log.find("mismatch"), std::string::npos) << log;
  EXPECT_NE(r.out.find("\rTransferring.. 100% done.  \nMicrocode updated successfully.\n"),
            std::string::npos)
      << r.out;
}

TEST_F(StbUpload, RecordsRefusedThreeTimesAreSentAgainAndPass) {
  const auto r = Run({"--refuse", "4:3", "--refuse", "5:3"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string log = Log();
  EXPECT_EQ(Count(log, "refused\n"), 6u) << log;
  EXPECT_NE(log.find("upload complete"), std::string::npos) << log;
  EXPECT_EQ(log.find("mismatch"), std::string::npos) << log;
}

TEST_F(StbUpload, FourRefusalsFailTheUpload) {
  const auto r = Run({"--refuse", "2:4"});
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_NE(r.out.find("\nCRC error. File damaged.\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("successfully"), std::string::npos) << r.out;
  const std::string log = Log();
  EXPECT_EQ(Count(log, "refused\n"), 4u) << log;
  EXPECT_NE(log.find("upload incomplete 2 of"), std::string::npos) << log;
}

TEST_F(StbUpload, SilentTargetFailsTheUpload) {
  const auto r = Run({"--no-answer"});
  EXPECT_EQ(r.status, 255) << r.out << r.err;
  EXPECT_NE(r.out.find("\nFailed: Target is not responding.\n"), std::string::npos) << r.out;
  EXPECT_NE(Log().find("upload incomplete 0 of"), std::string::npos) << Log();
}

}  // namespace
