// Builds scratch trees of the project: the microcode file named by
// TARVEX_MICROCODE is the one embedded, a changed file is packed again, a
// malformed one stops the build, and a cross build needs a native packer.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/microcode/fake_target.h"
#include "tests/microcode/records.h"
#include "tests/support/process.h"
#include "tests/support/pty_pair.h"

namespace {

using mctest::Bytes;

class ScratchBuild : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = testsupport::MakeTempDir();
    build_ = dir_ + "/build";
    rec_ = dir_ + "/test.rec";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  testsupport::ProcessResult Cmake(std::vector<std::string> args) {
    args.insert(args.begin(), TARVEX_CMAKE);
    testsupport::ProcessOptions o;
    o.timeoutMs = 240000;
    auto r = testsupport::RunProcess(args, o);
    r.out += r.err;
    return r;
  }
  testsupport::ProcessResult Configure(std::vector<std::string> extra) {
    std::vector<std::string> args = {"-S", TARVEX_SOURCE_DIR, "-B", build_, "-G",
                                     TARVEX_CMAKE_GENERATOR, "-DCMAKE_BUILD_TYPE=Debug",
                                     "-DCMAKE_CXX_COMPILER=" TARVEX_CXX_COMPILER,
                                     "-DTARVEX_SANITIZE=OFF", "-DTARVEX_BUILD_TESTS=OFF"};
    args.insert(args.end(), extra.begin(), extra.end());
    return Cmake(args);
  }
  testsupport::ProcessResult Build(const std::string& target) {
    return Cmake({"--build", build_, "--target", target});
  }
  void WriteRecords(const Bytes& plain) {
    testsupport::WriteFile(rec_, std::string(plain.begin(), plain.end()));
  }
  // The records that the scratch build's tarvex uploads, as they arrive.
  Bytes Uploaded(size_t recordCount) {
    testsupport::PtyPair line;
    mctest::FakeTarget target(line, {}, recordCount);
    testsupport::ProcessOptions o;
    o.env = {{"TARVEX_COM1", line.SlavePath()}};
    o.timeoutMs = 30000;
    const auto r = testsupport::RunProcess({build_ + "/tarvex", "fw.bin", "-COM1", "-115200"}, o);
    target.Join();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    return target.Accepted();
  }

  std::string dir_, build_, rec_;
};

TEST_F(ScratchBuild, EmbedsTheNamedFileAndPacksItAgainWhenItChanges) {
  const Bytes first = mctest::Join({mctest::MakeRecord(4, 1), mctest::MakeRecord(21, 2)});
  WriteRecords(first);
  auto r = Configure({"-DTARVEX_MICROCODE=" + rec_});
  ASSERT_EQ(r.status, 0) << r.out;
  r = Build("tarvex");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Uploaded(2), first);

  const Bytes second = mctest::Join(
      {mctest::MakeRecord(300, 3), mctest::MakeRecord(0, 0), mctest::MakeRecord(20, 4)});
  WriteRecords(second);
  r = Build("tarvex");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Uploaded(3), second);

  // A last record that runs past the end stops the build with the file and
  // the record's offset named.
  Bytes cut = second;
  cut.resize(cut.size() - 1);
  WriteRecords(cut);
  r = Build("tarvex");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find(rec_), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("offset 304"), std::string::npos) << r.out;

  WriteRecords({});
  r = Build("tarvex");
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find(rec_), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("empty"), std::string::npos) << r.out;
}

TEST_F(ScratchBuild, AMissingMicrocodeFileStopsTheConfiguration) {
  const std::string missing = dir_ + "/missing.rec";
  const auto r = Configure({"-DTARVEX_MICROCODE=" + missing});
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find(missing), std::string::npos) << r.out;
}

TEST_F(ScratchBuild, ACrossBuildTakesTheNativePacker) {
  WriteRecords(mctest::MakeRecord(17, 5));
  const std::vector<std::string> cross = {"-DCMAKE_SYSTEM_NAME=Linux",
                                          "-DTARVEX_MICROCODE=" + rec_};
  auto r = Configure(cross);
  EXPECT_NE(r.status, 0);
  EXPECT_NE(r.out.find("TARVEX_PACKER"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("tarvex-pack"), std::string::npos) << r.out;

  std::filesystem::remove_all(build_);
  std::vector<std::string> withPacker = cross;
  withPacker.push_back("-DTARVEX_PACKER=" TARVEX_PACK_BIN);
  r = Configure(withPacker);
  ASSERT_EQ(r.status, 0) << r.out;
  r = Build("tarvex_microcode_image");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_FALSE(std::filesystem::exists(build_ + "/tarvex-pack"));
  EXPECT_TRUE(std::filesystem::exists(build_ + "/microcode/generated/microcode_image.cpp"));
}

}  // namespace
