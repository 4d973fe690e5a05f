// The dump file of a read: a new file beside the data file that takes its
// place only when complete.
#include "flash/dump_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "tests/support/process.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;

class DumpFileTest : public ::testing::Test {
 protected:
  void TearDown() override { fs::remove_all(dir); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  size_t Entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir), {})); }
  std::string dir = testsupport::MakeTempDir();
};

const uint8_t kData[] = {1, 2, 3, 4, 5};

TEST_F(DumpFileTest, CommitReplacesTheOldFileAndKeepsItsPermissions) {
  WriteFile(Path("dump.bin"), "old content");
  chmod(Path("dump.bin").c_str(), 0640);
  DumpFile dump;
  ASSERT_TRUE(CreateDumpFile(Path("dump.bin"), dump).ok);
  EXPECT_FALSE(dump.tempPath.empty());
  ASSERT_TRUE(WriteDump(dump, kData, sizeof kData).ok);
  EXPECT_EQ(ReadFile(Path("dump.bin")), "old content");  // untouched until the commit
  ASSERT_TRUE(CommitDump(dump).ok);
  EXPECT_EQ(ReadFile(Path("dump.bin")), std::string("\1\2\3\4\5"));
  EXPECT_EQ(fs::status(Path("dump.bin")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(DumpFileTest, DiscardLeavesTheOldFileOrNone) {
  WriteFile(Path("dump.bin"), "old content");
  DumpFile dump;
  ASSERT_TRUE(CreateDumpFile(Path("dump.bin"), dump).ok);
  ASSERT_TRUE(WriteDump(dump, kData, sizeof kData).ok);
  DiscardDump(dump);
  EXPECT_EQ(ReadFile(Path("dump.bin")), "old content");
  EXPECT_EQ(Entries(), 1u);

  DumpFile fresh;
  ASSERT_TRUE(CreateDumpFile(Path("new.bin"), fresh).ok);
  DiscardDump(fresh);
  EXPECT_FALSE(fs::exists(Path("new.bin")));
  EXPECT_EQ(Entries(), 1u);
}

TEST_F(DumpFileTest, SymlinkKeepsPointingAtTheNewContent) {
  fs::create_directory(Path("real"));
  WriteFile(Path("real/dump.bin"), "old");
  fs::create_symlink("real/dump.bin", Path("link.bin"));
  DumpFile dump;
  ASSERT_TRUE(CreateDumpFile(Path("link.bin"), dump).ok);
  ASSERT_TRUE(WriteDump(dump, kData, sizeof kData).ok);
  ASSERT_TRUE(CommitDump(dump).ok);
  EXPECT_TRUE(fs::is_symlink(Path("link.bin")));
  EXPECT_EQ(ReadFile(Path("real/dump.bin")), std::string("\1\2\3\4\5"));
}

TEST_F(DumpFileTest, FolderIsRefusedWithItsName) {
  const FileResult r = [&] {
    DumpFile dump;
    return CreateDumpFile(dir, dump);
  }();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "cannot write " + dir + ": Is a directory");
}

TEST_F(DumpFileTest, DeviceIsWrittenDirectly) {
  DumpFile dump;
  ASSERT_TRUE(CreateDumpFile("/dev/null", dump).ok);
  EXPECT_TRUE(dump.tempPath.empty());
  ASSERT_TRUE(WriteDump(dump, kData, sizeof kData).ok);
  EXPECT_TRUE(CommitDump(dump).ok);
}

TEST_F(DumpFileTest, FullDeviceFailsTheWrite) {
  DumpFile dump;
  ASSERT_TRUE(CreateDumpFile("/dev/full", dump).ok);
  std::vector<uint8_t> block(8192, 0);
  FileResult w = WriteDump(dump, block.data(), block.size());
  FileResult c = CommitDump(dump);
  EXPECT_FALSE(w.ok && c.ok);
  EXPECT_NE((w.ok ? c.error : w.error).find("No space left on device"), std::string::npos);
}

}  // namespace
