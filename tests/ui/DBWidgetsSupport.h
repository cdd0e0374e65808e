#pragma once
// The fixture of the data-aware widget tests: a scratch database with a
// table TERMS (ID integer, TERM string, DESKRIPSI memo) filled as a test
// asks, opened as a table component behind a data source, with counters
// on its scroll events.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "components/QELDatabase.h"
#include "components/QELTable.h"
#include "components/db/QELDataSet.h"
#include "support/TestSupport.h"

namespace qel::test {

// "t00042" for row 42: the text of row i of TERM.
inline std::string TermOfRow(int row) {
  std::string digits = std::to_string(row);
  return "t" + std::string(digits.size() < 5 ? 5 - digits.size() : 0, '0') + digits;
}

class TDBWidgetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Database.SetDatabaseName("WIDGETS");
    Database.SetDatabaseFileName(Dir.File("widgets.qel"));
    Database.CreateDatabase();
    Database.SetConnected(true);
    Terms.SetDatabaseName("WIDGETS");
    Terms.SetTableName("TERMS");
    Source.SetDataSet(&Terms);
    Terms.BeforeScroll = [this](TDataSet&) { ++BeforeScrolls; };
    Terms.AfterScroll = [this](TDataSet&) { ++AfterScrolls; };
  }
  void TearDown() override {
    Terms.Close();
    Database.SetConnected(false);
  }

  // TERMS with `rows` rows: ID i, TERM TermOfRow(i), DESKRIPSI memo(i)
  // (NULL where memo gives ""), left open on the first row.
  void CreateTerms(int rows, const std::function<std::string(int)>& memo = {}) {
    Terms.FieldDefs().Add("ID", ftInteger);
    Terms.FieldDefs().Add("TERM", ftString, 20);
    Terms.FieldDefs().Add("DESKRIPSI", ftMemo);
    Terms.CreateTable();
    Terms.Open();
    Database.StartTransaction();
    for (int i = 0; i < rows; ++i) {
      TQELVariant id, term, text;
      id.SetAsInteger(i);
      term.SetAsString(TermOfRow(i));
      const std::string value = memo ? memo(i) : std::string();
      if (!value.empty()) text.SetAsString(value);
      Terms.AppendRecord({id, term, text});
    }
    Database.Commit();
    Terms.First();
    ResetCounters();
  }

  void ResetCounters() { BeforeScrolls = AfterScrolls = 0; }

  TScratchDir Dir;
  TQELDatabase Database;
  TQELTable Terms;
  TDataSource Source;
  int BeforeScrolls = 0;
  int AfterScrolls = 0;
};

}  // namespace qel::test
