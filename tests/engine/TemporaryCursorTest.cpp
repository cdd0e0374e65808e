// The engine cursor on the temporary database: a table made when the
// cursor opens it, records and memos read back in natural and index order,
// edits and deletes refused with their statuses, and the table gone with
// the cursor.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "engine/CursorTestSupport.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::TCursorOn;

TEST(TemporaryCursorTest, ATableMadeOnOpenTakesRecordsAndRefusesChanges) {
  const test::TScratchDir dir;
  auto session = test::OpenSession("TEMP", dir.File("none.qel"));
  session->SetConnected(true);
  {
    TCursorOn table(*session, "HASIL");
    TQELLocalCursor& cursor = table.Cursor;
    cursor.CreateIfMissing = true;
    cursor.Temporary = true;
    cursor.Open(test::GlossaryFields(), test::GlossaryIndexes(), {});
    table.Buffer = cursor.AllocRecordBuffer();
    table.Old = cursor.AllocRecordBuffer();
    cursor.RecordBuffer = table.Buffer;

    std::vector<std::string> terms;
    for (std::int32_t id = 1; id <= 40; ++id) {
      terms.push_back("istilah " + std::to_string(41 - id));
      ASSERT_EQ(table.Insert(id, terms.back(), std::string(id * 10, 'm')), 0);
    }
    EXPECT_EQ(cursor.GetRecordCount(), 40);
    std::vector<std::int32_t> ids;
    cursor.First();
    while (cursor.GetRecord(grmNext) == grOK) ids.push_back(table.Id());
    std::vector<std::int32_t> inserted(40);
    for (std::int32_t i = 0; i < 40; ++i) inserted[static_cast<std::size_t>(i)] = i + 1;
    EXPECT_EQ(ids, inserted);

    cursor.SetIndexName("BY_TERM");
    std::vector<std::string> walked;
    cursor.First();
    while (cursor.GetRecord(grmNext) == grOK) walked.push_back(table.Term());
    std::sort(terms.begin(), terms.end());
    EXPECT_EQ(walked, terms);
    cursor.SetIndexName("");

    ASSERT_TRUE(cursor.Locate({"TERM"}, {TCursorOn::Text("ISTILAH 24")}, false, true));
    EXPECT_EQ(table.Id(), 17);
    EXPECT_EQ(table.Memo(), std::string(170, 'm'));

    EXPECT_EQ(table.UpdateTerm("diubah"), csTemporaryUpdate);
    ASSERT_TRUE(table.Find(17));
    cursor.Delete();
    EXPECT_EQ(cursor.Status, csTemporaryDelete);
    EXPECT_EQ(cursor.GetRecordCount(), 40);
    ASSERT_TRUE(table.Find(17));
    EXPECT_EQ(table.Term(), "istilah 24");
  }
  // The cursor made the table, and closing it took the table away.
  std::vector<std::string> names;
  session->GetTableNames(names);
  EXPECT_TRUE(names.empty());
  session->SetConnected(false);
}

}  // namespace
}  // namespace qel
