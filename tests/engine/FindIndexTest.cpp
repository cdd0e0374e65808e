// Finding an index that serves a requested sort or search.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "MetadataTestSupport.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using Strings = std::vector<std::string>;

// NAME is a string field, NUM an integer field, CODE a GUID (a string
// storage type).
TQELFieldDefs TableFields() {
  TQELFieldDefs fields;
  fields.Add("NAME", aftString, 20);
  fields.Add("NUM", aftInteger, 0);
  fields.Add("CODE", aftGuid, 38);
  return fields;
}

TQELIndexDefs Indexes() {
  TQELIndexDefs indexes;
  TQELIndexDef& nameDesc = indexes.Add();  // 1: name descending, case-insensitive
  nameDesc.SetObjectID(1);
  nameDesc.AddColumn("name", true, true);
  TQELIndexDef& numDesc = indexes.Add();  // 2: num descending, case-insensitive, then name
  numDesc.SetObjectID(2);
  numDesc.AddColumn("num", true, true);
  numDesc.AddColumn("NAME");
  TQELIndexDef& name = indexes.Add();  // 3: name, then num
  name.SetObjectID(3);
  name.AddColumn("NAME");
  name.AddColumn("NUM");
  TQELIndexDef& temporary = indexes.Add();  // 4: session 7's code index
  temporary.SetObjectID(4);
  temporary.Temporary = true;
  temporary.SessionID = 7;
  temporary.AddColumn("CODE");
  TQELIndexDef& ghost = indexes.Add();  // 5: over a field the table lacks
  ghost.SetObjectID(5);
  ghost.AddColumn("GONE");
  return indexes;
}

struct FindCase {
  Strings Names;
  Strings Directions;
  Strings Cases;
  std::int32_t SessionID;
  std::int32_t Expected;
};

TEST(FindIndexTest, FirstIndexWhoseColumnsServeTheRequest) {
  const TQELFieldDefs fields = TableFields();
  const TQELIndexDefs indexes = Indexes();
  const FindCase cases[] = {
      // A case-sensitive request: not a case-insensitive column over a
      // string field, but any column over an integer field.
      {{"NAME"}, {"DESC"}, {"CASE"}, -1, -1},
      {{"NUM"}, {"DESC"}, {"CASE"}, -1, 2},
      {{"NAME"}, {"DESC"}, {"NO_CASE"}, -1, 1},
      {{"NAME"}, {"ASC"}, {""}, -1, 3},
      {{"name"}, {""}, {""}, -1, 1},  // no direction or case asked: the first
      // NO_CASE needs a case-insensitive column whatever the field's type.
      {{"NAME"}, {"ASC"}, {"NO_CASE"}, -1, -1},
      {{"NUM"}, {"DESC"}, {"NO_CASE"}, -1, 2},
      // Extra trailing columns serve; fewer do not.
      {{"NUM", "NAME"}, {"DESC", "ASC"}, {"CASE", "CASE"}, -1, 2},
      {{"NAME", "NUM", "CODE"}, {"ASC", "ASC", "ASC"}, {"", "", ""}, -1, -1},
      {{}, {}, {}, -1, 1},
      // A temporary index serves only its own session.
      {{"CODE"}, {"ASC"}, {"CASE"}, 7, 4},
      {{"CODE"}, {"ASC"}, {"CASE"}, 8, -1},
      // Whether a column over a missing field is case-sensitive cannot be
      // told; without a case rule its name still matches.
      {{"GONE"}, {"ASC"}, {"CASE"}, -1, -1},
      {{"GONE"}, {"ASC"}, {""}, -1, 5},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.Names) + ::testing::PrintToString(c.Directions) +
                 ::testing::PrintToString(c.Cases) + " session " + std::to_string(c.SessionID));
    EXPECT_EQ(indexes.FindIndex(c.Names, c.Directions, c.Cases, fields, c.SessionID), c.Expected);
    EXPECT_EQ(indexes.IndexExists(c.Names, c.Directions, c.Cases, fields, c.SessionID),
              c.Expected != -1);
  }
}

TEST(FindIndexTest, ListsOfDifferentLengthsAreRefused) {
  const TQELFieldDefs fields = TableFields();
  const TQELIndexDefs indexes = Indexes();
  try {
    indexes.FindIndex({"NAME", "NUM"}, {"ASC"}, {"", ""}, fields, -1);
    ADD_FAILURE() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 10276);
    EXPECT_EQ(std::string(e.what()),
              "Error - different lists length. L1 = 2, L2 = 1 - Native error: 10276");
  }
  EXPECT_EQ(test::NativeErrorOf([&] { indexes.IndexExists({"NAME"}, {"ASC"}, {}, fields, -1); }),
            10277);
}

TEST(FindIndexTest, AnIndexWithoutANumberStillExists) {
  TQELIndexDefs indexes;
  indexes.Add().AddColumn("NUM");  // ObjectID -1: not numbered yet
  const TQELFieldDefs fields = TableFields();
  EXPECT_EQ(indexes.FindIndex({"NUM"}, {"ASC"}, {"CASE"}, fields, -1), -1);
  EXPECT_TRUE(indexes.IndexExists({"NUM"}, {"ASC"}, {"CASE"}, fields, -1));
  EXPECT_EQ(indexes.FindIndexByName("missing"), nullptr);
}

}  // namespace
}  // namespace qel
