// The type table and its lookups, slot sizes, type groups and null flags.

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "storage/QELTypes.h"

namespace qel {
namespace {

// Every declared type with the storage type, component type and display
// name its first row gives.
struct AdvancedCase {
  TQELAdvancedFieldType Type;
  TQELBaseFieldType Base;
  TFieldType Field;
  const char* Name;
};

TEST(FieldTypeTableTest, EveryDeclaredTypeMapsThroughItsFirstRow) {
  const AdvancedCase cases[] = {
      {aftChar, bftFixedChar, ftFixedChar, "CHAR"},
      {aftString, bftString, ftString, "STRING"},
      {aftWideChar, bftFixedWideChar, ftWideString, "WIDECHAR"},
      {aftWideString, bftWideString, ftWideString, "WIDESTRING"},
      {aftShortint, bftShortint, ftSmallint, "SHORTINT"},
      {aftSmallint, bftSmallint, ftSmallint, "SMALLINT"},
      {aftInteger, bftInteger, ftInteger, "INTEGER"},
      {aftLargeint, bftLargeint, ftLargeint, "LARGEINT"},
      {aftByte, bftByte, ftWord, "BYTE"},
      {aftWord, bftWord, ftWord, "WORD"},
      {aftCardinal, bftCardinal, ftLargeint, "CARDINAL"},
      {aftAutoinc, bftInteger, ftAutoInc, "AUTOINC"},
      {aftAutoincShortint, bftShortint, ftAutoInc, "AUTOINCSHORTINT"},
      {aftAutoincSmallint, bftSmallint, ftAutoInc, "AUTOINCSMALLINT"},
      {aftAutoincInteger, bftInteger, ftAutoInc, "AUTOINCINTEGER"},
      {aftAutoincLargeint, bftLargeint, ftLargeint, "AUTOINCLARGEINT"},
      {aftAutoincByte, bftByte, ftAutoInc, "AUTOINCBYTE"},
      {aftAutoincWord, bftWord, ftAutoInc, "AUTOINCWORD"},
      {aftAutoincCardinal, bftCardinal, ftAutoInc, "AUTOINCCARDINAL"},
      {aftSingle, bftSingle, ftFloat, "SINGLE"},
      {aftDouble, bftDouble, ftFloat, "FLOAT"},  // not the second FLOAT row (ftBCD)
      {aftExtended, bftExtended, ftFloat, "EXTENDED"},
      {aftBoolean, bftBoolean, ftBoolean, "LOGICAL"},
      {aftCurrency, bftCurrency, ftCurrency, "CURRENCY"},
      {aftDate, bftDate, ftDate, "DATE"},
      {aftTime, bftTime, ftTime, "TIME"},
      {aftDateTime, bftDateTime, ftDateTime, "DATETIME"},
      {aftTimeStamp, bftDateTime, ftTimeStamp, "TIMESTAMP"},
      {aftBytes, bftBytes, ftBytes, "BYTES"},
      {aftVarBytes, bftVarBytes, ftVarBytes, "VARBYTES"},
      {aftBlob, bftBlob, ftBlob, "BLOB"},
      {aftGraphic, bftBlob, ftGraphic, "GRAPHIC"},
      {aftMemo, bftMemo, ftMemo, "MEMO"},
      {aftFormattedMemo, bftMemo, ftFmtMemo, "FORMATTEDMEMO"},
      {aftWideMemo, bftWideMemo, ftBlob, "WIDEMEMO"},  // not WIDECLOB's ftMemo
      {aftGuid, bftFixedChar, ftGuid, "GUID"},
  };
  ASSERT_EQ(std::size(cases), 36u);
  for (const AdvancedCase& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(AdvancedToBaseFieldType(c.Type), c.Base);
    EXPECT_EQ(AdvancedFieldTypeToFieldType(c.Type), c.Field);
    EXPECT_EQ(AdvancedFieldTypeName(c.Type), c.Name);
  }
}

TEST(FieldTypeTableTest, StorageTypesMapToTheirFirstDeclaredType) {
  const struct {
    TQELBaseFieldType Base;
    TQELAdvancedFieldType Advanced;
    const char* Name;
  } cases[] = {
      {bftFixedChar, aftChar, "CHAR"},         {bftFixedWideChar, aftWideChar, "WIDECHAR"},
      {bftString, aftString, "STRING"},        {bftWideString, aftWideString, "WIDESTRING"},
      {bftShortint, aftShortint, "SHORTINT"},  {bftSmallint, aftSmallint, "SMALLINT"},
      {bftInteger, aftInteger, "INTEGER"},     {bftLargeint, aftLargeint, "LARGEINT"},
      {bftByte, aftByte, "BYTE"},              {bftWord, aftWord, "WORD"},
      {bftCardinal, aftCardinal, "CARDINAL"},  {bftSingle, aftSingle, "SINGLE"},
      {bftDouble, aftDouble, "FLOAT"},         {bftExtended, aftExtended, "EXTENDED"},
      {bftDate, aftDate, "DATE"},              {bftTime, aftTime, "TIME"},
      {bftDateTime, aftDateTime, "DATETIME"},  {bftBlob, aftBlob, "BLOB"},
      {bftMemo, aftMemo, "MEMO"},              {bftWideMemo, aftWideMemo, "WIDEMEMO"},
      {bftBoolean, aftBoolean, "LOGICAL"},     {bftCurrency, aftCurrency, "CURRENCY"},
      {bftBytes, aftBytes, "BYTES"},           {bftVarBytes, aftVarBytes, "VARBYTES"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    EXPECT_EQ(BaseToAdvancedFieldType(c.Base), c.Advanced);
    EXPECT_EQ(BaseFieldTypeName(c.Base), c.Name);
  }
}

TEST(FieldTypeTableTest, ComponentTypesMapToTheFirstRowOfThatType) {
  const struct {
    TFieldType Field;
    TQELAdvancedFieldType Advanced;
  } cases[] = {
      {ftWideString, aftWideChar}, {ftSmallint, aftSmallint}, {ftBCD, aftDouble},
      {ftAutoInc, aftAutoinc},     {ftLargeint, aftLargeint}, {ftWord, aftWord},
      {ftFloat, aftDouble},        {ftBlob, aftBlob},         {ftMemo, aftMemo},
      {ftParadoxOle, aftBlob},     {ftTypedBinary, aftBlob},  {ftDBaseOle, aftBlob},
      {ftGuid, aftGuid},           {ftTimeStamp, aftTimeStamp}, {ftFixedChar, aftChar},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FieldTypeToAdvancedFieldType(c.Field), c.Advanced) << "ordinal " << int(c.Field);
  }
}

TEST(FieldTypeTableTest, TypesWithoutARowAreUnknown) {
  for (const int value : {0, 37, 200}) {
    const auto type = static_cast<TQELAdvancedFieldType>(value);
    EXPECT_EQ(AdvancedToBaseFieldType(type), bftUnknown);
    EXPECT_EQ(AdvancedFieldTypeToFieldType(type), ftUnknown);
    EXPECT_EQ(AdvancedFieldTypeName(type), "Unknown");
  }
  for (const int value : {0, 25, 255}) {
    const auto type = static_cast<TQELBaseFieldType>(value);
    EXPECT_EQ(BaseToAdvancedFieldType(type), aftUnknown);
    EXPECT_EQ(BaseFieldTypeName(type), "Unknown");
  }
  for (const TFieldType type : {ftUnknown, ftCursor, ftVariant, ftFMTBcd}) {
    try {
      FieldTypeToAdvancedFieldType(type);
      ADD_FAILURE() << "no exception for ordinal " << int(type);
    } catch (const EQELException& e) {
      EXPECT_EQ(e.NativeError(), 30289);
      EXPECT_EQ(std::string(e.what()),
                "Unknown DataType: '" + std::to_string(int(type)) + "' - Native error: 30289");
    }
  }
}

TEST(FieldTypeTableTest, NamesAreFoundIgnoringCaseInTableOrder) {
  const auto rows = QELFieldTypeMappings();
  ASSERT_EQ(rows.size(), 60u);
  EXPECT_EQ(rows[9].Name, "SMALLINT");  // before SHORTINT
  EXPECT_EQ(rows[11].Name, "SHORTINT");
  EXPECT_EQ(rows[33].FieldType, ftBCD);
  EXPECT_EQ(rows[58].Name, "WIDECLOB");
  EXPECT_EQ(rows[58].FieldType, ftMemo);

  const TQELFieldTypeMapping* row = FindFieldTypeMapping("varchar2");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->AdvancedType, aftString);
  row = FindFieldTypeMapping("Float");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->FieldType, ftFloat);
  row = FindFieldTypeMapping("double");
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->AdvancedType, aftDouble);
  EXPECT_EQ(FindFieldTypeMapping("NUMBER"), nullptr);
  EXPECT_EQ(FindFieldTypeMapping("CHA"), nullptr);
}

TEST(FieldTypeTableTest, SlotSizesFollowTheDeclaredSize) {
  const struct {
    TQELBaseFieldType Type;
    std::int32_t Size;
    std::int32_t Expected;
  } cases[] = {
      {bftFixedChar, 20, 21}, {bftString, 20, 21},     {bftFixedWideChar, 20, 42},
      {bftWideString, 20, 42}, {bftBytes, 16, 16},     {bftVarBytes, 16, 16},
      {bftShortint, 20, 1},   {bftSmallint, 20, 2},    {bftInteger, 20, 4},
      {bftLargeint, 20, 8},   {bftByte, 20, 1},        {bftWord, 20, 2},
      {bftCardinal, 20, 4},   {bftSingle, 20, 4},      {bftDouble, 20, 8},
      {bftExtended, 20, 10},  {bftDate, 20, 4},        {bftTime, 20, 4},
      {bftDateTime, 20, 8},   {bftBlob, 20, 10},       {bftMemo, 20, 10},
      {bftWideMemo, 20, 10},  {bftBoolean, 20, 2},     {bftCurrency, 20, 8},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(GetDataSize(c.Type, c.Size), c.Expected) << BaseFieldTypeName(c.Type);
  }
  try {
    GetDataSize(static_cast<TQELBaseFieldType>(25), 0);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "Unknown DataType: 'Unknown' - Native error: 30050");
  }
}

TEST(FieldTypeTableTest, TypeGroupsHoldExactlyTheirMembers) {
  const auto members = [](bool (*test)(std::uint8_t)) {
    std::set<int> found;
    for (int t = 0; t < 256; ++t) {
      if (test(static_cast<std::uint8_t>(t))) found.insert(t);
    }
    return found;
  };
  EXPECT_EQ(members(IsBlobBaseType), (std::set<int>{18, 19, 20}));
  EXPECT_EQ(members(IsBlobAdvancedType), (std::set<int>{31, 32, 33, 34, 35}));
  EXPECT_EQ(members(IsStringAdvancedType), (std::set<int>{1, 2, 3, 4}));
  EXPECT_EQ(members(IsStringLikeAdvancedType), (std::set<int>{1, 2, 3, 4, 36}));
  EXPECT_EQ(members(IsWideStringAdvancedType), (std::set<int>{3, 4}));
  EXPECT_EQ(members(IsBytesAdvancedType), (std::set<int>{29, 30}));
  EXPECT_EQ(members(IsAutoincAdvancedType), (std::set<int>{12, 13, 14, 15, 16, 17, 18, 19}));
  EXPECT_EQ(members(IsNumericBaseType), (std::set<int>{5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 22}));
  EXPECT_EQ(members(IsDateTimeBaseType), (std::set<int>{15, 16, 17}));
}

TEST(FieldTypeTableTest, DeclaredCommonTypeKeepsTheWinningDeclaredType) {
  // AUTOINC is stored as INTEGER; INTEGER wins over SMALLINT, so the
  // declared type stays AUTOINC.
  EXPECT_EQ(CommonAdvancedFieldType(aftAutoinc, aftSmallint, false), aftAutoinc);
  EXPECT_EQ(CommonAdvancedFieldType(aftSmallint, aftAutoinc, false), aftAutoinc);
  // SHORTINT with BYTE meets in SMALLINT, which neither operand is.
  EXPECT_EQ(CommonAdvancedFieldType(aftShortint, aftByte, false), aftSmallint);
  EXPECT_EQ(CommonAdvancedFieldType(aftBoolean, aftDate, true), aftUnknown);
}

TEST(NullFlagsTest, EachFieldOwnsOneBitLeastSignificantFirst) {
  for (const int fieldCount : {1, 8, 9, 17}) {
    SCOPED_TRACE(fieldCount);
    const std::int32_t bytes = NullFlagsSize(fieldCount);
    EXPECT_EQ(bytes, (fieldCount + 7) / 8);
    for (int field = 0; field < fieldCount; ++field) {
      std::vector<std::uint8_t> record(static_cast<std::size_t>(bytes) + 1, 0);
      SetNull(true, field, record.data());
      for (int byte = 0; byte <= bytes; ++byte) {
        const int expected = byte == field / 8 ? 1 << (field % 8) : 0;
        EXPECT_EQ(record[static_cast<std::size_t>(byte)], expected) << "field " << field;
      }
      for (int other = 0; other < fieldCount; ++other) {
        EXPECT_EQ(IsNull(other, record.data()), other == field);
      }
      // Clearing changes only that bit.
      std::fill(record.begin(), record.end(), 0xFF);
      SetNull(false, field, record.data());
      for (int other = 0; other < fieldCount; ++other) {
        EXPECT_EQ(IsNull(other, record.data()), other != field);
      }
      EXPECT_EQ(record[static_cast<std::size_t>(bytes)], 0xFF);
    }
  }
  EXPECT_EQ(NullFlagsSize(0), 0);
  EXPECT_EQ(NullFlagsSize(1), 1);
  EXPECT_EQ(NullFlagsSize(8), 1);
  EXPECT_EQ(NullFlagsSize(9), 2);
  EXPECT_EQ(NullFlagsSize(17), 3);
}

}  // namespace
}  // namespace qel
