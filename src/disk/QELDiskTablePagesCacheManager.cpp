#include "disk/QELDiskTablePagesCacheManager.h"

#include <algorithm>

namespace qel {

TQELDTPCTableInfo& TQELDTPCSessionInfo::Table(TQELTableKey table) {
  for (TQELDTPCTableInfo& info : FTables) {
    if (info.Table == table) return info;
  }
  FTables.push_back({});
  FTables.back().Table = table;
  return FTables.back();
}

bool TQELDTPCSessionInfo::GetCurrentEpoch(TQELTableKey& table, std::int32_t& epoch) {
  if (FCurrentTables.empty()) return false;
  table = FCurrentTables.back();
  const TQELDTPCTableInfo& info = Table(table);
  epoch = info.Epoch;
  return info.ReadCount + info.WriteCount > 0 && info.Valid;
}

TQELDTPCSessionInfo& TQELDiskTablePagesCacheManager::Session(std::int32_t sessionID) {
  const std::size_t slot = static_cast<std::size_t>(std::max(sessionID + 2, 0));
  if (slot >= FSessions.size()) FSessions.resize(slot + 1);
  if (!FSessions[slot]) FSessions[slot] = std::make_unique<TQELDTPCSessionInfo>();
  return *FSessions[slot];
}

// A table no access is in progress on may change before the next access:
// its epoch is no longer trusted.
void TQELDiskTablePagesCacheManager::InvalidateWhenIdle(TQELDTPCTableInfo& info) {
  if (info.ReadCount + info.WriteCount == 0) {
    info.Valid = false;
    info.Epoch = -1;
  }
}

void TQELDiskTablePagesCacheManager::BeginRead(std::int32_t sessionID, TQELTableKey table) {
  ++Session(sessionID).Table(table).ReadCount;
}

void TQELDiskTablePagesCacheManager::EndRead(std::int32_t sessionID, TQELTableKey table) {
  TQELDTPCTableInfo& info = Session(sessionID).Table(table);
  info.ReadCount = std::max(info.ReadCount - 1, 0);
  InvalidateWhenIdle(info);
}

void TQELDiskTablePagesCacheManager::BeginWrite(std::int32_t sessionID, TQELTableKey table) {
  ++Session(sessionID).Table(table).WriteCount;
}

void TQELDiskTablePagesCacheManager::EndWrite(std::int32_t sessionID, TQELTableKey table) {
  TQELDTPCTableInfo& info = Session(sessionID).Table(table);
  info.WriteCount = std::max(info.WriteCount - 1, 0);
  InvalidateWhenIdle(info);
}

bool TQELDiskTablePagesCacheManager::IsValid(std::int32_t sessionID, TQELTableKey table) {
  return Session(sessionID).Table(table).Valid;
}

void TQELDiskTablePagesCacheManager::SetEpoch(std::int32_t sessionID, TQELTableKey table,
                                              std::int32_t epoch) {
  TQELDTPCTableInfo& info = Session(sessionID).Table(table);
  // Only a read or write in progress keeps other writers out; outside one
  // the stamp vouches for nothing.
  if (info.ReadCount == 0 && info.WriteCount == 0) return;
  if (!info.Valid) {
    info.Valid = true;
    info.Epoch = epoch;
  }
}

void TQELDiskTablePagesCacheManager::PushCurrentTable(std::int32_t sessionID, TQELTableKey table) {
  Session(sessionID).PushCurrentTable(table);
}

void TQELDiskTablePagesCacheManager::PopCurrentTable(std::int32_t sessionID) {
  Session(sessionID).PopCurrentTable();
}

bool TQELDiskTablePagesCacheManager::GetCurrentEpoch(std::int32_t sessionID, TQELTableKey& table,
                                                     std::int32_t& epoch) {
  return Session(sessionID).GetCurrentEpoch(table, epoch);
}

}  // namespace qel
