#include "platform/QELFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace qel {
namespace {

using test::TScopedEnv;
using test::TScratchDir;

class TQELFileTest : public ::testing::Test {
 protected:
  // A file holding `content`, written through a handle of its own.
  std::string MakeFile(const std::string& name, const std::string& content) {
    const std::string path = FDir.File(name);
    TQELFile file;
    EXPECT_TRUE(file.Create(path, fsReadWrite)) << file.LastErrorText();
    EXPECT_TRUE(file.WriteAt(content.data(), 0, content.size())) << file.LastErrorText();
    return path;
  }

  static std::string ReadAll(TQELFile& file, std::int64_t position, std::size_t count) {
    std::string data(count, '?');
    std::size_t bytesRead = 0;
    EXPECT_TRUE(file.ReadAt(data.data(), position, count, bytesRead)) << file.LastErrorText();
    data.resize(bytesRead);
    return data;
  }

  TScratchDir FDir;
};

TEST_F(TQELFileTest, ReadsBackWhatItWroteBeyondFourGiB) {
  TQELFile file;
  ASSERT_TRUE(file.Create(FDir.File("big"), fsNone)) << file.LastErrorText();
  const std::int64_t position = (std::int64_t{5} << 30) + 3;  // above every 32-bit offset
  const std::string data = "page beyond 4 GiB";
  ASSERT_TRUE(file.WriteAt(data.data(), position, data.size())) << file.LastErrorText();

  EXPECT_EQ(ReadAll(file, position, data.size()), data);
  // The low 32 bits of the offset alone would land here.
  EXPECT_EQ(ReadAll(file, (std::int64_t{1} << 30) + 3, data.size()), std::string(data.size(), '\0'));
  std::int64_t size = 0;
  ASSERT_TRUE(file.GetSize(size));
  EXPECT_EQ(size, position + static_cast<std::int64_t>(data.size()));
}

// A gathered write puts its parts one after the other, also with more
// parts than one system call takes, parts of no bytes, and a read-only
// handle refusing it.
TEST_F(TQELFileTest, GatheredWriteLaysItsPartsEndToEnd) {
  TQELFile file;
  ASSERT_TRUE(file.Create(FDir.File("gather"), fsReadWrite)) << file.LastErrorText();
  std::vector<std::string> texts;
  std::string expected;
  for (int i = 0; i < 150; ++i) {
    texts.push_back(i % 7 == 3 ? std::string() : std::string(static_cast<std::size_t>(1 + i % 13), static_cast<char>('a' + i % 26)));
    expected += texts.back();
  }
  std::vector<TQELWritePart> parts;
  for (const std::string& text : texts) parts.push_back({text.data(), text.size()});
  ASSERT_TRUE(file.WriteGatherAt(parts.data(), parts.size(), 5)) << file.LastErrorText();
  EXPECT_EQ(ReadAll(file, 0, expected.size() + 10), std::string(5, '\0') + expected);
  EXPECT_TRUE(file.WriteGatherAt(parts.data(), 0, 0));

  TQELFile reader;
  ASSERT_TRUE(reader.Open(FDir.File("gather"), faRead, fsReadWrite));
  EXPECT_FALSE(reader.WriteGatherAt(parts.data(), parts.size(), 0));
}

TEST_F(TQELFileTest, ShortReadAtEndOfFileSucceedsWithTheBytesRead) {
  TQELFile file;
  ASSERT_TRUE(file.Open(MakeFile("ten", "0123456789"), faRead, fsReadWrite));
  EXPECT_EQ(ReadAll(file, 4, 16), "456789");
  EXPECT_EQ(ReadAll(file, 10, 4), "");
  EXPECT_EQ(ReadAll(file, 1000, 4), "");
}

TEST_F(TQELFileTest, SequentialAccessFollowsTheFilePointer) {
  TQELFile file;
  ASSERT_TRUE(file.Create(FDir.File("seq"), fsNone));
  ASSERT_TRUE(file.Write("abc", 3));
  ASSERT_TRUE(file.Write("def", 3));
  EXPECT_EQ(file.Position(), 6);

  ASSERT_TRUE(file.Seek(2));
  char buffer[8] = {};
  std::size_t bytesRead = 0;
  ASSERT_TRUE(file.Read(buffer, 3, bytesRead));
  EXPECT_EQ(std::string(buffer, bytesRead), "cde");
  EXPECT_EQ(file.Position(), 5);
  ASSERT_TRUE(file.Read(buffer, 8, bytesRead));
  EXPECT_EQ(std::string(buffer, bytesRead), "f");
  EXPECT_EQ(file.Position(), 6);  // advanced by what was read, not by what was asked
}

TEST_F(TQELFileTest, SetSizeShrinksAndGrowsWithZeros) {
  TQELFile file;
  ASSERT_TRUE(file.Create(FDir.File("resize"), fsNone));
  const std::string data(100, 'x');
  ASSERT_TRUE(file.WriteAt(data.data(), 0, data.size()));

  ASSERT_TRUE(file.SetSize(10)) << file.LastErrorText();
  std::int64_t size = 0;
  ASSERT_TRUE(file.GetSize(size));
  EXPECT_EQ(size, 10);

  ASSERT_TRUE(file.SetSize(50));
  ASSERT_TRUE(file.GetSize(size));
  EXPECT_EQ(size, 50);
  EXPECT_EQ(ReadAll(file, 0, 100), std::string(10, 'x') + std::string(40, '\0'));
}

TEST_F(TQELFileTest, CreateEmptiesAnExistingFile) {
  const std::string path = MakeFile("existing", "old content");
  TQELFile file;
  ASSERT_TRUE(file.Create(path, fsNone));
  std::int64_t size = -1;
  ASSERT_TRUE(file.GetSize(size));
  EXPECT_EQ(size, 0);
}

TEST_F(TQELFileTest, ReadOnlyHandleRefusesChangesButReads) {
  TQELFile file;
  ASSERT_TRUE(file.Open(MakeFile("ro", "data"), faRead, fsReadWrite));
  EXPECT_FALSE(file.WriteAt("x", 0, 1));
  EXPECT_EQ(file.LastError(), EBADF);
  EXPECT_FALSE(file.SetSize(0));
  EXPECT_EQ(ReadAll(file, 0, 4), "data");
  EXPECT_EQ(file.LastError(), 0);  // a success clears the previous failure
}

TEST_F(TQELFileTest, FailuresReportTheirCause) {
  TQELFile file;
  EXPECT_FALSE(file.Open(FDir.File("missing"), faRead, fsReadWrite));
  EXPECT_EQ(file.LastError(), ENOENT);
  EXPECT_FALSE(file.LastErrorText().empty());
  EXPECT_FALSE(file.Open(FDir.Path(), faRead, fsReadWrite));
  EXPECT_EQ(file.LastError(), EISDIR);

  // Every operation on a closed handle fails the same way.
  char buffer[1];
  std::size_t bytesRead = 0;
  std::int64_t size = 0;
  const std::pair<const char*, bool> closed[] = {
      {"ReadAt", file.ReadAt(buffer, 0, 1, bytesRead)},
      {"WriteAt", file.WriteAt(buffer, 0, 1)},
      {"GetSize", file.GetSize(size)},
      {"SetSize", file.SetSize(0)},
      {"Flush", file.Flush()},
      {"Lock", file.Lock(0, 1)},
  };
  for (const auto& [name, result] : closed) EXPECT_FALSE(result) << name;
  EXPECT_EQ(file.LastError(), EBADF);
}

TEST_F(TQELFileTest, DeleteOnCloseRemovesTheFileWhenClosed) {
  const std::string path = FDir.File("scratch");
  TQELFile file;
  ASSERT_TRUE(file.Create(path, fsNone, true));
  EXPECT_TRUE(QELFileExists(path));  // visible by name while open
  ASSERT_TRUE(file.Close());
  EXPECT_FALSE(QELFileExists(path));
}

TEST_F(TQELFileTest, DeleteOnCloseSparesAnotherFileThatTookTheName) {
  const std::string path = FDir.File("scratch");
  TQELFile file;
  ASSERT_TRUE(file.Create(path, fsReadWrite, true));
  ASSERT_EQ(std::rename(path.c_str(), FDir.File("moved").c_str()), 0);
  MakeFile("scratch", "someone else's");
  ASSERT_TRUE(file.Close());
  EXPECT_TRUE(QELFileExists(path));
}

TEST_F(TQELFileTest, TemporaryFileLivesOnlyInItsHandle) {
  const TScopedEnv tmpdir("TMPDIR", FDir.Path());
  TQELFile file;
  ASSERT_TRUE(file.CreateTemporary()) << file.LastErrorText();
  EXPECT_EQ(file.FileName().rfind(FDir.Path() + "/QEL", 0), 0u) << file.FileName();
  EXPECT_TRUE(std::filesystem::is_empty(FDir.Path()));  // no name to leave behind

  const std::string link = "/proc/self/fd/" + std::to_string(file.Handle());
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), file.FileName() + " (deleted)");
  ASSERT_TRUE(file.WriteAt("temp", 0, 4));
  EXPECT_EQ(ReadAll(file, 0, 4), "temp");

  ASSERT_TRUE(file.Close());
  std::error_code error;
  EXPECT_NE(std::filesystem::read_symlink(link, error).string(), file.FileName() + " (deleted)");
  EXPECT_TRUE(std::filesystem::is_empty(FDir.Path()));
}

TEST_F(TQELFileTest, ReadOnlyAttributeFollowsTheWriteBits) {
  const std::string path = MakeFile("attr", "x");
  ASSERT_EQ(::chmod(path.c_str(), 0664), 0);
  EXPECT_FALSE(QELFileHasReadOnlyAttribute(path));

  ASSERT_TRUE(QELSetReadOnlyAttribute(path, true));
  EXPECT_TRUE(QELFileHasReadOnlyAttribute(path));
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0444u);

  ASSERT_TRUE(QELSetReadOnlyAttribute(path, false));
  EXPECT_FALSE(QELFileHasReadOnlyAttribute(path));
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0644u);

  EXPECT_FALSE(QELFileHasReadOnlyAttribute(FDir.File("missing")));
  EXPECT_FALSE(QELSetReadOnlyAttribute(FDir.File("missing"), true));
}

TEST_F(TQELFileTest, ExistsAndDelete) {
  const std::string path = MakeFile("doomed", "x");
  EXPECT_TRUE(QELFileExists(path));
  EXPECT_FALSE(QELFileExists(FDir.Path()));  // a directory is not a file
  EXPECT_TRUE(QELDeleteFile(path));
  EXPECT_FALSE(QELFileExists(path));
  EXPECT_FALSE(QELDeleteFile(path));
}

TEST(QELTemporaryDirectoryTest, UsesTmpdirElseTmp) {
  const struct {
    std::optional<std::string> Tmpdir;
    const char* Expected;
  } cases[] = {
      {"/var/scratch", "/var/scratch"},
      {"/var/scratch//", "/var/scratch"},
      {"/", "/"},
      {"", "/tmp"},
      {std::nullopt, "/tmp"},
  };
  for (const auto& c : cases) {
    const TScopedEnv tmpdir("TMPDIR", c.Tmpdir);
    EXPECT_EQ(QELTemporaryDirectory(), c.Expected) << c.Tmpdir.value_or("(unset)");
  }
}

}  // namespace
}  // namespace qel
