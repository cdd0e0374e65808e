// Record layout of field definitions, and field values moved in and out of
// record buffers.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "storage/QELTypes.h"

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One field of every storage type, in storage type order.
struct LayoutCase {
  TQELAdvancedFieldType Type;
  std::int32_t Size;
  std::int32_t MemoryOffset;
  std::int32_t MemorySize;
  std::int32_t DiskOffset;
  std::int32_t DiskSize;
};

const LayoutCase kEveryStorageType[] = {
    {aftChar, 10, 3, 11, 3, 11},          {aftWideChar, 5, 14, 12, 14, 12},
    {aftString, 20, 26, 21, 26, 21},      {aftWideString, 20, 47, 42, 47, 42},
    {aftShortint, 0, 89, 1, 89, 1},       {aftSmallint, 0, 90, 2, 90, 2},
    {aftInteger, 0, 92, 4, 92, 4},        {aftLargeint, 0, 96, 8, 96, 8},
    {aftByte, 0, 104, 1, 104, 1},         {aftWord, 0, 105, 2, 105, 2},
    {aftCardinal, 0, 107, 4, 107, 4},     {aftSingle, 0, 111, 4, 111, 4},
    {aftDouble, 0, 115, 8, 115, 8},       {aftExtended, 0, 123, 10, 123, 10},
    {aftDate, 0, 133, 4, 133, 4},         {aftTime, 0, 137, 4, 137, 4},
    {aftDateTime, 0, 141, 8, 141, 8},     {aftBlob, 0, 149, 10, 149, 6},
    {aftMemo, 0, 159, 10, 155, 6},        {aftWideMemo, 0, 169, 10, 161, 6},
    {aftBoolean, 0, 179, 2, 167, 2},      {aftCurrency, 0, 181, 8, 169, 8},
    {aftBytes, 16, 189, 16, 177, 16},     {aftVarBytes, 7, 205, 7, 193, 7},
};

TQELFieldDefs EveryStorageTypeDefs() {
  TQELFieldDefs defs;
  for (const LayoutCase& c : kEveryStorageType) {
    defs.Add("F" + std::to_string(defs.Count()), c.Type, c.Size);
  }
  defs.RecalcOffsets();
  return defs;
}

TEST(RecordLayoutTest, EveryStorageTypeGetsItsSlotAfterTheNullFlags) {
  const TQELFieldDefs defs = EveryStorageTypeDefs();
  ASSERT_EQ(defs.Count(), 24);
  EXPECT_EQ(defs.NullFlagsSize(), 3);
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    const LayoutCase& c = kEveryStorageType[i];
    SCOPED_TRACE(AdvancedFieldTypeName(c.Type));
    EXPECT_EQ(defs[i].BaseFieldType(), i + 1);
    EXPECT_EQ(defs[i].MemoryOffset(), c.MemoryOffset);
    EXPECT_EQ(defs[i].MemoryDataSize(), c.MemorySize);
    EXPECT_EQ(defs[i].DiskOffset(), c.DiskOffset);
    EXPECT_EQ(defs[i].DiskDataSize(), c.DiskSize);
  }
  EXPECT_EQ(defs.MemoryRecordSize(), 212);
  EXPECT_EQ(defs.DiskRecordSize(), 200);
}

TEST(RecordLayoutTest, SmallTablesAndTheBlobReference) {
  TQELFieldDefs defs;
  defs.Add("ID", aftInteger, 0);
  defs.Add("DATA", aftBlob, 0);
  defs.RecalcOffsets();
  EXPECT_EQ(defs.MemoryRecordSize(), 15);
  EXPECT_EQ(defs.DiskRecordSize(), 11);
  EXPECT_EQ(defs[1].MemoryOffset(), 5);
  EXPECT_EQ(defs[1].DiskOffset(), 5);

  for (const int count : {8, 9}) {
    TQELFieldDefs many;
    for (int i = 0; i < count; ++i) many.Add("B" + std::to_string(i), aftByte, 0);
    many.RecalcOffsets();
    EXPECT_EQ(many[0].MemoryOffset(), count == 8 ? 1 : 2);
    EXPECT_EQ(many.MemoryRecordSize(), count + (count == 8 ? 1 : 2));
  }

  TQELFieldDefs empty;
  empty.RecalcOffsets();
  EXPECT_EQ(empty.MemoryRecordSize(), 0);
}

TEST(RecordLayoutTest, UnsupportedDeclaredTypeIsRejectedAndChangesNothing) {
  TQELFieldDef def;
  def.SetType(aftInteger, 0);
  try {
    def.SetType(static_cast<TQELAdvancedFieldType>(40), 0);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "Unsupported data type 'Unknown' - Native error: 30007");
  }
  EXPECT_EQ(def.AdvancedFieldType(), aftInteger);
  EXPECT_EQ(def.MemoryDataSize(), 4);
}

TEST(RecordLayoutTest, DiskImageDropsOnlyTheBlobHandles) {
  TQELBaseFieldManager manager(nullptr);
  manager.SetFieldDefs(EveryStorageTypeDefs());
  const TQELFieldDefs& defs = manager.FieldDefs();
  Bytes memory(static_cast<std::size_t>(defs.MemoryRecordSize()));
  for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<std::uint8_t>(i * 7 + 1);

  Bytes disk(static_cast<std::size_t>(defs.DiskRecordSize()) + 4, 0xEE);
  manager.MemoryToDiskRecord(memory.data(), disk.data());
  EXPECT_EQ(disk[disk.size() - 1], 0xEE);  // nothing written past the image
  Bytes back(memory.size() + 4, 0xEE);
  manager.DiskToMemoryRecord(disk.data(), back.data());
  EXPECT_EQ(back[back.size() - 1], 0xEE);
  back.resize(memory.size());

  Bytes expected = memory;
  for (std::int32_t i = 0; i < defs.Count(); ++i) {
    if (IsBlobBaseType(defs[i].BaseFieldType())) {
      std::memset(expected.data() + defs[i].MemoryOffset() + 6, 0, 4);
    }
  }
  EXPECT_EQ(back, expected);
  EXPECT_EQ(0, std::memcmp(disk.data() + defs[17].DiskOffset(), memory.data() + defs[17].MemoryOffset(), 6));

  EXPECT_TRUE(manager.RecordsEqual(back.data(), expected.data()));
  EXPECT_FALSE(manager.RecordsEqual(back.data(), memory.data()));
}

class FieldDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Defs = EveryStorageTypeDefs();
    Record.assign(static_cast<std::size_t>(Defs.MemoryRecordSize()), 0);
  }
  std::uint8_t* Slot(std::int32_t fieldNo) { return Record.data() + Defs[fieldNo].MemoryOffset(); }

  static constexpr std::int32_t kChar = 0, kWideChar = 1, kString = 2, kWideString = 3,
                                kShortint = 4, kCardinal = 10, kSingle = 11, kExtended = 13,
                                kDateTime = 16, kBlob = 17, kBoolean = 20, kBytes = 22;
  TQELFieldDefs Defs;
  Bytes Record;
};

TEST_F(FieldDataTest, ComponentFormsAreWidenedAndNarrowed) {
  const std::int16_t shortint = -5;
  SetFieldData(kShortint, Defs, &shortint, Record.data());
  EXPECT_EQ(static_cast<std::int8_t>(*Slot(kShortint)), -5);
  std::int16_t shortOut = 0;
  ASSERT_TRUE(GetFieldData(kShortint, Defs, &shortOut, Record.data()));
  EXPECT_EQ(shortOut, -5);

  const std::int64_t cardinal = 4000000000;
  SetFieldData(kCardinal, Defs, &cardinal, Record.data());
  std::int64_t cardinalOut = 0;
  ASSERT_TRUE(GetFieldData(kCardinal, Defs, &cardinalOut, Record.data()));
  EXPECT_EQ(cardinalOut, 4000000000);

  const double real = 1.5;
  SetFieldData(kSingle, Defs, &real, Record.data());
  SetFieldData(kExtended, Defs, &real, Record.data());
  double singleOut = 0, extendedOut = 0;
  ASSERT_TRUE(GetFieldData(kSingle, Defs, &singleOut, Record.data()));
  ASSERT_TRUE(GetFieldData(kExtended, Defs, &extendedOut, Record.data()));
  EXPECT_EQ(singleOut, 1.5);
  EXPECT_EQ(extendedOut, 1.5);
  // The extended slot holds the 80-bit form: exponent 0x3FFF, mantissa 0xC0...
  const Bytes extendedBytes(Slot(kExtended), Slot(kExtended) + 10);
  EXPECT_EQ(extendedBytes, (Bytes{0, 0, 0, 0, 0, 0, 0, 0xC0, 0xFF, 0x3F}));

  const double huge = 1e300;
  SetFieldData(kSingle, Defs, &huge, Record.data());
  ASSERT_TRUE(GetFieldData(kSingle, Defs, &singleOut, Record.data()));
  EXPECT_TRUE(std::isinf(singleOut));
}

TEST_F(FieldDataTest, NullAndEmptyStringsAndBlobs) {
  std::fill(Record.begin(), Record.begin() + 3, 0xFF);  // all NULL
  std::int32_t value = 0;
  EXPECT_FALSE(GetFieldData(kShortint, Defs, &value, Record.data()));
  EXPECT_FALSE(GetFieldData(kShortint, Defs, nullptr, Record.data()));

  char text[21] = "hello";
  SetFieldData(kString, Defs, text, Record.data());
  EXPECT_TRUE(GetFieldData(kString, Defs, nullptr, Record.data()));
  char out[21] = {};
  ASSERT_TRUE(GetFieldData(kString, Defs, out, Record.data()));
  EXPECT_STREQ(out, "hello");

  // The empty string makes the field NULL and leaves its slot alone.
  const char empty[21] = {};
  SetFieldData(kString, Defs, empty, Record.data());
  EXPECT_FALSE(GetFieldData(kString, Defs, out, Record.data()));
  EXPECT_STREQ(reinterpret_cast<const char*>(Slot(kString)), "hello");
  // Callers hand over slot-sized buffers.
  const char16_t wide[6] = u"ab";
  const char16_t emptyWide[6] = {};
  SetFieldData(kWideChar, Defs, wide, Record.data());
  EXPECT_FALSE(IsNull(kWideChar, Record.data()));
  SetFieldData(kWideChar, Defs, emptyWide, Record.data());
  EXPECT_TRUE(IsNull(kWideChar, Record.data()));
  const char x[11] = "x";
  SetFieldData(kChar, Defs, x, Record.data());
  SetFieldData(kChar, Defs, nullptr, Record.data());
  EXPECT_TRUE(IsNull(kChar, Record.data()));

  // BLOB contents travel through BLOB streams: nothing is copied.
  SetNull(false, kBlob, Record.data());
  std::uint8_t blobOut[10] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_TRUE(GetFieldData(kBlob, Defs, blobOut, Record.data()));
  EXPECT_EQ(blobOut[0], 9);
}

TEST_F(FieldDataTest, UnterminatedStringSourceStillLeavesATerminator) {
  char full[21];
  std::memset(full, 'x', sizeof full);
  SetFieldData(kString, Defs, full, Record.data());
  char out[21];
  ASSERT_TRUE(GetFieldData(kString, Defs, out, Record.data()));
  EXPECT_EQ(std::strlen(out), 20u);
  char16_t wide[21];
  std::fill(std::begin(wide), std::end(wide), u'y');
  SetFieldData(kWideString, Defs, wide, Record.data());
  EXPECT_EQ(Slot(kWideString)[40], 0);
  EXPECT_EQ(Slot(kWideString)[41], 0);
}

TEST_F(FieldDataTest, BadFieldNumbersRecordsAndLayoutsRaise) {
  const auto expectCode = [](auto&& call, std::int32_t code, const std::string& message) {
    try {
      call();
      ADD_FAILURE() << "no exception for " << code;
    } catch (const EQELException& e) {
      EXPECT_EQ(e.NativeError(), code);
      EXPECT_EQ(std::string(e.what()), message);
    }
  };
  std::int64_t buffer = 0;
  expectCode([&] { GetFieldData(24, Defs, &buffer, Record.data()); }, 10000,
             "Invalid field number - FieldNo = 24, FieldCount = 24 - Native error: 10000");
  expectCode([&] { GetFieldData(-1, Defs, &buffer, Record.data()); }, 10000,
             "Invalid field number - FieldNo = -1, FieldCount = 24 - Native error: 10000");
  expectCode([&] { SetFieldData(24, Defs, &buffer, Record.data()); }, 10004,
             "Invalid field number - FieldNo = 24, FieldCount = 24 - Native error: 10004");
  expectCode([&] { GetFieldData(0, Defs, &buffer, nullptr); }, 10003,
             "Nil pointer occured - Native error: 10003");

  // A field added without a new layout has no slot in the record.
  Defs.Add("LATE", aftLargeint, 0);
  Record.resize(Record.size() + 8);
  expectCode([&] { GetFieldData(24, Defs, &buffer, Record.data()); }, 10002,
             "Error getting field data - FieldNo = 24, MemoryOffset = 0, MemoryDataSize = 8 - "
             "Native error: 10002");
  EXPECT_THROW(SetFieldData(24, Defs, &buffer, Record.data()), EQELException);
  Defs.RecalcOffsets();
  SetFieldData(24, Defs, &buffer, Record.data());
  EXPECT_TRUE(GetFieldData(24, Defs, &buffer, Record.data()));
}

TEST_F(FieldDataTest, VariantsAreConvertedToTheFieldType) {
  TQELVariant value;
  value.SetAsString("12");
  ASSERT_TRUE(SetFieldValue(kShortint, Defs, value, Record.data()));
  EXPECT_EQ(static_cast<std::int8_t>(*Slot(kShortint)), 12);
  EXPECT_FALSE(IsNull(kShortint, Record.data()));

  value.Clear(bftDouble);
  value.SetAsDouble(1.75);
  ASSERT_TRUE(SetFieldValue(kDateTime, Defs, value, Record.data()));
  TQELVariant read;
  ASSERT_TRUE(GetFieldValue(kDateTime, Defs, Record.data(), read));
  EXPECT_EQ(read.DataType(), bftDateTime);
  EXPECT_EQ(read.AsDateTimeStamp().Date, 1);
  EXPECT_EQ(read.AsDateTimeStamp().Time, 64800000);

  // Strings are cut to the slot, the rest of the slot zeroed.
  std::memset(Slot(kChar), 'z', 11);
  value.Clear(bftString);
  value.SetAsString("abcdefghijklmnop");
  ASSERT_TRUE(SetFieldValue(kChar, Defs, value, Record.data()));
  ASSERT_TRUE(GetFieldValue(kChar, Defs, Record.data(), read));
  EXPECT_EQ(read.AsString(), "abcdefghij");
  EXPECT_EQ(read.StringLength(), 10);
  value.SetAsString("ab");
  ASSERT_TRUE(SetFieldValue(kChar, Defs, value, Record.data()));
  EXPECT_EQ(Bytes(Slot(kChar), Slot(kChar) + 11), (Bytes{'a', 'b', 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(GetFieldValue(kChar, Defs, Record.data(), read, cmBorrow));
  EXPECT_TRUE(read.Borrowed());
  EXPECT_EQ(read.StringLength(), 2);

  // A wide field from UTF-8 text.
  value.SetAsString("Grüße");
  ASSERT_TRUE(SetFieldValue(kWideString, Defs, value, Record.data()));
  ASSERT_TRUE(GetFieldValue(kWideString, Defs, Record.data(), read));
  EXPECT_EQ(read.AsWideString(), u"Grüße");

  // A value that does not convert leaves the field as it was.
  value.SetAsString("abc");
  EXPECT_THROW(SetFieldValue(kShortint, Defs, value, Record.data()), EQELException);
  EXPECT_EQ(static_cast<std::int8_t>(*Slot(kShortint)), 12);

  // NULL and the empty string make the field NULL.
  value.Clear(bftBoolean);
  ASSERT_TRUE(SetFieldValue(kBoolean, Defs, value, Record.data()));
  EXPECT_TRUE(IsNull(kBoolean, Record.data()));
  ASSERT_TRUE(GetFieldValue(kBoolean, Defs, Record.data(), read));
  EXPECT_TRUE(read.IsNull());
  EXPECT_EQ(read.DataType(), bftBoolean);

  // BLOB values are not in the record.
  EXPECT_FALSE(SetFieldValue(kBlob, Defs, value, Record.data()));
  EXPECT_FALSE(GetFieldValue(kBlob, Defs, Record.data(), read));

  // Byte strings copy as they are.
  value.SetData("0123456789abcdef", 16, cmCopy, bftBytes);
  ASSERT_TRUE(SetFieldValue(kBytes, Defs, value, Record.data()));
  EXPECT_EQ(0, std::memcmp(Slot(kBytes), "0123456789abcdef", 16));
}

}  // namespace
}  // namespace qel
