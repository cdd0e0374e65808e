#pragma once
// TQELTableCursor: the state of a cursor that table data reads and changes
// when it moves, counts, searches and changes records for it: the session,
// the record buffers, the position, the active index, the range, the
// distinct-key setting, the search key, the filters, the record bitmap and
// the index position cache. The engine's cursor derives from it and adds
// its metadata copies, BLOB streams and locking protocol.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "storage/QELDatabaseData.h"
#include "storage/QELKeyPath.h"
#include "storage/QELRecordBitmap.h"
#include "storage/QELRecordRequest.h"

namespace qel {

// A condition on a whole record, as the SQL layer's expressions and a
// dataset's filter give it: true when the record satisfies it.
class TQELScanSearchConditionArray;

class TQELRecordFilter {
 public:
  virtual ~TQELRecordFilter() = default;
  virtual bool Matches(const std::uint8_t* record) = 0;
  // Sets of index conditions of which every record the filter accepts
  // satisfies at least one (a set for each value of an IN over an indexed
  // field); null when the filter offers none. A search may mark the union
  // of their records instead of reading the whole table; the filter still
  // decides.
  virtual const std::vector<TQELScanSearchConditionArray>* Alternatives() const { return nullptr; }
};

// A dataset's record filter event: called with a copy of the candidate
// record and its id; true keeps the record.
using TQELFilterCallback = std::function<bool(const std::uint8_t* record, const TQELRecordID&)>;

// A cursor's range: records whose key over the active index lies between
// the two keys (memory-record buffers, not owned). A key without fields is
// no bound.
struct TQELCursorRange {
  const std::uint8_t* StartKey = nullptr;
  std::int32_t StartKeyFieldCount = 0;
  bool StartExclusive = false;
  const std::uint8_t* EndKey = nullptr;
  std::int32_t EndKeyFieldCount = 0;
  bool EndExclusive = false;

  bool HasStart() const { return StartKey != nullptr && StartKeyFieldCount > 0; }
  bool HasEnd() const { return EndKey != nullptr && EndKeyFieldCount > 0; }
  bool Active() const { return HasStart() || HasEnd(); }
};

class TQELTableCursor : public TQELStorageCursor {
 public:
  TQELTableCursor() = default;
  explicit TQELTableCursor(std::string tableName) : FTableName(std::move(tableName)) {}
  ~TQELTableCursor() override = default;
  TQELTableCursor(const TQELTableCursor&) = delete;
  TQELTableCursor& operator=(const TQELTableCursor&) = delete;

  std::string TableName() const override { return FTableName; }
  void SetTableName(std::string tableName) { FTableName = std::move(tableName); }

  // The session's id and whether it is inside an explicit transaction; the
  // engine's cursor answers them from its session.
  virtual std::int32_t SessionID() const { return FSessionID; }
  virtual bool InTransaction() const { return FInTransaction; }
  void SetSession(std::int32_t sessionID, bool inTransaction) {
    FSessionID = sessionID;
    FInTransaction = inTransaction;
  }

  // A cursor with a range, a filter, a filter callback or a distinct-key
  // count moves through searches and counts through its bitmap.
  bool IsRestricted() const {
    return Range.Active() || Filter != nullptr || SQLFilter != nullptr ||
           static_cast<bool>(FilterCallback) || DistinctFieldCount > 0;
  }

  // Record geometry given by the table data: the memory record size and
  // the offset of the first field (the null-flag bytes before it).
  std::int32_t RecordSize = 0;
  std::int32_t FirstFieldOffset = 0;

  // To be called whenever the range, the filters, the callback, the
  // distinct count or the active index change: the bitmap and the position
  // cache were built for the old ones.
  void RestrictionsChanged() {
    if (RecordBitmap) RecordBitmap->SetActive(false);
    GatheredMatches.Active = false;
    IndexPositionCache.Clear();
    SettledSearch.reset();
  }

  // The memory record the next operation reads into or takes values from
  // (not owned), and the record as it was when editing began.
  std::uint8_t* RecordBuffer = nullptr;
  const std::uint8_t* OldRecordBuffer = nullptr;

  TQELRecordID Position{};
  bool BeforeFirst = true;
  bool AfterLast = false;

  // ObjectID of the active index; -1 for natural order.
  std::int32_t IndexID = -1;
  // Above 0: only the first record of each group whose first that many key
  // fields of the active index are equal is shown.
  std::int32_t DistinctFieldCount = 0;
  TQELCursorRange Range;

  // The key SearchKey positions by (memory-record layout, not owned).
  const std::uint8_t* SearchKeyBuffer = nullptr;
  std::int32_t SearchKeySize = 0;
  std::int32_t SearchKeyFieldCount = 0;

  // Not owned here; the engine's cursor owns its expressions.
  TQELRecordFilter* Filter = nullptr;
  TQELRecordFilter* SQLFilter = nullptr;
  // Index conditions the SQL layer derived from SQLFilter, offered to every
  // search as access paths (the filter still decides each record).
  const TQELScanSearchConditionArray* SQLFilterConditions = nullptr;
  TQELFilterCallback FilterCallback;

  // Open options set by the cursor's opener: exclusive use of the table,
  // the table's temporary data kept in memory, opening for repair.
  bool Exclusive = false;
  bool DisableTempFiles = false;
  bool RepairMode = false;
  // The cursor holds the table lock its opening took.
  bool HoldsTableLock = false;
  // Set while the cursor makes several changes that are applied together.
  bool ChangesPending = false;

  // Index creation and removal leave the table's primary-key and unique
  // constraints alone when set (a restructure that carries its own).
  bool KeepIndexConstraints = false;

  // The matches of the cursor's restrictions gathered once for a walk
  // whose search reads a range of an index other than the active one (or
  // the alternatives of an IN): ascending record numbers in natural order,
  // or ascending positions in the active index. Valid for one ChangeCount
  // of the table's records (the Stamp) and until the restrictions change.
  struct TGatheredMatches {
    bool Active = false;
    bool ByIndexPosition = false;
    std::int32_t Stamp = 0;
    std::vector<std::int64_t> Positions;
  };
  TGatheredMatches GatheredMatches;
  // Set while the record a search just found is read into the buffer: the
  // search has judged it against the restrictions already.
  bool ReadingFoundRecord = false;

  // The conditions and access path the first step of a plain walk settled
  // on (QELRecordSearch.h), which the steps after it take instead of
  // choosing again: valid for one ChangeCount of the table's records, one
  // direction and one active index, until the restrictions change.
  std::shared_ptr<struct TQELSettledSearch> SettledSearch;

  // Created by the table data on first use.
  std::unique_ptr<TQELRecordBitmap> RecordBitmap;
  TQELIndexPositionCache IndexPositionCache;
  // Scratch copy of the current record that a distinct walk continues from.
  std::vector<std::uint8_t> ScratchRecord;

 private:
  std::string FTableName;
  std::int32_t FSessionID = 0;
  bool FInTransaction = false;
};

}  // namespace qel
