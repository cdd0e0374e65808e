// kuvo: the glossary window over kuvo.qel in the current directory.

#include <QApplication>
#include <QDir>
#include <QMessageBox>

#include "app/QELKuvoWindow.h"
#include "dialogs/QELDialogFont.h"
#include "dialogs/QELQtPrompt.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setFont(qel::QELDialogFont());
  qel::QELInstallQtPrompt();
  try {
    qel::TFKuvo window(QDir::currentPath().toStdString());
    window.show();
    return application.exec();
  } catch (const std::exception& error) {
    // Without its database the window cannot start: say why and stop.
    QMessageBox::critical(nullptr, QStringLiteral("KUVO"), QString::fromUtf8(error.what()));
    return 1;
  }
}
