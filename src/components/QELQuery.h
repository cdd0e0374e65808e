#pragma once
// TQELQuery: the dataset that runs SQL. It keeps the statement text and its
// parameters, hands the text to a statement processor and shows the result
// cursor of the last SELECT as its records; statements without a result
// run through ExecSQL. As the detail of a master dataset its parameters
// take the master's field values, and it runs again when the master moves.
//
// The result cursor belongs to the processor, which lives exactly while the
// query is prepared: closing keeps it, unpreparing frees it.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "components/QELDataSet.h"
#include "components/db/QELParams.h"
#include "sql/QELSQLProcessor.h"

namespace qel {

class TQELQuery : public TQELDataSet {
 public:
  TQELQuery();
  ~TQELQuery() override;

  // The statement text as lines; assigning a different text closes and
  // unprepares the query and rebuilds Params when ParamCheck is on.
  const std::vector<std::string>& SQL() const { return FSQL; }
  void SetSQL(const std::vector<std::string>& lines);
  // The same with a text that is split at its line breaks.
  void SetSQLText(const std::string& text);
  // The lines joined with line feeds.
  std::string SQLText() const;

  TParams& Params() { return FParams; }
  bool ParamCheck = true;
  bool RequestLive() const { return FRequestLive; }
  void SetRequestLive(bool value);
  // The master whose current record gives the parameters their values.
  TDataSource* DataSource() const { return FMasterLink->DataSource(); }
  void SetDataSource(TDataSource* source);

  bool Prepared() const { return FProcessor != nullptr; }
  // A query prepared so holds its database (usage flag 1) and stays
  // prepared until UnPrepare, a new text or a disconnect: a statement run
  // again with new parameter values is not read again. A query only
  // prepared by running it is unprepared when it lets its database go.
  void Prepare();
  void UnPrepare() { SetPrepared(false); }
  // Runs statements without a result set; the query must be closed.
  void ExecSQL();
  // Rows the last execution changed; kept after unpreparing, -1 when never
  // known.
  std::int32_t RowsAffected() const;

  // Statements run through `executor` instead of the installed one (for
  // tests and embedders with a query layer of their own).
  void SetExecutor(TQELSQLExecutor* executor) { FExecutor = executor; }

  // A read-only result is a snapshot: refreshing runs the statement again.
  void Refresh() override;

  // Provider hooks (QELQueryProvider.cpp). The table name and the default
  // order are read off the statement text: the first table after FROM, and
  // the columns after ORDER BY.
  void PSExecute() override { ExecSQL(); }
  TParams* PSGetParams() override { return &FParams; }
  // A non-empty list becomes Params; the query is closed.
  void PSSetParams(const TParams& params) override;
  void PSSetCommandText(const std::string& text) override;
  std::string PSGetTableName() override;
  std::unique_ptr<TIndexDef> PSGetDefaultOrder() override;

  bool IsQuery() const override { return true; }
  void CloseForDatabase() override;
  void SetDBFlag(std::int32_t flag, bool value) override;

 protected:
  std::unique_ptr<TQELCursor> CreateCursor() override;

 private:
  // What the statements' expressions learn of this query.
  class TQueryView final : public TQELExprQuery {
   public:
    explicit TQueryView(const TQELQuery& query) : FQuery(query) {}
    std::string DatabaseName() const override { return FQuery.DatabaseName(); }
    bool InMemory() const override { return FQuery.InMemory(); }
    std::string SessionName() const override { return FQuery.SessionName(); }

   private:
    const TQELQuery& FQuery;
  };

  void SetPrepared(bool value);
  void Disconnect();
  void TextChanged();
  // Runs the statements; with `open` the last one's result cursor becomes
  // the query's records.
  void Execute(bool open);
  void TakeMasterValues();
  void FillProcessorParams();
  void MasterChanged();

  std::vector<std::string> FSQL;
  TParams FParams;
  bool FRequestLive = false;
  std::unique_ptr<TQELLocalSQLProcessor> FProcessor;
  TQueryView FQueryView{*this};
  TQELSQLExecutor* FExecutor = nullptr;
  std::int32_t FRowsAffected = -1;
  bool FNoResult = false;
  std::unique_ptr<TMasterDataLink> FMasterLink;
  // Parameters whose values came from the master.
  std::vector<std::string> FMasterFilled;
};

}  // namespace qel
