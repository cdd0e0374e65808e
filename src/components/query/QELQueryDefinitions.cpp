#include "components/query/QELQueryDefinitions.h"

#include <vector>

#include "components/db/QELFields.h"

namespace qel {

namespace {

std::string Joined(const std::vector<TQELSQLIndexField>& fields, bool (*wanted)(const TQELSQLIndexField&)) {
  std::string text;
  for (const TQELSQLIndexField& field : fields) {
    if (!wanted(field)) continue;
    if (!text.empty()) text += ';';
    text += field.Name;
  }
  return text;
}

bool Every(const TQELSQLIndexField&) { return true; }
bool IsDescending(const TQELSQLIndexField& field) { return field.Descending; }
bool IsCaseInsensitive(const TQELSQLIndexField& field) { return field.CaseInsensitive; }

}  // namespace

std::string QELIndexFields(const TQELSQLIndex& index) { return Joined(index.Fields, Every); }
std::string QELIndexDescFields(const TQELSQLIndex& index) { return Joined(index.Fields, IsDescending); }
std::string QELIndexCaseInsFields(const TQELSQLIndex& index) { return Joined(index.Fields, IsCaseInsensitive); }

std::uint8_t QELIndexOptions(const TQELSQLIndex& index) {
  std::uint8_t options = 0;
  if (index.IsPrimary) options |= ixPrimary | ixUnique;
  if (index.IsUnique) options |= ixUnique;
  return options;
}

TQELAdvFieldDef QELAdvFieldDefOf(const TSQLFieldDef& field) {
  TQELAdvFieldDef adv;
  adv.Name = field.Name;
  adv.DataType = field.FieldType;
  adv.Size = field.Size;
  adv.Required = field.Required;
  if (field.DefaultGiven) adv.DefaultValue = field.DefaultValue;
  if (field.MinValueConstraintGiven) adv.MinValue = field.MinValueConstraint;
  if (field.MaxValueConstraintGiven) adv.MaxValue = field.MaxValueConstraint;
  adv.AutoincIncrement = field.Increment;
  adv.AutoincInitialValue = field.InitialValue;
  adv.AutoincMinValue = field.MinValue;
  adv.AutoincMaxValue = field.MaxValue;
  adv.AutoincCycled = field.Cycled;
  adv.BlobCompressionAlgorithm = field.BlobCompressionAlgorithm;
  adv.BlobCompressionMode = static_cast<std::uint8_t>(field.BlobCompressionMode);
  adv.BlobBlockSize = field.BlobBlockSize;
  return adv;
}

void QELAddAdvIndexDef(TQELAdvIndexDefs& defs, const TQELSQLIndex& index) {
  TQELAdvIndexDef& adv = defs.Add();
  adv.Name = index.Name;
  adv.Fields = QELIndexFields(index);
  adv.DescFields = QELIndexDescFields(index);
  adv.CaseInsFields = QELIndexCaseInsFields(index);
  adv.Options = QELIndexOptions(index);
}

}  // namespace qel
