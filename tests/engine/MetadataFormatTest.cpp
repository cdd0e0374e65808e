// The stored form of table metadata: a hand-checked fixture pins the bytes,
// a table with every kind of definition survives a round trip, and every
// item reports its own native code when the stream runs short.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "MetadataTestSupport.h"
#include "support/ErrorSupport.h"
#include "support/Hex.h"

namespace qel {
namespace {

using test::Bytes;
using test::FromHex;
using test::NativeErrorOf;
using test::Saved;
using test::TableMetadata;

// ID INTEGER DEFAULT 5, NOTE MEMO compressed with ZLIB; the primary key
// index PK on ID; the unique constraint U1 on PK.
const char kSmallFields[] =
    "02000000"                 // 2 fields
    "02 4944 01000000"         // "ID", ObjectID 1
    "07 07 00000000"           // bftInteger, aftInteger, Size 0: no BLOB settings follow
    "0100000000000000"         // AutoincIncrement 1
    "0000000000000000"         // AutoincInitialValue 0
    "0000000000000000"         // AutoincMinValue 0
    "ffffffffffffff7f"         // AutoincMaxValue
    "00"                       // not cycled
    "07 00 04000000 05000000"  // default: bftInteger, not NULL, 4 bytes, 5
    "04 4e4f5445 02000000"     // "NOTE", ObjectID 2
    "13 21 00000000"           // bftMemo, aftMemo, Size 0
    "01 06 00100000"           // BLOB settings: ZLIB, mode 6, block size 4096
    "0100000000000000 0000000000000000 0000000000000000 ffffffffffffff7f 00"
    "00 ff";  // default: untyped NULL

const char kSmallIndexes[] =
    "01000000"                 // 1 index
    "02 504b 03000000"         // "PK", ObjectID 3
    "00 01 01"                 // kind 0, unique, primary
    "01000000 07000000"        // 1 column, root page 7
    "02 4944 00 00 14000000";  // "ID", ascending, case-sensitive, 20 characters

const char kSmallConstraints[] =
    "01000000"                    // 1 constraint
    "02"                          // ckUnique
    "02 5531 04000000"            // "U1", ObjectID 4
    "00000000 00000000 03000000"  // Ref1ID, Ref2ID, TargetID 3
    "01000000 00"                 // Ref1Name "": k = 1, then the length byte again
    "02000000 01 54"              // Ref2Name "T"
    "03000000 02 504b"            // TargetName "PK": k = 3, then 2 and "PK"
    "01000000"                    // 1 column
    "01000000 03000000 02 4944";  // ObjectID 1, "ID"

TableMetadata SmallTable() {
  TableMetadata table;
  TQELFieldDef& id = table.Fields.Add("ID", aftInteger, 0);
  id.SetObjectID(1);
  id.DefaultValue().SetAsInteger(5);
  TQELFieldDef& note = table.Fields.Add("NOTE", aftMemo, 0);
  note.SetObjectID(2);
  note.BlobCompressionAlgorithm = 1;
  note.BlobCompressionMode = 6;
  note.BlobBlockSize = 4096;
  table.Fields.RecalcOffsets();
  TQELIndexDef& pk = table.Indexes.Add();
  pk.SetName("PK");
  pk.SetObjectID(3);
  pk.Unique = pk.Primary = true;
  pk.RootPageNo = 7;
  pk.AddColumn("ID");
  TQELConstraintDefUnique& unique = table.Constraints.AddUnique();
  unique.SetName("U1");
  unique.SetObjectID(4);
  unique.Ref2Name = "T";
  unique.TargetName = "PK";
  unique.TargetID = 3;
  unique.Columns.push_back({"ID", 1});
  return table;
}

TEST(MetadataFormatTest, SmallTableHasItsHandCheckedBytes) {
  const TableMetadata table = SmallTable();
  EXPECT_EQ(test::ToHex(Saved(table.Fields)), test::ToHex(FromHex(kSmallFields)));
  EXPECT_EQ(test::ToHex(Saved(table.Indexes)), test::ToHex(FromHex(kSmallIndexes)));
  EXPECT_EQ(test::ToHex(Saved(table.Constraints)), test::ToHex(FromHex(kSmallConstraints)));

  TableMetadata loaded;
  EXPECT_EQ(test::LoadFrom(loaded.Fields, FromHex(kSmallFields)), 0);
  EXPECT_EQ(test::LoadFrom(loaded.Indexes, FromHex(kSmallIndexes)), 0);
  EXPECT_EQ(test::LoadFrom(loaded.Constraints, FromHex(kSmallConstraints)), 0);
  test::ExpectSameFields(table.Fields, loaded.Fields);
  ASSERT_EQ(loaded.Indexes.Count(), 1);
  test::ExpectSameIndex(table.Indexes[0], loaded.Indexes[0], true);
  test::ExpectSameConstraints(table.Constraints, loaded.Constraints);
}

TEST(MetadataFormatTest, EveryKindOfDefinitionRoundTrips) {
  const TableMetadata table = test::EveryKindTable();
  const Bytes bytes = table.Save();
  TableMetadata loaded;
  loaded.Load(bytes);

  test::ExpectSameFields(table.Fields, loaded.Fields);
  // The temporary index is the last one and is not stored.
  ASSERT_EQ(loaded.Indexes.Count(), 2);
  for (std::int32_t i = 0; i < 2; ++i) {
    test::ExpectSameIndex(table.Indexes[i], loaded.Indexes[i], true);
  }
  test::ExpectSameConstraints(table.Constraints, loaded.Constraints);
  EXPECT_EQ(loaded.Save(), bytes);
}

TEST(MetadataFormatTest, OnlyStoredIndexesAreWrittenAndReadBackAsStored) {
  TQELIndexDefs indexes;
  for (const char* name : {"A", "TEMP", "B"}) {
    TQELIndexDef& index = indexes.Add();
    index.SetName(name);
    index.AddColumn("X");
    index.ModificationCount = 12;
  }
  indexes[1].Temporary = true;
  indexes[1].SessionID = 3;
  const Bytes bytes = Saved(indexes);
  ASSERT_GE(bytes.size(), 4u);
  EXPECT_EQ(QELReadLE<std::int32_t>(bytes.data()), 2);

  TQELIndexDefs loaded;
  loaded.Add().SetName("STALE");  // reading clears the list first
  EXPECT_EQ(test::LoadFrom(loaded, bytes), 0);
  ASSERT_EQ(loaded.Count(), 2);
  EXPECT_EQ(loaded[0].Name(), "A");
  EXPECT_EQ(loaded[1].Name(), "B");
  for (std::int32_t i = 0; i < 2; ++i) {
    EXPECT_FALSE(loaded[i].Temporary);
    EXPECT_EQ(loaded[i].SessionID, -1);
    EXPECT_EQ(loaded[i].ModificationCount, 0);
  }
}

// A constraint name's count is its length plus one; for a name of 255
// bytes that is 256, which the one-byte count of not-null and check
// constraints holds as 0. Such names are common: generated names are cut to
// 255. They must come back whole.
TEST(MetadataFormatTest, LongestConstraintNamesRoundTrip) {
  const std::string longest(255, 'n');
  TQELConstraintDefs constraints;
  constraints.AddNotNull().TargetName = longest;
  TQELConstraintDefCheck& check = constraints.AddCheck();
  check.Ref2Name = longest;
  check.TargetName = std::string(254, 'c');
  constraints.AddPrimary().TargetName = longest;
  const Bytes bytes = Saved(constraints);

  // Not-null: count, kind, header (empty name, ObjectID), three IDs; then
  // Ref1Name and Ref2Name ("": count 1, length byte 0), TargetName's count 0
  // and its length byte 255.
  const std::size_t names = 4 + 1 + 1 + 4 + 12;
  EXPECT_EQ(test::ToHex(bytes.data() + names, 6), "0100010000ff");

  TQELConstraintDefs loaded;
  EXPECT_EQ(test::LoadFrom(loaded, bytes), 0);
  test::ExpectSameConstraints(constraints, loaded);
}

// A stream that takes at most `capacity` bytes.
class TLimitedStream : public TQELStream {
 public:
  explicit TLimitedStream(std::int64_t capacity) : FCapacity(capacity) {}
  std::int64_t Read(void* buffer, std::int64_t count) override {
    return FBytes.Read(buffer, count);
  }
  std::int64_t Write(const void* buffer, std::int64_t count) override {
    const std::int64_t room = std::max<std::int64_t>(0, FCapacity - FBytes.Position());
    return FBytes.Write(buffer, std::min(count, room));
  }
  std::int64_t Seek(std::int64_t offset, TQELSeekOrigin origin) override {
    return FBytes.Seek(offset, origin);
  }
  std::int64_t GetSize() override { return FBytes.GetSize(); }
  void SetSize(std::int64_t size) override { FBytes.SetSize(size); }

 private:
  TQELMemoryStream FBytes;
  std::int64_t FCapacity;
};

// Reading the fixture cut at `length`, and writing it into a stream of that
// capacity, fail on the item that starts there, with its own code.
struct ShortStreamCase {
  const char* Part;
  std::size_t Length;
  std::int32_t ReadCode;
  std::int32_t WriteCode;
};

const ShortStreamCase kShortStreamCases[] = {
    {"fields", 0, 10159, 10158},       {"fields", 4, 10166, 10164},
    {"fields", 5, 10167, 10165},       {"fields", 7, 10169, 10168},
    {"fields", 11, 10187, 10170},      {"fields", 12, 10188, 10171},
    {"fields", 13, 10189, 10172},      {"fields", 17, 30407, 30412},
    {"fields", 25, 30408, 30413},      {"fields", 33, 30409, 30414},
    {"fields", 41, 30410, 30415},      {"fields", 49, 30411, 30416},
    {"fields", 50, 10183, 10179},      {"fields", 51, 10184, 10180},
    {"fields", 52, 10185, 10181},      {"fields", 56, 10186, 10182},
    {"fields", 75, 10192, 10175},      {"fields", 76, 10193, 10176},
    {"fields", 77, 10194, 10177},      {"indexes", 0, 10159, 10343},
    {"indexes", 11, 10349, 10344},     {"indexes", 12, 10350, 10345},
    {"indexes", 13, 10351, 10346},     {"indexes", 14, 10352, 10347},
    {"indexes", 18, 10353, 10348},     {"indexes", 22, 10358, 10354},
    {"indexes", 23, 10359, 10355},     {"indexes", 25, 10360, 10356},
    {"indexes", 26, 10361, 10357},     {"indexes", 27, 20168, 20169},
    {"constraints", 0, 10159, 10158},  {"constraints", 4, 10220, 10219},
    {"constraints", 5, 10166, 10164},  {"constraints", 12, 30303, 30313},
    {"constraints", 16, 30304, 30314}, {"constraints", 20, 30317, 30318},
    {"constraints", 24, 30305, 30315}, {"constraints", 28, 30306, 30316},
    {"constraints", 29, 30307, 30317}, {"constraints", 33, 30308, 30318},
    {"constraints", 35, 30321, 30323}, {"constraints", 39, 30322, 30324},
    {"constraints", 42, 30309, 30319}, {"constraints", 46, 30310, 30320},
    {"constraints", 50, 30311, 30321}, {"constraints", 54, 30312, 30322},
};

TQELMetaObjectDefs& Part(TableMetadata& table, const std::string& part) {
  if (part == "fields") return table.Fields;
  if (part == "indexes") return table.Indexes;
  return table.Constraints;
}

TEST(MetadataFormatTest, EachItemReportsItsOwnCodeWhenTheStreamRunsShort) {
  TableMetadata table = SmallTable();
  for (const ShortStreamCase& c : kShortStreamCases) {
    SCOPED_TRACE(std::string(c.Part) + " cut at " + std::to_string(c.Length));
    const TQELMetaObjectDefs& source = Part(table, c.Part);
    Bytes bytes = Saved(source);
    ASSERT_LT(c.Length, bytes.size());
    bytes.resize(c.Length);
    TableMetadata target;
    EXPECT_EQ(NativeErrorOf([&] { test::LoadFrom(Part(target, c.Part), bytes); }), c.ReadCode);

    TLimitedStream limited(static_cast<std::int64_t>(c.Length));
    EXPECT_EQ(NativeErrorOf([&] { source.SaveToStream(limited); }), c.WriteCode);
  }
}

}  // namespace
}  // namespace qel
