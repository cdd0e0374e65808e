#pragma once
// The constraint definitions of a table: not-null and check (value range)
// constraints on a field, unique and primary-key constraints on an index.
// This is only their data, copying and stored form; checking records
// against them is the table data's work.
//
// Every constraint carries three name/number pairs: Ref1 (carried and
// stored, not interpreted), Ref2 (the name of the table it belongs to) and
// Target (the field or index it applies to). Stored form after the common
// header, with codes of their own per class:
//   not null, check: Ref1ID, Ref2ID, TargetID (int32 each); then for each
//     of Ref1Name, Ref2Name, TargetName a count k = length + 1 (uint8) and
//     k bytes: the length byte again, then the characters;
//     check only: MinValue, MaxValue in the variant's stream form.
//   unique, primary key: the same three numbers; the three names with an
//     int32 count k; a column count (int32) and per column its ObjectID
//     (int32), k (int32) and the k bytes of its name.
// A constraint list is an int32 count, then per constraint its kind
// (uint8) and the constraint.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELMetaObjectDefs.h"
#include "values/QELVariant.h"

namespace qel {

enum TQELConstraintKind : std::uint8_t {
  ckPrimaryKey = 0,
  ckUnique = 2,
  ckNotNull = 3,
  ckCheck = 4,
};

class TQELConstraintDef : public TQELMetaObjectDef {
 public:
  TQELConstraintKind ConstraintKind() const { return FConstraintKind; }

  // A new constraint of `kind`; any other value raises "Unknown Constraint
  // Type: '%d'" (30316).
  static std::unique_ptr<TQELConstraintDef> Create(std::uint8_t kind);

  // Copies the name, the number and the three pairs; the kind stays.
  // Constraint classes copy their own data on top from a source of their
  // class.
  void Assign(const TQELMetaObjectDef& source) override;

  // Names are short strings: the stored form keeps at most 255 bytes.
  std::string Ref1Name;
  std::int32_t Ref1ID = 0;
  std::string Ref2Name;
  std::int32_t Ref2ID = 0;
  std::string TargetName;
  std::int32_t TargetID = 0;

 protected:
  explicit TQELConstraintDef(TQELConstraintKind kind) : FConstraintKind(kind) {}

 private:
  TQELConstraintKind FConstraintKind;
};

class TQELConstraintDefNotNull : public TQELConstraintDef {
 public:
  TQELConstraintDefNotNull() : TQELConstraintDef(ckNotNull) {}
  void LoadFromStream(TQELStream& stream) override;
  void SaveToStream(TQELStream& stream) const override;
};

class TQELConstraintDefCheck : public TQELConstraintDef {
 public:
  TQELConstraintDefCheck() : TQELConstraintDef(ckCheck) {}
  void Assign(const TQELMetaObjectDef& source) override;
  void LoadFromStream(TQELStream& stream) override;
  void SaveToStream(TQELStream& stream) const override;

  // The permitted range of the target field; NULL when open.
  TQELVariant MinValue;
  TQELVariant MaxValue;
};

// One column of a unique or primary-key constraint.
struct TQELConstraintColumn {
  std::string Name;
  std::int32_t ObjectID = 0;

  bool operator==(const TQELConstraintColumn&) const = default;
};

class TQELConstraintDefUnique : public TQELConstraintDef {
 public:
  TQELConstraintDefUnique() : TQELConstraintDef(ckUnique) {}
  void Assign(const TQELMetaObjectDef& source) override;
  // Columns are read one at a time, so a damaged count fails at the first
  // short read.
  void LoadFromStream(TQELStream& stream) override;
  void SaveToStream(TQELStream& stream) const override;

  std::vector<TQELConstraintColumn> Columns;

 protected:
  explicit TQELConstraintDefUnique(TQELConstraintKind kind) : TQELConstraintDef(kind) {}
};

// A unique constraint that is the table's primary key.
class TQELConstraintDefPrimary : public TQELConstraintDefUnique {
 public:
  TQELConstraintDefPrimary() : TQELConstraintDefUnique(ckPrimaryKey) {}
};

class TQELConstraintDefs : public TQELMetaObjectDefsOf<TQELConstraintDef> {
 public:
  TQELConstraintDefs() = default;
  TQELConstraintDefs(const TQELConstraintDefs& other) : TQELMetaObjectDefsOf<TQELConstraintDef>() {
    Assign(other);
  }
  TQELConstraintDefs& operator=(const TQELConstraintDefs& other) {
    if (this != &other) Assign(other);
    return *this;
  }
  TQELConstraintDefs(TQELConstraintDefs&&) noexcept = default;
  TQELConstraintDefs& operator=(TQELConstraintDefs&&) noexcept = default;

  std::string_view ClassName() const override { return "TQELConstraintDefs"; }

  // Clears the list, then reads the count and each constraint after its
  // kind byte, one at a time. An unknown kind raises "Unknown Constraint
  // Type: '%d'" (30316).
  void LoadFromStream(TQELStream& stream) override;
  void SaveToStream(TQELStream& stream) const override;
  // Copies every constraint in order as a new one of its own class.
  // Constraints need not have names (the table names them later), so no
  // name check is made. Should it fail, the list keeps what it held.
  void Assign(const TQELMetaObjectDefs& source) override;

  TQELConstraintDefNotNull& AddNotNull();
  TQELConstraintDefCheck& AddCheck();
  TQELConstraintDefPrimary& AddPrimary();
  TQELConstraintDefUnique& AddUnique();
};

}  // namespace qel
