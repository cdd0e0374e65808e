// The component layer's structure lists and their conversions to and from
// the engine's field, index and constraint definitions.

#include <gtest/gtest.h>

#include <string>

#include "MetadataTestSupport.h"
#include "support/ErrorSupport.h"
#include "values/QELValueErrors.h"

namespace qel {
namespace {

using test::NativeErrorOf;

TQELFieldDefs FieldsAB() {
  TQELFieldDefs fields;
  fields.Add("a", aftString, 10);
  fields.Add("b", aftInteger, 0);
  fields.Add("c", aftDate, 0);
  return fields;
}

TQELAdvIndexDef AdvIndex(const char* fields, const char* descFields = "",
                         const char* caseInsFields = "", const char* sizes = "",
                         std::uint8_t options = 0) {
  TQELAdvIndexDef index;
  index.Name = "IX";
  index.Fields = fields;
  index.DescFields = descFields;
  index.CaseInsFields = caseInsFields;
  index.MaxIndexedSizes = sizes;
  index.Options = options;
  return index;
}

TEST(DefConversionsTest, ComponentIndexBecomesColumns) {
  struct IndexCase {
    TQELAdvIndexDef Source;
    std::vector<TQELIndexColumn> Columns;
  };
  const IndexCase cases[] = {
      {AdvIndex("a,b", "b"), {{"a", false, false, 20}, {"b", true, false, 20}}},
      {AdvIndex("a;b", "", "A", "5;;"), {{"a", false, true, 5}, {"b", false, false, 20}}},
      {AdvIndex("b;c;a", "", "", " 7 ,8", kQELIndexDescending | kQELIndexCaseInsensitive),
       {{"b", true, true, 7}, {"c", true, true, 8}, {"a", true, true, 20}}},
  };
  const TQELFieldDefs fields = FieldsAB();
  for (const IndexCase& c : cases) {
    SCOPED_TRACE(c.Source.Fields);
    TQELIndexDef index;
    AdvIndexDefToIndexDef(c.Source, fields, index);
    EXPECT_EQ(index.Name(), "IX");
    ASSERT_EQ(index.ColumnCount(), static_cast<std::int32_t>(c.Columns.size()));
    for (std::int32_t i = 0; i < index.ColumnCount(); ++i) {
      EXPECT_EQ(index.Columns(i), c.Columns[static_cast<std::size_t>(i)]);
    }
  }
}

TEST(DefConversionsTest, ComponentIndexOptionsAndErrors) {
  const TQELFieldDefs fields = FieldsAB();
  TQELIndexDef index;
  index.SetObjectID(12);
  index.RootPageNo = 30;
  TQELAdvIndexDef source = AdvIndex("a", "", "", "", kQELIndexPrimary | kQELIndexUnique);
  source.Temporary = true;
  AdvIndexDefToIndexDef(source, fields, index);
  EXPECT_TRUE(index.Primary);
  EXPECT_TRUE(index.Unique);
  EXPECT_TRUE(index.Temporary);
  EXPECT_EQ(index.ObjectID(), 12);  // the number and the root page stay
  EXPECT_EQ(index.RootPageNo, 30);

  TQELAdvIndexDef unnamed = AdvIndex("a");
  unnamed.Name.clear();
  EXPECT_EQ(NativeErrorOf([&] { AdvIndexDefToIndexDef(unnamed, fields, index); }), 20048);
  EXPECT_EQ(NativeErrorOf([&] { AdvIndexDefToIndexDef(AdvIndex(""), fields, index); }), 20049);
  try {
    AdvIndexDefToIndexDef(AdvIndex("a;zz"), fields, index);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "Cannot find index field 'zz' - Native error: 20050");
  }
  EXPECT_THROW(AdvIndexDefToIndexDef(AdvIndex("a", "", "", "x"), fields, index), EConvertError);
  // A failed conversion leaves the definition as it was.
  EXPECT_TRUE(index.Primary);
  EXPECT_EQ(index.ColumnCount(), 1);

  // The component form of the table's fields serves as well.
  TQELAdvFieldDefs advFields;
  advFields.Add().Name = "A";
  AdvIndexDefToIndexDef(AdvIndex("a"), advFields, index);
  EXPECT_EQ(NativeErrorOf([&] { AdvIndexDefToIndexDef(AdvIndex("b"), advFields, index); }), 20050);
}

TEST(DefConversionsTest, EngineIndexBecomesListsAndComesBack) {
  const TQELFieldDefs fields = FieldsAB();
  TQELIndexDefs indexes;
  TQELIndexDef& index = indexes.Add();
  index.SetName("IX");
  index.Unique = index.Primary = true;
  index.AddColumn("a", false, true, 12);
  index.AddColumn("b", true, false);
  index.AddColumn("c", true, true, 3);
  TQELIndexDef& temporary = indexes.Add();
  temporary.SetName("T");
  temporary.Temporary = true;
  temporary.AddColumn("c");

  TQELAdvIndexDefs adv;
  IndexDefsToAdvIndexDefs(indexes, adv);
  ASSERT_EQ(adv.Count(), 2);
  EXPECT_EQ(adv[0].Fields, "a;b;c");
  EXPECT_EQ(adv[0].DescFields, "b;c");
  EXPECT_EQ(adv[0].CaseInsFields, "a;c");
  EXPECT_EQ(adv[0].MaxIndexedSizes, "12;20;3");
  EXPECT_EQ(adv[0].Options, 3);
  EXPECT_TRUE(adv[1].Temporary);
  EXPECT_EQ(adv[1].Options, 0);

  TQELIndexDefs back;
  AdvIndexDefsToIndexDefs(adv, fields, back);
  ASSERT_EQ(back.Count(), 2);
  test::ExpectSameIndex(indexes[0], back[0], true);
  test::ExpectSameIndex(indexes[1], back[1], true);
}

TEST(DefConversionsTest, ComponentFieldsBecomeFieldsAndConstraints) {
  TQELAdvFieldDefs adv;
  TQELAdvFieldDef& id = adv.Add();
  id.Name = "ID";
  id.DataType = aftAutoinc;
  id.Required = true;
  id.AutoincIncrement = 5;
  TQELAdvFieldDef& price = adv.Add();
  price.Name = "PRICE";
  price.DataType = aftCurrency;
  price.MaxValue.SetAsDouble(99.5);
  TQELAdvFieldDef& note = adv.Add();
  note.Name = std::string(300, 'n');
  note.DataType = aftMemo;
  note.BlobBlockSize = 0;
  note.BlobCompressionAlgorithm = 2;
  note.DefaultValue.SetAsString("none");

  TQELIndexDefs indexes;
  TQELIndexDef& pk = indexes.Add();
  pk.SetName("PK");
  pk.SetObjectID(40);
  pk.Primary = pk.Unique = true;
  pk.AddColumn("ID");
  pk.AddColumn("PRICE");
  TQELIndexDef& unique = indexes.Add();
  unique.SetName("UQ");
  unique.SetObjectID(41);
  unique.Unique = true;
  unique.AddColumn("PRICE");
  indexes.Add().AddColumn("ID");  // neither: no constraint

  TQELFieldDefs fields;
  TQELConstraintDefs constraints;
  constraints.AddCheck();  // both lists are replaced
  AdvFieldDefsToFieldDefs(adv, indexes, fields, constraints);
  ASSERT_EQ(fields.Count(), 3);
  EXPECT_EQ(fields[0].BaseFieldType(), bftInteger);
  EXPECT_EQ(fields[0].AutoincIncrement, 5);
  EXPECT_EQ(fields[2].Name().size(), 255u);
  EXPECT_EQ(fields[2].BlobBlockSize, 102400);
  EXPECT_EQ(fields[2].BlobCompressionAlgorithm, 2);
  EXPECT_EQ(fields[2].DefaultValue().AsString(), "none");

  ASSERT_EQ(constraints.Count(), 4);
  EXPECT_EQ(constraints[0].ConstraintKind(), ckNotNull);
  EXPECT_EQ(constraints[0].TargetName, "ID");
  ASSERT_EQ(constraints[1].ConstraintKind(), ckCheck);
  const auto& check = static_cast<const TQELConstraintDefCheck&>(constraints[1]);
  EXPECT_EQ(check.TargetName, "PRICE");
  EXPECT_TRUE(check.MinValue.IsNull());
  EXPECT_EQ(check.MaxValue.AsDouble(), 99.5);
  ASSERT_EQ(constraints[2].ConstraintKind(), ckPrimaryKey);
  EXPECT_EQ(constraints[2].Name(), "C_PK$ID$PRICE");
  EXPECT_EQ(constraints[2].TargetName, "PK");
  EXPECT_EQ(constraints[2].TargetID, 40);
  EXPECT_EQ(static_cast<const TQELConstraintDefUnique&>(constraints[2]).Columns.size(), 2u);
  ASSERT_EQ(constraints[3].ConstraintKind(), ckUnique);
  EXPECT_EQ(constraints[3].Name(), "C_Unique$PRICE");

  TQELFieldDefs bare;
  TQELConstraintDefs none;
  AdvFieldDefsToFieldDefs(adv, indexes, bare, none, true);
  EXPECT_EQ(bare.Count(), 3);
  EXPECT_EQ(none.Count(), 0);

  // An unsupported type changes neither list.
  adv.Add().Name = "BAD";
  EXPECT_EQ(NativeErrorOf([&] { AdvFieldDefsToFieldDefs(adv, indexes, fields, constraints); }),
            30007);
  EXPECT_EQ(fields.Count(), 3);
  EXPECT_EQ(constraints.Count(), 4);
}

TEST(DefConversionsTest, FieldsAndConstraintsBecomeComponentFields) {
  TQELFieldDefs fields;
  fields.Add("ID", aftInteger, 0).SetObjectID(1);
  fields.Add("G", aftGuid, 38).SetObjectID(2);
  TQELFieldDef& blob = fields.Add("B", aftBlob, 0);
  blob.SetObjectID(3);
  blob.BlobCompressionAlgorithm = 7;
  blob.BlobCompressionMode = 4;
  blob.DefaultValue().SetAsString("d");
  TQELConstraintDefs constraints;
  constraints.AddPrimary().TargetID = 99;  // left to the indexes
  constraints.AddNotNull().TargetID = 1;
  TQELConstraintDefCheck& check = constraints.AddCheck();
  check.TargetID = 3;
  check.MinValue.SetAsInteger(1);

  TQELAdvFieldDefs adv;
  adv.Add().Name = "STALE";
  FieldDefsToAdvFieldDefs(fields, constraints, adv);
  ASSERT_EQ(adv.Count(), 3);
  EXPECT_EQ(adv[0].FieldID, 1);
  EXPECT_TRUE(adv[0].Required);
  EXPECT_FALSE(adv[1].Required);
  EXPECT_EQ(adv[1].Size, 0);
  EXPECT_EQ(adv[1].DataType, aftGuid);
  EXPECT_EQ(adv[2].BlobCompressionAlgorithm, 0);
  EXPECT_EQ(adv[2].BlobCompressionMode, 4);
  EXPECT_EQ(adv[2].MinValue.AsInteger(), 1);
  EXPECT_TRUE(adv[2].MaxValue.IsNull());
  EXPECT_EQ(adv[2].DefaultValue.AsString(), "d");

  // Back to engine lists: the Required flag and the range return as
  // constraints on the same fields.
  TQELFieldDefs fieldsAgain;
  TQELConstraintDefs constraintsAgain;
  AdvFieldDefsToFieldDefs(adv, TQELIndexDefs(), fieldsAgain, constraintsAgain);
  ASSERT_EQ(constraintsAgain.Count(), 2);
  EXPECT_EQ(constraintsAgain[0].TargetName, "ID");
  EXPECT_EQ(constraintsAgain[1].TargetName, "B");

  check.TargetID = 8;
  try {
    FieldDefsToAdvFieldDefs(fields, constraints, adv);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "Field #8 not found - Native error: 30031");
  }
  constraints[1].TargetID = 8;
  EXPECT_EQ(NativeErrorOf([&] { FieldDefsToAdvFieldDefs(fields, constraints, adv); }), 30032);
  EXPECT_EQ(adv.Count(), 3);  // unchanged by the failures
}

TEST(DefConversionsTest, ComponentListsFindDeleteAndSkipTemporaryIndexes) {
  TQELAdvFieldDefs fields;
  fields.Add().Name = "Name";
  fields.Add().Name = "Size";
  EXPECT_EQ(fields.Find("NAME"), &fields[0]);
  fields.Delete("size");
  EXPECT_EQ(fields.Count(), 1);
  try {
    fields.Delete("size");
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "Field 'size' not found - Native error: 30349");
  }

  TQELAdvIndexDefs indexes;
  indexes.Add().Name = "KEEP";
  indexes.Add().Name = "idx_temporary_1";
  indexes.Add().Temporary = true;
  TQELAdvIndexDefs copy;
  copy.Assign(indexes, true);
  ASSERT_EQ(copy.Count(), 1);
  EXPECT_EQ(copy[0].Name, "KEEP");
  copy.Assign(indexes);
  EXPECT_EQ(copy.Count(), 3);
}

TEST(DefConversionsTest, FrameworkFieldsGetSizesOnlyForStringsAndBytes) {
  struct PlatformCase {
    TQELAdvancedFieldType Type;
    std::int32_t Size;
    TFieldType FieldType;
    std::int32_t PlatformSize;
    bool Required;
  };
  const PlatformCase cases[] = {
      {aftString, 30, ftString, 30, true},
      {aftWideChar, 5, ftWideString, 5, true},
      {aftVarBytes, 16, ftVarBytes, 16, true},
      {aftGuid, 38, ftGuid, 0, true},
      {aftInteger, 4, ftInteger, 0, true},
      {aftAutoinc, 0, ftAutoInc, 0, false},  // never required
      {aftAutoincLargeint, 0, ftLargeint, 0, true},
  };
  for (const PlatformCase& c : cases) {
    SCOPED_TRACE(AdvancedFieldTypeName(c.Type));
    TQELFieldDefs fields;
    fields.Add("F", c.Type, c.Size).SetObjectID(6);
    TQELConstraintDefs constraints;
    constraints.AddNotNull().TargetID = 6;
    const TQELPlatformFieldDef platform = FieldDefToPlatformFieldDef(fields[0], constraints);
    EXPECT_EQ(platform.DataType, c.FieldType);
    EXPECT_EQ(platform.Size, c.PlatformSize);
    EXPECT_EQ(platform.Required, c.Required);
    EXPECT_FALSE(FieldDefToPlatformFieldDef(fields[0], TQELConstraintDefs()).Required);

    TQELAdvFieldDef adv;
    adv.DataType = c.Type;
    adv.Size = c.Size;
    adv.Required = true;
    EXPECT_EQ(AdvFieldDefToPlatformFieldDef(adv).Required, c.Required);
  }
  const TQELAdvFieldDef back = PlatformFieldDefToAdvFieldDef({"W", ftWideString, 9, true});
  EXPECT_EQ(back.DataType, aftWideChar);
  EXPECT_EQ(back.Size, 9);
  EXPECT_TRUE(back.Required);
  EXPECT_EQ(NativeErrorOf([] { PlatformFieldDefToAdvFieldDef({"X", ftCursor, 0, false}); }), 30289);
}

}  // namespace
}  // namespace qel
