#include "dialogs/QELQtPrompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>
#include <QThread>

#include "dialogs/QELPasswordDialog.h"
#include "dialogs/QELWaitDialog.h"

namespace qel {

namespace {

// Widgets may be made only on the thread of a widget application.
bool OnGuiThread() {
  const QCoreApplication* application = QCoreApplication::instance();
  return qobject_cast<const QApplication*>(application) != nullptr &&
         QThread::currentThread() == application->thread();
}

QString Caption() { return QGuiApplication::applicationDisplayName(); }

}  // namespace

TQELWaitProgress::TQELWaitProgress(const std::string& text) : FDialog(std::make_unique<TfrmWait>()) {
  FDialog->Start(QString::fromStdString(text));
}

TQELWaitProgress::~TQELWaitProgress() { Finish(); }

void TQELWaitProgress::SetPosition(int percent) {
  if (!FDialog) return;
  FDialog->SetPosition(percent);
  // The operation holds the thread: this is when the timer fires and the
  // user's clicks arrive.
  QCoreApplication::processEvents();
}

bool TQELWaitProgress::Cancelled() const { return FDialog ? FDialog->Cancelled() : FCancelled; }

void TQELWaitProgress::Finish() {
  if (!FDialog) return;
  FCancelled = FDialog->Cancelled();
  FDialog->Finish();
  FDialog.reset();
}

bool TQELQtPrompt::AskPassword(TQELDatabase& database, const std::string& name, std::string& password) {
  if (!OnGuiThread()) return TQELPrompt::AskPassword(database, name, password);
  return PasswordDialog(name, password);
}

bool TQELQtPrompt::Confirm(const std::string& text) {
  if (!OnGuiThread()) return TQELPrompt::Confirm(text);
  const QMessageBox::StandardButton answer =
      QMessageBox::question(QApplication::activeWindow(), Caption(), QString::fromStdString(text),
                            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
  return answer == QMessageBox::Yes;
}

void TQELQtPrompt::ShowMessage(TQELMessageKind kind, const std::string& text) {
  if (!OnGuiThread()) {
    TQELPrompt::ShowMessage(kind, text);
    return;
  }
  QWidget* parent = QApplication::activeWindow();
  const QString message = QString::fromStdString(text);
  switch (kind) {
    case mkInformation: QMessageBox::information(parent, Caption(), message); break;
    case mkWarning: QMessageBox::warning(parent, Caption(), message); break;
    case mkError: QMessageBox::critical(parent, Caption(), message); break;
  }
}

std::unique_ptr<TQELProgress> TQELQtPrompt::StartProgress(const std::string& text) {
  if (!OnGuiThread()) return TQELPrompt::StartProgress(text);
  return std::make_unique<TQELWaitProgress>(text);
}

void QELInstallQtPrompt() {
  static TQELQtPrompt prompt;
  QELSetPrompt(&prompt);
}

}  // namespace qel
