// Shows one of the engine's dialogs with sample text for a few seconds, so
// that it can be looked at or photographed:
//   qel_dialogs_demo wait|password [seconds]

#include <QApplication>
#include <QFontInfo>
#include <QLineEdit>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <cstdlib>

#include "dialogs/QELDialogFont.h"
#include "dialogs/QELPasswordDialog.h"
#include "dialogs/QELWaitDialog.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const char* which = argc > 1 ? argv[1] : "";
  const int seconds = argc > 2 ? std::atoi(argv[2]) : 5;
  QTimer::singleShot(seconds * 1000, &application, &QCoreApplication::quit);
  // Which face stood in for the dialogs' font on this machine.
  std::printf("font: %s\n", qPrintable(QFontInfo(qel::QELDialogFont()).family()));
  std::fflush(stdout);

  if (std::strcmp(which, "wait") == 0) {
    qel::TfrmWait dialog;
    dialog.Start(QStringLiteral("Repairing the database file kuvo.qel: rebuilding the indexes of "
                                "table Istilah..."));
    dialog.SetPosition(37);
    return application.exec();
  }
  if (std::strcmp(which, "password") == 0) {
    qel::TQELPassDialog dialog;
    dialog.SetName(QStringLiteral("kuvo.qel"));
    dialog.show();
    // Typed once the window is up, as a user would: unselected, masked.
    QLineEdit* pass = dialog.findChild<QLineEdit*>(QStringLiteral("Pass"));
    QTimer::singleShot(200, pass, [pass] { pass->setText(QStringLiteral("rahasia")); });
    return application.exec();
  }
  std::fprintf(stderr, "usage: %s wait|password [seconds]\n", argv[0]);
  return 2;
}
