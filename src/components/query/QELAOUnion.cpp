// UNION, INTERSECT and EXCEPT.

#include "components/query/QELAOUnion.h"

#include <algorithm>
#include <cstring>

#include "components/QELDataSet.h"
#include "components/db/QELSameText.h"
#include "components/query/QELPlan.h"
#include "platform/QELException.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

// A number delivered into a string column needs room for its text.
constexpr std::int32_t kNumberTextSize = 40;

bool IsIntegerType(TQELAdvancedFieldType type) { return type >= aftShortint && type <= aftCardinal; }
bool IsUnsignedType(TQELAdvancedFieldType type) { return type >= aftByte && type <= aftCardinal; }
bool IsFloatType(TQELAdvancedFieldType type) { return type >= aftSingle && type <= aftExtended; }
bool IsNumberType(TQELAdvancedFieldType type) {
  return IsIntegerType(type) || IsFloatType(type) || type == aftCurrency;
}
bool IsDateType(TQELAdvancedFieldType type) { return type >= aftDate && type <= aftTimeStamp; }
bool IsTextBlobType(TQELAdvancedFieldType type) { return type >= aftMemo && type <= aftWideMemo; }

// The bits a signed integer needs to hold every value of `type`.
int SignedBits(TQELAdvancedFieldType type) {
  switch (type) {
    case aftShortint:
      return 8;
    case aftSmallint:
    case aftByte:
      return 16;
    case aftInteger:
    case aftWord:
      return 32;
    default:
      return 64;
  }
}

TQELAdvancedFieldType SignedTypeOf(int bits) {
  switch (bits) {
    case 8:
      return aftShortint;
    case 16:
      return aftSmallint;
    case 32:
      return aftInteger;
    default:
      return aftLargeint;
  }
}

TQELAdvancedFieldType CommonNumberType(TQELAdvancedFieldType a, TQELAdvancedFieldType b) {
  if (IsIntegerType(a) && IsIntegerType(b)) {
    // Unsigned types are ordered by width: Byte < Word < Cardinal.
    if (IsUnsignedType(a) && IsUnsignedType(b)) return std::max(a, b);
    return SignedTypeOf(std::max(SignedBits(a), SignedBits(b)));
  }
  if (a == aftExtended || b == aftExtended) return aftExtended;
  const TQELAdvancedFieldType other = a == aftCurrency ? b : a;
  if ((a == aftCurrency || b == aftCurrency) && IsIntegerType(other) && SignedBits(other) <= 32) return aftCurrency;
  return aftDouble;
}

TQELAdvancedFieldType CommonDateType(TQELAdvancedFieldType a, TQELAdvancedFieldType b) {
  return a == aftTimeStamp || b == aftTimeStamp ? aftTimeStamp : aftDateTime;
}

// Names the union type of a set operation, raising 10336 for any other
// node.
TQELUnionType UnionTypeOf(TQELQueryOperation operation) {
  switch (operation) {
    case qoUnion:
      return utUnion;
    case qoIntersect:
      return utIntersect;
    case qoExcept:
      return utExcept;
    default:
      throw EQELException(10336, "Invalid union type = %d", {static_cast<std::int64_t>(operation)});
  }
}

std::uint64_t HashBytes(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t hash = 0x9E3779B97F4A7C15ull ^ size;
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + at, 8);
    hash = (hash ^ word) * 0xBF58476D1CE4E5B9ull;
    hash ^= hash >> 31;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, bytes + at, size - at);
  hash = (hash ^ tail) * 0x94D049BB133111EBull;
  return hash ^ (hash >> 29);
}

}  // namespace

TQELResultColumn QELCommonColumn(const TQELResultColumn& left, const TQELResultColumn& right) {
  TQELResultColumn result = left;
  const TQELAdvancedFieldType a = QELStoredType(left.DataType);
  const TQELAdvancedFieldType b = QELStoredType(right.DataType);
  result.DataType = a;
  result.Size = std::max(left.Size, right.Size);
  if (a == b) return result;
  const bool wide = IsWideStringAdvancedType(a) || IsWideStringAdvancedType(b) || a == aftWideMemo || b == aftWideMemo;
  if (IsNumberType(a) && IsNumberType(b)) {
    result.DataType = CommonNumberType(a, b);
  } else if (IsDateType(a) && IsDateType(b)) {
    result.DataType = CommonDateType(a, b);
  } else if (IsStringAdvancedType(a) && IsStringAdvancedType(b)) {
    result.DataType = wide ? aftWideString : aftString;
  } else if ((IsTextBlobType(a) || IsStringLikeAdvancedType(a)) && (IsTextBlobType(b) || IsStringLikeAdvancedType(b))) {
    result.DataType = wide ? aftWideMemo : aftMemo;
  } else if (IsBlobAdvancedType(a) || IsBlobAdvancedType(b)) {
    result.DataType = aftBlob;
  } else if (IsBytesAdvancedType(a) && IsBytesAdvancedType(b)) {
    result.DataType = aftVarBytes;
  } else if (IsStringLikeAdvancedType(a) || IsStringLikeAdvancedType(b)) {
    // Values of another kind meet a string column as their text.
    result.DataType = wide ? aftWideString : aftString;
    result.Size = std::max(result.Size, kNumberTextSize);
  }
  return result;
}

// ---- the rows of one input

// Reads the rows of one input and converts each into the result record:
// a value whose storage matches the result column's is copied as it is,
// any other goes through a variant.
class TQELAOUnion::TRowReader {
 public:
  TRowReader(TQELCursor& cursor, const std::vector<std::int32_t>& columns, TQELCursor& target)
      : FCursor(cursor), FTarget(target), FSaved(cursor.RecordBuffer), FBuffer(cursor.AllocRecordBuffer()) {
    FCursor.RecordBuffer = FBuffer;
    const TQELFieldDefs& sourceFields = cursor.FieldDefs();
    const TQELFieldDefs& targetFields = target.FieldDefs();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      TPairCopy& copy = FCopies.emplace_back();
      copy.Visible = columns[i];
      copy.Source = cursor.SourceFieldNo(columns[i]);
      copy.Target = static_cast<std::int32_t>(i);
      const TQELFieldDef& from = sourceFields[copy.Source];
      const TQELFieldDef& to = targetFields[copy.Target];
      copy.TargetIsBlob = IsBlobBaseType(to.BaseFieldType());
      const bool sameType = from.BaseFieldType() == to.BaseFieldType() && !copy.TargetIsBlob;
      const bool longerString = from.BaseFieldType() == bftString || from.BaseFieldType() == bftWideString;
      if (sameType && (from.MemoryDataSize() == to.MemoryDataSize() ||
                       (longerString && from.MemoryDataSize() <= to.MemoryDataSize()))) {
        copy.Bytes = from.MemoryDataSize();
        copy.From = from.MemoryOffset();
        copy.To = to.MemoryOffset();
      }
    }
  }
  ~TRowReader() {
    FCursor.RecordBuffer = FSaved;
    FCursor.FreeRecordBuffer(FBuffer);
  }
  TRowReader(const TRowReader&) = delete;
  TRowReader& operator=(const TRowReader&) = delete;

  void First() { FCursor.First(); }
  bool Next() { return FCursor.GetRecord(grmNext) == grOK; }

  // Fills the columns of `record` (an empty record) from the current row;
  // BLOB values go to `blobs` instead, by column.
  void Convert(std::uint8_t* record, std::vector<TQELVariant>& blobs) {
    for (const TPairCopy& copy : FCopies) {
      if (copy.Bytes > 0) {
        if (IsNull(copy.Source, FBuffer)) continue;
        std::memcpy(record + copy.To, FBuffer + copy.From, static_cast<std::size_t>(copy.Bytes));
        SetNull(false, copy.Target, record);
        continue;
      }
      FCursor.GetFieldValue(FValue, copy.Visible, true);
      if (copy.TargetIsBlob) {
        blobs[static_cast<std::size_t>(copy.Target)] = FValue;
        continue;
      }
      try {
        FTarget.SetFieldValue(FValue, copy.Target, record, false);
      } catch (const std::exception& error) {
        throw EQELException(10335, "Cannot compare values for fields: %s, %s. Error: %s",
                            {FTarget.FieldDefs()[copy.Target].Name(),
                             FCursor.VisibleFieldDefs()[copy.Visible].Name(), std::string(error.what())});
      }
    }
  }

 private:
  struct TPairCopy {
    std::int32_t Visible = 0;  // the input's visible column
    std::int32_t Source = 0;   // its field in the input's records
    std::int32_t Target = 0;   // the result's field
    bool TargetIsBlob = false;
    // Bytes copied as they are; 0 when the value is converted.
    std::int32_t Bytes = 0;
    std::int32_t From = 0;
    std::int32_t To = 0;
  };

  TQELCursor& FCursor;
  TQELCursor& FTarget;
  std::uint8_t* FSaved;
  std::uint8_t* FBuffer;
  std::vector<TPairCopy> FCopies;
  TQELVariant FValue;
};

// ---- the rows seen

// A hash set of row identities (byte strings), each with a count. The
// bytes live in one arena, so that a row costs no allocation of its own.
class TQELAOUnion::TRowSet {
 public:
  // The count of the row `key`, or null when the set has none; with
  // `insert` an absent row is added with the count 0 and `inserted` set.
  std::int64_t* Find(const std::uint8_t* key, std::size_t size, bool insert, bool& inserted) {
    inserted = false;
    if (FSlots.empty()) FSlots.assign(1024, 0);
    const std::uint64_t hash = HashBytes(key, size);
    std::size_t slot = static_cast<std::size_t>(hash) & (FSlots.size() - 1);
    while (FSlots[slot] != 0) {
      TEntry& entry = FEntries[FSlots[slot] - 1];
      if (entry.Hash == hash && entry.Size == size && std::memcmp(FBytes.data() + entry.Offset, key, size) == 0) {
        return &entry.Count;
      }
      slot = (slot + 1) & (FSlots.size() - 1);
    }
    if (!insert) return nullptr;
    inserted = true;
    FEntries.push_back({hash, FBytes.size(), size, 0});
    FBytes.insert(FBytes.end(), key, key + size);
    FSlots[slot] = FEntries.size();
    if (FEntries.size() * 2 > FSlots.size()) Grow();
    return &FEntries.back().Count;
  }

 private:
  struct TEntry {
    std::uint64_t Hash;
    std::size_t Offset;
    std::size_t Size;
    std::int64_t Count;
  };

  void Grow() {
    FSlots.assign(FSlots.size() * 2, 0);
    const std::size_t mask = FSlots.size() - 1;
    for (std::size_t i = 0; i < FEntries.size(); ++i) {
      std::size_t slot = static_cast<std::size_t>(FEntries[i].Hash) & mask;
      while (FSlots[slot] != 0) slot = (slot + 1) & mask;
      FSlots[slot] = i + 1;
    }
  }

  std::vector<std::uint8_t> FBytes;
  std::vector<TEntry> FEntries;
  // Entry number + 1; 0 for a free slot.
  std::vector<std::size_t> FSlots;
};

// ---- the node

TQELAOUnion::TQELAOUnion(TQELUnionType unionType, bool all, std::unique_ptr<TQELAO> left,
                         std::unique_ptr<TQELAO> right, const TQELPlanContext& context)
    : FUnionType(unionType), FAll(all), FLeft(std::move(left)), FRight(std::move(right)), FContext(context) {}

TQELAOUnion::~TQELAOUnion() {
  if (FBuffer != nullptr && FResult) FResult->Cursor()->FreeRecordBuffer(FBuffer);
  QELDropTemporaryTable(FResult);
}

void TQELAOUnion::BindColumns(bool corresponding, const std::vector<std::string>& byColumns) {
  const TQELFieldDefs& left = FLeft->ResultCursor()->VisibleFieldDefs();
  const TQELFieldDefs& right = FRight->ResultCursor()->VisibleFieldDefs();
  const auto find = [](const TQELFieldDefs& fields, const std::string& name) {
    for (std::int32_t i = 0; i < fields.Count(); ++i) {
      if (QELSameText(fields[i].Name(), name)) return i;
    }
    return -1;
  };
  if (!corresponding) {
    for (std::int32_t i = 0; i < left.Count(); ++i) FLeftColumns.push_back(i);
    for (std::int32_t i = 0; i < right.Count(); ++i) FRightColumns.push_back(i);
  } else if (byColumns.empty()) {
    // The columns both inputs have, in the left input's order.
    for (std::int32_t i = 0; i < left.Count(); ++i) {
      const std::int32_t match = find(right, left[i].Name());
      if (match < 0) continue;
      FLeftColumns.push_back(i);
      FRightColumns.push_back(match);
    }
  } else {
    for (const std::string& name : byColumns) {
      const std::int32_t inLeft = find(left, name);
      const std::int32_t inRight = find(right, name);
      if (inLeft < 0 && inRight < 0) throw EQELException(10305, "Cannot find field %s", {name});
      if (inLeft >= 0) FLeftColumns.push_back(inLeft);
      if (inRight >= 0) FRightColumns.push_back(inRight);
    }
  }
  if (FLeftColumns.empty()) {
    throw EQELException(10337, "Empty field list, item count = %d", {static_cast<std::int64_t>(FLeftColumns.size())});
  }
  if (FRightColumns.empty()) {
    throw EQELException(10339, "Empty field list, item count = %d", {static_cast<std::int64_t>(FRightColumns.size())});
  }
  if (FLeftColumns.size() != FRightColumns.size()) {
    throw EQELException(10338, "Error - different lists length. L1 = %d, L2 = %d",
                        {static_cast<std::int64_t>(FLeftColumns.size()),
                         static_cast<std::int64_t>(FRightColumns.size())});
  }
  for (std::size_t i = 0; i < FLeftColumns.size(); ++i) {
    const TQELFieldDef& a = left[FLeftColumns[i]];
    const TQELFieldDef& b = right[FRightColumns[i]];
    FResultColumns.push_back(
        QELCommonColumn({a.Name(), a.AdvancedFieldType(), a.Size()}, {b.Name(), b.AdvancedFieldType(), b.Size()}));
  }
  NameColumns();
}

void TQELAOUnion::NameColumns() {
  std::vector<std::string> names;
  for (const TQELResultColumn& column : FResultColumns) names.push_back(column.Name);
  QELNameColumns(names);
  FColumns.clear();
  for (std::size_t i = 0; i < names.size(); ++i) {
    FResultColumns[i].Name = names[i];
    TQELFieldLink& column = FColumns.emplace_back();
    column.DisplayName = names[i];
    column.FieldName = names[i];
    column.DataType = FResultColumns[i].DataType;
    column.Size = FResultColumns[i].Size;
    column.IsHidden = false;
    column.SourceColumn = static_cast<std::int32_t>(i);
  }
}

void TQELAOUnion::SetOrder(const std::vector<TQELSortKey>& sortKeys) {
  for (const TQELSortKey& sortKey : sortKeys) {
    std::string name;
    if (const std::int32_t position = QELSortKeyPosition(sortKey, FResultColumns.size()); position >= 0) {
      name = FResultColumns[static_cast<std::size_t>(position)].Name;
    } else {
      for (const TQELResultColumn& column : FResultColumns) {
        if (name.empty() && QELSameText(column.Name, sortKey.FieldName)) name = column.Name;
      }
      if (name.empty()) QELRaiseSortKeyNotFound(sortKey);
    }
    FOrderFields.push_back(name);
    FOrderDirections.push_back(sortKey.Descending ? "DESC" : "ASC");
  }
}

void TQELAOUnion::WriteRow() {
  if (FHasBlobs) {
    // The dataset owns the BLOB streams of the record it posts.
    const TQELFieldDefs& fields = FResult->Cursor()->FieldDefs();
    FResult->Append();
    try {
      TQELVariant value;
      for (std::int32_t i = 0; i < fields.Count(); ++i) {
        if (IsBlobBaseType(fields[i].BaseFieldType())) {
          FResult->Fields(i).SetAsVariant(FBlobValues[static_cast<std::size_t>(i)]);
        } else {
          GetFieldValue(i, fields, FBuffer, value, cmCopy);
          FResult->Fields(i).SetAsVariant(value);
        }
      }
      FResult->Post();
    } catch (...) {
      FResult->Cancel();
      throw;
    }
    return;
  }
  TQELCursor& cursor = *FResult->Cursor();
  std::uint8_t* const saved = cursor.RecordBuffer;
  cursor.RecordBuffer = FBuffer;
  cursor.Post(true);
  cursor.RecordBuffer = saved;
  if (cursor.Status != csOK) throw EQELEngineError(cursor.Status, cursor.ErrorText);
}

template <typename TOnRow>
void TQELAOUnion::ReadRows(TRowReader& reader, TOnRow&& onRow) {
  TQELCursor& target = *FResult->Cursor();
  const TQELFieldDefs& fields = target.FieldDefs();
  const auto recordSize = static_cast<std::size_t>(target.RecordSize);
  const auto nullFlags = static_cast<std::size_t>(fields.NullFlagsSize());
  bool hasStrings = false;
  // A zero of either sign is the same value; its record bytes must be too.
  std::vector<const TQELFieldDef*> floats;
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    const TQELBaseFieldType type = fields[i].BaseFieldType();
    if (IsStringBaseType(type)) hasStrings = true;
    if (type == bftSingle || type == bftDouble) floats.push_back(&fields[i]);
  }
  for (reader.First(); reader.Next();) {
    std::memset(FBuffer, 0, recordSize);
    std::memset(FBuffer, 0xFF, nullFlags);
    reader.Convert(FBuffer, FBlobValues);
    if (hasStrings) target.PadStrings(FBuffer);
    for (const TQELFieldDef* field : floats) {
      std::uint8_t* slot = FBuffer + field->MemoryOffset();
      if (field->BaseFieldType() == bftDouble) {
        double value;
        std::memcpy(&value, slot, sizeof value);
        if (value == 0) std::memset(slot, 0, sizeof value);
      } else {
        float value;
        std::memcpy(&value, slot, sizeof value);
        if (value == 0) std::memset(slot, 0, sizeof value);
      }
    }
    if (!FHasBlobs) {
      onRow(FBuffer, recordSize);
      continue;
    }
    // BLOB slots hold handles, not values: the values follow the record.
    FKey.assign(FBuffer, FBuffer + recordSize);
    for (std::int32_t i = 0; i < fields.Count(); ++i) {
      if (!IsBlobBaseType(fields[i].BaseFieldType())) continue;
      TQELVariant& value = FBlobValues[static_cast<std::size_t>(i)];
      const std::string text = value.IsNull() ? std::string() : value.AsString();
      const std::uint64_t size = value.IsNull() ? ~std::uint64_t{0} : text.size();
      const auto* sizeBytes = reinterpret_cast<const std::uint8_t*>(&size);
      FKey.insert(FKey.end(), sizeBytes, sizeBytes + sizeof size);
      FKey.insert(FKey.end(), text.begin(), text.end());
    }
    onRow(FKey.data(), FKey.size());
    for (TQELVariant& value : FBlobValues) value.Clear(bftUnknown);
  }
}

void TQELAOUnion::CopyRows() {
  TQELCursor& target = *FResult->Cursor();
  TRowReader left(*FLeft->ResultCursor(), FLeftColumns, target);
  TRowReader right(*FRight->ResultCursor(), FRightColumns, target);
  TRowSet seen;
  bool inserted = false;
  const auto writeAll = [&](const std::uint8_t*, std::size_t) { WriteRow(); };
  const auto writeNew = [&](const std::uint8_t* key, std::size_t size) {
    seen.Find(key, size, true, inserted);
    if (inserted) WriteRow();
  };
  const auto count = [&](const std::uint8_t* key, std::size_t size) { ++*seen.Find(key, size, true, inserted); };
  switch (FUnionType) {
    case utUnion:
      if (FAll) {
        ReadRows(left, writeAll);
        ReadRows(right, writeAll);
      } else {
        ReadRows(left, writeNew);
        ReadRows(right, writeNew);
      }
      break;
    case utIntersect:
      ReadRows(right, count);
      ReadRows(left, [&](const std::uint8_t* key, std::size_t size) {
        std::int64_t* matches = seen.Find(key, size, false, inserted);
        if (matches == nullptr || *matches <= 0) return;
        // Without ALL a row goes out once: its matches are used up.
        *matches = FAll ? *matches - 1 : 0;
        WriteRow();
      });
      break;
    case utExcept:
      ReadRows(right, count);
      if (FAll) {
        ReadRows(left, [&](const std::uint8_t* key, std::size_t size) {
          std::int64_t* matches = seen.Find(key, size, false, inserted);
          if (matches != nullptr && *matches > 0) {
            --*matches;
          } else {
            WriteRow();
          }
        });
      } else {
        // A left row is new only when neither input had it before.
        ReadRows(left, writeNew);
      }
      break;
  }
}

void TQELAOUnion::Open() {
  FResult = QELNewTemporaryTable(FResultColumns);
  TQELCursor& target = *FResult->Cursor();
  const TQELFieldDefs& fields = target.FieldDefs();
  for (std::int32_t i = 0; i < fields.Count(); ++i) {
    if (IsBlobBaseType(fields[i].BaseFieldType())) FHasBlobs = true;
  }
  FBlobValues.assign(static_cast<std::size_t>(fields.Count()), TQELVariant());
  FBuffer = target.AllocRecordBuffer();
  CopyRows();
  target.FreeRecordBuffer(FBuffer);
  FBuffer = nullptr;
  FBlobValues.clear();
  // The copy no longer needs its inputs.
  FLeft.reset();
  FRight.reset();
  if (!FOrderFields.empty()) QELOrderTable(*FResult, FOrderFields, FOrderDirections);
  FResult->First();
}

// ---- planning

namespace {

// The plan of one input: a block keeps its own ORDER BY (which matters
// with TOP) unless the whole expression took it.
std::unique_ptr<TQELAO> PlanOperand(TQELQueryExprNode& operand, const std::vector<TQELSortKey>* taken,
                                    const TQELPlanContext& context) {
  std::vector<TQELSortKey> none;
  std::vector<TQELSortKey>* order = &none;
  if (operand.Operation == qoSelect && operand.Select && &operand.Select->SortKeys() != taken) {
    order = &operand.Select->SortKeys();
  }
  bool readOnly = true;
  return QELPlanQueryNode(operand, *order, context, false, readOnly);
}

}  // namespace

std::unique_ptr<TQELAO> QELPlanSetOperation(TQELQueryExprNode& node, std::vector<TQELSortKey>& order,
                                            const TQELPlanContext& context) {
  const TQELUnionType unionType = UnionTypeOf(node.Operation);
  if (!node.Left || !node.Right) throw EQELException(10308, "Nil pointer occured");
  // The ORDER BY written after the last block is parsed with that block,
  // but sorts the whole expression.
  std::vector<TQELSortKey>* wholeOrder = &order;
  TQELQueryExprNode* last = node.Right.get();
  while (last->Operation != qoSelect && last->Right) last = last->Right.get();
  if (order.empty() && last->Operation == qoSelect && last->Select && !last->Select->SortKeys().empty()) {
    wholeOrder = &last->Select->SortKeys();
  }
  std::unique_ptr<TQELAO> left = PlanOperand(*node.Left, wholeOrder, context);
  std::unique_ptr<TQELAO> right = PlanOperand(*node.Right, wholeOrder, context);
  auto result = std::make_unique<TQELAOUnion>(unionType, node.IsAll, std::move(left), std::move(right), context);
  result->BindColumns(node.IsCorresponding, node.CorrespondingColumns);
  result->SetOrder(*wholeOrder);
  result->Open();
  return result;
}

}  // namespace qel
