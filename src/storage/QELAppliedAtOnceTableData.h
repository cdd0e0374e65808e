#pragma once
// TQELAppliedAtOnceTableData: the table data of the storage kinds that keep
// their tables outside transactions (memory and temporary tables).
//
// Their records are not kept per session, so their index pages must not be
// either: a rollback would otherwise leave indexes that disagree with the
// records, and a transaction would hold every page of a large sort as a
// private copy in memory until its commit. Every change, structural ones
// included, is therefore applied to the table's own page manager as soon
// as it succeeds and cancelled when it fails, whether a transaction is
// open or not.

#include <cstdint>

#include "storage/QELTableData.h"

namespace qel {

class TQELAppliedAtOnceTableData : public TQELTableData {
 public:
  // The session structural work (emptying, destroying) runs under.
  static constexpr std::int32_t kStructureSession = -2;

  using TQELTableData::TQELTableData;

  // Store, or drop, the session's changed pages whatever `inTransaction`
  // says. A kind whose page manager cancels in its own way overrides
  // CancelChanges.
  void ApplyChanges(std::int32_t sessionID, bool inTransaction) override;
  void CancelChanges(std::int32_t sessionID, bool inTransaction) override;
  // Unless `force` is given while cursors are open, the table data leaves
  // its database and is destroyed: nothing of it may be used afterwards.
  void DeleteTable(TQELTableCursor& cursor, bool force) override;
  // The table takes its name as the cursor spells it (tables are found
  // without regard to case).
  void AddCursor(TQELTableCursor* cursor) override;
  std::int32_t CreateIndex(const TQELIndexDef& indexDef, TQELTableCursor& cursor) override;
  void DropIndex(std::int32_t indexID, TQELTableCursor& cursor) override;

 protected:
  // Runs a structural change: its pages are applied when it succeeds and
  // cancelled when it raises.
  template <class TChange>
  void ApplyAtOnce(TQELTableCursor& cursor, TChange change) {
    try {
      change();
      ApplyChanges(cursor.SessionID(), false);
    } catch (...) {
      CancelChanges(cursor.SessionID(), false);
      throw;
    }
  }
};

}  // namespace qel
