// Filter texts on engine cursors, on a database file and on the in-memory
// database: the factory is installed without a call, conditions see every
// kind of field (memos through the BLOB layer), the filter options apply,
// and a LIKE that becomes a prefix comparison answers as the LIKE does.

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "engine/CursorTestSupport.h"
#include "sql/QELExpressionCursor.h"
#include "support/ErrorSupport.h"
#include "support/TestSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;
using test::TCursorOn;

class ExpressionFilterTest : public test::TGlossaryTableTest {
 protected:
  std::set<std::int32_t> Filtered(const std::string& text, bool caseInsensitive = false,
                                   bool partialCompare = false) {
    Table->Cursor.SetFilter(text, caseInsensitive, partialCompare);
    std::set<std::int32_t> ids = Ids();
    EXPECT_EQ(Table->Cursor.GetRecordCount(), static_cast<std::int64_t>(ids.size())) << text;
    return ids;
  }
};

TEST_P(ExpressionFilterTest, FilterTextsSelectRecords) {
  EXPECT_EQ(TQELCursor::FilterFactory(), &QELCreateCursorFilter);
  for (std::int32_t id = 1; id <= 30; ++id) {
    const std::string term = id % 3 == 0 ? "kata " + std::to_string(id) : "lain " + std::to_string(id);
    const std::string memo = id % 5 == 0 ? "uraian dengan xyz di tengah " + std::string(id * 40, 'm')
                                         : "uraian biasa";
    ASSERT_EQ(Table->Insert(id, term, memo), 0);
  }
  EXPECT_EQ(Filtered("ID <= 3"), (std::set<std::int32_t>{1, 2, 3}));
  EXPECT_EQ(Filtered("TERM LIKE 'kata%' AND ID > 20"), (std::set<std::int32_t>{21, 24, 27, 30}));
  EXPECT_EQ(Filtered("DESCR LIKE '%xyz%'"), (std::set<std::int32_t>{5, 10, 15, 20, 25, 30}));
  EXPECT_EQ(Filtered("ID IN (1, 7, 99) OR TERM = 'kata 9'"), (std::set<std::int32_t>{1, 7, 9}));
  EXPECT_EQ(Filtered("UPPER(TERM) = 'KATA 12' OR LENGTH(DESCR) > 1000"),
            (std::set<std::int32_t>{12, 25, 30}));
  EXPECT_EQ(Filtered("NOT (ID BETWEEN 2 AND 29)"), (std::set<std::int32_t>{1, 30}));
  // The filter options: letter case, and a trailing asterisk as a prefix.
  EXPECT_TRUE(Filtered("TERM = 'KATA 12'").empty());
  EXPECT_EQ(Filtered("TERM = 'KATA 12'", true), (std::set<std::int32_t>{12}));
  EXPECT_EQ(Filtered("TERM = 'kata 1*'", false, true), (std::set<std::int32_t>{12, 15, 18}));
  EXPECT_EQ(Filtered("TERM LIKE 'LAIN 2_'", true), (std::set<std::int32_t>{20, 22, 23, 25, 26, 28, 29}));
  // Another filter replaces it; a bad one leaves the one before.
  EXPECT_EQ(NativeErrorOf([&] { Table->Cursor.SetFilter("NOSUCH = 1", false, false); }), 30115);
  EXPECT_EQ(NativeErrorOf([&] { Table->Cursor.SetFilter("ID = ", false, false); }), 30064);
  EXPECT_EQ(NativeErrorOf([&] { Table->Cursor.SetFilter("  ", false, false); }), 30119);
  EXPECT_EQ(Ids(), (std::set<std::int32_t>{20, 22, 23, 25, 26, 28, 29}));
  Table->Cursor.ClearFilter();
  EXPECT_EQ(Ids().size(), 30u);
}

TEST_P(ExpressionFilterTest, PrefixLikeAnswersAsTheLikeWithAndWithoutTheIndex) {
  const char* const terms[] = {"a", "ab", "abc", "abd", "b", "Abc", "ab_c"};
  std::int32_t id = 0;
  for (const char* term : terms) ASSERT_EQ(Table->Insert(++id, term), 0);
  ASSERT_EQ(Table->Insert(++id, ""), 0);  // a NULL term
  for (const char* index : {"", "BY_TERM"}) {
    Table->Cursor.SetIndexName(index);
    // 'ab%' is read as a prefix comparison, 'ab%' with an escape as the
    // LIKE itself: the answers must agree, also for the shorter "a".
    for (const char* prefix : {"a", "ab", "abc", "b", "ab_"}) {
      const std::string rewritten = std::string("TERM LIKE '") + prefix + "%'";
      const std::string like = rewritten + " ESCAPE '!'";
      EXPECT_EQ(Filtered(rewritten), Filtered(like)) << rewritten << " index " << index;
      EXPECT_EQ(Filtered("NOT (" + rewritten + ")"), Filtered("NOT (" + like + ")")) << rewritten;
      EXPECT_EQ(Filtered("TERM NOT LIKE '" + std::string(prefix) + "%'"),
                Filtered("TERM NOT LIKE '" + std::string(prefix) + "%' ESCAPE '!'"))
          << rewritten;
      EXPECT_EQ(Filtered(rewritten, true), Filtered(like, true)) << rewritten << " no case";
    }
    EXPECT_EQ(Filtered("TERM LIKE 'ab%'"), (std::set<std::int32_t>{2, 3, 4, 7}));
    EXPECT_EQ(Filtered("TERM LIKE 'ab%'", true), (std::set<std::int32_t>{2, 3, 4, 6, 7}));
  }
}

INSTANTIATE_TEST_SUITE_P(DiskAndMemory, ExpressionFilterTest, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "Disk" : "Memory";
                         });

}  // namespace
}  // namespace qel
