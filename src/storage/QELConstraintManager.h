#pragma once
// TQELBaseConstraintManager: keeps a table's constraint definitions and
// checks records against them before an insert or update is stored.
//
// Primary-key and unique constraints name an index (TargetName) and its
// columns; not-null and check constraints name a field. Installing
// definitions resolves those names to the ObjectIDs of the table's current
// index and field definitions, so that the checks survive renames, and
// gives every unnamed not-null or check constraint a generated name.

#include <cstdint>
#include <string>

#include "storage/QELConstraintDefs.h"
#include "storage/QELFieldDefs.h"
#include "storage/QELIndex.h"
#include "storage/QELIndexDefs.h"
#include "storage/QELRecordRequest.h"
#include "streams/QELStream.h"

namespace qel {

// What the constraint manager needs of its table.
class TQELConstraintTable {
 public:
  virtual ~TQELConstraintTable() = default;
  virtual std::string TableName() const = 0;
  virtual const TQELFieldDefs& FieldDefs() const = 0;
  virtual const TQELIndexDefs& IndexDefs() const = 0;
  virtual TQELIndex& GetIndex(std::int32_t indexID) = 0;   // live index object ("Index not found" 20018 raised by the table when no such id)
  virtual std::int64_t RecordCount() const = 0;
  virtual std::int32_t GetNextObjectID() = 0;
};

class TQELBaseConstraintManager {
 public:
  // Native code of "Not implemented yet" for an unsupported constraint kind
  // handed to SetConstraintDefs; some storage kinds report their own.
  static constexpr std::int32_t kErrUnsupportedKind = 30058;

  // `table` must outlive the manager.
  explicit TQELBaseConstraintManager(TQELConstraintTable& table) : FTable(table) {}
  virtual ~TQELBaseConstraintManager() = default;
  TQELBaseConstraintManager(const TQELBaseConstraintManager&) = delete;
  TQELBaseConstraintManager& operator=(const TQELBaseConstraintManager&) = delete;

  TQELConstraintDefs& ConstraintDefs() { return FConstraintDefs; }
  const TQELConstraintDefs& ConstraintDefs() const { return FConstraintDefs; }
  TQELConstraintTable& Table() const { return FTable; }

  // The stored definitions are already resolved and named: reading only
  // replaces the list.
  virtual void LoadConstraintDefs(TQELStream& stream);
  virtual void SaveConstraintDefs(TQELStream& stream) const;
  // Installs copies of `defs` on the table: a kind other than primary key,
  // unique, not null or check raises "Not implemented yet" with
  // `unsupportedKindError`; each copy gets a new ObjectID from the table and
  // the table's name as Ref2Name; then the copies are resolved and the
  // unnamed ones named. On any failure the manager keeps the definitions it
  // had.
  virtual void SetConstraintDefs(const TQELConstraintDefs& defs,
                                 std::int32_t unsupportedKindError = kErrUnsupportedKind);

  // Resolves every definition against the table's current definitions:
  // primary key and unique: TargetID := the ObjectID of the index named
  // TargetName ("Index '%s' not found", 30325 primary, 30326 unique) and
  // each column's ObjectID := its field's ("Field '%s' not found", 30331
  // primary, 30332 unique); not null and check: TargetID := the ObjectID of
  // the field named TargetName ("Field '%s' not found", 30027). Any other
  // kind raises "Not implemented yet" (30037).
  void ResolveConstraints();
  // Names every unnamed not-null constraint "$C_NotNull$<Ref2Name>$<TargetName>"
  // and every unnamed check constraint "$C_Check$<Ref2Name>$<TargetName>";
  // while the name is taken (compared ignoring case), a random number from
  // 0 to 65534 follows the base name, drawn anew each time. Names keep at
  // most 255 bytes; the base is shortened so that a suffix always fits. An
  // unnamed constraint of another kind raises "Not implemented yet"
  // (30038).
  void NameConstraints();

  // For a primary or unique index, adds the constraint it implies: named
  // "C_PK" or "C_Unique" followed by "$" and each column's field name, on
  // the index `indexDef` (which must already be among the table's index
  // definitions), with a new ObjectID, resolved before it is added. Other
  // indexes add nothing.
  void AddIndexConstraint(const TQELIndexDef& indexDef);
  // Removes the first primary-key or unique constraint on index `indexID`.
  void DropIndexConstraint(std::int32_t indexID);

  // Checks `record` (a memory record) against every constraint in order.
  // For an update `oldRecord` is the record as it was, so that an unchanged
  // key is not taken for its own duplicate (without it the key must be
  // unique outright). The first violation raises, or, with `raiseErrors`
  // false, answers false; a field or kind that cannot be checked always
  // raises. `recordID` is the record's id (for an insert, unset).
  bool CheckConstraints(std::int32_t sessionID, const std::uint8_t* record, bool raiseErrors,
                        const TQELRecordID& recordID, bool isUpdate,
                        const std::uint8_t* oldRecord);

 private:
  void ResolveConstraint(TQELConstraintDef& def) const;
  // Field number of `objectID` in the table's field definitions; raises
  // "Field #%d not found" (30024) when there is none.
  std::int32_t FieldNoOfID(std::int32_t objectID) const;

  TQELConstraintTable& FTable;
  TQELConstraintDefs FConstraintDefs;
};

}  // namespace qel
