#pragma once
// A fixture for statements run through the query component on the
// connected database "KUVO": Exec runs a text without a result and answers
// its row count, Select opens one and answers a column's values (the query
// stays open in Query for a closer look), RowTexts answers whole rows.

#include <memory>
#include <string>
#include <vector>

#include "ComponentsSupport.h"
#include "components/QELQuery.h"

namespace qel::test {

class TSQLTest : public TConnectedDatabaseTest {
 protected:
  void TearDown() override {
    Query.reset();
    TConnectedDatabaseTest::TearDown();
  }

  std::int32_t Exec(const std::string& sql) {
    TQELQuery query;
    query.SetDatabaseName("KUVO");
    query.SetSQLText(sql);
    query.ExecSQL();
    return query.RowsAffected();
  }

  std::vector<std::string> Select(const std::string& sql, const char* field) {
    Query = std::make_unique<TQELQuery>();
    Query->SetDatabaseName("KUVO");
    Query->SetSQLText(sql);
    Query->Open();
    std::vector<std::string> values;
    if (field == nullptr) return values;
    for (Query->First(); !Query->Eof(); Query->Next()) values.push_back(Query->FieldByName(field).AsString());
    return values;
  }

  // Every row of `sql`'s result, its values joined by "|" ("-" for NULL);
  // the query is closed again.
  std::vector<std::string> RowTexts(const std::string& sql) {
    Select(sql, nullptr);
    std::vector<std::string> rows;
    for (Query->First(); !Query->Eof(); Query->Next()) {
      std::string row;
      for (std::int32_t i = 0; i < Query->FieldCount(); ++i) {
        row += (Query->Fields(i).IsNull() ? "-" : Query->Fields(i).AsString()) + "|";
      }
      rows.push_back(row);
    }
    Query.reset();
    return rows;
  }

  std::unique_ptr<TQELQuery> Query;
};

}  // namespace qel::test
