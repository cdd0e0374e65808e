#pragma once
// A source table for the copy, import, restructure and repair tests: SRC
// with an integer key, an indexed term, a 64-bit number, a compressed memo
// and a BLOB, some of them NULL; and its rows as texts to compare tables by.

#include <cstdint>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELTable.h"
#include "support/Hex.h"

namespace qel::test {

inline void DefineSource(TQELTable& table) {
  table.AdvFieldDefs.Clear();
  table.AdvIndexDefs.Clear();
  table.AdvFieldDefs.Add("ID", aftInteger).Required = true;
  table.AdvFieldDefs.Add("TERM", aftString, 40);
  table.AdvFieldDefs.Add("N", aftLargeint);
  TQELAdvFieldDef& note = table.AdvFieldDefs.Add("NOTE", aftMemo);
  note.BlobCompressionAlgorithm = 1;
  note.BlobCompressionMode = 6;
  table.AdvFieldDefs.Add("PIC", aftBlob);
  table.AdvIndexDefs.Add("PK_SRC", "ID", kQELIndexPrimary | kQELIndexUnique);
  table.AdvIndexDefs.Add("IX_TERM", "TERM");
}

// Row i: TERM "istilah i", N i * 10^10 (past 32 bits), a memo on most rows
// and a BLOB on every third; row 3 has no TERM.
inline void FillSource(TQELTable& table, int rows) {
  const bool wasOpen = table.Active();
  table.Open();
  for (int i = 1; i <= rows; ++i) {
    table.Append();
    table.FieldByName("ID").SetAsInteger(i);
    if (i != 3) table.FieldByName("TERM").SetAsString("istilah " + std::to_string(i));
    table.FieldByName("N").SetAsLargeInt(std::int64_t{i} * 10'000'000'000);
    if (i % 4 != 0) {
      table.FieldByName("NOTE").SetAsString("catatan untuk istilah " + std::to_string(i) + std::string(i % 7 * 30, 'x'));
    }
    if (i % 3 == 0) table.FieldByName("PIC").SetAsBytes({static_cast<std::uint8_t>(i), 0, 1, 2, 255});
    table.Post();
  }
  if (!wasOpen) table.Close();
}

inline std::string FieldText(const TField& field) {
  if (field.IsNull()) return "<null>";
  if (field.DataType() == ftBlob) return ToHex(field.AsBytes());
  return field.AsString();
}

// Every row of the open table, in its current order, one text per row with
// the named fields (every field when none are named).
inline std::vector<std::string> RowTexts(TQELTable& table, const std::vector<std::string>& fields = {}) {
  std::vector<std::string> rows;
  for (table.First(); !table.Eof(); table.Next()) {
    std::string row;
    if (fields.empty()) {
      for (std::int32_t i = 0; i < table.FieldCount(); ++i) row += FieldText(table.Fields(i)) + "|";
    } else {
      for (const std::string& name : fields) row += FieldText(table.FieldByName(name)) + "|";
    }
    rows.push_back(row);
  }
  return rows;
}

// The rows of a closed table, opened for the read and closed again.
inline std::vector<std::string> RowTextsOf(TQELTable& table, const std::vector<std::string>& fields = {}) {
  table.Open();
  std::vector<std::string> rows = RowTexts(table, fields);
  table.Close();
  return rows;
}

}  // namespace qel::test
