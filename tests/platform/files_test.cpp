#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"

namespace quillon {
namespace {

TEST(FilesTest, ListsMatchingFilesInNameOrderIgnoringCase) {
  testing::TempDir dir;
  for (const char* name : {"b.INI", "a.ini", "C.Ini", "notes.txt", "ini", "x.ini.bak"}) dir.Write(name, "");
  std::filesystem::create_directory(dir.path() / "dir.ini");
  EXPECT_EQ(ListFilesWithExtension(dir.path(), ".INI"), (std::vector<std::string>{"C.Ini", "a.ini", "b.INI"}));
  EXPECT_TRUE(ListFilesWithExtension(dir.path() / "missing", ".ini").empty());
}

TEST(FilesTest, ProgramDirFollowsQuillonHome) {
  testing::TempDir dir;
  testing::ScopedEnv home("QUILLON_HOME", dir.path().string());
  EXPECT_EQ(ProgramDir(), dir.path());
  EXPECT_EQ(ConfigDir(), dir.path());
}

TEST(FilesTest, ProgramDirDefaultsToTheExecutablesDirectory) {
  testing::ScopedEnv home("QUILLON_HOME", "");
  EXPECT_TRUE(std::filesystem::exists(ProgramDir() / "platform_tests"));
  EXPECT_EQ(ConfigDir(), ProgramDir()) << "a build tree is no installation";
}

// An installed program reads from /etc/quillon and writes to /var/lib/quillon,
// never beside its binary; anywhere else it keeps to its own directory.
TEST(FilesTest, InstalledLayoutOnlyForSystemBinDirectories) {
  const InstalledDirs fhs{"/etc/quillon", "/var/lib/quillon"};
  const struct {
    const char* dir;
    bool installed;
  } cases[] = {
      {"/usr/bin", true},       {"/usr/bin/", true},          {"/bin", true},
      {"/usr/local/bin", true}, {"/usr/lib/../bin", true},    {"/opt/quillon/bin", false},
      {"/tmp/x/usr/bin", false}, {"/home/op/build/bin", false}, {"", false},
  };
  for (const auto& c : cases) {
    const auto layout = InstalledLayout(c.dir);
    EXPECT_EQ(layout.has_value(), c.installed) << c.dir;
    if (layout) {
      EXPECT_EQ(*layout, fhs) << c.dir;
    }
  }
}

TEST(FilesTest, MakeWritableIfReadOnly) {
  testing::TempDir dir;
  auto file = dir.Write("config.ini", "x");
  std::filesystem::permissions(file, std::filesystem::perms::owner_read);
  EXPECT_TRUE(MakeWritableIfReadOnly(file));
  EXPECT_FALSE(MakeWritableIfReadOnly(dir.path() / "missing.ini"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing.ini"));
}

TEST(FilesTest, ReadWholeFile) {
  testing::TempDir dir;
  std::string bytes("a\0b\xff", 4);
  auto file = dir.Write("image.rfw", bytes);
  auto read = ReadWholeFile(file);
  ASSERT_TRUE(read);
  EXPECT_EQ(std::string(read->begin(), read->end()), bytes);
  EXPECT_FALSE(ReadWholeFile(dir.path() / "missing"));
  EXPECT_FALSE(ReadWholeFile(dir.path())) << "a directory is no file, and no exception either";
}

// Paths an operator or a script may hand over by mistake: each is "cannot be
// read", never an exception and never a read that waits for a writer.
TEST(FilesTest, ReadWholeFileRefusesWhatIsNotARegularFile) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.path() / "folder.rfw");
  ASSERT_EQ(::mkfifo((dir.path() / "pipe.rfw").c_str(), 0600), 0);
  EXPECT_FALSE(ReadWholeFile(dir.path() / "folder.rfw"));
  EXPECT_FALSE(ReadWholeFile(dir.path() / "pipe.rfw"));
  EXPECT_FALSE(ReadWholeFile("/dev/null"));
  auto empty = ReadWholeFile(dir.Write("empty.rfw", ""));
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());
}

// A file that must survive a power cut: written whole or not at all, and a
// full disk (a temporary file on /dev/full) leaves the old file as it was.
TEST(FilesTest, WriteFileDurably) {
  testing::TempDir dir;
  const auto path = dir.path() / "copy.bin";
  const std::vector<std::uint8_t> first = {1, 2, 3};
  const std::vector<std::uint8_t> second = {9, 8};
  EXPECT_EQ(WriteFileDurably(path, first), "");
  EXPECT_EQ(ReadWholeFile(path), first);
  EXPECT_EQ(WriteFileDurably(path, second), "");
  EXPECT_EQ(ReadWholeFile(path), second);
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "copy.bin.new"));

  std::filesystem::create_symlink("/dev/full", dir.path() / "copy.bin.new");
  EXPECT_EQ(WriteFileDurably(path, first), "No space left on device");
  EXPECT_EQ(ReadWholeFile(path), second);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(dir.path() / "copy.bin.new")));

  EXPECT_EQ(WriteFileDurably(dir.path() / "missing" / "copy.bin", first), "No such file or directory");
}

}  // namespace
}  // namespace quillon
