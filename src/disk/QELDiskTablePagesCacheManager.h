#pragma once
// The per-session page-version cache of a multi-user database file.
//
// While a session works inside a table whose change stamp has not moved, a
// page it has checked against the file once need not be checked again. For
// every session the cache keeps the tables it is working in (innermost
// last) and, per table, how many reads and writes are in progress and the
// epoch (the table's change stamp) that is valid for them.

#include <cstdint>
#include <memory>
#include <vector>

namespace qel {

// The table a session works in; only its identity matters here.
using TQELTableKey = const void*;

struct TQELDTPCTableInfo {
  TQELTableKey Table = nullptr;
  std::int32_t ReadCount = 0;
  std::int32_t WriteCount = 0;
  bool Valid = false;
  std::int32_t Epoch = -1;
};

class TQELDTPCSessionInfo {
 public:
  TQELDTPCTableInfo& Table(TQELTableKey table);
  void PushCurrentTable(TQELTableKey table) { FCurrentTables.push_back(table); }
  void PopCurrentTable() {
    if (!FCurrentTables.empty()) FCurrentTables.pop_back();
  }
  // The innermost current table and its epoch, when an access to it is in
  // progress and its epoch is valid.
  bool GetCurrentEpoch(TQELTableKey& table, std::int32_t& epoch);

 private:
  std::vector<TQELTableKey> FCurrentTables;
  std::vector<TQELDTPCTableInfo> FTables;
};

class TQELDiskTablePagesCacheManager {
 public:
  void BeginRead(std::int32_t sessionID, TQELTableKey table);
  void EndRead(std::int32_t sessionID, TQELTableKey table);
  void BeginWrite(std::int32_t sessionID, TQELTableKey table);
  void EndWrite(std::int32_t sessionID, TQELTableKey table);
  bool IsValid(std::int32_t sessionID, TQELTableKey table);
  void SetEpoch(std::int32_t sessionID, TQELTableKey table, std::int32_t epoch);
  void PushCurrentTable(std::int32_t sessionID, TQELTableKey table);
  void PopCurrentTable(std::int32_t sessionID);
  bool GetCurrentEpoch(std::int32_t sessionID, TQELTableKey& table, std::int32_t& epoch);

 private:
  TQELDTPCSessionInfo& Session(std::int32_t sessionID);
  static void InvalidateWhenIdle(TQELDTPCTableInfo& info);

  std::vector<std::unique_ptr<TQELDTPCSessionInfo>> FSessions;  // index: session id + 2
};

}  // namespace qel
