// Running out of memory in the middle of SQL work: a workload of
// statements (tables with memos and an index, inserts, grouped and ordered
// selects, an update, a delete, an explicit transaction) is run once for
// every N with the N-th engine allocation refused, until it completes.
// Each refusal must end its statement with a clear error, and the file must
// then check clean and hold what the statements before it committed (or,
// when the refusal came after the commit, what the statement itself did).

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "FileCheckSupport.h"
#include "SQLTestSupport.h"
#include "memory/QELMemory.h"

namespace qel::test {
namespace {

using TList = std::vector<std::string>;

struct TStatement {
  const char* Sql;
  bool IsQuery = false;
};

const TStatement kWorkload[] = {
    {"create table w (id integer, grp integer, note memo, primary key (id))"},
    {"create index ix_grp on w (grp)"},
    {"insert into w values (1, 1, 'catatan pertama tentang memori yang habis di tengah kerja'), "
     "(2, 2, 'catatan kedua'), (3, 1, 'catatan ketiga, sedikit lebih panjang dari yang kedua')"},
    {"insert into w values (4, 2, 'keempat'), (5, 3, null), (6, 3, 'keenam')"},
    {"select grp, count(*), max(id) from w group by grp order by grp", true},
    {"select id, note from w where grp < 3 order by id desc", true},
    {"update w set note = 'diubah', grp = grp + 10 where id <= 2"},
    {"delete from w where grp = 3"},
    {"start transaction"},
    {"insert into w values (7, 4, 'dalam transaksi')"},
    {"update w set grp = grp + 1 where id = 4"},
    {"commit"},
    {"select distinct grp from w order by grp", true},
};
constexpr std::size_t kStatements = std::size(kWorkload);
constexpr std::size_t kTransactionStart = 8;
constexpr std::size_t kTransactionEnd = 11;

class SQLOutOfMemoryTest : public TSQLTest {
 protected:
  void SetUp() override {
    TSQLTest::SetUp();
    // The session's temporary database must not outlive the test.
    DefaultSession().SetKeepConnections(false);
  }
  void TearDown() override {
    QELMemoryManager().FailAllocationAfter(0);
    Query.reset();
    DefaultSession().SetKeepConnections(true);
    TSQLTest::TearDown();
  }

  void Run(const TStatement& statement) {
    if (!statement.IsQuery) {
      Exec(statement.Sql);
      return;
    }
    Select(statement.Sql, nullptr);
    for (Query->First(); !Query->Eof(); Query->Next()) {
      for (std::int32_t i = 0; i < Query->FieldCount(); ++i) Query->Fields(i).AsString();
    }
    Query.reset();
  }

  // The table's rows, or "none" while it does not exist.
  TList Contents() {
    try {
      return RowTexts("select * from w order by id");
    } catch (const std::exception&) {
      Query.reset();
      return {"none"};
    }
  }

  // A fresh, empty database file, connected.
  void Renew() {
    Query.reset();
    Database.reset();
    std::filesystem::remove(FileName);
    CreateEngineFile(FileName);
    Database = NewDatabase();
    Database->SetConnected(true);
  }
};

TEST_F(SQLOutOfMemoryTest, EveryRefusedAllocationLeavesTheLastCommittedState) {
  // What the table holds after each statement, without refusals.
  std::vector<TList> after;
  const std::int64_t before = QELMemoryManager().Allocations();
  for (const TStatement& statement : kWorkload) {
    Run(statement);
    after.push_back(Contents());
  }
  const std::int64_t workloadAllocations = QELMemoryManager().Allocations() - before;
  ASSERT_GT(workloadAllocations, 10);

  std::int64_t refusals = 0;
  std::int64_t absorbed = 0;
  // QEL_OOM_FROM starts the sweep at a later N, to look at one refusal.
  const char* from = std::getenv("QEL_OOM_FROM");
  for (std::int64_t n = from != nullptr ? std::atoll(from) : 1;; ++n) {
    Renew();
    std::size_t failed = kStatements;
    std::string message;
    QELMemoryManager().FailAllocationAfter(n);
    for (std::size_t i = 0; i < kStatements && failed == kStatements; ++i) {
      try {
        Run(kWorkload[i]);
      } catch (const std::exception& error) {
        failed = i;
        message = error.what();
      }
    }
    const bool refused = !QELMemoryManager().AllocationFailurePending();
    QELMemoryManager().FailAllocationAfter(0);
    if (!refused) break;  // N is past the workload's last allocation
    if (failed == kStatements) {
      // A refusal the engine could do without: the work is all there.
      ++absorbed;
      EXPECT_EQ(Contents(), after.back()) << "allocation " << n << " refused without an error";
      continue;
    }
    ++refusals;
    SCOPED_TRACE("allocation " + std::to_string(n) + " refused in: " + kWorkload[failed].Sql);
    EXPECT_FALSE(message.empty());
    // A transaction the refusal cut short is given up with the connection.
    Query.reset();
    Database->SetConnected(false);
    EXPECT_EQ(FaultsOf(FileName, ""), TList{});
    Database->SetConnected(true);
    const bool inTransaction = failed >= kTransactionStart && failed <= kTransactionEnd;
    const std::size_t committedBefore = inTransaction ? kTransactionStart : failed;
    const TList empty{"none"};
    const TList& previous = committedBefore == 0 ? empty : after[committedBefore - 1];
    const TList now = Contents();
    EXPECT_TRUE(now == previous || now == after[failed]) << "after " << committedBefore << " statements";
    ASSERT_LT(n, workloadAllocations * 4) << "the workload never completed";
  }
  EXPECT_GT(refusals, 0);
}

}  // namespace
}  // namespace qel::test
