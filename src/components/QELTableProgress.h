#pragma once
// The progress of one whole-table operation of TQELTable (copy, import or
// restructure): its Before, progress and After events, or, when they are
// not assigned and the table may talk to the user, a wait dialog from start
// to finish. The After handling runs whatever happens between, so a failed
// operation never leaves its dialog up.

#include <memory>
#include <string_view>

#include "components/QELPrompt.h"
#include "components/QELTable.h"

namespace qel {

class TQELTable::TOperationProgress {
 public:
  enum TKind { okCopy, okImport, okRestructure };

  TOperationProgress(TQELTable& table, TKind kind) : FTable(table), FKind(kind) {}
  // Runs the After handling when Before ran and After did not.
  ~TOperationProgress();
  TOperationProgress(const TOperationProgress&) = delete;
  TOperationProgress& operator=(const TOperationProgress&) = delete;

  void Before();
  // What CopyRecords reports to.
  TQELProgressEvent Handler();
  void After();

 private:
  const TQELNotifyEvent& BeforeEvent() const;
  const TQELProgressEvent& ProgressEvent() const;
  const TQELNotifyEvent& AfterEvent() const;
  std::string_view WaitText() const;
  // Neither a silent database nor a temporary table shows a dialog.
  bool MayShowDialog() const;
  void Report(TQELComponent& source, int percent, bool& continueCopy);

  TQELTable& FTable;
  TKind FKind;
  bool FBeforeDone = false;
  std::unique_ptr<TQELProgress> FDialog;
};

}  // namespace qel
