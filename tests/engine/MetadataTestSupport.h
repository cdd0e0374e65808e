#pragma once
// Shared pieces of the metadata tests: saving and loading definition lists
// through a memory stream, a table with every kind of definition, and
// comparisons of everything the stored form carries.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "engine/QELBase.h"
#include "platform/QELEndian.h"
#include "streams/QELMemoryStream.h"

namespace qel::test {

using Bytes = std::vector<std::uint8_t>;

inline Bytes Saved(const TQELMetaObjectDefs& defs) {
  TQELMemoryStream stream;
  defs.SaveToStream(stream);
  Bytes bytes(static_cast<std::size_t>(stream.GetSize()));
  if (!bytes.empty()) std::memcpy(bytes.data(), stream.Memory(), bytes.size());
  return bytes;
}

// Loads `defs` from the bytes and answers how many were left unread.
inline std::int64_t LoadFrom(TQELMetaObjectDefs& defs, const Bytes& bytes) {
  TQELMemoryStream stream;
  stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  stream.SetPosition(0);
  defs.LoadFromStream(stream);
  return stream.GetSize() - stream.Position();
}

// The three lists of one table.
struct TableMetadata {
  TQELFieldDefs Fields;
  TQELIndexDefs Indexes;
  TQELConstraintDefs Constraints;

  // The table's metadata as one stream: fields, indexes, constraints.
  Bytes Save() const {
    TQELMemoryStream stream;
    Fields.SaveToStream(stream);
    Indexes.SaveToStream(stream);
    Constraints.SaveToStream(stream);
    Bytes bytes(static_cast<std::size_t>(stream.GetSize()));
    std::memcpy(bytes.data(), stream.Memory(), bytes.size());
    return bytes;
  }
  void Load(TQELStream& stream) {
    Fields.LoadFromStream(stream);
    Indexes.LoadFromStream(stream);
    Constraints.LoadFromStream(stream);
  }
  void Load(const Bytes& bytes) {
    TQELMemoryStream stream;
    stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
    stream.SetPosition(0);
    Load(stream);
  }
};

// One field of every declared type (with sizes, BLOB and autoincrement
// settings and defaults that differ from the defaults), a descending and a
// case-insensitive index, a temporary index, and one constraint of every
// kind.
inline TableMetadata EveryKindTable() {
  TableMetadata table;
  for (int t = 1; t < kQELAdvancedFieldTypeCount; ++t) {
    const auto type = static_cast<TQELAdvancedFieldType>(t);
    const bool sized = IsStringAdvancedType(type) || IsBytesAdvancedType(type) || type == aftGuid;
    TQELFieldDef& field =
        table.Fields.Add("F_" + std::string(AdvancedFieldTypeName(type)), type, sized ? 10 + t : 0);
    field.SetObjectID(100 + t);
    if (IsBlobAdvancedType(type)) {
      field.BlobCompressionAlgorithm = static_cast<std::uint8_t>(t % 4);
      field.BlobCompressionMode = static_cast<std::uint8_t>(t % 10);
      field.BlobBlockSize = 4096 * t;
    }
    if (IsAutoincAdvancedType(type)) {
      field.AutoincIncrement = t;
      field.AutoincInitialValue = -t;
      field.AutoincMinValue = -1000 * t;
      field.AutoincMaxValue = 1000000 + t;
      field.AutoincCycled = t % 2 == 0;
    }
    if (t % 3 == 0) field.DefaultValue().SetAsString("default " + std::to_string(t));
    if (t % 3 == 1) field.DefaultValue().SetAsInteger(t);
  }
  table.Fields.RecalcOffsets();

  TQELIndexDef& byName = table.Indexes.Add();
  byName.SetName("IX_NAME_DESC");
  byName.SetObjectID(201);
  byName.RootPageNo = 17;
  byName.AddColumn("F_STRING", true, false, 12);
  byName.AddColumn("F_INTEGER", false, false);
  TQELIndexDef& byText = table.Indexes.Add();
  byText.SetName("IX_TEXT_NOCASE");
  byText.SetObjectID(202);
  byText.Unique = true;
  byText.RootPageNo = 18;
  byText.AddColumn("F_WIDESTRING", false, true, 7);
  TQELIndexDef& temporary = table.Indexes.Add();
  temporary.SetName("TEMPORARY_INDEX_1");
  temporary.Temporary = true;
  temporary.SessionID = 4;
  temporary.AddColumn("F_DATE");

  TQELConstraintDefNotNull& notNull = table.Constraints.AddNotNull();
  notNull.SetName("$C_NotNull$T$F_INTEGER");
  notNull.Ref2Name = "T";
  notNull.TargetName = "F_INTEGER";
  notNull.TargetID = 107;
  TQELConstraintDefCheck& check = table.Constraints.AddCheck();
  check.SetName("CHK");
  check.SetObjectID(301);
  check.Ref1Name = "r1";
  check.Ref1ID = -5;
  check.Ref2ID = 9;
  check.TargetName = "F_FLOAT";
  check.TargetID = 121;
  check.MinValue.SetAsDouble(-1.5);  // MaxValue stays NULL: an open range
  TQELConstraintDefUnique& unique = table.Constraints.AddUnique();
  unique.SetName("C_Unique$F_WIDESTRING");
  unique.TargetName = "IX_TEXT_NOCASE";
  unique.TargetID = 202;
  unique.Columns.push_back({"F_WIDESTRING", 104});
  TQELConstraintDefPrimary& primary = table.Constraints.AddPrimary();
  primary.SetName("C_PK$F_STRING$F_INTEGER");
  primary.Ref2Name = "T";
  primary.TargetName = "IX_NAME_DESC";
  primary.TargetID = 201;
  primary.Columns.push_back({"F_STRING", 102});
  primary.Columns.push_back({"F_INTEGER", 107});
  return table;
}

inline void ExpectSameValue(const TQELVariant& a, const TQELVariant& b) {
  EXPECT_EQ(a.DataType(), b.DataType());
  ASSERT_EQ(a.IsNull(), b.IsNull());
  if (a.IsNull()) return;
  ASSERT_EQ(a.DataSize(), b.DataSize());
  EXPECT_EQ(std::memcmp(a.Data(), b.Data(), static_cast<std::size_t>(a.DataSize())), 0);
}

inline void ExpectSameFields(const TQELFieldDefs& a, const TQELFieldDefs& b) {
  ASSERT_EQ(a.Count(), b.Count());
  for (std::int32_t i = 0; i < a.Count(); ++i) {
    SCOPED_TRACE(a[i].Name());
    EXPECT_EQ(a[i].Name(), b[i].Name());
    EXPECT_EQ(a[i].ObjectID(), b[i].ObjectID());
    EXPECT_EQ(a[i].BaseFieldType(), b[i].BaseFieldType());
    EXPECT_EQ(a[i].AdvancedFieldType(), b[i].AdvancedFieldType());
    EXPECT_EQ(a[i].Size(), b[i].Size());
    EXPECT_EQ(a[i].MemoryDataSize(), b[i].MemoryDataSize());
    EXPECT_EQ(a[i].DiskDataSize(), b[i].DiskDataSize());
    EXPECT_EQ(a[i].MemoryOffset(), b[i].MemoryOffset());
    EXPECT_EQ(a[i].DiskOffset(), b[i].DiskOffset());
    EXPECT_EQ(a[i].BlobCompressionAlgorithm, b[i].BlobCompressionAlgorithm);
    EXPECT_EQ(a[i].BlobCompressionMode, b[i].BlobCompressionMode);
    EXPECT_EQ(a[i].BlobBlockSize, b[i].BlobBlockSize);
    EXPECT_EQ(a[i].AutoincIncrement, b[i].AutoincIncrement);
    EXPECT_EQ(a[i].AutoincInitialValue, b[i].AutoincInitialValue);
    EXPECT_EQ(a[i].AutoincMinValue, b[i].AutoincMinValue);
    EXPECT_EQ(a[i].AutoincMaxValue, b[i].AutoincMaxValue);
    EXPECT_EQ(a[i].AutoincCycled, b[i].AutoincCycled);
    ExpectSameValue(a[i].DefaultValue(), b[i].DefaultValue());
  }
  EXPECT_EQ(a.MemoryRecordSize(), b.MemoryRecordSize());
  EXPECT_EQ(a.DiskRecordSize(), b.DiskRecordSize());
}

// Compares what is stored; `withSessionState` also compares Temporary,
// SessionID and ModificationCount, which only copies keep.
inline void ExpectSameIndex(const TQELIndexDef& a, const TQELIndexDef& b, bool withSessionState) {
  SCOPED_TRACE(a.Name());
  EXPECT_EQ(a.Name(), b.Name());
  EXPECT_EQ(a.ObjectID(), b.ObjectID());
  EXPECT_EQ(a.IndexKind, b.IndexKind);
  EXPECT_EQ(a.Unique, b.Unique);
  EXPECT_EQ(a.Primary, b.Primary);
  EXPECT_EQ(a.RootPageNo, b.RootPageNo);
  ASSERT_EQ(a.ColumnCount(), b.ColumnCount());
  for (std::int32_t c = 0; c < a.ColumnCount(); ++c) EXPECT_EQ(a.Columns(c), b.Columns(c));
  if (withSessionState) {
    EXPECT_EQ(a.Temporary, b.Temporary);
    EXPECT_EQ(a.SessionID, b.SessionID);
    EXPECT_EQ(a.ModificationCount, b.ModificationCount);
  }
}

inline void ExpectSameConstraints(const TQELConstraintDefs& a, const TQELConstraintDefs& b) {
  ASSERT_EQ(a.Count(), b.Count());
  for (std::int32_t i = 0; i < a.Count(); ++i) {
    SCOPED_TRACE(a[i].Name());
    EXPECT_EQ(a[i].ConstraintKind(), b[i].ConstraintKind());
    EXPECT_EQ(typeid(a[i]), typeid(b[i]));
    EXPECT_EQ(a[i].Name(), b[i].Name());
    EXPECT_EQ(a[i].ObjectID(), b[i].ObjectID());
    EXPECT_EQ(a[i].Ref1Name, b[i].Ref1Name);
    EXPECT_EQ(a[i].Ref1ID, b[i].Ref1ID);
    EXPECT_EQ(a[i].Ref2Name, b[i].Ref2Name);
    EXPECT_EQ(a[i].Ref2ID, b[i].Ref2ID);
    EXPECT_EQ(a[i].TargetName, b[i].TargetName);
    EXPECT_EQ(a[i].TargetID, b[i].TargetID);
    if (const auto* check = dynamic_cast<const TQELConstraintDefCheck*>(&a[i])) {
      const auto& other = dynamic_cast<const TQELConstraintDefCheck&>(b[i]);
      ExpectSameValue(check->MinValue, other.MinValue);
      ExpectSameValue(check->MaxValue, other.MaxValue);
    }
    if (const auto* unique = dynamic_cast<const TQELConstraintDefUnique*>(&a[i])) {
      EXPECT_EQ(unique->Columns, dynamic_cast<const TQELConstraintDefUnique&>(b[i]).Columns);
    }
  }
}

}  // namespace qel::test
