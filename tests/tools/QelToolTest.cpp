// The qel tool: its options, and its commands' reports and exit statuses.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

#include "QelCommands.h"
#include "QelOptions.h"
#include "disk/DiskTestSupport.h"
#include "disk/TableFileSupport.h"
#include "platform/QELException.h"
#include "pagecache/QELPageHeader.h"
#include "pagecache/QELPageType.h"
#include "platform/QELFaultInjection.h"
#include "support/FileBytes.h"
#include "support/TestSupport.h"

namespace qel::tool {
namespace {

TEST(QelOptionsTest, ParsesCommandsAndRejectsBadUsage) {
  std::string error;
  const auto create = ParseOptions({"create", "a.qel", "--password", "p", "--cipher", "Square",
                                    "--page-size", "8192", "--extent", "16"},
                                   error);
  ASSERT_TRUE(create.has_value()) << error;
  EXPECT_EQ(create->Command, "create");
  EXPECT_EQ(create->File, "a.qel");
  EXPECT_EQ(create->Password, "p");
  EXPECT_EQ(create->Cipher, "Square");
  EXPECT_EQ(create->PageSize, 8192);
  EXPECT_EQ(create->Extent, 16);
  EXPECT_EQ(ParseOptions({"info", "--help"}, error)->Command, "help");
  // sql alone takes statements after its FILE.
  const auto sql = ParseOptions({"sql", "a.qel", "select 1", "--password", "p", ".tables"}, error);
  ASSERT_TRUE(sql.has_value()) << error;
  EXPECT_EQ(sql->File, "a.qel");
  EXPECT_EQ(sql->Sql, (std::vector<std::string>{"select 1", ".tables"}));

  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate", "a.qel"},
      {"info"},
      {"info", "a.qel", "b.qel"},
      {"recover"},
      {"repair"},
      {"sql"},
      {"create", "a.qel", "--cipher", "Rot13"},
      {"create", "a.qel", "--page-size", "70000"},
      {"create", "a.qel", "--page-size", "12x"},
      {"create", "a.qel", "--extent"},
      {"create", "a.qel", "--colour", "red"},
  };
  for (const auto& args : bad) {
    error.clear();
    EXPECT_FALSE(ParseOptions(args, error).has_value()) << (args.empty() ? "" : args[0]);
    EXPECT_FALSE(error.empty());
  }
}

TEST(QelCommandsTest, CreateInfoAndCheckAFile) {
  test::TScratchDir dir;
  std::string error;
  const std::string path = dir.File("t.qel");
  std::ostringstream out;
  ASSERT_EQ(CreateCommand(*ParseOptions({"create", path, "--password", "pw", "--cipher", "Blowfish",
                                         "--page-size", "2048"},
                                        error),
                          out),
            0);
  out.str("");
  ASSERT_EQ(InfoCommand(*ParseOptions({"info", path, "--password", "pw"}, error), out), 0);
  EXPECT_NE(out.str().find("Blowfish"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("2048"), std::string::npos);
  out.str("");
  EXPECT_EQ(CheckCommand(*ParseOptions({"check", path, "--password", "pw"}, error), out), 0);
  EXPECT_NE(out.str().find("0 faults"), std::string::npos) << out.str();
  // A wrong password is the engine's error, with its code.
  try {
    CheckCommand(*ParseOptions({"check", path, "--password", "no"}, error), out);
    FAIL();
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30445);
  }
}

TEST(QelCommandsTest, InfoAndCheckReportTablesWithoutChangingTheFile) {
  test::TScratchDir dir;
  const std::string path = dir.File("t.qel");
  { test::TOpenTable create(path, "pw", 30); }
  const std::vector<std::uint8_t> before = test::ReadFileBytes(path);
  std::string error;
  std::ostringstream out;
  ASSERT_EQ(InfoCommand(*ParseOptions({"info", path, "--password", "pw"}, error), out), 0);
  const std::string info = out.str();
  for (const char* part : {"table T\n", "table U\n", "NAME DESC NOCASE", "  unique", "compression ZLIB",
                           "records         30\n", "record pages    2\n"}) {
    EXPECT_NE(info.find(part), std::string::npos) << part << " in\n" << info;
  }
  out.str("");
  EXPECT_EQ(CheckCommand(*ParseOptions({"check", path, "--password", "pw"}, error), out), 0) << out.str();
  EXPECT_NE(out.str().find("2 tables checked, 0 faults"), std::string::npos) << out.str();
  EXPECT_EQ(test::ReadFileBytes(path), before);

  // One record page's count in the record pages index goes wrong.
  {
    test::TOpenTable t(path, "pw");
    std::int32_t pageNo = -1;
    t.Records().PagesIndex().FirstPage(t.Session(), pageNo);
    t.Records().PagesIndex().RemoveFromPage(t.Session(), 0, 1, pageNo);
    t.Commit();
  }
  out.str("");
  EXPECT_EQ(CheckCommand(*ParseOptions({"check", path, "--password", "pw"}, error), out), 1);
  EXPECT_NE(out.str().find("table T, page "), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("2 faults"), std::string::npos) << out.str();
}

// A process that dies in a commit leaves the journal hot: the read-only
// commands refuse the file rather than read half-written pages, recover
// rolls the change back, and the file then checks clean with the commits
// before it.
TEST(QelCommandsTest, RecoverRollsBackAChangeThatCheckRefuses) {
  test::TScratchDir dir;
  const std::string path = dir.File("t.qel");
  { test::TOpenTable create(path, "", 3); }
  {
    // Declared first, so that it outlives the table's closing writes.
    TQELFaultInjector injector;
    test::ScopeToDatabase(injector, path);
    test::TOpenTable table(path, "");
    // The commit's journal is written, then the process "dies": its header
    // write and everything after are lost.
    injector.CrashAtWrite(3, cmDropWrites);
    table.Insert(100);
  }
  std::string error;
  std::ostringstream out;
  try {
    CheckCommand(*ParseOptions({"check", path}, error), out);
    FAIL() << "a hot journal was not noticed";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 20303);
    EXPECT_NE(std::string(e.what()).find(path + "-journal"), std::string::npos) << e.what();
  }
  EXPECT_EQ(RecoverCommand(*ParseOptions({"recover", path}, error), out), 0);
  EXPECT_NE(out.str().find("rolled back an unfinished change"), std::string::npos) << out.str();
  out.str("");
  EXPECT_EQ(CheckCommand(*ParseOptions({"check", path}, error), out), 0) << out.str();
  EXPECT_NE(out.str().find("0 faults"), std::string::npos) << out.str();
  EXPECT_EQ(test::TOpenTable(path, "").Records().RecordCount(), 3);
  out.str("");
  EXPECT_EQ(RecoverCommand(*ParseOptions({"recover", path}, error), out), 0);
  EXPECT_NE(out.str().find("no unfinished change"), std::string::npos) << out.str();
}

// repair: a file that was not closed cleanly comes back clean and whole;
// one whose record pages are damaged loses what they held, says so, and the
// original stays beside it.
TEST(QelCommandsTest, RepairReportsWhatItSavedAndKeepsTheOriginalWhenItLostRecords) {
  test::TScratchDir dir;
  const std::string path = dir.File("t.qel");
  { test::TOpenTable create(path, "pw", 200); }
  std::vector<std::uint8_t> bytes = test::ReadFileBytes(path);
  bytes[42] = 1;  // the write state of a commit cut short
  test::WriteFileBytes(path, bytes);
  std::string error;
  std::ostringstream out;
  const TOptions options = *ParseOptions({"repair", path, "--password", "pw"}, error);
  EXPECT_EQ(RepairCommand(options, out), 0) << out.str();
  EXPECT_EQ(out.str(), "saved 2 tables: U, T\n" + path + " was replaced by the repaired file\n");
  out.str("");
  EXPECT_EQ(CheckCommand(*ParseOptions({"check", path, "--password", "pw"}, error), out), 0) << out.str();
  EXPECT_EQ(test::TOpenTable(path, "pw").Records().RecordCount(), 200);
  EXPECT_FALSE(std::filesystem::exists(path + ".bak"));

  // Every record page after the first fails its CRC.
  bytes = test::ReadFileBytes(path);
  std::uint16_t pageSize = 0;
  std::memcpy(&pageSize, bytes.data() + 26, sizeof pageSize);
  int damaged = 0;
  for (std::size_t at = 380; at + pageSize <= bytes.size(); at += pageSize) {
    if (page_header::PageType(bytes.data() + at) != ptTableRecord) continue;
    if (damaged++ > 0) bytes[at + 100] ^= 0xFF;
  }
  ASSERT_GT(damaged, 2);
  test::WriteFileBytes(path, bytes);
  out.str("");
  EXPECT_EQ(RepairCommand(options, out), 1);
  const std::string report = out.str();
  EXPECT_EQ(report.rfind("saved 1 table: U\ncould not save 1 table whole:\n  T: ", 0), 0U) << report;
  EXPECT_NE(report.find("the original file is kept as " + path + ".bak\n"), std::string::npos) << report;
  EXPECT_EQ(test::ReadFileBytes(path + ".bak"), bytes);
  out.str("");
  EXPECT_EQ(CheckCommand(*ParseOptions({"check", path, "--password", "pw"}, error), out), 0) << out.str();
}

}  // namespace
}  // namespace qel::tool
