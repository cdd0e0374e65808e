#pragma once
// A glossary-like table (ID unique, TERM indexed case-insensitively, DESCR
// memo) reached through an engine session and cursor, with the record
// buffers a dataset would hold, for tests of the engine cursor.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#include "engine/QELLocalEngine.h"
#include "streams/QELCompression.h"
#include "support/TestSupport.h"

namespace qel::test {

inline constexpr std::int32_t kCursorId = 0;
inline constexpr std::int32_t kCursorTerm = 1;
inline constexpr std::int32_t kCursorDescr = 2;

inline TQELFieldDefs GlossaryFields() {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0);
  fields.Add("TERM", aftString, 40);
  TQELFieldDef& memo = fields.Add("DESCR", aftMemo, 0);
  memo.BlobCompressionAlgorithm = cmZLIB;
  memo.BlobCompressionMode = 6;
  return fields;
}

inline TQELIndexDefs GlossaryIndexes() {
  TQELIndexDefs indexes;
  TQELIndexDef& byID = indexes.Add();
  byID.SetName("BY_ID");
  byID.AddColumn("ID");
  byID.Unique = true;
  TQELIndexDef& byTerm = indexes.Add();
  byTerm.SetName("BY_TERM");
  byTerm.AddColumn("TERM", false, true);
  return indexes;
}

inline std::unique_ptr<TQELLocalSession> OpenSession(const std::string& databaseName,
                                                     const std::string& fileName,
                                                     bool multiUser = false) {
  auto session = std::make_unique<TQELLocalSession>();
  session->SetDatabaseName(databaseName);
  session->SetDatabaseFileName(fileName);
  session->SetMultiUser(multiUser);
  return session;
}

// One cursor with its record buffer and the copy taken when editing began.
class TCursorOn {
 public:
  explicit TCursorOn(TQELLocalSession& session, const std::string& table = "GLOSARIUM") {
    Cursor.Session = &session;
    Cursor.SetTableName(table);
  }
  ~TCursorOn() {
    try {
      Free();
      Cursor.Close();
    } catch (...) {
    }
  }
  TCursorOn(const TCursorOn&) = delete;
  TCursorOn& operator=(const TCursorOn&) = delete;

  void Create() { Cursor.CreateTable(GlossaryFields(), GlossaryIndexes(), {}); }
  void Open() {
    Cursor.Open({}, {}, {});
    Buffer = Cursor.AllocRecordBuffer();
    Old = Cursor.AllocRecordBuffer();
    Cursor.RecordBuffer = Buffer;
  }
  void Free() {
    if (Buffer != nullptr) Cursor.FreeRecordBuffer(Buffer);
    if (Old != nullptr) Cursor.FreeRecordBuffer(Old);
  }

  void SetTerm(const std::string& term) {
    std::string slot = term;
    slot.resize(41, '\0');
    Cursor.SetFieldData(kCursorTerm, slot.data(), Buffer);
  }
  void WriteMemo(const std::string& text, bool isInsert) {
    TQELLocalBLOBStream* stream = Cursor.OpenBlob(isInsert, !isInsert, false, bmWrite, kCursorDescr);
    if (!text.empty()) stream->Write(text.data(), static_cast<std::int64_t>(text.size()));
    Cursor.CloseBlob(kCursorDescr);
  }
  // Inserts one record; answers the cursor's status.
  std::int32_t Insert(std::int32_t id, const std::string& term, const std::string& memo = {}) {
    Cursor.InitRecord(Buffer, true);
    Cursor.SetFieldData(kCursorId, &id, Buffer);
    SetTerm(term);
    if (!memo.empty()) WriteMemo(memo, true);
    Cursor.Post(true);
    return Cursor.Status;
  }
  std::int32_t Id() const {
    std::int32_t id = -1;
    Cursor.GetFieldData(kCursorId, &id, Buffer);
    return id;
  }
  std::string Term() const {
    char slot[41] = {};
    if (!Cursor.GetFieldData(kCursorTerm, slot, Buffer)) return {};
    return slot;
  }
  std::string Memo() {
    TQELLocalBLOBStream* stream = Cursor.OpenBlob(false, false, true, bmRead, kCursorDescr);
    if (stream == nullptr) return "<gone>";
    std::string text(static_cast<std::size_t>(stream->GetSize()), '\0');
    if (!text.empty()) stream->Read(text.data(), static_cast<std::int64_t>(text.size()));
    Cursor.CloseBlob(kCursorDescr);
    return text;
  }
  // Positions on the record with `id` (natural order) and reads it.
  bool Find(std::int32_t id) {
    return Cursor.Locate({"ID"}, {Integer(id)}, false, false);
  }
  // Edit then change the term and post; answers the status of the step
  // that failed, else 0.
  std::int32_t UpdateTerm(const std::string& term) {
    std::memcpy(Old, Buffer, static_cast<std::size_t>(Cursor.BufferSize()));
    Cursor.Edit();
    if (Cursor.Status != 0) return Cursor.Status;
    SetTerm(term);
    Cursor.OldRecordBuffer = Old;
    Cursor.Post(false);
    return Cursor.Status;
  }
  static TQELVariant Integer(std::int32_t value) {
    TQELVariant v;
    v.SetAsInteger(value);
    return v;
  }
  static TQELVariant Text(const std::string& value) {
    TQELVariant v;
    v.SetAsString(value);
    return v;
  }

  TQELLocalCursor Cursor;
  std::uint8_t* Buffer = nullptr;
  std::uint8_t* Old = nullptr;
};

// Lock waits short enough that a lock another session keeps is given up
// within a few tens of milliseconds, for tests of refused locks.
inline void ShortenLockWaits(TQELCursor& cursor, std::int32_t attempts = 3,
                             std::int32_t delayMs = 10) {
  TQELCursorLockWaits& waits = cursor.LockWaits;
  waits.EditTableAttempts = waits.RecordAttempts = waits.PostTableAttempts = attempts;
  waits.DeleteTableAttempts = waits.BlobReadAttempts = attempts;
  waits.EditTableDelayMs = waits.RecordDelayMs = waits.PostTableDelayMs = delayMs;
  waits.DeleteTableDelayMs = waits.BlobReadDelayMs = delayMs;
}

// The glossary table, created and open through a session on a database
// file (parameter true) or on the in-memory database (false), which it
// leaves empty again.
class TGlossaryTableTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    const bool onDisk = GetParam();
    Session = OpenSession(onDisk ? "KUVO" : "MEMORY", FileName);
    if (onDisk) Session->CreateDatabase();
    Session->SetConnected(true);
    Table = std::make_unique<TCursorOn>(*Session);
    Table->Create();
    Table->Open();
  }
  void TearDown() override {
    Table.reset();
    if (!GetParam()) {
      // The in-memory database lives on: leave nothing in it.
      TCursorOn drop(*Session);
      drop.Cursor.DeleteTable();
    }
    Session.reset();
  }
  std::set<std::int32_t> Ids() {
    std::set<std::int32_t> ids;
    Table->Cursor.First();
    while (Table->Cursor.GetRecord(grmNext) == grOK) ids.insert(Table->Id());
    return ids;
  }

  TScratchDir Dir;
  std::string FileName = Dir.File("kuvo.qel");
  std::unique_ptr<TQELLocalSession> Session;
  std::unique_ptr<TCursorOn> Table;
};

}  // namespace qel::test
