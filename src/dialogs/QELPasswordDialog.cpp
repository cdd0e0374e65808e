#include "dialogs/QELPasswordDialog.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>

#include <utility>

#include "dialogs/QELDialogFont.h"
#include "dialogs/QELWesternCodePage.h"

namespace qel {

namespace {

constexpr int kClientWidth = 216;
constexpr int kClientHeight = 118;

void CentreOnScreen(QWidget& window) {
  const QScreen* screen = window.screen() != nullptr ? window.screen() : QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->availableGeometry();
  window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
}

}  // namespace

TQELPassDialog::TQELPassDialog(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      lbName(new QLabel(this)),
      Label1(new QLabel(QStringLiteral("Password:"), this)),
      Pass(new QLineEdit(this)),
      cbOk(new QPushButton(QStringLiteral("OK"), this)),
      cbCancel(new QPushButton(QStringLiteral("Cancel"), this)) {
  setObjectName(QStringLiteral("QELPassDialog"));
  setWindowTitle(QStringLiteral("Database authentication"));
  setFont(QELDialogFont());
  setFixedSize(kClientWidth, kClientHeight);

  const int labelHeight = fontMetrics().height();
  lbName->setObjectName(QStringLiteral("lbName"));
  lbName->setGeometry(8, 8, 193, labelHeight);
  lbName->setAlignment(Qt::AlignHCenter | Qt::AlignTop);

  Label1->setObjectName(QStringLiteral("Label1"));
  Label1->move(8, 36);
  Label1->adjustSize();

  Pass->setObjectName(QStringLiteral("Pass"));
  Pass->setGeometry(72, 32, 130, 21);
  Pass->setEchoMode(QLineEdit::Password);
  // The mask is "*", not the style's own bullet.
  Pass->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
  Label1->setBuddy(Pass);

  cbOk->setObjectName(QStringLiteral("cbOk"));
  cbOk->setGeometry(8, 72, 75, 25);
  cbOk->setDefault(true);
  connect(cbOk, &QPushButton::clicked, this, &TQELPassDialog::cbOkClick);

  cbCancel->setObjectName(QStringLiteral("cbCancel"));
  cbCancel->setGeometry(128, 72, 75, 25);
  cbCancel->setAutoDefault(false);
  connect(cbCancel, &QPushButton::clicked, this, &QDialog::reject);

  Pass->setFocus();
  CentreOnScreen(*this);
}

void TQELPassDialog::SetName(const QString& name) { lbName->setText(name); }

void TQELPassDialog::cbOkClick() {
  std::string encoded;
  QString refused;
  if (!QELEncodeWesternCodePage(Pass->text(), encoded, refused)) {
    RefuseCharacter(refused);
    return;
  }
  FPassword = std::move(encoded);
  accept();
}

void TQELPassDialog::RefuseCharacter(const QString& character) {
  // Shown without blocking: the dialog stays open for a corrected password.
  auto* box = new QMessageBox(QMessageBox::Warning, windowTitle(),
                              QStringLiteral("The password cannot contain the character \"%1\": a database "
                                             "password may use only the characters of the Western "
                                             "(Windows-1252) code page.")
                                  .arg(character),
                              QMessageBox::Ok, this);
  box->setObjectName(QStringLiteral("RefusedCharacterBox"));
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->open();
  Pass->setFocus();
  Pass->selectAll();
}

bool PasswordDialog(const std::string& name, std::string& password) {
  TQELPassDialog dialog(QApplication::activeWindow());
  dialog.SetName(QString::fromStdString(name));
  if (dialog.exec() != QDialog::Accepted) return false;
  password = dialog.Password();
  return true;
}

}  // namespace qel
