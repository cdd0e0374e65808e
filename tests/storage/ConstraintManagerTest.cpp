// TQELBaseConstraintManager over a small table with real B-tree indexes:
// installing, resolving and naming constraints, the constraints an index
// implies, and checking records for NULL keys, duplicates, not-null fields
// and value ranges.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "BTreeTestSupport.h"
#include "platform/QELRandom.h"
#include "storage/QELConstraintManager.h"
#include "support/ErrorSupport.h"

namespace qel::test {
namespace {

// A table of fields Code, Name, Price and Part (ObjectIDs 101..104) whose
// records live in memory and whose indexes are real B-trees.
class TTable final : public TQELConstraintTable {
 public:
  TTable() : Pages(4096), Records(Fields) {
    Fields.Add("Code", aftInteger, 0).SetObjectID(101);
    Fields.Add("Name", aftString, 20).SetObjectID(102);
    Fields.Add("Price", aftInteger, 0).SetObjectID(103);
    Fields.Add("Part", aftInteger, 0).SetObjectID(104);
    Fields.RecalcOffsets();
  }

  TQELIndexDef& AddIndex(const std::string& name, std::vector<std::string> columns, bool primary,
                         bool unique, std::int32_t objectID) {
    TQELIndexDef& def = Indexes.Add();
    def.SetName(name);
    for (const std::string& column : columns) def.AddColumn(column);
    def.Primary = primary;
    def.Unique = unique;
    def.SetObjectID(objectID);
    auto index = std::make_unique<TQELBTreeRecordIndex>(Pages, Fields, &Records);
    index->CreateIndex(kSession, def, false);
    Live[objectID] = std::move(index);
    return def;
  }

  // A record; a field left out of `values` is NULL.
  std::vector<std::uint8_t> Row(std::map<std::int32_t, std::int32_t> values,
                                const char* name = nullptr) const {
    std::vector<std::uint8_t> record = Records.NewRecord();
    for (const auto& [fieldNo, value] : values) Records.SetInteger(record, fieldNo, value);
    if (name != nullptr) Records.SetText(record, 1, name);
    return record;
  }
  void Insert(std::int32_t id, const std::vector<std::uint8_t>& record) {
    Records.Put(MakeRecordID(id), record);
    for (auto& [indexID, index] : Live) index->InsertKey(kSession, record.data(), MakeRecordID(id));
  }

  std::string TableName() const override { return Name; }
  const TQELFieldDefs& FieldDefs() const override { return Fields; }
  const TQELIndexDefs& IndexDefs() const override { return Indexes; }
  TQELIndex& GetIndex(std::int32_t indexID) override {
    ++IndexLookups;
    const auto it = Live.find(indexID);
    if (it == Live.end()) throw EQELException(20018, "Index not found");
    return *it->second;
  }
  std::int64_t RecordCount() const override { return Records.Count(); }
  std::int32_t GetNextObjectID() override { return ++LastObjectID; }

  std::string Name = "Items";
  TMemoryPageManager Pages;
  TQELFieldDefs Fields;
  TQELIndexDefs Indexes;
  TRecordTable Records;
  std::map<std::int32_t, std::unique_ptr<TQELBTreeRecordIndex>> Live;
  std::int32_t LastObjectID = 1000;
  std::int32_t IndexLookups = 0;
};

// The message of the exception `action` raises; empty when none.
std::string MessageOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EQELException& e) {
    return e.what();
  }
  return {};
}

// A constraint of a kind the system does not support.
class TOddConstraint final : public TQELConstraintDef {
 public:
  TOddConstraint() : TQELConstraintDef(static_cast<TQELConstraintKind>(1)) {}
};

TEST(ConstraintManagerTest, InstallingResolvesNamesToIDsAndNamesUnnamedConstraints) {
  TTable table;
  table.AddIndex("PK_Items", {"Code"}, true, false, 7);
  TQELConstraintDefs defs;
  TQELConstraintDefPrimary& primary = defs.AddPrimary();
  primary.SetName("C_PK$Code");
  primary.TargetName = "pk_items";  // names are found ignoring case
  primary.Columns.push_back({"CODE", 0});
  defs.AddNotNull().TargetName = "Name";
  TQELConstraintDefCheck& check = defs.AddCheck();
  check.TargetName = "Price";
  check.Ref2Name = "Elsewhere";  // replaced by the table's name

  TQELBaseConstraintManager manager(table);
  manager.SetConstraintDefs(defs);
  const TQELConstraintDefs& installed = manager.ConstraintDefs();
  ASSERT_EQ(installed.Count(), 3);
  for (std::int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(installed[i].ObjectID(), 1001 + i);
    EXPECT_EQ(installed[i].Ref2Name, "Items");
  }
  const auto& resolved = static_cast<const TQELConstraintDefUnique&>(installed[0]);
  EXPECT_EQ(resolved.TargetID, 7);
  EXPECT_EQ(resolved.Columns[0].ObjectID, 101);
  EXPECT_EQ(installed[0].Name(), "C_PK$Code");
  EXPECT_EQ(installed[1].TargetID, 102);
  EXPECT_EQ(installed[1].Name(), "$C_NotNull$Items$Name");
  EXPECT_EQ(installed[2].TargetID, 103);
  EXPECT_EQ(installed[2].Name(), "$C_Check$Items$Price");
  // The caller's definitions stay as they were.
  EXPECT_EQ(defs[1].ObjectID(), -1);
  EXPECT_TRUE(defs[1].Name().empty());
}

TEST(ConstraintManagerTest, TakenGeneratedNamesGetARandomSuffixWithinTheNameLimit) {
  TTable table;
  table.Name.clear();
  QELRandomize(12345);
  TQELConstraintDefs defs;
  defs.AddNotNull().TargetName = "Code";
  defs.AddNotNull().TargetName = "Code";
  defs.AddNotNull().TargetName = "CODE";
  TQELBaseConstraintManager manager(table);
  manager.SetConstraintDefs(defs);
  const TQELConstraintDefs& named = manager.ConstraintDefs();
  EXPECT_EQ(named[0].Name(), "$C_NotNull$$Code");
  const std::regex suffixed(R"(\$C_NotNull\$\$(Code|CODE)(\d{1,5}))");
  for (std::int32_t i = 1; i < 3; ++i) {
    std::smatch match;
    const std::string name = named[i].Name();
    ASSERT_TRUE(std::regex_match(name, match, suffixed)) << name;
    EXPECT_LE(std::stoi(match[2]), 65534);
  }
  EXPECT_NE(named[1].Name(), named[2].Name());

  // A base name of the full length still leaves room for the suffix, so
  // that a taken name cannot repeat forever.
  TQELBaseConstraintManager longNames(table);
  const std::string longTarget(300, 'x');
  longNames.ConstraintDefs().AddNotNull().TargetName = longTarget;
  longNames.ConstraintDefs().AddNotNull().TargetName = longTarget;
  longNames.NameConstraints();
  EXPECT_EQ(longNames.ConstraintDefs()[0].Name(), ("$C_NotNull$$" + longTarget).substr(0, 255));
  EXPECT_EQ(longNames.ConstraintDefs()[1].Name().size(), 255u);
  EXPECT_NE(longNames.ConstraintDefs()[1].Name(), longNames.ConstraintDefs()[0].Name());
}

TEST(ConstraintManagerTest, UnresolvableConstraintsRaiseTheirCodesAndKeepTheOldDefinitions) {
  struct TCase {
    const char* Name;
    std::function<void(TQELConstraintDefs&)> Build;
    std::int32_t Code;
  };
  const std::vector<TCase> cases = {
      {"primary key on a missing index",
       [](TQELConstraintDefs& d) { d.AddPrimary().TargetName = "Nowhere"; }, 30325},
      {"unique on a missing index",
       [](TQELConstraintDefs& d) { d.AddUnique().TargetName = "Nowhere"; }, 30326},
      {"primary key column without a field",
       [](TQELConstraintDefs& d) {
         TQELConstraintDefPrimary& c = d.AddPrimary();
         c.TargetName = "PK_Items";
         c.Columns.push_back({"Missing", 0});
       },
       30331},
      {"unique column without a field",
       [](TQELConstraintDefs& d) {
         TQELConstraintDefUnique& c = d.AddUnique();
         c.TargetName = "PK_Items";
         c.Columns.push_back({"Missing", 0});
       },
       30332},
      {"not null on a missing field",
       [](TQELConstraintDefs& d) { d.AddNotNull().TargetName = "Missing"; }, 30027},
      {"check on a missing field",
       [](TQELConstraintDefs& d) { d.AddCheck().TargetName = "Missing"; }, 30027},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TTable table;
    table.AddIndex("PK_Items", {"Code"}, true, false, 7);
    TQELBaseConstraintManager manager(table);
    TQELConstraintDefs before;
    before.AddNotNull().TargetName = "Code";
    manager.SetConstraintDefs(before);
    TQELConstraintDefs defs;
    c.Build(defs);
    EXPECT_EQ(NativeErrorOf([&] { manager.SetConstraintDefs(defs); }), c.Code);
    ASSERT_EQ(manager.ConstraintDefs().Count(), 1);
    EXPECT_EQ(manager.ConstraintDefs()[0].Name(), "$C_NotNull$Items$Code");
  }
  EXPECT_EQ(MessageOf([] {
              TTable table;
              TQELBaseConstraintManager manager(table);
              manager.ConstraintDefs().AddCheck().TargetName = "Missing";
              manager.ResolveConstraints();
            }),
            "Field 'Missing' not found - Native error: 30027");
}

TEST(ConstraintManagerTest, UnsupportedKindsRaiseNotImplementedWithEachOperationsCode) {
  TTable table;
  TQELBaseConstraintManager manager(table);
  TQELConstraintDefs odd;
  odd.Add(std::make_unique<TOddConstraint>());
  EXPECT_EQ(MessageOf([&] { manager.SetConstraintDefs(odd); }),
            "Not implemented yet - Native error: 30058");
  EXPECT_EQ(NativeErrorOf([&] { manager.SetConstraintDefs(odd, 30040); }), 30040);
  EXPECT_EQ(table.LastObjectID, 1000);  // nothing drawn for a rejected set

  manager.ConstraintDefs().Add(std::make_unique<TOddConstraint>()).SetName("odd");
  EXPECT_EQ(NativeErrorOf([&] { manager.ResolveConstraints(); }), 30037);
  const auto record = table.Row({});
  EXPECT_EQ(NativeErrorOf([&] {
              manager.CheckConstraints(kSession, record.data(), false, {}, false, nullptr);
            }),
            30036);

  TQELBaseConstraintManager unnamedKey(table);
  unnamedKey.ConstraintDefs().AddUnique();
  EXPECT_EQ(NativeErrorOf([&] { unnamedKey.NameConstraints(); }), 30038);
}

TEST(ConstraintManagerTest, IndexConstraintsFollowTheirIndexes) {
  TTable table;
  TQELBaseConstraintManager manager(table);
  manager.ConstraintDefs().AddNotNull().TargetName = "Code";
  manager.ResolveConstraints();

  const TQELIndexDef& plain = table.AddIndex("ByPrice", {"Price"}, false, false, 5);
  manager.AddIndexConstraint(plain);
  EXPECT_EQ(manager.ConstraintDefs().Count(), 1);

  const TQELIndexDef& unique = table.AddIndex("ByCodeName", {"Code", "Name"}, false, true, 6);
  manager.AddIndexConstraint(unique);
  const TQELIndexDef& primary = table.AddIndex("PK", {"Part"}, true, false, 8);
  manager.AddIndexConstraint(primary);
  ASSERT_EQ(manager.ConstraintDefs().Count(), 3);
  const auto& added = static_cast<const TQELConstraintDefUnique&>(manager.ConstraintDefs()[1]);
  EXPECT_EQ(added.ConstraintKind(), ckUnique);
  EXPECT_EQ(added.Name(), "C_Unique$Code$Name");
  EXPECT_EQ(added.TargetID, 6);
  EXPECT_EQ(added.ObjectID(), 1001);
  EXPECT_EQ(added.Columns, (std::vector<TQELConstraintColumn>{{"Code", 101}, {"Name", 102}}));
  EXPECT_EQ(manager.ConstraintDefs()[2].ConstraintKind(), ckPrimaryKey);
  EXPECT_EQ(manager.ConstraintDefs()[2].Name(), "C_PK$Part");

  manager.DropIndexConstraint(6);
  ASSERT_EQ(manager.ConstraintDefs().Count(), 2);
  EXPECT_EQ(manager.ConstraintDefs()[1].Name(), "C_PK$Part");
  manager.DropIndexConstraint(5);  // no constraint on it
  EXPECT_EQ(manager.ConstraintDefs().Count(), 2);
}

// A table with every kind of constraint: primary key (Code), unique on
// Name, not null on Part, and Price between 10 and 100. One record is in
// it: Code 1, Name "one", Part 1, Price 50.
class TConstrainedTable {
 public:
  TConstrainedTable() : Manager(Table) {
    Table.AddIndex("PK_Items", {"Code"}, true, false, 7);
    Table.AddIndex("UQ_Name", {"Name"}, false, true, 8);
    TQELConstraintDefs defs;
    TQELConstraintDefPrimary& primary = defs.AddPrimary();
    primary.SetName("C_PK$Code");
    primary.TargetName = "PK_Items";
    primary.Columns.push_back({"Code", 0});
    TQELConstraintDefUnique& unique = defs.AddUnique();
    unique.SetName("C_Unique$Name");
    unique.TargetName = "UQ_Name";
    unique.Columns.push_back({"Name", 0});
    defs.AddNotNull().TargetName = "Part";
    TQELConstraintDefCheck& check = defs.AddCheck();
    check.TargetName = "Price";
    check.MinValue.SetAsInteger(10);
    check.MaxValue.SetAsInteger(100);
    Manager.SetConstraintDefs(defs);
    Table.Insert(1, Table.Row({{0, 1}, {2, 50}, {3, 1}}, "one"));
  }

  bool Check(const std::vector<std::uint8_t>& record, bool raise = true,
             const std::vector<std::uint8_t>* oldRecord = nullptr) {
    return Manager.CheckConstraints(kSession, record.data(), raise, MakeRecordID(9),
                                    oldRecord != nullptr,
                                    oldRecord != nullptr ? oldRecord->data() : nullptr);
  }

  TTable Table;
  TQELBaseConstraintManager Manager;
};

TEST(ConstraintManagerTest, EachViolationRaisesItsMessageOrAnswersFalse) {
  struct TCase {
    const char* Name;
    std::map<std::int32_t, std::int32_t> Values;  // Code, Price, Part by field number
    const char* Text;
    std::string Message;  // empty: the record passes
  };
  const std::vector<TCase> cases = {
      {"valid", {{0, 2}, {2, 10}, {3, 1}}, "two", ""},
      {"NULL key",
       {{2, 50}, {3, 1}},
       "two",
       "Constraint 'C_PK$Code' violated. Value in field 'Code' cannot be null - Native error: "
       "30330"},
      {"duplicate key",
       {{0, 1}, {2, 50}, {3, 1}},
       "two",
       "Primary Key constraint 'C_PK$Code' violated. Duplicate found. - Native error: 30319"},
      {"duplicate unique value",
       {{0, 2}, {2, 50}, {3, 1}},
       "one",
       "Constraint unique 'C_Unique$Name' violated. Duplicate found. - Native error: 30320"},
      {"NULL in a not-null field",
       {{0, 2}, {2, 50}},
       "two",
       "Constraint '$C_NotNull$Items$Part' violated. Value in field 'Part' cannot be null - "
       "Native error: 30026"},
      {"below the minimum",
       {{0, 2}, {2, 9}, {3, 1}},
       "two",
       "Constraint '$C_Check$Items$Price' violated. Value in field 'Price' cannot be lower than "
       "'10' - Native error: 30029"},
      {"above the maximum",
       {{0, 2}, {2, 101}, {3, 1}},
       "two",
       "Constraint '$C_Check$Items$Price' violated. Value in field 'Price' cannot be greater than "
       "'100' - Native error: 30030"},
      {"at the maximum", {{0, 2}, {2, 100}, {3, 1}}, "two", ""},
      {"NULL checked value", {{0, 2}, {3, 1}}, "two", ""},
  };
  TConstrainedTable table;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const auto record = table.Table.Row(c.Values, c.Text);
    EXPECT_EQ(MessageOf([&] { EXPECT_TRUE(table.Check(record)); }), c.Message);
    EXPECT_EQ(table.Check(record, false), c.Message.empty());
  }
}

TEST(ConstraintManagerTest, UpdatesKeepTheirOwnKeyAndEmptyTablesAskNoIndex) {
  TConstrainedTable table;
  const auto stored = table.Table.Records.At(MakeRecordID(1));
  const auto samePrice = table.Table.Row({{0, 1}, {2, 60}, {3, 1}}, "one");
  EXPECT_TRUE(table.Check(samePrice, true, &stored));
  table.Table.Insert(2, table.Table.Row({{0, 2}, {2, 50}, {3, 1}}, "two"));
  const auto taken = table.Table.Row({{0, 2}, {2, 50}, {3, 1}}, "one");
  EXPECT_EQ(NativeErrorOf([&] { table.Check(taken, true, &stored); }), 30319);

  TTable empty;
  empty.AddIndex("PK_Items", {"Code"}, true, false, 7);
  TQELBaseConstraintManager manager(empty);
  manager.AddIndexConstraint(empty.Indexes[0]);
  const auto record = empty.Row({{0, 1}});
  EXPECT_TRUE(manager.CheckConstraints(kSession, record.data(), true, {}, false, nullptr));
  EXPECT_EQ(empty.IndexLookups, 0);
}

TEST(ConstraintManagerTest, ACompoundKeyWithSomeNullsGoesToTheDuplicateTest) {
  TTable table;
  table.AddIndex("PK_Items", {"Code", "Part"}, true, false, 7);
  TQELBaseConstraintManager manager(table);
  manager.AddIndexConstraint(table.Indexes[0]);
  table.Insert(1, table.Row({{0, 1}}));
  const auto check = [&](const std::vector<std::uint8_t>& record) {
    return MessageOf(
        [&] { manager.CheckConstraints(kSession, record.data(), true, {}, false, nullptr); });
  };
  EXPECT_EQ(check(table.Row({{0, 2}})), "");
  EXPECT_EQ(check(table.Row({{0, 1}})),
            "Primary Key constraint 'C_PK$Code$Part' violated. Duplicate found. - Native error: "
            "30319");
  EXPECT_EQ(check(table.Row({})),
            "Constraint 'C_PK$Code$Part' violated. Value in field 'Code, Part' cannot be null - "
            "Native error: 30330");
}

TEST(ConstraintManagerTest, AConstraintOnAFieldThatIsGoneRaisesFieldNotFound) {
  TConstrainedTable table;
  table.Manager.ConstraintDefs()[2].TargetID = 999;
  const auto record = table.Table.Row({{0, 2}, {2, 50}, {3, 1}}, "two");
  EXPECT_EQ(MessageOf([&] { table.Check(record, false); }),
            "Field #999 not found - Native error: 30024");
}

}  // namespace
}  // namespace qel::test
