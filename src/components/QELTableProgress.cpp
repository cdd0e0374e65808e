#include "components/QELTableProgress.h"

#include <string>

#include "components/QELDatabase.h"

namespace qel {

TQELTable::TOperationProgress::~TOperationProgress() {
  if (!FBeforeDone) return;
  try {
    After();
  } catch (...) {
    // Already leaving through an error: that one is what the caller hears.
  }
}

const TQELNotifyEvent& TQELTable::TOperationProgress::BeforeEvent() const {
  return FKind == okCopy ? FTable.BeforeCopy : FKind == okImport ? FTable.BeforeImport : FTable.BeforeRestructure;
}

const TQELProgressEvent& TQELTable::TOperationProgress::ProgressEvent() const {
  return FKind == okCopy     ? FTable.OnCopyProgress
         : FKind == okImport ? FTable.OnImportProgress
                             : FTable.OnRestructureProgress;
}

const TQELNotifyEvent& TQELTable::TOperationProgress::AfterEvent() const {
  return FKind == okCopy ? FTable.AfterCopy : FKind == okImport ? FTable.AfterImport : FTable.AfterRestructure;
}

std::string_view TQELTable::TOperationProgress::WaitText() const {
  return FKind == okCopy ? "Copy Table..." : FKind == okImport ? "Import Table..." : "Restructure Table...";
}

bool TQELTable::TOperationProgress::MayShowDialog() const {
  return !FTable.Temporary() && FTable.Database() != nullptr && !FTable.Database()->SilentMode();
}

void TQELTable::TOperationProgress::Before() {
  FBeforeDone = true;
  if (const TQELNotifyEvent& event = BeforeEvent()) {
    event(FTable);
  } else if (MayShowDialog()) {
    FDialog = QELPrompt().StartProgress(std::string(WaitText()));
    FDialog->SetPosition(0);
  }
}

TQELProgressEvent TQELTable::TOperationProgress::Handler() {
  return [this](TQELComponent& source, int percent, bool& continueCopy) { Report(source, percent, continueCopy); };
}

void TQELTable::TOperationProgress::Report(TQELComponent& source, int percent, bool& continueCopy) {
  if (const TQELProgressEvent& event = ProgressEvent()) {
    event(source, percent, continueCopy);
  } else if (FDialog) {
    FDialog->SetPosition(percent);
    continueCopy = !FDialog->Cancelled();
  }
}

void TQELTable::TOperationProgress::After() {
  if (!FBeforeDone) return;
  FBeforeDone = false;
  std::unique_ptr<TQELProgress> dialog = std::move(FDialog);
  if (const TQELNotifyEvent& event = AfterEvent()) {
    if (dialog) dialog->Finish();
    event(FTable);
  } else if (dialog) {
    dialog->Finish();
  }
}

}  // namespace qel
