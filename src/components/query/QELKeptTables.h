#pragma once
// TQELKeptTables: the tables a statement keeps open from one run to the
// next while the user's transaction lasts, so that a prepared INSERT,
// UPDATE or DELETE run many times in one transaction opens them once.
// The end of the transaction closes them: between transactions nothing is
// held open (a table open anywhere cannot be dropped or restructured, and
// structural changes are refused inside a transaction); so does a table
// component that needs a table for itself alone (TRUNCATE, an exclusive
// open). Only the one session of a file no other process shares keeps
// tables.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "components/QELTable.h"
#include "engine/QELBaseSession.h"
#include "sql/QELSQLCommand.h"

namespace qel {

class TQELKeptTables final : public TQELSQLRunState, public TQELTransactionEndListener {
 public:
  TQELKeptTables(std::vector<std::unique_ptr<TQELTable>> tables, std::uint64_t transactionNumber)
      : FTables(std::move(tables)), FTransactionNumber(transactionNumber) {}

  // The tables `statement` kept in the transaction now running, open; null
  // when it kept none (those of an ended transaction are let go).
  static TQELKeptTables* Of(TQELSQLCommand& statement);
  // Keeps the open `tables` for `statement` when their database is in a
  // transaction; otherwise they are closed.
  static void Keep(TQELSQLCommand& statement, std::vector<std::unique_ptr<TQELTable>> tables);

  TQELTable& Table(std::size_t index) const { return *FTables[index]; }
  void TransactionEnded() override { FTables.clear(); }

 private:
  bool StillOpen() const;

  std::vector<std::unique_ptr<TQELTable>> FTables;
  std::uint64_t FTransactionNumber;
};

}  // namespace qel
