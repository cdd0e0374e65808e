#pragma once
// Helpers for the component tests: a prompt that answers from a script and
// records what it was asked, database files made through the engine, header
// damage, and a fixture that checks nothing stays open.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "components/QELDataSet.h"
#include "components/QELDatabase.h"
#include "components/QELPrompt.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "engine/QELDatabaseList.h"
#include "engine/QELLocalCursor.h"
#include "engine/QELLocalSession.h"
#include "support/FileBytes.h"
#include "support/TestSupport.h"

namespace qel::test {

// Answers from a script, and records every question.
class TScriptedPrompt : public TQELPrompt {
 public:
  TScriptedPrompt() { QELSetPrompt(this); }
  ~TScriptedPrompt() override { QELSetPrompt(nullptr); }

  bool AskPassword(TQELDatabase& /*database*/, const std::string& name, std::string& password) override {
    ++PasswordQuestions;
    AskedNames.push_back(name);
    if (Passwords.empty()) return false;
    password = Passwords.front();
    Passwords.erase(Passwords.begin());
    return true;
  }
  bool Confirm(const std::string& text) override {
    Confirmations.push_back(text);
    return ConfirmAnswer;
  }
  void ShowMessage(TQELMessageKind kind, const std::string& text) override {
    Messages.emplace_back(kind, text);
  }

  // Typed in turn; an empty script cancels.
  std::vector<std::string> Passwords;
  bool ConfirmAnswer = false;
  int PasswordQuestions = 0;
  std::vector<std::string> AskedNames;
  std::vector<std::string> Confirmations;
  std::vector<std::pair<TQELMessageKind, std::string>> Messages;
};

inline std::size_t ListedFiles() { return TQELDatabaseList::Instance().DiskCount(); }

inline TQELSession& DefaultSession() { return TQELSessionList::Instance().DefaultSession(); }

// A database file with table T (ID integer), made through an engine session.
inline void CreateEngineFile(const std::string& fileName, const std::string& password = {}) {
  TQELLocalSession session;
  session.SetDatabaseName("KUVO");
  session.SetDatabaseFileName(fileName);
  session.SetPassword({password, 0});
  session.CreateDatabase();
  session.SetConnected(true);
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  TQELLocalCursor cursor;
  cursor.Session = &session;
  cursor.SetTableName("T");
  cursor.CreateTable(fields, {}, {});
  session.SetConnected(false);
}

// Overwrites `size` bytes of the file's header (which starts the file).
inline void PatchHeader(const std::string& fileName, std::size_t offset, const void* bytes, std::size_t size) {
  std::vector<std::uint8_t> content = ReadFileBytes(fileName);
  ASSERT_GE(content.size(), offset + size);
  std::memcpy(content.data() + offset, bytes, size);
  WriteFileBytes(fileName, content);
}

// As a crash between a commit's two header writes leaves the file.
inline void MarkUnfinishedWrite(const std::string& fileName) {
  const std::uint8_t writing = 1;
  PatchHeader(fileName, 42, &writing, 1);
}

inline void SetFormatVersion(const std::string& fileName, double version) {
  PatchHeader(fileName, 18, &version, sizeof version);
}

inline std::set<std::string> DirectoryEntries(const std::string& path) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

// The message of the exception `action` raises as `E`; "" when none.
template <class E, class F>
std::string MessageOf(F&& action) {
  try {
    action();
  } catch (const E& error) {
    return error.what();
  }
  return {};
}

// Every test leaves no file open and the default session as it found it.
class TComponentTest : public ::testing::Test {
 protected:
  void SetUp() override { FDefaultDatabases = DefaultSession().DatabaseCount(); }
  void TearDown() override {
    EXPECT_EQ(ListedFiles(), 0U);
    EXPECT_EQ(DefaultSession().DatabaseCount(), FDefaultDatabases);
    EXPECT_EQ(TQELSessionList::Instance().Count(), 1U);
  }

  // A database named `name` on `fileName` (the fixture's file unless told).
  std::unique_ptr<TQELDatabase> NewDatabase(const std::string& fileName = {}, const std::string& name = "KUVO") {
    auto database = std::make_unique<TQELDatabase>();
    database->SetDatabaseName(name);
    database->SetDatabaseFileName(fileName.empty() ? FileName : fileName);
    return database;
  }

  TScratchDir Dir;
  std::string FileName = Dir.File("kuvo.qel");

 private:
  std::size_t FDefaultDatabases = 0;
};

// A fixture with the database "KUVO" connected on the fixture's file, which
// holds table T (ID integer).
class TConnectedDatabaseTest : public TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    CreateEngineFile(FileName);
    Database = NewDatabase();
    Database->SetConnected(true);
  }
  void TearDown() override {
    Database.reset();
    TComponentTest::TearDown();
  }

  std::unique_ptr<TQELDatabase> Database;
};

// Opens the named table of its database through a plain engine cursor,
// with the engine's record lock waits or, when asked, short ones.
class TTableDataSet : public TQELDataSet {
 public:
  std::string TableName = "T";
  bool ShortRecordLockWaits = false;

 protected:
  std::unique_ptr<TQELCursor> CreateCursor() override {
    auto cursor = std::make_unique<TQELLocalCursor>();
    cursor->Session = Database()->EngineSession();
    cursor->SetTableName(TableName);
    if (ShortRecordLockWaits) {
      cursor->LockWaits.RecordAttempts = 2;
      cursor->LockWaits.RecordDelayMs = 5;
    }
    cursor->Open({}, {}, {});
    return cursor;
  }
};

}  // namespace qel::test
