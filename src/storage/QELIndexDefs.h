#pragma once
// The index definitions of a table: the key columns of each index with their
// order and case rules, its kind, uniqueness and root page, and the search
// for an index that can serve a requested sort order.
//
// Stored form of one index, after the common header:
//   IndexKind (uint8), Unique (uint8), Primary (uint8),
//   column count c (int32), RootPageNo (int32),
//   c columns: field name (uint8 length, bytes), Descending (uint8),
//     CaseInsensitive (uint8), MaxIndexedSize (int32).
// Temporary indexes belong to one session's query and are never stored.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "storage/QELFieldDefs.h"
#include "storage/QELMetaObjectDefs.h"

namespace qel {

// One key column of an index.
struct TQELIndexColumn {
  static constexpr std::int32_t kDefaultMaxIndexedSize = 20;

  std::string FieldName;
  bool Descending = false;
  bool CaseInsensitive = false;
  // For string fields: how many leading characters go into the key.
  std::int32_t MaxIndexedSize = kDefaultMaxIndexedSize;

  bool operator==(const TQELIndexColumn&) const = default;
};

class TQELIndexDef : public TQELMetaObjectDef {
 public:
  TQELIndexDef() = default;
  TQELIndexDef(const TQELIndexDef& other) : TQELMetaObjectDef() { Assign(other); }
  TQELIndexDef& operator=(const TQELIndexDef& other) {
    if (this != &other) Assign(other);
    return *this;
  }

  // Copies name, number, every setting (Temporary, SessionID and
  // ModificationCount too) and every column. From a definition of another
  // class only the name and number are copied.
  void Assign(const TQELMetaObjectDef& source) override;
  // Reading makes a stored index: Temporary false, no session. Columns are
  // read one at a time, so a damaged count fails at the first short read.
  void LoadFromStream(TQELStream& stream) override;
  void SaveToStream(TQELStream& stream) const override;

  std::int32_t ColumnCount() const { return static_cast<std::int32_t>(FColumns.size()); }
  TQELIndexColumn& Columns(std::int32_t index) { return FColumns[static_cast<std::size_t>(index)]; }
  const TQELIndexColumn& Columns(std::int32_t index) const {
    return FColumns[static_cast<std::size_t>(index)];
  }
  // Growing appends empty columns, shrinking drops the columns beyond
  // `count`.
  void SetColumnCount(std::int32_t count);
  TQELIndexColumn& AddColumn(std::string_view fieldName, bool descending = false,
                             bool caseInsensitive = false,
                             std::int32_t maxIndexedSize = TQELIndexColumn::kDefaultMaxIndexedSize);
  // The columns become `fieldNames` in order: descending exactly where the
  // direction is "DESC", case-insensitive exactly where the case entry is
  // "NO_CASE", MaxIndexedSize 20. Lists of different lengths raise "Error -
  // different lists length. L1 = %d, L2 = %d" (10278 directions, 10279
  // cases) and change nothing.
  void SetColumnsFromLists(const std::vector<std::string>& fieldNames,
                           const std::vector<std::string>& directions,
                           const std::vector<std::string>& cases);

  std::uint8_t IndexKind = 0;
  bool Unique = false;
  bool Primary = false;
  // -1 until the index has a root page.
  std::int32_t RootPageNo = -1;
  // Not stored.
  bool Temporary = false;
  std::int32_t SessionID = -1;
  // Raised by one whenever the index's contents change.
  std::int32_t ModificationCount = 0;

 private:
  std::vector<TQELIndexColumn> FColumns;
};

class TQELIndexDefs : public TQELMetaObjectDefsOf<TQELIndexDef> {
 public:
  TQELIndexDefs() = default;
  // Plain deep copies; Assign is the checked copy.
  TQELIndexDefs(const TQELIndexDefs& other) : TQELMetaObjectDefsOf<TQELIndexDef>() {
    AppendCopies(other);
  }
  TQELIndexDefs& operator=(const TQELIndexDefs& other);
  TQELIndexDefs(TQELIndexDefs&&) noexcept = default;
  TQELIndexDefs& operator=(TQELIndexDefs&&) noexcept = default;

  std::string_view ClassName() const override { return "TQELIndexDefs"; }

  using TQELMetaObjectDefsOf<TQELIndexDef>::Add;
  // Appends a new definition with default settings and answers it.
  TQELIndexDef& Add() { return Add(std::make_unique<TQELIndexDef>()); }
  TQELIndexDef& InternalAddCreated() override { return Add(); }
  // Writes only the indexes that are not temporary, in list order, behind
  // their count.
  void SaveToStream(TQELStream& stream) const override;

  TQELIndexDef& GetIndexDef(std::int32_t index) { return (*this)[index]; }
  void SetIndexDef(std::int32_t index, std::unique_ptr<TQELIndexDef> def) {
    SetItem(index, std::move(def));
  }
  TQELIndexDef* FindIndexByName(std::string_view name) { return FindByName(name); }
  const TQELIndexDef* FindIndexByName(std::string_view name) const { return FindByName(name); }

  // The ObjectID of the first index, in list order, that serves a sort or
  // search on `fieldNames` with the given directions ("ASC", "DESC") and
  // case rules ("CASE", "NO_CASE"), or -1. An index serves it when it has at
  // least as many columns, is stored or is a temporary index of
  // `sessionID`, and each requested column names the index column's field
  // (ignoring case) with a matching direction and case rule. "NO_CASE"
  // needs a case-insensitive column; "CASE" needs a case-sensitive one over
  // a string field and is met by any column over another field of
  // `fieldDefs` (a field missing there cannot be shown to meet it). Lists of
  // different lengths raise "Error - different lists length. L1 = %d, L2 =
  // %d" (10276 directions, 10277 cases).
  std::int32_t FindIndex(const std::vector<std::string>& fieldNames,
                         const std::vector<std::string>& directions,
                         const std::vector<std::string>& cases, const TQELFieldDefs& fieldDefs,
                         std::int32_t sessionID) const;
  // Whether some index serves the request. Unlike FindIndex != -1 it also
  // counts an index that has no number yet.
  bool IndexExists(const std::vector<std::string>& fieldNames,
                   const std::vector<std::string>& directions,
                   const std::vector<std::string>& cases, const TQELFieldDefs& fieldDefs,
                   std::int32_t sessionID) const {
    return FindServingIndex(fieldNames, directions, cases, fieldDefs, sessionID) >= 0;
  }

 private:
  // Position of the first index that serves the request, or -1.
  std::int32_t FindServingIndex(const std::vector<std::string>& fieldNames,
                                const std::vector<std::string>& directions,
                                const std::vector<std::string>& cases,
                                const TQELFieldDefs& fieldDefs, std::int32_t sessionID) const;
};

}  // namespace qel
