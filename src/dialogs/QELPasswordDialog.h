#pragma once
// TQELPassDialog: "Database authentication", the question for the password
// of a database file whose stored password was refused. A name above a
// masked edit, OK and Cancel; Enter confirms, Escape cancels.
//
// The password leaves the dialog in the engine's single-byte code page
// (Western): a character that page cannot hold is refused with a message
// and the dialog stays open, so the user never gets a password the file
// could not have been encrypted with.

#include <QDialog>

#include <string>

class QLabel;
class QLineEdit;
class QPushButton;

namespace qel {

class TQELPassDialog : public QDialog {
  Q_OBJECT

 public:
  explicit TQELPassDialog(QWidget* parent = nullptr);

  // Shows `name` above the edit.
  void SetName(const QString& name);
  // The confirmed password, in the engine's code page; empty before OK.
  const std::string& Password() const { return FPassword; }

 private:
  void cbOkClick();
  void RefuseCharacter(const QString& character);

  QLabel* lbName;
  QLabel* Label1;
  QLineEdit* Pass;
  QPushButton* cbOk;
  QPushButton* cbCancel;
  std::string FPassword;
};

// Asks for a database's password, showing `name` above the edit, as a modal
// dialog over the active window. True with the typed password in `password`
// on OK; false with `password` unchanged on Cancel.
bool PasswordDialog(const std::string& name, std::string& password);

}  // namespace qel
