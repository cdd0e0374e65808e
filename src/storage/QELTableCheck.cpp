// CheckTableIndexes: walks each index along its leaves and compares every
// entry with the record it points at.

#include "storage/QELTableCheck.h"

#include <cstring>
#include <set>

#include "platform/QELException.h"
#include "platform/QELFormat.h"
#include "storage/QELBTreeRecordIndex.h"
#include "storage/QELTableData.h"

namespace qel {

namespace {

class TIndexChecker {
 public:
  TIndexChecker(TQELTableData& table, std::int32_t sessionID, const TQELIndexDef& def,
                std::vector<std::string>& faults)
      : FTable(table), FSessionID(sessionID), FDef(def), FFaults(faults) {}

  void Run() {
    auto* index = dynamic_cast<TQELBTreeRecordIndex*>(
        &FTable.CheckedIndexManager(10380).GetIndex(FDef.ObjectID()));
    if (index == nullptr || index->Tree() == nullptr) {
      Fault("has no tree");
      return;
    }
    try {
      index->Tree()->CheckIntegrity(FSessionID);
    } catch (const EQELException& e) {
      Fault(std::string("is damaged: ") + e.what());
      return;
    }
    WalkEntries(*index);
    const std::int64_t records = FTable.CheckedRecordManager(10015).RecordCount();
    if (FEntries != records) {
      Fault(QELFormat("holds %d entries for %d records", {FEntries, records}));
    }
  }

 private:
  void Fault(const std::string& what) {
    FFaults.push_back("Table " + FTable.TableName() + ", index " + FDef.Name() + " " + what);
  }

  void WalkEntries(TQELBTreeRecordIndex& index) {
    TQELBTreeCore& tree = *index.Tree();
    const TQELRecordKeyRef& keyRef = *index.KeyRef();
    const auto recordSize = static_cast<std::size_t>(FTable.FieldDefs().MemoryRecordSize());
    std::vector<std::uint8_t> key(static_cast<std::size_t>(keyRef.KeySize()));
    std::vector<std::uint8_t> expected(key.size());
    std::vector<std::uint8_t> record(recordSize), previous(recordSize);
    TQELRecordID recordID{}, previousID{};
    std::set<TQELRecordID> seen;
    TQELKeyPath path;
    for (bool on = tree.First(FSessionID, path); on; on = tree.Next(FSessionID, path)) {
      ++FEntries;
      tree.ReadEntry(FSessionID, path, key.data(), recordID.data());
      if (!seen.insert(recordID).second) Fault("holds a record twice");
      TQELRecordRequest request;
      request.RecordID = recordID;
      request.Buffer = record.data();
      FTable.RecordReader().GetRecord(FSessionID, request);
      if (request.Result != grOK) {
        Fault(QELFormat("has an entry for a missing record (entry %d)", {FEntries}));
        continue;
      }
      keyRef.BuildKey(record.data(), expected.data());
      if (std::memcmp(expected.data(), key.data(), key.size()) != 0) {
        Fault(QELFormat("has a key that differs from its record's (entry %d)", {FEntries}));
      }
      if (FEntries > 1 && OutOfOrder(index, previous, previousID, record, recordID)) {
        Fault(QELFormat("is out of order at entry %d", {FEntries}));
      }
      previous.swap(record);
      previousID = recordID;
    }
  }

  // Entries order by their records' full keys, then by record id.
  static bool OutOfOrder(TQELBTreeRecordIndex& index, const std::vector<std::uint8_t>& previous,
                         const TQELRecordID& previousID, const std::vector<std::uint8_t>& record,
                         const TQELRecordID& recordID) {
    const int rc = index.CompareRecordKeys(previous.data(), record.data(), 0);
    if (rc != 0) return rc > 0;
    return CompareRecordIDs(previousID.data(), recordID.data()) >= 0;
  }

  TQELTableData& FTable;
  const std::int32_t FSessionID;
  const TQELIndexDef& FDef;
  std::vector<std::string>& FFaults;
  std::int64_t FEntries = 0;
};

}  // namespace

std::vector<std::string> CheckTableIndexes(TQELTableData& table, std::int32_t sessionID) {
  std::vector<std::string> faults;
  TQELBaseIndexManager* indexes = table.IndexManager();
  if (indexes == nullptr || table.RecordManager() == nullptr) return faults;
  const TQELIndexDefs& defs = indexes->IndexDefs();
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    TIndexChecker(table, sessionID, defs[i], faults).Run();
  }
  return faults;
}

}  // namespace qel
