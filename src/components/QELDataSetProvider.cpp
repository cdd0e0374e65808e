// TQELDataSet: the provider hooks. Transactions and statements hold the
// provider's usage flag, so that the database stays connected for them.

#include "components/QELDataSet.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"

namespace qel {

namespace {

constexpr std::int32_t kFlagProvider = 10;

}  // namespace

bool TQELDataSet::PSInTransaction() {
  if (Cursor() != nullptr) return Cursor()->InTransaction();
  return Database() != nullptr && Database()->InTransaction();
}

void TQELDataSet::PSStartTransaction() {
  SetDBFlag(kFlagProvider, true);
  try {
    Database()->StartTransaction();
  } catch (...) {
    SetDBFlag(kFlagProvider, false);
    throw;
  }
}

void TQELDataSet::PSEndTransaction(bool commit) {
  struct TRelease {
    TQELDataSet& DataSet;
    ~TRelease() {
      try {
        DataSet.SetDBFlag(kFlagProvider, false);
      } catch (...) {
      }
    }
  } release{*this};
  if (commit) {
    Database()->Commit(true);
  } else {
    Database()->Rollback();
  }
}

std::int32_t TQELDataSet::PSExecuteStatement(const std::string& sql, const TParams* params) {
  const bool held = (FDBFlags & (1u << kFlagProvider)) != 0;
  SetDBFlag(kFlagProvider, true);
  struct TRestore {
    TQELDataSet& DataSet;
    bool Held;
    ~TRestore() {
      try {
        DataSet.SetDBFlag(kFlagProvider, Held);
      } catch (...) {
      }
    }
  } restore{*this, held};
  TQELQuery query;
  query.SetSessionName(SessionName());
  query.SetDatabaseName(DatabaseName());
  query.SetInMemory(InMemory());
  query.SetSQLText(sql);
  if (params != nullptr) {
    for (std::int32_t i = 0; i < params->Count(); ++i) {
      if (TParam* param = query.Params().FindParam((*params)[i].Name)) param->Value = (*params)[i].Value;
    }
  }
  query.ExecSQL();
  return query.RowsAffected();
}

void TQELDataSet::PSReset() {
  if (!Active()) return;
  Close();
  Open();
}

}  // namespace qel
