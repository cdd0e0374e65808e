#include "components/query/QELAOJoin.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "components/db/QELSameText.h"
#include "components/query/QELTemporaryTable.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "storage/QELRecordData.h"

namespace qel {

namespace {

// Which values can be hashed alike: numbers of any type by their value,
// strings by their bytes; anything else (dates, times, ...) shares one
// hash, and the comparison alone decides.
enum class THashClass { Number, Text, Other };

THashClass HashClassOf(TQELBaseFieldType type) {
  if (IsNumericBaseType(type)) return THashClass::Number;
  if (IsStringBaseType(type) && !IsWideStringBaseType(type)) return THashClass::Text;
  return THashClass::Other;
}

// Folds one key's hash into the row's, spreading every bit of it over the
// low bits the buckets are chosen by (a number's low bits are mostly 0).
std::uint64_t Mix(std::uint64_t hash, std::uint64_t value) {
  std::uint64_t mixed = hash ^ (value + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2));
  mixed = (mixed ^ (mixed >> 30)) * 0xBF58476D1CE4E5B9ull;
  mixed = (mixed ^ (mixed >> 27)) * 0x94D049BB133111EBull;
  return mixed ^ (mixed >> 31);
}

// A fixed-size integer as stored, or nothing when the value holds less.
template <class T>
std::optional<double> StoredInteger(const TQELVariant& value) {
  if (value.DataSize() < static_cast<std::int32_t>(sizeof(T))) return std::nullopt;
  return static_cast<double>(QELReadLE<T>(value.Data()));
}

// A number as the double its hash is taken from: integers are read as they
// are stored instead of converted through a variant, to the same double.
double NumberOf(const TQELVariant& value) {
  std::optional<double> number;
  switch (value.DataType()) {
    case bftShortint: number = StoredInteger<std::int8_t>(value); break;
    case bftSmallint: number = StoredInteger<std::int16_t>(value); break;
    case bftInteger: number = StoredInteger<std::int32_t>(value); break;
    case bftLargeint: number = StoredInteger<std::int64_t>(value); break;
    case bftByte: number = StoredInteger<std::uint8_t>(value); break;
    case bftWord: number = StoredInteger<std::uint16_t>(value); break;
    case bftCardinal: number = StoredInteger<std::uint32_t>(value); break;
    default: break;
  }
  return number ? *number : value.AsDouble();
}

std::uint64_t HashOf(const TQELVariant& value, THashClass hashClass) {
  switch (hashClass) {
    case THashClass::Number: {
      const double number = NumberOf(value);
      if (number == 0) return 0;
      std::uint64_t bits = 0;
      std::memcpy(&bits, &number, sizeof bits);
      return bits;
    }
    case THashClass::Text: {
      const std::string_view text = QELNarrowText(value);
      std::uint64_t hash = 1469598103934665603ull;
      for (const char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
      return hash;
    }
    case THashClass::Other:
      break;
  }
  return 0;
}

// Reads a record of `cursor` at a time into a buffer of its own, giving
// the cursor's buffer back when the walk ends.
class TRecordWalk {
 public:
  explicit TRecordWalk(TQELCursor& cursor) : FCursor(cursor), FSaved(cursor.RecordBuffer) {
    FBuffer = cursor.AllocRecordBuffer();
    cursor.RecordBuffer = FBuffer;
    cursor.First();
  }
  ~TRecordWalk() {
    FCursor.RecordBuffer = FSaved;
    FCursor.FreeRecordBuffer(FBuffer);
  }
  TRecordWalk(const TRecordWalk&) = delete;
  TRecordWalk& operator=(const TRecordWalk&) = delete;

  // The next record, or null at the end.
  const std::uint8_t* Next() { return FCursor.GetRecord(grmNext) == grOK ? FBuffer : nullptr; }

 private:
  TQELCursor& FCursor;
  std::uint8_t* FSaved;
  std::uint8_t* FBuffer = nullptr;
};

constexpr std::uint32_t kNoRecord = 0xFFFFFFFFu;

}  // namespace

TQELAOJoin::TQELAOJoin(std::unique_ptr<TQELAO> left, std::unique_ptr<TQELAO> right, TQELJoinType joinType,
                       std::vector<TQELJoinKey> keys, std::unique_ptr<TQELExpression> residual)
    : FJoinType(joinType), FKeys(std::move(keys)), FResidual(std::move(residual)) {
  FLeft.Node = std::move(left);
  FRight.Node = std::move(right);
  for (TQELAO* input : {FLeft.Node.get(), FRight.Node.get()}) {
    if (input == nullptr) continue;
    for (const TQELFieldLink& column : input->Columns()) {
      TQELFieldLink& own = FColumns.emplace_back(column.Described());
      own.IsHidden = false;
      own.SourceColumn = static_cast<std::int32_t>(FColumns.size() - 1);
    }
  }
}

TQELAOJoin::~TQELAOJoin() { QELDropTemporaryTable(FResult); }

// ---- the pair as a row source

std::int32_t TQELAOJoin::FindColumns(std::string_view fieldName, std::string_view tableName,
                                     std::vector<std::int32_t>& numbers) const {
  std::int32_t found = 0;
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    const TQELFieldLink& column = FColumns[i];
    if (!tableName.empty() && !QELSameText(tableName, column.TableName)) continue;
    if (!QELSameText(fieldName, column.FieldName)) continue;
    numbers.push_back(static_cast<std::int32_t>(i));
    ++found;
  }
  return found;
}

TQELAdvancedFieldType TQELAOJoin::ColumnDataType(std::int32_t column) const {
  return FColumns[static_cast<std::size_t>(column)].DataType;
}

std::int32_t TQELAOJoin::ColumnDataSize(std::int32_t column) const {
  return FColumns[static_cast<std::size_t>(column)].Size;
}

void TQELAOJoin::GetColumnValue(std::int32_t column, TQELVariant& value) {
  const auto leftCount = static_cast<std::int32_t>(FLeft.ColumnFields.size());
  TSide& side = column < leftCount ? FLeft : FRight;
  const std::int32_t fieldNo = side.ColumnFields[static_cast<std::size_t>(column < leftCount ? column : column - leftCount)];
  const TQELFieldDefs& fields = side.Cursor->FieldDefs();
  if (side.Current == nullptr) {
    value.Clear(fields[fieldNo].BaseFieldType());
  } else if (!GetFieldValue(fieldNo, fields, side.Current, value, cmBorrow)) {
    side.Blobs->ReadBlobValue(fieldNo, side.Current, value);
  }
}

// ---- opening

void TQELAOJoin::PrepareSides() {
  for (TSide* side : {&FLeft, &FRight}) {
    if (!side->Node) continue;
    side->Cursor = side->Node->ResultCursor();
    if (side->Cursor == nullptr) throw EQELException(10308, "Nil pointer occured");
    side->Blobs = std::make_unique<TQELCursorRecordSource>(*side->Cursor);
    for (const TQELFieldLink& column : side->Node->Columns()) side->ColumnFields.push_back(column.SourceColumn);
  }
  for (const TQELJoinKey& key : FKeys) {
    FLeft.KeyFields.push_back(FLeft.ColumnFields[static_cast<std::size_t>(key.LeftColumn)]);
    FRight.KeyFields.push_back(FRight.ColumnFields[static_cast<std::size_t>(key.RightColumn)]);
  }
  if (!FRight.Node) return;
  FKeepLeftUnmatched = FJoinType == jtLeft || FJoinType == jtFull;
  FKeepRightUnmatched = FJoinType == jtRight || FJoinType == jtFull;
  if (FJoinType == jtRight) {
    FBuildOnLeft = true;
  } else if (FJoinType == jtInner || FJoinType == jtNone) {
    // The smaller input is held in memory; the rows still come out with
    // the left input's columns first.
    FBuildOnLeft = FLeft.Cursor->GetRecordCount() < FRight.Cursor->GetRecordCount();
  }
  if (FResidual) FResidual->BindToSources(this, nullptr, nullptr);
}

void TQELAOJoin::MakeResultTable() {
  std::vector<std::string> names;
  for (const TQELFieldLink& column : FColumns) names.push_back(column.FieldName);
  QELNameColumns(names);
  std::vector<TQELResultColumn> fields;
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    fields.push_back({names[i], FColumns[i].DataType, FColumns[i].Size});
  }
  FResult = QELNewTemporaryTable(fields);
  FAppender = std::make_unique<TQELRowAppender>(*FResult);
  PlanColumnCopies();
}

void TQELAOJoin::PlanColumnCopies() {
  const TQELFieldDefs& target = FAppender->FieldDefs();
  const std::size_t leftCount = FLeft.ColumnFields.size();
  for (std::size_t i = 0; i < FColumns.size(); ++i) {
    TColumnCopy& copy = FCopies.emplace_back();
    copy.FromRight = i >= leftCount;
    const TSide& side = copy.FromRight ? FRight : FLeft;
    copy.SourceField = side.ColumnFields[copy.FromRight ? i - leftCount : i];
    const TQELFieldDef& from = side.Cursor->FieldDefs()[copy.SourceField];
    const TQELFieldDef& to = target[static_cast<std::int32_t>(i)];
    copy.Raw = !IsBlobBaseType(from.BaseFieldType()) && from.BaseFieldType() == to.BaseFieldType() &&
               from.MemoryDataSize() == to.MemoryDataSize();
    copy.SourceOffset = from.MemoryOffset();
    copy.TargetOffset = to.MemoryOffset();
    copy.Size = from.MemoryDataSize();
  }
}

bool TQELAOJoin::KeyHash(const TSide& side, const std::uint8_t* record, std::uint64_t& hash) {
  const TSide& other = &side == &FLeft ? FRight : FLeft;
  hash = 0;
  for (std::size_t i = 0; i < side.KeyFields.size(); ++i) {
    const TQELFieldDefs& fields = side.Cursor->FieldDefs();
    if (!GetFieldValue(side.KeyFields[i], fields, record, FValue, cmBorrow)) {
      side.Blobs->ReadBlobValue(side.KeyFields[i], record, FValue);
    }
    if (FValue.IsNull()) return false;
    // Both sides of a key hash alike only when their types are of one
    // class; otherwise the key takes no part in the hash.
    const THashClass mine = HashClassOf(fields[side.KeyFields[i]].BaseFieldType());
    const THashClass theirs = HashClassOf(other.Cursor->FieldDefs()[other.KeyFields[i]].BaseFieldType());
    hash = Mix(hash, mine == theirs ? HashOf(FValue, mine) : 0);
  }
  return true;
}

bool TQELAOJoin::KeysEqual(const std::uint8_t* probeRecord, const std::uint8_t* buildRecord) {
  const TSide& probe = FBuildOnLeft ? FRight : FLeft;
  const TSide& build = FBuildOnLeft ? FLeft : FRight;
  for (std::size_t i = 0; i < build.KeyFields.size(); ++i) {
    if (!GetFieldValue(build.KeyFields[i], build.Cursor->FieldDefs(), buildRecord, FOther, cmBorrow)) {
      build.Blobs->ReadBlobValue(build.KeyFields[i], buildRecord, FOther);
    }
    if (!GetFieldValue(probe.KeyFields[i], probe.Cursor->FieldDefs(), probeRecord, FValue, cmBorrow)) {
      probe.Blobs->ReadBlobValue(probe.KeyFields[i], probeRecord, FValue);
    }
    std::int32_t code = ccLess;
    try {
      code = FValue.Compare(FOther, true, false, false);
    } catch (const std::exception& error) {
      throw EQELException(10328, "Cannot compare values for fields: %s, %s. Error: %s",
                          {probe.Cursor->FieldDefs()[probe.KeyFields[i]].Name(),
                           build.Cursor->FieldDefs()[build.KeyFields[i]].Name(), std::string(error.what())});
    }
    if (code != ccEqual) return false;
  }
  return true;
}

void TQELAOJoin::ReadBuildSide() {
  TSide& build = FBuildOnLeft ? FLeft : FRight;
  FBuildRecordSize = static_cast<std::size_t>(build.Cursor->RecordSize);
  std::vector<bool> hashed;
  {
    TRecordWalk walk(*build.Cursor);
    while (const std::uint8_t* record = walk.Next()) {
      FBuildRecords.insert(FBuildRecords.end(), record, record + FBuildRecordSize);
      std::uint64_t hash = 0;
      hashed.push_back(KeyHash(build, record, hash));
      FBuildHashes.push_back(hash);
    }
  }
  const std::size_t count = FBuildHashes.size();
  std::size_t buckets = 16;
  while (buckets < count * 2) buckets *= 2;
  FBucketMask = buckets - 1;
  FBuildBuckets.assign(buckets, kNoRecord);
  FBuildNext.assign(count, kNoRecord);
  // Chained from the last record back, so that each chain runs in the
  // records' order; a record with a NULL key joins no chain.
  for (std::size_t i = count; i-- > 0;) {
    if (!hashed[i]) continue;
    std::uint32_t& head = FBuildBuckets[FBuildHashes[i] & FBucketMask];
    FBuildNext[i] = head;
    head = static_cast<std::uint32_t>(i);
  }
  FBuildMatched.assign(count, false);
}

std::uint32_t TQELAOJoin::FirstWithHash(std::uint64_t hash) const {
  std::uint32_t record = FBuildBuckets[hash & FBucketMask];
  while (record != kNoRecord && FBuildHashes[record] != hash) record = FBuildNext[record];
  return record;
}

bool TQELAOJoin::ResidualHolds(const std::uint8_t* leftRecord, const std::uint8_t* rightRecord) {
  if (!FResidual) return true;
  FLeft.Current = leftRecord;
  FRight.Current = rightRecord;
  return FResidual->Holds();
}

void TQELAOJoin::AppendPair(const std::uint8_t* leftRecord, const std::uint8_t* rightRecord) {
  FLeft.Current = leftRecord;
  FRight.Current = rightRecord;
  FAppender->Begin();
  std::uint8_t* target = FAppender->Record();
  for (std::size_t i = 0; i < FCopies.size(); ++i) {
    const TColumnCopy& copy = FCopies[i];
    const std::uint8_t* source = copy.FromRight ? rightRecord : leftRecord;
    const auto fieldNo = static_cast<std::int32_t>(i);
    if (source == nullptr) continue;  // the row starts with every field NULL
    if (copy.Raw) {
      if (IsNull(copy.SourceField, source)) continue;
      std::memcpy(target + copy.TargetOffset, source + copy.SourceOffset, static_cast<std::size_t>(copy.Size));
      SetNull(false, fieldNo, target);
      continue;
    }
    GetColumnValue(fieldNo, FValue);
    FAppender->Set(fieldNo, FValue);
  }
  FAppender->Post();
}

void TQELAOJoin::ProbeRows() {
  TSide& probe = FBuildOnLeft ? FRight : FLeft;
  const bool keepProbe = FBuildOnLeft ? FKeepRightUnmatched : FKeepLeftUnmatched;
  const auto pair = [&](const std::uint8_t* probeRecord, const std::uint8_t* buildRecord) {
    if (FBuildOnLeft) return std::make_pair(buildRecord, probeRecord);
    return std::make_pair(probeRecord, buildRecord);
  };
  TRecordWalk walk(*probe.Cursor);
  while (const std::uint8_t* record = walk.Next()) {
    bool matched = false;
    std::uint64_t hash = 0;
    if (KeyHash(probe, record, hash)) {
      for (std::uint32_t candidate = FirstWithHash(hash); candidate != kNoRecord;
           candidate = FBuildNext[candidate]) {
        if (FBuildHashes[candidate] != hash) continue;
        const std::uint8_t* buildRecord = FBuildRecords.data() + candidate * FBuildRecordSize;
        if (!FKeys.empty() && !KeysEqual(record, buildRecord)) continue;
        const auto [leftRecord, rightRecord] = pair(record, buildRecord);
        if (!ResidualHolds(leftRecord, rightRecord)) continue;
        AppendPair(leftRecord, rightRecord);
        matched = true;
        FBuildMatched[candidate] = true;
      }
    }
    if (!matched && keepProbe) {
      const auto [leftRecord, rightRecord] = pair(record, nullptr);
      AppendPair(leftRecord, rightRecord);
    }
  }
}

void TQELAOJoin::Open() {
  PrepareSides();
  MakeResultTable();
  if (!FRight.Node) {
    TRecordWalk walk(*FLeft.Cursor);
    while (const std::uint8_t* record = walk.Next()) AppendPair(record, nullptr);
  } else {
    ReadBuildSide();
    ProbeRows();
  }
  const bool keepBuild = FBuildOnLeft ? FKeepLeftUnmatched : FKeepRightUnmatched;
  if (keepBuild) {
    for (std::size_t i = 0; i < FBuildMatched.size(); ++i) {
      if (FBuildMatched[i]) continue;
      const std::uint8_t* record = FBuildRecords.data() + i * FBuildRecordSize;
      if (FBuildOnLeft) {
        AppendPair(record, nullptr);
      } else {
        AppendPair(nullptr, record);
      }
    }
  }
  // The rows are in the result; the inputs and their locks can go.
  FLeft.Current = FRight.Current = nullptr;
  if (FResidual) FResidual.reset();
  FBuildRecords = {};
  FBuildHashes = {};
  FBuildBuckets = {};
  FBuildNext = {};
  FLeft = TSide();
  FRight = TSide();
  FAppender.reset();
  for (std::size_t i = 0; i < FColumns.size(); ++i) FColumns[i].SourceColumn = static_cast<std::int32_t>(i);
  FResult->First();
}

}  // namespace qel
