// TQELBaseConstraintManager: installing, resolving and naming a table's
// constraints, and checking records against them.

#include "storage/QELConstraintManager.h"

#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/QELException.h"
#include "platform/QELRandom.h"
#include "storage/QELFieldTypes.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

constexpr std::int32_t kErrIndexNotFoundPrimary = 30325;
constexpr std::int32_t kErrIndexNotFoundUnique = 30326;
constexpr std::int32_t kErrFieldNotFoundPrimary = 30331;
constexpr std::int32_t kErrFieldNotFoundUnique = 30332;
constexpr std::int32_t kErrFieldNotFound = 30027;
constexpr std::int32_t kErrResolveKind = 30037;
constexpr std::int32_t kErrNameKind = 30038;
constexpr std::int32_t kErrCheckKind = 30036;
constexpr std::int32_t kErrFieldIDNotFound = 30024;
constexpr std::int32_t kErrPrimaryNull = 30330;
constexpr std::int32_t kErrPrimaryDuplicate = 30319;
constexpr std::int32_t kErrUniqueDuplicate = 30320;
constexpr std::int32_t kErrNotNull = 30026;
constexpr std::int32_t kErrBelowMinimum = 30029;
constexpr std::int32_t kErrAboveMaximum = 30030;

constexpr std::string_view kNotImplemented = "Not implemented yet";
constexpr std::string_view kNullMessage =
    "Constraint '%s' violated. Value in field '%s' cannot be null";

// Suffixes drawn for a taken generated name: 0 .. 65534.
constexpr std::uint32_t kNameSuffixRange = 65535;

bool IsKeyConstraint(const TQELConstraintDef& def) {
  return def.ConstraintKind() == ckPrimaryKey || def.ConstraintKind() == ckUnique;
}

// `base` followed by `suffix`, cut so that the whole fits a name.
std::string NameWithSuffix(const std::string& base, const std::string& suffix) {
  const std::size_t room = TQELMetaObjectDef::kMaxNameLength - suffix.size();
  return base.substr(0, room) + suffix;
}

}  // namespace

void TQELBaseConstraintManager::LoadConstraintDefs(TQELStream& stream) {
  FConstraintDefs.LoadFromStream(stream);
}

void TQELBaseConstraintManager::SaveConstraintDefs(TQELStream& stream) const {
  FConstraintDefs.SaveToStream(stream);
}

void TQELBaseConstraintManager::SetConstraintDefs(const TQELConstraintDefs& defs,
                                                  std::int32_t unsupportedKindError) {
  // Reject the whole set before any ObjectID is drawn for it.
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    const std::uint8_t kind = defs[i].ConstraintKind();
    if (kind == 1 || kind > ckCheck) throw EQELException(unsupportedKindError, kNotImplemented);
  }
  TQELConstraintDefs installed(defs);
  const std::string tableName = FTable.TableName();
  for (std::int32_t i = 0; i < installed.Count(); ++i) {
    installed[i].SetObjectID(FTable.GetNextObjectID());
    installed[i].Ref2Name = tableName;
  }
  std::swap(FConstraintDefs, installed);
  try {
    ResolveConstraints();
    NameConstraints();
  } catch (...) {
    std::swap(FConstraintDefs, installed);
    throw;
  }
}

void TQELBaseConstraintManager::ResolveConstraint(TQELConstraintDef& def) const {
  const TQELFieldDefs& fieldDefs = FTable.FieldDefs();
  switch (def.ConstraintKind()) {
    case ckPrimaryKey:
    case ckUnique: {
      const bool primary = def.ConstraintKind() == ckPrimaryKey;
      const TQELIndexDef* index = FTable.IndexDefs().FindIndexByName(def.TargetName);
      if (index == nullptr) {
        throw EQELException(primary ? kErrIndexNotFoundPrimary : kErrIndexNotFoundUnique,
                            "Index '%s' not found", {def.TargetName});
      }
      auto& unique = static_cast<TQELConstraintDefUnique&>(def);
      // Resolve every column before changing any, so that a failure leaves
      // the definition as it was.
      std::vector<std::int32_t> columnIDs;
      for (const TQELConstraintColumn& column : unique.Columns) {
        const TQELFieldDef* field = fieldDefs.FindField(column.Name);
        if (field == nullptr) {
          throw EQELException(primary ? kErrFieldNotFoundPrimary : kErrFieldNotFoundUnique,
                              "Field '%s' not found", {column.Name});
        }
        columnIDs.push_back(field->ObjectID());
      }
      for (std::size_t c = 0; c < columnIDs.size(); ++c) unique.Columns[c].ObjectID = columnIDs[c];
      def.TargetID = index->ObjectID();
      return;
    }
    case ckNotNull:
    case ckCheck: {
      const TQELFieldDef* field = fieldDefs.FindField(def.TargetName);
      if (field == nullptr) {
        throw EQELException(kErrFieldNotFound, "Field '%s' not found", {def.TargetName});
      }
      def.TargetID = field->ObjectID();
      return;
    }
    default:
      throw EQELException(kErrResolveKind, kNotImplemented);
  }
}

void TQELBaseConstraintManager::ResolveConstraints() {
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) ResolveConstraint(FConstraintDefs[i]);
}

void TQELBaseConstraintManager::NameConstraints() {
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) {
    TQELConstraintDef& def = FConstraintDefs[i];
    if (!def.Name().empty()) continue;
    std::string base;
    if (def.ConstraintKind() == ckNotNull) {
      base = "$C_NotNull$";
    } else if (def.ConstraintKind() == ckCheck) {
      base = "$C_Check$";
    } else {
      throw EQELException(kErrNameKind, kNotImplemented);
    }
    base += def.Ref2Name + "$" + def.TargetName;
    std::string name = NameWithSuffix(base, "");
    // The constraint itself has no name yet, so it never matches.
    while (FConstraintDefs.IndexOfName(name) >= 0) {
      name = NameWithSuffix(base, std::to_string(QELRandom(kNameSuffixRange)));
    }
    def.SetName(name);
  }
}

void TQELBaseConstraintManager::AddIndexConstraint(const TQELIndexDef& indexDef) {
  if (!indexDef.Primary && !indexDef.Unique) return;
  std::unique_ptr<TQELConstraintDef> created =
      TQELConstraintDef::Create(indexDef.Primary ? ckPrimaryKey : ckUnique);
  auto& unique = static_cast<TQELConstraintDefUnique&>(*created);
  std::string name = indexDef.Primary ? "C_PK" : "C_Unique";
  for (std::int32_t c = 0; c < indexDef.ColumnCount(); ++c) {
    const std::string& fieldName = indexDef.Columns(c).FieldName;
    unique.Columns.push_back({fieldName, 0});
    name += "$" + fieldName;
  }
  unique.SetName(name);
  unique.TargetName = indexDef.Name();
  unique.TargetID = indexDef.ObjectID();
  unique.Ref2Name = FTable.TableName();
  ResolveConstraint(unique);
  unique.SetObjectID(FTable.GetNextObjectID());
  FConstraintDefs.Add(std::move(created));
}

void TQELBaseConstraintManager::DropIndexConstraint(std::int32_t indexID) {
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) {
    const TQELConstraintDef& def = FConstraintDefs[i];
    if (IsKeyConstraint(def) && def.TargetID == indexID) {
      FConstraintDefs.Delete(i);
      return;
    }
  }
}

std::int32_t TQELBaseConstraintManager::FieldNoOfID(std::int32_t objectID) const {
  const std::int32_t fieldNo = FTable.FieldDefs().IndexOfID(objectID);
  if (fieldNo < 0) throw EQELException(kErrFieldIDNotFound, "Field #%d not found", {objectID});
  return fieldNo;
}

bool TQELBaseConstraintManager::CheckConstraints(std::int32_t sessionID, const std::uint8_t* record,
                                                 bool raiseErrors, const TQELRecordID& /*recordID*/,
                                                 bool isUpdate, const std::uint8_t* oldRecord) {
  if (record == nullptr) throw EQELException(10003, "Nil pointer occured");
  const TQELFieldDefs& fieldDefs = FTable.FieldDefs();
  for (std::int32_t i = 0; i < FConstraintDefs.Count(); ++i) {
    const TQELConstraintDef& def = FConstraintDefs[i];
    switch (def.ConstraintKind()) {
      case ckPrimaryKey:
      case ckUnique: {
        const bool primary = def.ConstraintKind() == ckPrimaryKey;
        const auto& unique = static_cast<const TQELConstraintDefUnique&>(def);
        if (primary) {
          bool allNull = !unique.Columns.empty();
          std::string fieldNames;
          for (const TQELConstraintColumn& column : unique.Columns) {
            const std::int32_t fieldNo = fieldDefs.IndexOfID(column.ObjectID);
            if (fieldNo < 0) {
              throw EQELException(kErrFieldNotFoundPrimary, "Field '%s' not found", {column.Name});
            }
            if (!fieldNames.empty()) fieldNames += ", ";
            fieldNames += fieldDefs[fieldNo].Name();
            if (!IsNull(fieldNo, record)) allNull = false;
          }
          if (allNull) {
            if (!raiseErrors) return false;
            throw EQELException(kErrPrimaryNull, kNullMessage, {def.Name(), fieldNames});
          }
        }
        if (FTable.RecordCount() > 0) {
          TQELIndex& index = FTable.GetIndex(def.TargetID);
          const bool isUnique = isUpdate && oldRecord != nullptr
                                    ? index.IsUniqueOnUpdate(sessionID, oldRecord, record)
                                    : index.IsUnique(sessionID, record);
          if (!isUnique) {
            if (!raiseErrors) return false;
            if (primary) {
              throw EQELException(kErrPrimaryDuplicate,
                                  "Primary Key constraint '%s' violated. Duplicate found.",
                                  {def.Name()});
            }
            throw EQELException(kErrUniqueDuplicate,
                                "Constraint unique '%s' violated. Duplicate found.", {def.Name()});
          }
        }
        break;
      }
      case ckNotNull: {
        const std::int32_t fieldNo = FieldNoOfID(def.TargetID);
        if (IsNull(fieldNo, record)) {
          if (!raiseErrors) return false;
          throw EQELException(kErrNotNull, kNullMessage, {def.Name(), fieldDefs[fieldNo].Name()});
        }
        break;
      }
      case ckCheck: {
        const auto& check = static_cast<const TQELConstraintDefCheck&>(def);
        const std::int32_t fieldNo = FieldNoOfID(def.TargetID);
        const TQELFieldDef& field = fieldDefs[fieldNo];
        TQELVariant value;
        // A BLOB's value is not in the record: there is nothing to compare.
        if (!GetFieldValue(fieldNo, fieldDefs, record, value, cmBorrow) || value.IsNull()) break;
        const struct {
          const TQELVariant& Bound;
          TQELCompareCode Violation;
          std::int32_t Code;
          std::string_view Message;
        } limits[] = {
            {check.MinValue, ccLess, kErrBelowMinimum,
             "Constraint '%s' violated. Value in field '%s' cannot be lower than '%s'"},
            {check.MaxValue, ccGreater, kErrAboveMaximum,
             "Constraint '%s' violated. Value in field '%s' cannot be greater than '%s'"},
        };
        for (const auto& limit : limits) {
          if (limit.Bound.IsNull()) continue;
          // Both sides compare as the field's storage type.
          TQELVariant bound(limit.Bound);
          bound.ConvertTo(field.BaseFieldType());
          if (value.Compare(bound, false, false, false) != limit.Violation) continue;
          if (!raiseErrors) return false;
          throw EQELException(limit.Code, limit.Message,
                              {def.Name(), field.Name(), limit.Bound.AsString()});
        }
        break;
      }
      default:
        throw EQELException(kErrCheckKind, kNotImplemented);
    }
  }
  return true;
}

}  // namespace qel
