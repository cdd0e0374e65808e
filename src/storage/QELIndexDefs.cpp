#include "storage/QELIndexDefs.h"

#include <algorithm>

#include "platform/QELCollation.h"
#include "platform/QELException.h"
#include "storage/QELMetaStream.h"

namespace qel {

namespace {

constexpr std::int32_t kErrFindIndexDirections = 10276;
constexpr std::int32_t kErrFindIndexCases = 10277;
constexpr std::int32_t kErrColumnsDirections = 10278;
constexpr std::int32_t kErrColumnsCases = 10279;

// Native codes of the index's stored items (reading / writing).
constexpr std::int32_t kErrReadIndexKind = 10349;
constexpr std::int32_t kErrReadUnique = 10350;
constexpr std::int32_t kErrReadPrimary = 10351;
constexpr std::int32_t kErrReadColumnCount = 10352;
constexpr std::int32_t kErrReadRootPageNo = 10353;
constexpr std::int32_t kErrReadColumnNameLength = 10358;
constexpr std::int32_t kErrReadColumnName = 10359;
constexpr std::int32_t kErrReadDescending = 10360;
constexpr std::int32_t kErrReadCaseInsensitive = 10361;
constexpr std::int32_t kErrReadMaxIndexedSize = 20168;
constexpr std::int32_t kErrWriteIndexCount = 10343;
constexpr std::int32_t kErrWriteIndexKind = 10344;
constexpr std::int32_t kErrWriteUnique = 10345;
constexpr std::int32_t kErrWritePrimary = 10346;
constexpr std::int32_t kErrWriteColumnCount = 10347;
constexpr std::int32_t kErrWriteRootPageNo = 10348;
constexpr std::int32_t kErrWriteColumnNameLength = 10354;
constexpr std::int32_t kErrWriteColumnName = 10355;
constexpr std::int32_t kErrWriteDescending = 10356;
constexpr std::int32_t kErrWriteCaseInsensitive = 10357;
constexpr std::int32_t kErrWriteMaxIndexedSize = 20169;

void CheckSameLength(std::size_t first, std::size_t second, std::int32_t nativeError) {
  if (first != second) {
    throw EQELException(nativeError, "Error - different lists length. L1 = %d, L2 = %d",
                        {first, second});
  }
}

// Whether `column` meets requested position (direction, case rule).
bool ColumnServes(const TQELIndexColumn& column, const std::string& upperFieldName,
                  const std::string& direction, const std::string& caseRule,
                  const TQELFieldDefs& fieldDefs) {
  if (QELUpperCase(column.FieldName) != upperFieldName) return false;
  if (direction == "ASC" && column.Descending) return false;
  if (direction == "DESC" && !column.Descending) return false;
  if (caseRule == "NO_CASE") return column.CaseInsensitive;
  if (caseRule == "CASE") {
    const TQELFieldDef* field = fieldDefs.FindField(column.FieldName);
    if (field == nullptr) return false;
    return !(IsStringBaseType(field->BaseFieldType()) && column.CaseInsensitive);
  }
  return true;
}

}  // namespace

void TQELIndexDef::Assign(const TQELMetaObjectDef& source) {
  if (this == &source) return;
  TQELMetaObjectDef::Assign(source);
  const auto* index = dynamic_cast<const TQELIndexDef*>(&source);
  if (index == nullptr) return;
  IndexKind = index->IndexKind;
  Unique = index->Unique;
  Primary = index->Primary;
  RootPageNo = index->RootPageNo;
  Temporary = index->Temporary;
  SessionID = index->SessionID;
  ModificationCount = index->ModificationCount;
  FColumns = index->FColumns;
}

void TQELIndexDef::LoadFromStream(TQELStream& stream) {
  TQELMetaObjectDef::LoadFromStream(stream);
  IndexKind = QELReadValue<std::uint8_t>(stream, kErrReadIndexKind);
  Unique = QELReadBool(stream, kErrReadUnique);
  Primary = QELReadBool(stream, kErrReadPrimary);
  const std::int32_t columnCount = QELReadCount(stream, kErrReadColumnCount);
  RootPageNo = QELReadValue<std::int32_t>(stream, kErrReadRootPageNo);
  Temporary = false;
  SessionID = -1;
  ModificationCount = 0;
  FColumns.clear();
  for (std::int32_t i = 0; i < columnCount; ++i) {
    TQELIndexColumn column;
    column.FieldName = QELReadShortString(stream, kErrReadColumnNameLength, kErrReadColumnName);
    column.Descending = QELReadBool(stream, kErrReadDescending);
    column.CaseInsensitive = QELReadBool(stream, kErrReadCaseInsensitive);
    column.MaxIndexedSize = QELReadValue<std::int32_t>(stream, kErrReadMaxIndexedSize);
    FColumns.push_back(std::move(column));
  }
}

void TQELIndexDef::SaveToStream(TQELStream& stream) const {
  TQELMetaObjectDef::SaveToStream(stream);
  QELWriteValue<std::uint8_t>(stream, IndexKind, kErrWriteIndexKind);
  QELWriteBool(stream, Unique, kErrWriteUnique);
  QELWriteBool(stream, Primary, kErrWritePrimary);
  QELWriteValue<std::int32_t>(stream, ColumnCount(), kErrWriteColumnCount);
  QELWriteValue<std::int32_t>(stream, RootPageNo, kErrWriteRootPageNo);
  for (const TQELIndexColumn& column : FColumns) {
    QELWriteShortString(stream, column.FieldName, kErrWriteColumnNameLength, kErrWriteColumnName);
    QELWriteBool(stream, column.Descending, kErrWriteDescending);
    QELWriteBool(stream, column.CaseInsensitive, kErrWriteCaseInsensitive);
    QELWriteValue<std::int32_t>(stream, column.MaxIndexedSize, kErrWriteMaxIndexedSize);
  }
}

void TQELIndexDef::SetColumnCount(std::int32_t count) {
  FColumns.resize(static_cast<std::size_t>(std::max(count, 0)));
}

TQELIndexColumn& TQELIndexDef::AddColumn(std::string_view fieldName, bool descending,
                                         bool caseInsensitive, std::int32_t maxIndexedSize) {
  FColumns.push_back({std::string(fieldName), descending, caseInsensitive, maxIndexedSize});
  return FColumns.back();
}

void TQELIndexDef::SetColumnsFromLists(const std::vector<std::string>& fieldNames,
                                       const std::vector<std::string>& directions,
                                       const std::vector<std::string>& cases) {
  CheckSameLength(fieldNames.size(), directions.size(), kErrColumnsDirections);
  CheckSameLength(fieldNames.size(), cases.size(), kErrColumnsCases);
  FColumns.clear();
  for (std::size_t i = 0; i < fieldNames.size(); ++i) {
    AddColumn(fieldNames[i], directions[i] == "DESC", cases[i] == "NO_CASE");
  }
}

TQELIndexDefs& TQELIndexDefs::operator=(const TQELIndexDefs& other) {
  if (this != &other) {
    TQELIndexDefs copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void TQELIndexDefs::SaveToStream(TQELStream& stream) const {
  std::int32_t storedCount = 0;
  for (std::int32_t i = 0; i < Count(); ++i) storedCount += (*this)[i].Temporary ? 0 : 1;
  QELWriteValue<std::int32_t>(stream, storedCount, kErrWriteIndexCount);
  for (std::int32_t i = 0; i < Count(); ++i) {
    if (!(*this)[i].Temporary) (*this)[i].SaveToStream(stream);
  }
}

std::int32_t TQELIndexDefs::FindIndex(const std::vector<std::string>& fieldNames,
                                      const std::vector<std::string>& directions,
                                      const std::vector<std::string>& cases,
                                      const TQELFieldDefs& fieldDefs,
                                      std::int32_t sessionID) const {
  const std::int32_t position =
      FindServingIndex(fieldNames, directions, cases, fieldDefs, sessionID);
  return position < 0 ? -1 : (*this)[position].ObjectID();
}

std::int32_t TQELIndexDefs::FindServingIndex(const std::vector<std::string>& fieldNames,
                                             const std::vector<std::string>& directions,
                                             const std::vector<std::string>& cases,
                                             const TQELFieldDefs& fieldDefs,
                                             std::int32_t sessionID) const {
  CheckSameLength(fieldNames.size(), directions.size(), kErrFindIndexDirections);
  CheckSameLength(fieldNames.size(), cases.size(), kErrFindIndexCases);
  std::vector<std::string> upperNames;
  upperNames.reserve(fieldNames.size());
  for (const std::string& name : fieldNames) upperNames.push_back(QELUpperCase(name));

  for (std::int32_t i = 0; i < Count(); ++i) {
    const TQELIndexDef& index = (*this)[i];
    if (static_cast<std::size_t>(index.ColumnCount()) < fieldNames.size()) continue;
    if (index.Temporary && index.SessionID != sessionID) continue;
    bool serves = true;
    for (std::size_t c = 0; serves && c < fieldNames.size(); ++c) {
      serves = ColumnServes(index.Columns(static_cast<std::int32_t>(c)), upperNames[c],
                            directions[c], cases[c], fieldDefs);
    }
    if (serves) return i;
  }
  return -1;
}

}  // namespace qel
