#pragma once
// A dataset over a statement's result cursor (not owned: the statement
// keeps it), so that the table operations that take a dataset (the import
// of SELECT INTO and INSERT ... SELECT) can read a result.

#include <memory>

#include "components/QELDataSet.h"
#include "components/query/QELAOTable.h"

namespace qel {

class TQELResultDataSet final : public TQELDataSet {
 public:
  TQELResultDataSet(TQELCursor& cursor, const TQELPlanContext& context) : FResult(cursor) {
    SetSessionName(context.SessionName);
    if (context.InMemory) {
      SetInMemory(true);
    } else {
      SetDatabaseName(context.DatabaseName);
    }
  }
  ~TQELResultDataSet() override {
    try {
      Close();
    } catch (...) {
    }
  }

 protected:
  std::unique_ptr<TQELCursor> CreateCursor() override {
    SetExternalCursor(&FResult);
    return nullptr;
  }

 private:
  TQELCursor& FResult;
};

}  // namespace qel
