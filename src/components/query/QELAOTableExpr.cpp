#include "components/query/QELAOTableExpr.h"

#include <algorithm>
#include <cstring>

#include "components/db/QELSameText.h"
#include "components/query/QELIndexOrder.h"
#include "components/query/QELTemporaryTable.h"
#include "memory/QELMemory.h"
#include "platform/QELException.h"
#include "storage/QELRecordData.h"

namespace qel {

TQELAOTableExpr::TQELAOTableExpr(std::unique_ptr<TQELAOTable> source, TQELSQLSelect& select)
    : FSource(std::move(source)), FSelect(select) {
  FRecordSource = std::make_unique<TQELCursorRecordSource>(*FSource->ResultCursor());
  FRecordSource->SetTableNames(FSource->TableNames());
}

TQELAOTableExpr::~TQELAOTableExpr() { QELDropTemporaryTable(FResult); }

// ---- binding

void TQELAOTableExpr::AddSourceField(std::int32_t fieldNo, const std::string& name) {
  const TQELFieldDef& field = FSource->ResultCursor()->FieldDefs()[fieldNo];
  TOutput& output = FOutputs.emplace_back();
  output.Name = name.empty() ? field.Name() : name;
  output.DataType = field.AdvancedFieldType();
  output.Size = field.Size();
  output.SourceField = fieldNo;
}

void TQELAOTableExpr::CheckGrouped(const TQELSelectListItem& item) const {
  const TQELFieldDefs& fields = FSource->ResultCursor()->FieldDefs();
  const std::int32_t fieldNo = fields.IndexOfName(item.FieldName);
  for (const std::int32_t grouped : FGroupFields) {
    if (grouped == fieldNo) return;
  }
  throw EQELException(10342,
                      "Field is not included in GROUP BY list. Table name = '%s', Field name = '%s', FieldNo = "
                      "%d, Found field name = '%s'",
                      {item.TableName, item.FieldName, fieldNo, fieldNo >= 0 ? fields[fieldNo].Name() : std::string()});
}

void TQELAOTableExpr::BindSelectList() {
  TQELCursor& cursor = *FSource->ResultCursor();
  const TQELFieldDefs& fields = cursor.FieldDefs();
  std::string groupNames;
  for (std::int32_t i = 0; i < FSelect.GroupBy().Count(); ++i) {
    const TQELSelectListItem& item = FSelect.GroupBy().Items[static_cast<std::size_t>(i)];
    const std::int32_t fieldNo = fields.IndexOfName(item.FieldName);
    if (item.Expression || fieldNo < 0) {
      throw EQELException(20245,
                          "Invalid field for GROUP BY. Table name = '%s', FieldName = '%s', i = %d, FieldExists = %d",
                          {cursor.TableName(), item.FieldName, i, 0});
    }
    FGroupFields.push_back(fieldNo);
    if (!groupNames.empty()) groupNames += ';';
    groupNames += fields[fieldNo].Name();
  }
  FAggregating = !FGroupFields.empty();
  if (!FSelect.SelectAll()) {
    for (const TQELSelectListItem& item : FSelect.SelectList()) {
      if (item.Expression && item.Expression->HasAggregate()) FAggregating = true;
    }
  }
  const auto addAll = [&] {
    for (std::int32_t i = 0; i < fields.Count(); ++i) AddSourceField(i, {});
  };
  if (FSelect.SelectAll()) addAll();
  for (TQELSelectListItem& item : FSelect.SelectList()) {
    if (item.IsAllColumns) {
      addAll();
    } else if (!item.Expression) {
      const std::int32_t fieldNo = fields.IndexOfName(item.FieldName);
      if (fieldNo < 0) throw EQELException(10305, "Cannot find field %s", {item.FieldName});
      if (FAggregating) CheckGrouped(item);
      AddSourceField(fieldNo, item.Pseudonym);
    } else {
      TQELExpression& expression = *item.Expression;
      expression.BindToCursor(FRecordSource.get(), nullptr, FSource->Context().OuterSource);
      if (FAggregating && !expression.HasAggregate() && !expression.UsesOnlyFields(groupNames)) {
        throw EQELException(20269,
                            "Expression (Name=\"%s\", DisplayName=\"%s\") cannot be used with GROUP BY. Possibly "
                            "expression is not aggregate, but it uses fields not included into group fields",
                            {item.FieldName, item.Pseudonym});
      }
      TOutput& output = FOutputs.emplace_back();
      output.Name = item.Pseudonym;
      output.DataType = expression.GetDataType();
      output.Size = expression.GetDataSize();
      output.Expression = &expression;
    }
  }
  if (FAggregating && FSelect.SelectAll()) {
    for (const TOutput& output : FOutputs) {
      TQELSelectListItem item;
      item.FieldName = fields[output.SourceField].Name();
      CheckGrouped(item);
    }
  }
  if (FSelect.Having() != nullptr) {
    FSelect.Having()->BindToCursor(FRecordSource.get(), nullptr, FSource->Context().OuterSource);
  }
  NameColumns();
}

void TQELAOTableExpr::NameColumns() {
  std::vector<std::string> names;
  for (const TOutput& output : FOutputs) names.push_back(output.Name);
  QELNameColumns(names);
  for (std::size_t i = 0; i < names.size(); ++i) FOutputs[i].Name = std::move(names[i]);
  FColumns.clear();
  for (const TOutput& output : FOutputs) {
    TQELFieldLink& column = FColumns.emplace_back();
    column.DisplayName = output.Name;
    column.FieldName = output.Name;
    column.DataType = output.DataType;
    column.Size = output.Size;
    column.IsHidden = false;
    column.IsExpression = output.Expression != nullptr;
    column.IsAggregate = output.Expression != nullptr && output.Expression->HasAggregate();
  }
}

void TQELAOTableExpr::SetOrder(const std::vector<TQELSortKey>& sortKeys) {
  for (const TQELSortKey& sortKey : sortKeys) {
    std::string name;
    if (const std::int32_t position = QELSortKeyPosition(sortKey, FOutputs.size()); position >= 0) {
      name = FOutputs[static_cast<std::size_t>(position)].Name;
    } else {
      for (const TOutput& output : FOutputs) {
        if (QELSameText(output.Name, sortKey.FieldName)) name = output.Name;
      }
      if (name.empty()) QELRaiseSortKeyNotFound(sortKey);
    }
    FOrderFields.push_back(name);
    FOrderDirections.push_back(sortKey.Descending ? "DESC" : "ASC");
  }
}

// ---- materialising

std::unique_ptr<TQELTable> TQELAOTableExpr::NewResultTable() const {
  std::vector<TQELResultColumn> columns;
  for (const TOutput& output : FOutputs) columns.push_back({output.Name, output.DataType, output.Size});
  return QELNewTemporaryTable(columns);
}

void TQELAOTableExpr::GroupValues(const std::uint8_t* record, std::vector<TQELVariant>& values) const {
  const TQELFieldDefs& fields = FSource->ResultCursor()->FieldDefs();
  values.resize(FGroupFields.size());
  for (std::size_t i = 0; i < FGroupFields.size(); ++i) {
    GetFieldValue(FGroupFields[i], fields, record, values[i], cmCopy);
  }
}

void TQELAOTableExpr::ResetGroup() {
  for (TOutput& output : FOutputs) {
    if (output.Expression != nullptr) output.Expression->ResetAggregate();
  }
  if (FSelect.Having() != nullptr) FSelect.Having()->ResetAggregate();
}

void TQELAOTableExpr::AccumulateRow() {
  for (TOutput& output : FOutputs) {
    if (output.Expression != nullptr) output.Expression->Accumulate();
  }
  if (FSelect.Having() != nullptr) FSelect.Having()->Accumulate();
}

void TQELAOTableExpr::OutputValue(std::size_t index, TQELVariant& value) {
  const TOutput& output = FOutputs[index];
  if (output.Expression != nullptr) {
    value = output.Expression->GetValue(true);
    return;
  }
  const TQELFieldDefs& fields = FSource->ResultCursor()->FieldDefs();
  const std::uint8_t* record = FRecordSource->CurrentRecord();
  if (IsBlobBaseType(fields[output.SourceField].BaseFieldType())) {
    FRecordSource->ReadBlobValue(output.SourceField, record, value);
  } else {
    GetFieldValue(output.SourceField, fields, record, value, cmCopy);
  }
}

bool TQELAOTableExpr::AppendRow() {
  if (FSelect.Having() != nullptr && !FSelect.Having()->Holds()) return false;
  if (FRowSink != nullptr) {
    std::vector<TQELVariant>& row = FRowSink->emplace_back(FOutputs.size());
    for (std::size_t i = 0; i < FOutputs.size(); ++i) OutputValue(i, row[i]);
    return true;
  }
  FResult->Append();
  try {
    TQELVariant value;
    for (std::size_t i = 0; i < FOutputs.size(); ++i) {
      OutputValue(i, value);
      FResult->Fields(static_cast<std::int32_t>(i)).SetAsVariant(value);
    }
    FResult->Post();
  } catch (...) {
    FResult->Cancel();
    throw;
  }
  return true;
}

bool TQELAOTableExpr::CountsOnly() const {
  if (!FAggregating || !FGroupFields.empty() || FSelect.Having() != nullptr || FOutputs.empty()) return false;
  return std::all_of(FOutputs.begin(), FOutputs.end(), [](const TOutput& output) {
    return output.Expression != nullptr && output.Expression->IsCountAll();
  });
}

void TQELAOTableExpr::ChooseTopRowsByHeap() {
  if (FSelect.TopCount() < 0 || FOrderFields.empty() || FAggregating || FSelect.Distinct()) return;
  const TQELFieldDefs& fields = FSource->ResultCursor()->FieldDefs();
  std::vector<std::string> names;
  for (const std::string& orderField : FOrderFields) {
    const auto output = std::find_if(FOutputs.begin(), FOutputs.end(),
                                     [&](const TOutput& candidate) { return QELSameText(candidate.Name, orderField); });
    if (output == FOutputs.end() || output->SourceField < 0) return;
    const TQELFieldDef& field = fields[output->SourceField];
    if (IsBlobBaseType(field.BaseFieldType())) return;
    names.push_back(field.Name());
  }
  FCopyLimit = std::max<std::int64_t>(FSelect.TopStart(), 1) - 1 + FSelect.TopCount();
  FTopRows = std::make_unique<TQELTopRows>(
      std::make_unique<TQELIndexOrder>(fields, names, FOrderDirections, std::vector<std::string>(names.size(), "CASE")),
      FCopyLimit);
}

TQELIndexColumnRequest TQELAOTableExpr::GroupOrder() const {
  const TQELFieldDefs& fields = FSource->ResultCursor()->FieldDefs();
  TQELIndexColumnRequest order;
  for (const std::int32_t fieldNo : FGroupFields) order.FieldNames.push_back(fields[fieldNo].Name());
  order.Directions.assign(order.FieldNames.size(), "ASC");
  order.Cases.assign(order.FieldNames.size(), "CASE");
  return order;
}

// Group rows are sorted in memory unless something reads a BLOB value:
// the copies of the records are not where the table's cursor keeps the
// values it has read.
void TQELAOTableExpr::ChooseGroupOrder() {
  if (FGroupFields.empty()) return;
  const TQELFieldDefs& fields = FSource->ResultCursor()->FieldDefs();
  std::string plainFields;
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (IsBlobBaseType(fields[i].BaseFieldType())) continue;
    if (!plainFields.empty()) plainFields += ';';
    plainFields += fields[i].Name();
  }
  FGroupsInMemory = std::all_of(FOutputs.begin(), FOutputs.end(), [&](const TOutput& output) {
    return output.Expression == nullptr || output.Expression->UsesOnlyFields(plainFields);
  });
  if (FSelect.Having() != nullptr && !FSelect.Having()->UsesOnlyFields(plainFields)) FGroupsInMemory = false;
  if (!FGroupsInMemory) OrderSourceByGroups();
}

void TQELAOTableExpr::OrderSourceByGroups() {
  TQELIndexColumnRequest order = GroupOrder();
  FSource->SetOrder(std::move(order.FieldNames), std::move(order.Directions), std::move(order.Cases));
}

std::unique_ptr<TQELSortedRecords> TQELAOTableExpr::SortGroupRows(TQELCursor& cursor) {
  const TQELIndexColumnRequest order = GroupOrder();
  const auto limit = static_cast<std::size_t>(QELMemoryManager().AvailableMemory() / 10);
  auto rows = std::make_unique<TQELSortedRecords>(
      std::make_unique<TQELIndexOrder>(cursor.FieldDefs(), order.FieldNames, order.Directions, order.Cases),
      static_cast<std::size_t>(cursor.RecordSize), limit);
  cursor.First();
  while (cursor.GetRecord(grmNext) == grOK) {
    if (rows->Add(cursor.RecordBuffer, cursor.Position)) continue;
    // Too many rows to hold: the source is walked in the order of an index
    // from now on.
    FGroupsInMemory = false;
    cursor.SetIndexName(cursor.GetIndexForFields(order.FieldNames, order.Directions, order.Cases));
    return nullptr;
  }
  rows->Sort();
  return rows;
}

void TQELAOTableExpr::CopyTopRows(TQELCursor& cursor) {
  if (FCopyLimit == 0) return;
  cursor.First();
  while (cursor.GetRecord(grmNext) == grOK) FTopRows->Offer(cursor.RecordBuffer, cursor.Position);
  for (const TQELRecordID& recordID : FTopRows->TakeInOrder()) {
    cursor.RestorePosition({false, false, recordID});
    if (cursor.GetRecord(grmCurrent) != grOK) throw EQELException(20170, "Cannot retreive record for index");
    AppendRow();
  }
}

void TQELAOTableExpr::CopyRows() {
  TQELCursor& cursor = *FSource->ResultCursor();
  std::uint8_t* const saved = cursor.RecordBuffer;
  std::uint8_t* buffer = cursor.AllocRecordBuffer();
  cursor.RecordBuffer = buffer;
  struct TRestore {
    TQELCursor& Cursor;
    std::uint8_t* Saved;
    std::uint8_t*& Buffer;
    TQELCursorRecordSource& Source;
    ~TRestore() {
      Source.SetJudgedRecord(nullptr);
      Cursor.RecordBuffer = Saved;
      Cursor.FreeRecordBuffer(Buffer);
    }
  } restore{cursor, saved, buffer, *FRecordSource};

  const auto size = static_cast<std::size_t>(cursor.RecordSize);
  std::vector<std::uint8_t> previous(size);
  std::vector<TQELVariant> previousKeys;
  bool any = false;
  ResetGroup();
  if (CountsOnly()) {
    // The cursor's count already honours the whole WHERE, which is its
    // filter; with no rows it is 0, still one row.
    const std::int64_t count = cursor.GetRecordCount();
    for (TOutput& output : FOutputs) output.Expression->SetAggregateCount(static_cast<std::int32_t>(count));
    AppendRow();
    return;
  }
  if (FTopRows) {
    CopyTopRows(cursor);
    return;
  }
  std::vector<TQELVariant> keys;
  // Takes the row in `buffer`.
  const auto takeRow = [&] {
    if (!FAggregating) {
      AppendRow();
      return;
    }
    GroupValues(buffer, keys);
    if (any && !QELSameValues(keys, previousKeys)) {
      FRecordSource->SetJudgedRecord(previous.data());
      AppendRow();
      FRecordSource->SetJudgedRecord(nullptr);
      ResetGroup();
    }
    any = true;
    AccumulateRow();
    std::memcpy(previous.data(), buffer, size);
    previousKeys.swap(keys);
  };
  std::unique_ptr<TQELSortedRecords> sorted = FGroupsInMemory ? SortGroupRows(cursor) : nullptr;
  if (sorted) {
    for (std::size_t i = 0; i < sorted->Count(); ++i) {
      std::memcpy(buffer, sorted->Record(i), size);
      takeRow();
    }
  } else {
    cursor.First();
    while (cursor.GetRecord(grmNext) == grOK) takeRow();
  }
  if (!FAggregating) return;
  if (any) {
    FRecordSource->SetJudgedRecord(previous.data());
    AppendRow();
  } else if (FGroupFields.empty()) {
    // Aggregates over no rows still make their one row.
    AppendRow();
  }
}

void TQELAOTableExpr::Recopy(bool distinct, std::int64_t start, std::int64_t count) {
  std::unique_ptr<TQELTable> target = NewResultTable();
  try {
    std::vector<TQELVariant> previous, values;
    bool any = false;
    std::int64_t row = 0;
    std::int64_t kept = 0;
    for (FResult->First(); !FResult->Eof() && (count < 0 || kept < count); FResult->Next()) {
      values.clear();
      for (std::int32_t i = 0; i < FResult->FieldCount(); ++i) values.push_back(FResult->Fields(i).AsVariant());
      if (distinct && any && QELSameValues(values, previous)) continue;
      any = true;
      previous = values;
      if (++row < start) continue;
      target->Append();
      for (std::size_t i = 0; i < values.size(); ++i) target->Fields(static_cast<std::int32_t>(i)).SetAsVariant(values[i]);
      target->Post();
      ++kept;
    }
  } catch (...) {
    QELDropTemporaryTable(target);
    throw;
  }
  QELDropTemporaryTable(FResult);
  FResult = std::move(target);
}

// Equal rows lie next to each other in the order of all columns (BLOB
// columns, which have no order, are left out of it).
void TQELAOTableExpr::RemoveDuplicates() {
  std::vector<std::string> fields;
  for (const TOutput& output : FOutputs) {
    if (!IsBlobAdvancedType(QELStoredType(output.DataType))) fields.push_back(output.Name);
  }
  if (!fields.empty()) QELOrderTable(*FResult, fields, std::vector<std::string>(fields.size(), "ASC"));
  Recopy(true, 1, -1);
}

// TOP counts in the ORDER BY order; the copy it keeps is in that order
// already.
void TQELAOTableExpr::ApplyOrderAndTop() {
  if (!FOrderFields.empty()) QELOrderTable(*FResult, FOrderFields, FOrderDirections);
  if (FSelect.TopCount() >= 0) {
    Recopy(false, FSelect.TopStart() > 0 ? FSelect.TopStart() : 1, FSelect.TopCount());
  }
}

void TQELAOTableExpr::Materialise() {
  FResult = NewResultTable();
  CopyRows();
  if (FSelect.Distinct()) RemoveDuplicates();
  ApplyOrderAndTop();
  FResult->First();
}

void TQELAOTableExpr::Open() {
  ChooseTopRowsByHeap();
  ChooseGroupOrder();
  FSource->Open();
  Materialise();
  if (FSource->Context().OuterSource != nullptr) {
    // Kept for the next run, but not locked between runs.
    FSource->Unlock(20227);
    return;
  }
  // The copy no longer needs its input.
  FRecordSource.reset();
  FSource.reset();
}

bool TQELAOTableExpr::CanComputeRows() const {
  return CanRerun() && !FSelect.Distinct() && FSelect.TopCount() < 0;
}

void TQELAOTableExpr::ComputeRows(std::vector<std::vector<TQELVariant>>& rows) {
  if (!CanComputeRows()) throw EQELException(10308, "Nil pointer occured");
  rows.clear();
  FSource->Renew();
  struct TSink {
    std::vector<std::vector<TQELVariant>>*& Sink;
    ~TSink() { Sink = nullptr; }
  } sink{FRowSink};
  FRowSink = &rows;
  CopyRows();
}

void TQELAOTableExpr::Rerun() {
  if (!FSource) throw EQELException(10308, "Nil pointer occured");
  QELDropTemporaryTable(FResult);
  FSource->Renew();
  Materialise();
}

}  // namespace qel
