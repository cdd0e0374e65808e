#pragma once
// TQELQtPrompt: the components' questions asked in Qt. The password through
// the password dialog, confirmations as Yes/No boxes, messages as boxes with
// one OK button, and progress through the wait dialog.
//
// Qt's widgets live on the GUI thread: asked from any other thread, or with
// no widget application, the prompt answers as the silent default does.

#include <memory>
#include <string>

#include "components/QELPrompt.h"

namespace qel {

class TfrmWait;

// The progress of one operation, shown by a wait dialog it owns. Each report
// lets the application handle its pending events, so the dialog appears on
// time and its buttons answer. Finish (or the destructor, on every way out
// of the operation, an exception included) ends and frees the dialog.
class TQELWaitProgress : public TQELProgress {
 public:
  explicit TQELWaitProgress(const std::string& text);
  TQELWaitProgress(const TQELWaitProgress&) = delete;
  TQELWaitProgress& operator=(const TQELWaitProgress&) = delete;
  ~TQELWaitProgress() override;

  void SetPosition(int percent) override;
  bool Cancelled() const override;
  void Finish() override;

  // The dialog until Finish, then null.
  TfrmWait* Dialog() const { return FDialog.get(); }

 private:
  std::unique_ptr<TfrmWait> FDialog;
  // Kept from the dialog at Finish.
  bool FCancelled = false;
};

class TQELQtPrompt : public TQELPrompt {
 public:
  bool AskPassword(TQELDatabase& database, const std::string& name, std::string& password) override;
  bool Confirm(const std::string& text) override;
  void ShowMessage(TQELMessageKind kind, const std::string& text) override;
  std::unique_ptr<TQELProgress> StartProgress(const std::string& text) override;
};

// Installs one TQELQtPrompt for the whole process as the components' prompt.
void QELInstallQtPrompt();

}  // namespace qel
