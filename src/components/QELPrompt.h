#pragma once
// TQELPrompt: what the components ask a person. A user interface installs
// its own prompt; without one, the default shows nothing and answers every
// question in the way that changes nothing: no password (cancel), "no" to a
// confirmation, and a progress report that is never cancelled.
//
// Components ask only when they may talk to the user (a database's
// SilentMode off); the prompt itself never decides that.

#include <memory>
#include <string>

namespace qel {

class TQELDatabase;

enum TQELMessageKind { mkInformation, mkWarning, mkError };

// The progress of one long operation, from its start to Finish.
class TQELProgress {
 public:
  virtual ~TQELProgress() = default;
  // 0..100.
  virtual void SetPosition(int /*percent*/) {}
  // Set once the user asked to stop; the operation sees it at its next report.
  virtual bool Cancelled() const { return false; }
  virtual void Finish() {}
};

class TQELPrompt {
 public:
  virtual ~TQELPrompt() = default;
  // Asks for the password of `database`, showing `name` above the edit.
  // True with the typed text in `password` when the user confirmed; false
  // (and `password` untouched) when the user cancelled.
  virtual bool AskPassword(TQELDatabase& /*database*/, const std::string& /*name*/,
                           std::string& /*password*/) {
    return false;
  }
  // A yes/no question; true for yes.
  virtual bool Confirm(const std::string& /*text*/) { return false; }
  // A message with an OK button.
  virtual void ShowMessage(TQELMessageKind /*kind*/, const std::string& /*text*/) {}
  // Starts showing the progress of an operation described by `text`.
  virtual std::unique_ptr<TQELProgress> StartProgress(const std::string& /*text*/) {
    return std::make_unique<TQELProgress>();
  }
};

// The installed prompt, or the default one.
TQELPrompt& QELPrompt();
// Installs `prompt` (not owned; it must stay alive while installed); null
// puts the default back.
void QELSetPrompt(TQELPrompt* prompt);

}  // namespace qel
