#include "engine/QELDefConversions.h"

#include <charconv>
#include <functional>
#include <vector>

#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "values/QELValueErrors.h"

namespace qel {

namespace {

constexpr std::int32_t kErrInvalidIndexName = 20048;
constexpr std::int32_t kErrNoIndexFields = 20049;
constexpr std::int32_t kErrUnknownIndexField = 20050;
constexpr std::int32_t kErrCheckFieldNotFound = 30031;
constexpr std::int32_t kErrNotNullFieldNotFound = 30032;
constexpr std::int32_t kErrNotImplemented = 30039;

// Splits a list whose entries are separated by ";" or ","; an empty text is
// an empty list, empty entries elsewhere keep their position.
std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  items.emplace_back();
  for (const char c : text) {
    if (c == ';' || c == ',') {
      items.emplace_back();
    } else {
      items.back().push_back(c);
    }
  }
  return items;
}

std::string JoinList(const std::vector<std::string>& items) {
  std::string text;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) text.push_back(';');
    text += items[i];
  }
  return text;
}

bool ContainsName(const std::vector<std::string>& names, std::string_view name) {
  const std::string upper = QELUpperCase(name);
  for (const std::string& entry : names) {
    if (QELUpperCase(entry) == upper) return true;
  }
  return false;
}

std::int32_t ParseInteger(const std::string& text) {
  std::size_t first = text.find_first_not_of(' ');
  std::size_t last = text.find_last_not_of(' ');
  std::int32_t value = 0;
  if (first != std::string::npos) {
    const char* begin = text.data() + first;
    const char* end = text.data() + last + 1;
    if (*begin == '+') ++begin;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error == std::errc() && stop == end) return value;
  }
  throw EConvertError("'" + text + "' is not a valid integer value");
}

void ConvertIndex(const TQELAdvIndexDef& source,
                  const std::function<bool(std::string_view)>& isTableField, TQELIndexDef& dest) {
  if (source.Name.empty()) {
    throw EQELException(kErrInvalidIndexName, "Invalid index name '%s'", {source.Name});
  }
  if (source.Fields.empty()) {
    throw EQELException(kErrNoIndexFields, "Cannot find index field '%s'", {source.Fields});
  }
  const std::vector<std::string> fields = SplitList(source.Fields);
  const std::vector<std::string> descFields = SplitList(source.DescFields);
  const std::vector<std::string> caseInsFields = SplitList(source.CaseInsFields);
  const std::vector<std::string> sizes = SplitList(source.MaxIndexedSizes);
  const bool allDescending = (source.Options & kQELIndexDescending) != 0;
  const bool allCaseInsensitive = (source.Options & kQELIndexCaseInsensitive) != 0;

  TQELIndexDef built;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const std::string& name = fields[i];
    if (!isTableField(name)) {
      throw EQELException(kErrUnknownIndexField, "Cannot find index field '%s'", {name});
    }
    const bool present = i < sizes.size() && !sizes[i].empty();
    built.AddColumn(name, allDescending || ContainsName(descFields, name),
                    allCaseInsensitive || ContainsName(caseInsFields, name),
                    present ? ParseInteger(sizes[i]) : TQELIndexColumn::kDefaultMaxIndexedSize);
  }
  built.SetName(source.Name);
  built.SetObjectID(dest.ObjectID());
  built.IndexKind = 0;
  built.Unique = (source.Options & kQELIndexUnique) != 0;
  built.Primary = (source.Options & kQELIndexPrimary) != 0;
  built.Temporary = source.Temporary;
  built.RootPageNo = dest.RootPageNo;
  built.SessionID = dest.SessionID;
  built.ModificationCount = dest.ModificationCount;
  dest.Assign(built);
}

// True when a not-null constraint targets the field numbered `objectID`.
bool HasNotNull(const TQELConstraintDefs& constraintDefs, std::int32_t objectID) {
  for (std::int32_t i = 0; i < constraintDefs.Count(); ++i) {
    const TQELConstraintDef& def = constraintDefs[i];
    if (def.ConstraintKind() == ckNotNull && def.TargetID == objectID) return true;
  }
  return false;
}

TQELPlatformFieldDef ToPlatform(std::string_view name, TQELAdvancedFieldType type,
                                std::int32_t size, bool notNull) {
  TQELPlatformFieldDef result;
  result.Name = std::string(name);
  result.DataType = AdvancedFieldTypeToFieldType(type);
  result.Size = IsStringAdvancedType(type) || IsBytesAdvancedType(type) ? size : 0;
  result.Required = notNull && result.DataType != ftAutoInc;
  return result;
}

}  // namespace

void AdvIndexDefToIndexDef(const TQELAdvIndexDef& source, const TQELFieldDefs& tableFields,
                           TQELIndexDef& dest) {
  ConvertIndex(
      source, [&](std::string_view name) { return tableFields.FindField(name) != nullptr; }, dest);
}

void AdvIndexDefToIndexDef(const TQELAdvIndexDef& source, const TQELAdvFieldDefs& tableFields,
                           TQELIndexDef& dest) {
  ConvertIndex(
      source, [&](std::string_view name) { return tableFields.Find(name) != nullptr; }, dest);
}

void AdvIndexDefsToIndexDefs(const TQELAdvIndexDefs& source, const TQELFieldDefs& tableFields,
                             TQELIndexDefs& dest) {
  TQELIndexDefs result;
  for (std::int32_t i = 0; i < source.Count(); ++i) {
    AdvIndexDefToIndexDef(source[i], tableFields, result.Add());
  }
  dest = std::move(result);
}

void IndexDefToAdvIndexDef(const TQELIndexDef& source, TQELAdvIndexDef& dest) {
  std::vector<std::string> fields;
  std::vector<std::string> descFields;
  std::vector<std::string> caseInsFields;
  std::vector<std::string> sizes;
  for (std::int32_t i = 0; i < source.ColumnCount(); ++i) {
    const TQELIndexColumn& column = source.Columns(i);
    fields.push_back(column.FieldName);
    if (column.Descending) descFields.push_back(column.FieldName);
    if (column.CaseInsensitive) caseInsFields.push_back(column.FieldName);
    sizes.push_back(std::to_string(column.MaxIndexedSize));
  }
  dest.Name = source.Name();
  dest.Fields = JoinList(fields);
  dest.DescFields = JoinList(descFields);
  dest.CaseInsFields = JoinList(caseInsFields);
  dest.MaxIndexedSizes = JoinList(sizes);
  dest.Options = static_cast<std::uint8_t>((source.Unique ? kQELIndexUnique : 0) |
                                           (source.Primary ? kQELIndexPrimary : 0));
  dest.Temporary = source.Temporary;
}

void IndexDefsToAdvIndexDefs(const TQELIndexDefs& source, TQELAdvIndexDefs& dest) {
  TQELAdvIndexDefs result;
  for (std::int32_t i = 0; i < source.Count(); ++i) IndexDefToAdvIndexDef(source[i], result.Add());
  dest = std::move(result);
}

void AdvFieldDefsToFieldDefs(const TQELAdvFieldDefs& source, const TQELIndexDefs& indexDefs,
                             TQELFieldDefs& fieldDefs, TQELConstraintDefs& constraintDefs,
                             bool skipConstraints) {
  TQELFieldDefs fields;
  TQELConstraintDefs constraints;
  for (std::int32_t i = 0; i < source.Count(); ++i) {
    const TQELAdvFieldDef& entry = source[i];
    TQELFieldDef& field = fields.Add();
    field.SetName(entry.Name);
    field.SetType(entry.DataType, entry.Size);
    field.BlobCompressionAlgorithm = entry.BlobCompressionAlgorithm;
    field.BlobCompressionMode = entry.BlobCompressionMode;
    field.BlobBlockSize =
        entry.BlobBlockSize > 0 ? entry.BlobBlockSize : TQELFieldDef::kDefaultBlobBlockSize;
    field.AutoincIncrement = entry.AutoincIncrement;
    field.AutoincInitialValue = entry.AutoincInitialValue;
    field.AutoincMinValue = entry.AutoincMinValue;
    field.AutoincMaxValue = entry.AutoincMaxValue;
    field.AutoincCycled = entry.AutoincCycled;
    field.DefaultValue().Assign(entry.DefaultValue, cmCopy);
    if (skipConstraints) continue;
    if (entry.Required) constraints.AddNotNull().TargetName = field.Name();
    if (!entry.MinValue.IsNull() || !entry.MaxValue.IsNull()) {
      TQELConstraintDefCheck& check = constraints.AddCheck();
      check.TargetName = field.Name();
      check.MinValue.Assign(entry.MinValue, cmCopy);
      check.MaxValue.Assign(entry.MaxValue, cmCopy);
    }
  }
  if (!skipConstraints) {
    for (std::int32_t i = 0; i < indexDefs.Count(); ++i) {
      const TQELIndexDef& index = indexDefs[i];
      if (!index.Primary && !index.Unique) continue;
      TQELConstraintDefUnique& unique =
          index.Primary ? constraints.AddPrimary() : constraints.AddUnique();
      std::string name = index.Primary ? "C_PK" : "C_Unique";
      for (std::int32_t c = 0; c < index.ColumnCount(); ++c) {
        const std::string& fieldName = index.Columns(c).FieldName;
        unique.Columns.push_back({fieldName, 0});
        name += "$" + fieldName;
      }
      unique.SetName(name);  // cut to 255
      unique.TargetName = index.Name();
      unique.TargetID = index.ObjectID();
    }
  }
  fieldDefs = std::move(fields);
  constraintDefs = std::move(constraints);
}

void FieldDefsToAdvFieldDefs(const TQELFieldDefs& fieldDefs,
                             const TQELConstraintDefs& constraintDefs, TQELAdvFieldDefs& dest) {
  TQELAdvFieldDefs result;
  for (std::int32_t i = 0; i < fieldDefs.Count(); ++i) {
    const TQELFieldDef& field = fieldDefs[i];
    TQELAdvFieldDef& entry = result.Add();
    entry.Name = field.Name();
    entry.FieldID = field.ObjectID();
    entry.DataType = field.AdvancedFieldType();
    entry.Size = field.AdvancedFieldType() == aftGuid ? 0 : field.Size();
    entry.AutoincIncrement = field.AutoincIncrement;
    entry.AutoincInitialValue = field.AutoincInitialValue;
    entry.AutoincMinValue = field.AutoincMinValue;
    entry.AutoincMaxValue = field.AutoincMaxValue;
    entry.AutoincCycled = field.AutoincCycled;
    const std::uint8_t algorithm = field.BlobCompressionAlgorithm;
    entry.BlobCompressionAlgorithm = algorithm >= 1 && algorithm <= 3 ? algorithm : 0;
    entry.BlobCompressionMode = field.BlobCompressionMode;
    entry.BlobBlockSize = field.BlobBlockSize;
    entry.DefaultValue.Assign(field.DefaultValue(), cmCopy);
  }
  // The entry of the field a constraint targets by number.
  const auto target = [&](const TQELConstraintDef& def, std::int32_t notFound) -> TQELAdvFieldDef& {
    for (std::int32_t i = 0; i < result.Count(); ++i) {
      if (result[i].FieldID == def.TargetID) return result[i];
    }
    throw EQELException(notFound, "Field #%d not found", {def.TargetID});
  };
  for (std::int32_t i = 0; i < constraintDefs.Count(); ++i) {
    const TQELConstraintDef& def = constraintDefs[i];
    switch (def.ConstraintKind()) {
      case ckPrimaryKey:
      case ckUnique:
        break;
      case ckNotNull:
        target(def, kErrNotNullFieldNotFound).Required = true;
        break;
      case ckCheck: {
        TQELAdvFieldDef& entry = target(def, kErrCheckFieldNotFound);
        const auto& check = static_cast<const TQELConstraintDefCheck&>(def);
        entry.MinValue.Assign(check.MinValue, cmCopy);
        entry.MaxValue.Assign(check.MaxValue, cmCopy);
        break;
      }
      default:
        throw EQELException(kErrNotImplemented, "Not implemented yet");
    }
  }
  dest = std::move(result);
}

TQELPlatformFieldDef FieldDefToPlatformFieldDef(const TQELFieldDef& field,
                                                const TQELConstraintDefs& constraintDefs) {
  return ToPlatform(field.Name(), field.AdvancedFieldType(), field.Size(),
                    HasNotNull(constraintDefs, field.ObjectID()));
}

TQELPlatformFieldDef AdvFieldDefToPlatformFieldDef(const TQELAdvFieldDef& field) {
  return ToPlatform(field.Name, field.DataType, field.Size, field.Required);
}

TQELAdvFieldDef PlatformFieldDefToAdvFieldDef(const TQELPlatformFieldDef& field) {
  TQELAdvFieldDef entry;
  entry.Name = field.Name;
  entry.DataType = FieldTypeToAdvancedFieldType(field.DataType);
  entry.Size = field.Size;
  entry.Required = field.Required;
  return entry;
}

}  // namespace qel
