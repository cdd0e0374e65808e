#pragma once
// TQELBaseIndexManager: a table's index definitions and their live B-tree
// objects, kept up to date on every insert, update and delete of a record.
//
// Index objects are created from their definition on first use. Stored
// indexes live in the table's page manager; temporary indexes (built by the
// engine for sorting and searching for one session) live in a page manager
// of their own and are rebuilt lazily once the records have changed since
// they were built.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/QELIndex.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELRecordRequest.h"

namespace qel {

class TQELPageManager;
class TQELStream;
class TQELTableData;

// The columns a sort or search asks for: field names with their directions
// ("ASC", "DESC") and case rules ("CASE", "NO_CASE").
struct TQELIndexColumnRequest {
  std::vector<std::string> FieldNames;
  std::vector<std::string> Directions;
  std::vector<std::string> Cases;
};

class TQELBaseIndexManager {
 public:
  // `temporaryPageManager` holds the pages of temporary indexes; null uses
  // the table's page manager for them too.
  TQELBaseIndexManager(TQELTableData& tableData, TQELPageManager& pageManager,
                       TQELPageManager* temporaryPageManager);
  virtual ~TQELBaseIndexManager();
  TQELBaseIndexManager(const TQELBaseIndexManager&) = delete;
  TQELBaseIndexManager& operator=(const TQELBaseIndexManager&) = delete;

  TQELIndexDefs& IndexDefs() { return FIndexDefs; }
  const TQELIndexDefs& IndexDefs() const { return FIndexDefs; }
  TQELTableData& TableData() const { return FTableData; }

  // Operations in their fixed order.
  virtual void LoadIndexDefs(TQELStream& stream);
  virtual void SaveIndexDefs(TQELStream& stream) const;
  // Replaces the definitions by copies of `defs` (their ObjectIDs as given)
  // and drops every live index object.
  virtual void SetIndexDefs(const TQELIndexDefs& defs);

  // The live index of `indexID`, created and opened from its definition on
  // first use. An unknown id raises "Index not found" (20018).
  TQELIndex& GetIndex(std::int32_t indexID);
  // The live index only when `indexID` is one, else null.
  TQELIndex* FindLiveIndex(std::int32_t indexID) const;
  // Gives a copy of `indexDef` a new ObjectID, creates its storage and
  // enters every record; answers the id. On failure the definitions are as
  // before the call.
  std::int32_t AddIndex(std::int32_t sessionID, const TQELIndexDef& indexDef);
  // Creates the storage of an index whose definition is already listed,
  // for a table being created; its root page goes back into the definition.
  void CreateIndexStorage(std::int32_t sessionID, std::int32_t indexID);
  void DropIndex(std::int32_t sessionID, std::int32_t indexID);
  void EmptyIndexes(std::int32_t sessionID);
  // An existing index with exactly these columns and options, or -1.
  std::int32_t FindIndex(const TQELIndexColumnRequest& columns, std::int32_t sessionID) const;
  // FindIndex, else a new temporary index of the session, built at once;
  // answers its id and whether it was created.
  std::pair<std::int32_t, bool> FindOrCreateTemporaryIndex(std::int32_t sessionID,
                                                           const TQELIndexColumnRequest& columns);

  // Record changes, carried into every index.
  void InsertKeys(std::int32_t sessionID, const std::uint8_t* record,
                  const TQELRecordID& recordID);
  // Called around a record update: with `removeOld` before the record
  // manager stores `newRecord`, without it after.
  void UpdateKeys(std::int32_t sessionID, const std::uint8_t* oldRecord,
                  const std::uint8_t* newRecord, const TQELRecordID& recordID, bool removeOld);
  // Re-reads the record into `record` first; false, changing nothing, when
  // it no longer exists.
  bool DeleteKeys(std::int32_t sessionID, std::uint8_t* record, const TQELRecordID& recordID);

  // Rebuilds every temporary index built before the records last changed;
  // `rebuilt` tells whether any was. Does nothing while a rebuild runs.
  void RebuildStaleIndexes(std::int32_t sessionID, bool& rebuilt);
  // One step through index `request.IndexID`: from the current record's
  // entry, or from its key when the record no longer exists.
  void FetchByIndex(std::int32_t sessionID, TQELRecordRequest& request, std::int64_t stamp,
                    TQELIndexPositionCache* cache);
  // Renames every index column naming `oldName` (compared in lower case).
  void RenameFieldInIndexes(std::string_view oldName, std::string_view newName);
  // Frees the live index objects (the field layout they were built for is
  // going away); they are recreated from their definitions on next use.
  void FreeIndexObjects();

 protected:
  // Creates the index object of the storage kind for a definition.
  virtual std::unique_ptr<TQELIndex> CreateIndexObject(const TQELIndexDef& indexDef);

 private:
  struct TLiveIndex {
    std::int32_t IndexID;
    std::unique_ptr<TQELIndex> Index;
  };

  TQELPageManager& PageManagerFor(const TQELIndexDef& indexDef) const;
  TQELIndexDef& DefOf(std::int32_t indexID);
  // Takes the root page the index has now into its definition.
  void SyncRoot(TQELIndexDef& def, const TQELIndex& index);
  void RemoveLive(std::int32_t indexID);
  std::string NewTemporaryIndexName() const;

  TQELTableData& FTableData;
  TQELPageManager& FPageManager;
  TQELPageManager* FTemporaryPageManager;
  TQELIndexDefs FIndexDefs;
  std::vector<TLiveIndex> FLive;
  bool FRebuilding = false;
};

}  // namespace qel
