#include "components/query/QELTemporaryTable.h"

#include <algorithm>

#include "components/db/QELSameText.h"
#include "components/query/QELAO.h"
#include "components/QELDataSet.h"

namespace qel {

TQELAdvancedFieldType QELStoredType(TQELAdvancedFieldType type) {
  switch (type) {
    case aftAutoinc:
    case aftAutoincInteger:
      return aftInteger;
    case aftAutoincShortint:
      return aftShortint;
    case aftAutoincSmallint:
      return aftSmallint;
    case aftAutoincLargeint:
      return aftLargeint;
    case aftAutoincByte:
      return aftByte;
    case aftAutoincWord:
      return aftWord;
    case aftAutoincCardinal:
      return aftCardinal;
    case aftUnknown:
      return aftString;
    default:
      return type;
  }
}

std::unique_ptr<TQELTable> QELNewTemporaryTable(const std::vector<TQELResultColumn>& columns,
                                                const std::string& sessionName) {
  auto table = std::make_unique<TQELTable>();
  if (!sessionName.empty()) table->SetSessionName(sessionName);
  table->SetTemporary(true);
  table->DisableTempFiles = true;
  do {
    table->SetTableName(QELUniqueName("TEMPORARY_TABLE_"));
  } while (table->Exists());
  for (const TQELResultColumn& column : columns) {
    TQELAdvFieldDef& field = table->AdvFieldDefs.Add();
    field.Name = column.Name;
    field.DataType = QELStoredType(column.DataType);
    const bool sized = IsStringLikeAdvancedType(field.DataType) || IsBytesAdvancedType(field.DataType);
    field.Size = sized ? std::max(column.Size, 1) : 0;
  }
  table->CreateTable();
  try {
    table->Open();
  } catch (...) {
    QELDropTemporaryTable(table);
    throw;
  }
  return table;
}

void QELDropTemporaryTable(std::unique_ptr<TQELTable>& table) {
  if (!table) return;
  try {
    table->Close();
    table->DeleteTable();
  } catch (...) {
  }
  table.reset();
}

void QELOrderTable(TQELTable& table, const std::vector<std::string>& fields,
                   const std::vector<std::string>& directions) {
  const std::vector<std::string> cases(fields.size(), "CASE");
  table.SetIndexName(table.Cursor()->GetIndexForFields(fields, directions, cases));
}

TQELRowAppender::TQELRowAppender(TQELTable& table) : FCursor(*table.Cursor()) {
  FBuffer = FCursor.AllocRecordBuffer();
}

TQELRowAppender::~TQELRowAppender() { FCursor.FreeRecordBuffer(FBuffer); }

void TQELRowAppender::Begin() { FCursor.InitRecord(FBuffer, false); }

void TQELRowAppender::Set(std::int32_t fieldNo, const TQELVariant& value) {
  FCursor.SetFieldValue(value, fieldNo, FBuffer, false);
}

void TQELRowAppender::Post() {
  std::uint8_t* const saved = FCursor.RecordBuffer;
  FCursor.RecordBuffer = FBuffer;
  try {
    FCursor.Post(true);
  } catch (...) {
    FCursor.RecordBuffer = saved;
    throw;
  }
  FCursor.RecordBuffer = saved;
  if (FCursor.Status != csOK) throw EQELEngineError(FCursor.Status, FCursor.ErrorText);
}

bool QELSameValue(const TQELVariant& a, const TQELVariant& b) {
  const std::int32_t code = a.Compare(b, false, false, false);
  return code == ccEqual || code == ccBothNull;
}

bool QELSameValues(const std::vector<TQELVariant>& a, const std::vector<TQELVariant>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!QELSameValue(a[i], b[i])) return false;
  }
  return true;
}

void QELNameColumns(std::vector<std::string>& names) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string& name = names[i];
    if (name.empty()) name = QELUniqueName("Expr");
    const auto taken = [&](const std::string& candidate) {
      return std::any_of(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(i),
                         [&](const std::string& earlier) { return QELSameText(earlier, candidate); });
    };
    if (!taken(name)) continue;
    for (int n = 1;; ++n) {
      std::string candidate = name + "_" + std::to_string(n);
      if (!taken(candidate)) {
        name = std::move(candidate);
        break;
      }
    }
  }
}

}  // namespace qel
