// Definition lists: lookups by name and number, copying with the
// duplicate-name check, order changes, index columns, constraint classes,
// and the default-expression seam of field definitions.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MetadataTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

std::vector<std::string> Names(const TQELMetaObjectDefs& defs) {
  std::vector<std::string> names;
  for (std::int32_t i = 0; i < defs.Count(); ++i) names.push_back(defs.Item(i).Name());
  return names;
}

TQELFieldDefs Fields(std::initializer_list<const char*> names) {
  TQELFieldDefs fields;
  std::int32_t id = 10;
  for (const char* name : names) fields.Add(name, aftInteger, 0).SetObjectID(id++);
  return fields;
}

TEST(MetaObjectDefsTest, LookupsCompareUpperCasedNamesAndTakeTheFirstMatch) {
  TQELFieldDefs fields = Fields({"Straße", "name", "NAME", "Ärger"});
  fields[2].SetObjectID(10);  // the first field's number again
  EXPECT_EQ(fields.IndexOfName("NAME"), 1);
  EXPECT_EQ(fields.IndexOfName("STRASSE"), 0);  // full upper-casing
  EXPECT_EQ(fields.IndexOfName("ärger"), 3);
  EXPECT_EQ(fields.IndexOfName("nam"), -1);
  EXPECT_EQ(fields.IndexOfID(10), 0);
  EXPECT_EQ(fields.IndexOfID(13), 3);
  EXPECT_EQ(fields.IndexOfID(-1), -1);
  EXPECT_EQ(fields.FindByName("Name"), &fields[1]);
  EXPECT_EQ(fields.FindByID(13), &fields[3]);
  EXPECT_EQ(fields.FindField("missing"), nullptr);
}

TEST(MetaObjectDefsTest, AssignCopiesInOrderAndRefusesDuplicateNames) {
  TQELFieldDefs source = Fields({"b", "a"});
  source[1].SetType(aftString, 30);
  source[1].DefaultValue().SetAsString("x");
  source.RecalcOffsets();
  TQELFieldDefs copy = Fields({"old"});
  copy.Assign(source);
  test::ExpectSameFields(source, copy);
  copy[0].SetName("changed");  // a deep copy
  EXPECT_EQ(source[0].Name(), "b");
  copy[0].SetName("b");

  // Indexes go through the same check.
  TQELIndexDefs indexes;
  indexes.Add().SetName("ix");
  indexes.Add().SetName("IX");
  TQELIndexDefs indexCopy;
  EXPECT_EQ(NativeErrorOf([&] { indexCopy.Assign(indexes); }), 10424);

  const TQELFieldDefs duplicates = Fields({"id", "x", "ID"});
  try {
    copy.Assign(duplicates);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()), "Duplicate field name ID - Native error: 10424");
  }
  // A failed copy leaves the list as it was.
  test::ExpectSameFields(source, copy);
}

TEST(MetaObjectDefsTest, ListsWithoutAClassOfTheirOwnCannotCreateDefinitions) {
  TQELMetaObjectDefs root;
  try {
    root.InternalAddCreated();
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(std::string(e.what()),
              "The method 'InternalAddCreated' not overrided in class 'TQELMetaObjectDefs' - "
              "Native error: 30339");
  }
  TQELMemoryStream stream;
  const std::int32_t one = 1;
  stream.Write(&one, 4);
  stream.SetPosition(0);
  EXPECT_EQ(NativeErrorOf([&] { root.LoadFromStream(stream); }), 30339);

  TQELConstraintDefs constraints;
  try {
    constraints.InternalAddCreated();
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_NE(std::string(e.what()).find("in class 'TQELConstraintDefs'"), std::string::npos);
  }
  // Nor can fields be copied into a constraint list.
  EXPECT_EQ(NativeErrorOf([&] { constraints.Assign(Fields({"a"})); }), 30339);
}

TEST(MetaObjectDefsTest, InsertMoveSetAndDeleteChangeTheOrder) {
  TQELFieldDefs fields = Fields({"a", "b", "c", "d"});
  fields.Move(0, 2);
  EXPECT_EQ(Names(fields), (std::vector<std::string>{"b", "c", "a", "d"}));
  fields.Move(3, 0);
  EXPECT_EQ(Names(fields), (std::vector<std::string>{"d", "b", "c", "a"}));
  auto e = std::make_unique<TQELFieldDef>();
  e->SetName("e");
  fields.Insert(1, std::move(e));
  fields.Delete(3);
  auto f = std::make_unique<TQELFieldDef>();
  f->SetName("f");
  fields.SetItem(0, std::move(f));
  EXPECT_EQ(Names(fields), (std::vector<std::string>{"f", "e", "b", "a"}));
}

TEST(MetaObjectDefsTest, IndexDefinitionsCopyEverythingAndManageTheirColumns) {
  TQELIndexDef index;
  index.SetName("ix");
  index.SetObjectID(5);
  index.Unique = index.Primary = true;
  index.RootPageNo = 9;
  index.Temporary = true;
  index.SessionID = 2;
  index.ModificationCount = 41;
  index.AddColumn("a", true, true, 8);
  const TQELIndexDef copy(index);
  test::ExpectSameIndex(index, copy, true);

  index.SetColumnCount(3);
  ASSERT_EQ(index.ColumnCount(), 3);
  EXPECT_EQ(index.Columns(0).FieldName, "a");
  EXPECT_EQ(index.Columns(2), TQELIndexColumn());
  index.SetColumnCount(1);
  EXPECT_EQ(index.ColumnCount(), 1);

  index.SetColumnsFromLists({"x", "y", "z"}, {"DESC", "desc", "ASC"},
                            {"NO_CASE", "CASE", "no_case"});
  ASSERT_EQ(index.ColumnCount(), 3);
  EXPECT_EQ(index.Columns(0), (TQELIndexColumn{"x", true, true, 20}));
  EXPECT_EQ(index.Columns(1), (TQELIndexColumn{"y", false, false, 20}));
  EXPECT_EQ(index.Columns(2), (TQELIndexColumn{"z", false, false, 20}));

  EXPECT_EQ(NativeErrorOf([&] { index.SetColumnsFromLists({"a"}, {}, {"CASE"}); }), 10278);
  EXPECT_EQ(NativeErrorOf([&] { index.SetColumnsFromLists({"a"}, {"ASC"}, {}); }), 10279);
  EXPECT_EQ(index.ColumnCount(), 3);
}

TEST(MetaObjectDefsTest, ConstraintCopiesKeepTheirClassesAndNeedNoNames) {
  const test::TableMetadata table = test::EveryKindTable();
  TQELConstraintDefs copy;
  copy.AddNotNull();  // replaced
  copy.Assign(table.Constraints);
  test::ExpectSameConstraints(table.Constraints, copy);

  // Unnamed constraints are named later by the table; copying allows them.
  TQELConstraintDefs unnamed;
  unnamed.AddNotNull().TargetName = "a";
  unnamed.AddNotNull().TargetName = "b";
  const TQELConstraintDefs unnamedCopy(unnamed);
  test::ExpectSameConstraints(unnamed, unnamedCopy);
}

// A stand-in for the expression layer's default expressions.
class TTextDefault : public TQELDefaultExpression {
 public:
  explicit TTextDefault(std::string text) : FText(std::move(text)) {}
  void Evaluate(TQELVariant& result) override { result.SetAsString(FText); }
  std::unique_ptr<TQELDefaultExpression> Clone() const override {
    return std::make_unique<TTextDefault>(FText);
  }
  std::string FText;
};

int gBuilds = 0;

// Treats texts ending in "()" as expressions.
std::unique_ptr<TQELDefaultExpression> BuildTextDefault(const TQELFieldDef& field) {
  ++gBuilds;
  const std::string text = field.DefaultValue().AsString();
  if (text.size() < 2 || text.substr(text.size() - 2) != "()") return nullptr;
  return std::make_unique<TTextDefault>(text);
}

class BuilderGuard {
 public:
  explicit BuilderGuard(TQELDefaultExpressionBuilder builder) {
    TQELFieldDef::SetDefaultExpressionBuilder(builder);
  }
  ~BuilderGuard() { TQELFieldDef::SetDefaultExpressionBuilder(nullptr); }
};

TEST(MetaObjectDefsTest, DefaultExpressionsAreBuiltFromNonEmptyDefaultTexts) {
  TQELFieldDefs fields;
  fields.Add("CALL", aftDateTime, 0).DefaultValue().SetAsString("NOW()");
  fields.Add("TEXT", aftString, 10).DefaultValue().SetAsString("plain");
  fields.Add("NUMBER", aftInteger, 0).DefaultValue().SetAsInteger(7);
  fields.Add("NONE", aftString, 10);
  fields.Add("EMPTY", aftString, 10).DefaultValue().SetData("", 1, cmCopy, bftString);
  const test::Bytes bytes = test::Saved(fields);

  TQELFieldDefs withoutBuilder;
  test::LoadFrom(withoutBuilder, bytes);
  for (std::int32_t i = 0; i < withoutBuilder.Count(); ++i) {
    EXPECT_EQ(withoutBuilder[i].DefaultExpression(), nullptr);
  }

  BuilderGuard guard(BuildTextDefault);
  gBuilds = 0;
  TQELFieldDefs loaded;
  test::LoadFrom(loaded, bytes);
  EXPECT_EQ(gBuilds, 2);  // only the two non-empty texts
  ASSERT_NE(loaded[0].DefaultExpression(), nullptr);
  EXPECT_EQ(static_cast<TTextDefault*>(loaded[0].DefaultExpression())->FText, "NOW()");
  EXPECT_EQ(loaded[1].DefaultExpression(), nullptr);

  // Copies rebuild it from their own default text.
  loaded[0].SetDefaultExpression(std::make_unique<TTextDefault>("stale"));
  const TQELFieldDef copy(loaded[0]);
  ASSERT_NE(copy.DefaultExpression(), nullptr);
  EXPECT_EQ(static_cast<TTextDefault*>(copy.DefaultExpression())->FText, "NOW()");
}

}  // namespace
}  // namespace qel
