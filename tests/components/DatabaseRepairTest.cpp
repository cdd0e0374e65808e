// A file that was not closed cleanly, or is of an old format: who is asked,
// when the repair runs, and what the repair leaves on disk.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/ComponentsSupport.h"
#include "components/QELDatabase.h"
#include "disk/QELRollbackJournal.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

// Records every copy a repair asks for; makes the copy when told to.
class TRepairSpy : public TQELDatabase {
 public:
  enum TMode { rmNoCopy, rmCleanCopy, rmThrow };

  bool CopyDatabase(const std::string& newFileName, std::string& /*errorText*/,
                    const TQELCopyDatabaseOptions& options) override {
    Copies.push_back(newFileName);
    Options = options;
    EXPECT_FALSE(Connected());
    EXPECT_TRUE(PromptsSuppressed());
    if (Mode == rmThrow) throw std::runtime_error("copy failed");
    if (Mode == rmNoCopy) return false;
    // The file as a clean close would have left it.
    std::vector<std::uint8_t> bytes = test::ReadFileBytes(DatabaseFileName());
    bytes[42] = 2;
    test::WriteFileBytes(newFileName, bytes);
    test::WriteFileBytes(TQELRollbackJournal::PathFor(newFileName), {0});
    return true;
  }

  TMode Mode = rmNoCopy;
  std::vector<std::string> Copies;
  TQELCopyDatabaseOptions Options;
};

class DatabaseRepairTest : public test::TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    test::CreateEngineFile(FileName);
    test::MarkUnfinishedWrite(FileName);
    Spy.SetDatabaseName("KUVO");
    Spy.SetDatabaseFileName(FileName);
  }

  // Connected, through no repair.
  void ExpectOpenedUnrepaired() {
    EXPECT_TRUE(Spy.Connected());
    EXPECT_TRUE(Spy.Copies.empty());
    EXPECT_TRUE(Spy.TableExists("T"));
    Spy.Close();
  }

  test::TScriptedPrompt Prompt;
  TRepairSpy Spy;
};

constexpr const char* kRepairQuestion =
    "Database file was not correctly closed last time. Do you want to repair it?";

TEST_F(DatabaseRepairTest, SilentModeOpensTheFileWithoutAskingOrRepairing) {
  int asked = 0;
  Spy.OnNeedRepair = [&](TQELDatabase&, bool& doRepair) {
    ++asked;
    doRepair = true;
  };
  Spy.SetSilentMode(true);
  Spy.Open();
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(Prompt.Confirmations.empty());
  ExpectOpenedUnrepaired();
}

TEST_F(DatabaseRepairTest, ANoFromOnNeedRepairOrThePromptOpensTheFileUnrepaired) {
  int asked = 0;
  Spy.OnNeedRepair = [&](TQELDatabase& sender, bool& doRepair) {
    EXPECT_EQ(&sender, &Spy);
    EXPECT_FALSE(doRepair);
    ++asked;
  };
  Spy.Open();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(Prompt.Confirmations.empty());  // the event stands in for it
  ExpectOpenedUnrepaired();

  Spy.OnNeedRepair = nullptr;
  Spy.Open();
  EXPECT_EQ(Prompt.Confirmations, (std::vector<std::string>{kRepairQuestion}));
  ExpectOpenedUnrepaired();
}

TEST_F(DatabaseRepairTest, AFileOpenedReadOnlyIsNeverOfferedARepairAndStaysAsItIs) {
  int asked = 0;
  Spy.OnNeedRepair = [&](TQELDatabase&, bool& doRepair) {
    ++asked;
    doRepair = true;
  };
  Prompt.ConfirmAnswer = true;
  const auto before = test::ReadFileBytes(FileName);
  Spy.SetReadOnly(true);
  Spy.Open();
  EXPECT_TRUE(Spy.ReadOnly());
  EXPECT_EQ(asked, 0);
  ExpectOpenedUnrepaired();

  // Nor when the old format would call for a conversion.
  test::SetFormatVersion(FileName, 2.5);
  Spy.SetReadOnly(true);
  Spy.Open();
  EXPECT_TRUE(Prompt.Messages.empty());
  ExpectOpenedUnrepaired();
  test::SetFormatVersion(FileName, 5.06);
  EXPECT_EQ(test::ReadFileBytes(FileName), before);
}

TEST_F(DatabaseRepairTest, AYesReachesTheRepairWhichLeavesTheFileWhenNothingWasCopied) {
  Prompt.ConfirmAnswer = true;
  Spy.Open();
  ASSERT_EQ(Spy.Copies, (std::vector<std::string>{FileName + ".tmp"}));
  EXPECT_TRUE(Spy.Options.RepairMode);
  EXPECT_EQ(Spy.Options.PageSize, 4096);
  EXPECT_EQ(Spy.Options.PageCountInExtent, 8);
  EXPECT_EQ(Spy.Options.MaxConnections, 500);
  EXPECT_FALSE(Spy.PromptsSuppressed());
  // The copy failed without saying why: that is reported, and the file is
  // opened as it was.
  ASSERT_EQ(Prompt.Messages.size(), 1U);
  EXPECT_EQ(Prompt.Messages[0].first, mkWarning);
  EXPECT_EQ(Prompt.Messages[0].second, "Unknown error");
  EXPECT_FALSE(std::filesystem::exists(FileName + ".tmp"));
  EXPECT_TRUE(Spy.Connected());
  Spy.Copies.clear();
  ExpectOpenedUnrepaired();
}

TEST_F(DatabaseRepairTest, AnOldFormatIsAnnouncedAndConvertedWithoutAQuestion) {
  test::SetFormatVersion(FileName, 2.5);
  Spy.Open();
  ASSERT_EQ(Prompt.Messages.size(), 2U);
  EXPECT_EQ(Prompt.Messages[0].first, mkInformation);
  EXPECT_EQ(Prompt.Messages[0].second,
            "Database file you are opening is of old format. It will be converted to the current Qelmonte "
            "Database format now. It is recommended to make a backup of the database before continuing.");
  EXPECT_TRUE(Prompt.Confirmations.empty());
  EXPECT_EQ(Spy.Copies.size(), 1U);
  Spy.Close();
}

TEST_F(DatabaseRepairTest, ASuccessfulCopyReplacesTheFileAndItsJournal) {
  Spy.Mode = TRepairSpy::rmCleanCopy;
  Prompt.ConfirmAnswer = true;
  // A cleared journal, as a writer that stopped between commits leaves it.
  const std::string journal = TQELRollbackJournal::PathFor(FileName);
  test::WriteFileBytes(journal, {0});
  Spy.Open();
  EXPECT_EQ(Spy.Copies.size(), 1U);
  EXPECT_TRUE(Prompt.Messages.empty());
  // The old file's journal went with it: rolled back, it would overwrite
  // the copy.
  EXPECT_FALSE(std::filesystem::exists(journal));
  EXPECT_TRUE(Spy.TableExists("T"));
  Spy.Close();
  EXPECT_FALSE(std::filesystem::exists(FileName + ".tmp"));
  EXPECT_FALSE(std::filesystem::exists(TQELRollbackJournal::PathFor(FileName + ".tmp")));

  // The file is clean now: nobody is asked again.
  Prompt.Confirmations.clear();
  Spy.Open();
  EXPECT_TRUE(Prompt.Confirmations.empty());
  Spy.Close();
}

TEST_F(DatabaseRepairTest, AFailingRepairIsReportedAsTheConversionErrorAndLeavesItClosed) {
  Spy.Mode = TRepairSpy::rmThrow;
  Prompt.ConfirmAnswer = true;
  EXPECT_EQ(test::NativeErrorOf([&] { Spy.Open(); }), 20238);
  EXPECT_FALSE(Spy.Connected());
  EXPECT_EQ(Spy.EngineSession(), nullptr);
  EXPECT_FALSE(Spy.PromptsSuppressed());
  EXPECT_TRUE(std::filesystem::exists(FileName));
  EXPECT_FALSE(std::filesystem::exists(FileName + ".tmp"));
}

}  // namespace
}  // namespace qel
