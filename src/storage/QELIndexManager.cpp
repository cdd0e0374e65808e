// TQELBaseIndexManager: index definitions, live index objects, and keeping
// every index in step with the records.

#include "storage/QELIndexManager.h"

#include <algorithm>

#include "pagecache/QELPageManager.h"
#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "platform/QELRandom.h"
#include "storage/QELBTreeRecordIndex.h"
#include "storage/QELTableData.h"

namespace qel {

TQELBaseIndexManager::TQELBaseIndexManager(TQELTableData& tableData, TQELPageManager& pageManager,
                                           TQELPageManager* temporaryPageManager)
    : FTableData(tableData),
      FPageManager(pageManager),
      FTemporaryPageManager(temporaryPageManager) {}

TQELBaseIndexManager::~TQELBaseIndexManager() = default;

void TQELBaseIndexManager::LoadIndexDefs(TQELStream& stream) {
  // Read aside, so that a damaged stream leaves the definitions as they
  // were.
  TQELIndexDefs loaded;
  loaded.LoadFromStream(stream);
  FLive.clear();
  FIndexDefs = std::move(loaded);
}

void TQELBaseIndexManager::SaveIndexDefs(TQELStream& stream) const {
  FIndexDefs.SaveToStream(stream);
}

void TQELBaseIndexManager::SetIndexDefs(const TQELIndexDefs& defs) {
  FLive.clear();
  FIndexDefs = defs;
}

// ---- Index objects ---------------------------------------------------------

TQELPageManager& TQELBaseIndexManager::PageManagerFor(const TQELIndexDef& indexDef) const {
  return indexDef.Temporary && FTemporaryPageManager != nullptr ? *FTemporaryPageManager
                                                                : FPageManager;
}

std::unique_ptr<TQELIndex> TQELBaseIndexManager::CreateIndexObject(const TQELIndexDef& indexDef) {
  return std::make_unique<TQELBTreeRecordIndex>(PageManagerFor(indexDef), FTableData.FieldDefs(),
                                                &FTableData.RecordReader());
}

TQELIndexDef& TQELBaseIndexManager::DefOf(std::int32_t indexID) {
  TQELIndexDef* def = FIndexDefs.FindByID(indexID);
  if (def == nullptr) throw EQELException(20018, "Index not found");
  return *def;
}

TQELIndex* TQELBaseIndexManager::FindLiveIndex(std::int32_t indexID) const {
  for (const TLiveIndex& live : FLive) {
    if (live.IndexID == indexID) return live.Index.get();
  }
  return nullptr;
}

TQELIndex& TQELBaseIndexManager::GetIndex(std::int32_t indexID) {
  if (TQELIndex* index = FindLiveIndex(indexID)) return *index;
  const TQELIndexDef& def = DefOf(indexID);
  std::unique_ptr<TQELIndex> index = CreateIndexObject(def);
  index->OpenIndex(def);
  FLive.push_back({indexID, std::move(index)});
  return *FLive.back().Index;
}

void TQELBaseIndexManager::SyncRoot(TQELIndexDef& def, const TQELIndex& index) {
  def.RootPageNo = index.IndexDef().RootPageNo;
}

void TQELBaseIndexManager::RemoveLive(std::int32_t indexID) {
  std::erase_if(FLive, [indexID](const TLiveIndex& live) { return live.IndexID == indexID; });
}

void TQELBaseIndexManager::FreeIndexObjects() { FLive.clear(); }

// ---- Adding and removing indexes -------------------------------------------

std::int32_t TQELBaseIndexManager::AddIndex(std::int32_t sessionID, const TQELIndexDef& indexDef) {
  auto copy = std::make_unique<TQELIndexDef>(indexDef);
  copy->SetObjectID(FTableData.GetNextObjectID());
  const std::int32_t indexID = copy->ObjectID();
  TQELIndexDef& stored = FIndexDefs.Add(std::move(copy));
  try {
    std::unique_ptr<TQELIndex> index = CreateIndexObject(stored);
    index->CreateIndex(sessionID, stored, true);
    SyncRoot(stored, *index);
    FLive.push_back({indexID, std::move(index)});
  } catch (...) {
    RemoveLive(indexID);
    FIndexDefs.Delete(FIndexDefs.IndexOfID(indexID));
    throw;
  }
  return indexID;
}

void TQELBaseIndexManager::CreateIndexStorage(std::int32_t sessionID, std::int32_t indexID) {
  TQELIndexDef& def = DefOf(indexID);
  RemoveLive(indexID);
  std::unique_ptr<TQELIndex> index = CreateIndexObject(def);
  index->CreateIndex(sessionID, def, false);
  SyncRoot(def, *index);
  FLive.push_back({indexID, std::move(index)});
}

void TQELBaseIndexManager::DropIndex(std::int32_t sessionID, std::int32_t indexID) {
  GetIndex(indexID).DropIndex(sessionID);
  RemoveLive(indexID);
  FIndexDefs.Delete(FIndexDefs.IndexOfID(indexID));
}

void TQELBaseIndexManager::EmptyIndexes(std::int32_t sessionID) {
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TQELIndexDef& def = FIndexDefs[i];
    TQELIndex& index = GetIndex(def.ObjectID());
    index.EmptyIndex(sessionID);
    SyncRoot(def, index);
    ++def.ModificationCount;
  }
}

std::int32_t TQELBaseIndexManager::FindIndex(const TQELIndexColumnRequest& columns,
                                             std::int32_t sessionID) const {
  return FIndexDefs.FindIndex(columns.FieldNames, columns.Directions, columns.Cases,
                              FTableData.FieldDefs(), sessionID);
}

std::string TQELBaseIndexManager::NewTemporaryIndexName() const {
  for (;;) {
    std::string name = "TEMPORARY_INDEX_" + std::to_string(QELRandom(1000000));
    if (FIndexDefs.FindIndexByName(name) == nullptr) return name;
  }
}

std::pair<std::int32_t, bool> TQELBaseIndexManager::FindOrCreateTemporaryIndex(
    std::int32_t sessionID, const TQELIndexColumnRequest& columns) {
  const std::int32_t found = FindIndex(columns, sessionID);
  if (found >= 0) return {found, false};
  TQELIndexDef def;
  def.SetName(NewTemporaryIndexName());
  def.SetColumnsFromLists(columns.FieldNames, columns.Directions, columns.Cases);
  def.Temporary = true;
  def.SessionID = sessionID;
  def.ModificationCount = FTableData.CheckedRecordManager(10380).ChangeCount();
  return {AddIndex(sessionID, def), true};
}

// ---- Keeping the indexes in step with the records --------------------------

void TQELBaseIndexManager::InsertKeys(std::int32_t sessionID, const std::uint8_t* record,
                                      const TQELRecordID& recordID) {
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TQELIndexDef& def = FIndexDefs[i];
    TQELIndex& index = GetIndex(def.ObjectID());
    index.InsertKey(sessionID, record, recordID);
    ++def.ModificationCount;
    // A root split replaces the root page.
    SyncRoot(def, index);
  }
}

void TQELBaseIndexManager::UpdateKeys(std::int32_t sessionID, const std::uint8_t* oldRecord,
                                      const std::uint8_t* newRecord, const TQELRecordID& recordID,
                                      bool removeOld) {
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TQELIndexDef& def = FIndexDefs[i];
    TQELIndex& index = GetIndex(def.ObjectID());
    index.UpdateKey(sessionID, oldRecord, newRecord, recordID, removeOld);
    if (!removeOld) ++def.ModificationCount;
    SyncRoot(def, index);
  }
}

bool TQELBaseIndexManager::DeleteKeys(std::int32_t sessionID, std::uint8_t* record,
                                      const TQELRecordID& recordID) {
  TQELRecordRequest request;
  request.Mode = grmCurrent;
  request.RecordID = recordID;
  request.Buffer = record;
  FTableData.CheckedRecordManager(10380).GetRecord(sessionID, request);
  if (request.Result == grError) return false;
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TQELIndexDef& def = FIndexDefs[i];
    TQELIndex& index = GetIndex(def.ObjectID());
    index.DeleteKey(sessionID, record, recordID);
    ++def.ModificationCount;
    SyncRoot(def, index);
  }
  return true;
}

void TQELBaseIndexManager::RebuildStaleIndexes(std::int32_t sessionID, bool& rebuilt) {
  rebuilt = false;
  if (FRebuilding) return;
  const std::int32_t changeCount = FTableData.CheckedRecordManager(10380).ChangeCount();
  FRebuilding = true;
  try {
    for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
      TQELIndexDef& def = FIndexDefs[i];
      if (!def.Temporary || def.ModificationCount == changeCount) continue;
      TQELIndex& index = GetIndex(def.ObjectID());
      index.RebuildIndex(sessionID);
      SyncRoot(def, index);
      def.ModificationCount = changeCount;
      rebuilt = true;
    }
  } catch (...) {
    FRebuilding = false;
    throw;
  }
  FRebuilding = false;
}

void TQELBaseIndexManager::FetchByIndex(std::int32_t sessionID, TQELRecordRequest& request,
                                        std::int64_t stamp, TQELIndexPositionCache* cache) {
  TQELIndex& index = GetIndex(request.IndexID);
  if (request.BeforeFirst || request.AfterLast) {
    index.GetRecordByIndex(sessionID, request, stamp, cache);
    return;
  }
  TQELRecordRequest current;
  current.Mode = grmCurrent;
  current.RecordID = request.RecordID;
  current.Buffer = request.Buffer;
  FTableData.CheckedRecordManager(10015).GetRecord(sessionID, current);
  // A record another session deleted has no entry any more: continue from
  // its key, which the buffer still holds.
  if (current.Result == grError) {
    index.GetRecordByKey(sessionID, request, stamp, cache);
  } else {
    index.GetRecordByIndex(sessionID, request, stamp, cache);
  }
}

void TQELBaseIndexManager::RenameFieldInIndexes(std::string_view oldName,
                                                std::string_view newName) {
  const std::string wanted = QELLowerCase(oldName);
  for (std::int32_t i = 0; i < FIndexDefs.Count(); ++i) {
    TQELIndexDef& def = FIndexDefs[i];
    for (std::int32_t c = 0; c < def.ColumnCount(); ++c) {
      TQELIndexColumn& column = def.Columns(c);
      if (QELLowerCase(column.FieldName) == wanted) column.FieldName = std::string(newName);
    }
    if (TQELIndex* live = FindLiveIndex(def.ObjectID())) live->OpenIndex(def);
  }
}

}  // namespace qel
