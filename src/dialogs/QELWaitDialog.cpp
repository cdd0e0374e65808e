#include "dialogs/QELWaitDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QHideEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTimer>

#include <algorithm>

#include "dialogs/QELDialogFont.h"

namespace qel {

namespace {

constexpr int kClientWidth = 312;
constexpr int kClientHeight = 118;

// A window of the application's own, as opposed to its menus, tooltips and
// other transient popups.
bool IsApplicationWindow(const QWidget& widget) {
  const Qt::WindowType type = widget.windowType();
  return widget.isWindow() && widget.isVisible() && (type == Qt::Window || type == Qt::Dialog);
}

}  // namespace

TfrmWait::TfrmWait(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint),
      lMessage(new QLabel(QStringLiteral("Wait..."), this)),
      pb(new QProgressBar(this)),
      btnCancel(new QPushButton(QStringLiteral("Abort"), this)),
      btnBgMode(new QPushButton(QStringLiteral("Background Mode"), this)),
      ShowTimer(new QTimer(this)) {
  setObjectName(QStringLiteral("frmWait"));
  setWindowTitle(QStringLiteral("Please Wait..."));
  setFont(QELDialogFont());
  setCursor(Qt::WaitCursor);
  setFixedSize(kClientWidth, kClientHeight);

  lMessage->setObjectName(QStringLiteral("lMessage"));
  lMessage->setGeometry(0, 0, 312, 49);
  lMessage->setAlignment(Qt::AlignCenter);
  lMessage->setWordWrap(true);

  pb->setObjectName(QStringLiteral("pb"));
  pb->setGeometry(16, 64, 281, 16);
  pb->setRange(0, 100);
  pb->setValue(0);
  pb->setTextVisible(false);

  btnCancel->setObjectName(QStringLiteral("btnCancel"));
  btnCancel->setGeometry(104, 89, 75, 25);
  btnCancel->setDefault(true);
  connect(btnCancel, &QPushButton::clicked, this, &TfrmWait::btnCancelClick);

  btnBgMode->setObjectName(QStringLiteral("btnBgMode"));
  btnBgMode->setGeometry(192, 88, 105, 25);
  btnBgMode->setAutoDefault(false);
  connect(btnBgMode, &QPushButton::clicked, this, &TfrmWait::btnBgModeClick);

  ShowTimer->setObjectName(QStringLiteral("ShowTimer"));
  ShowTimer->setSingleShot(true);
  // Never early: a coarse timer may fire a few per cent before its time.
  ShowTimer->setTimerType(Qt::PreciseTimer);
  ShowTimer->setInterval(kShowDelayMs);
  connect(ShowTimer, &QTimer::timeout, this, &TfrmWait::ShowFormOnTimer);
}

TfrmWait::~TfrmWait() { Finish(); }

void TfrmWait::Start(const QString& text) {
  FCancelled = false;
  Arm(text);
}

void TfrmWait::Arm(const QString& text) {
  lMessage->setText(text);
  btnCancel->setFocus();
  FFinishing = false;
  // Already on screen (a new stage of the same operation): it stays.
  if (isVisible() && !isMinimized()) return;
  ShowTimer->start();
}

void TfrmWait::SetPosition(int percent) { pb->setValue(std::clamp(percent, 0, 100)); }

int TfrmWait::Position() const { return pb->value(); }

void TfrmWait::ShowFormOnTimer() {
  ShowTimer->stop();
  if (FFinishing || FInBackground || pb->value() > kShowUpToPercent) return;
  CentreOnScreen();
  show();
}

void TfrmWait::CentreOnScreen() {
  const QScreen* desktop = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
  if (desktop == nullptr) return;
  const QRect area = desktop->availableGeometry();
  move(area.center() - QPoint(width() / 2, height() / 2));
}

void TfrmWait::FormShow() {
  ShowTimer->stop();
  if (FShown) return;
  // Asked before the dialog itself is activated, this is the window the
  // user was in.
  FActiveWindow = QApplication::activeWindow();
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window == this || !IsApplicationWindow(*window) || !window->isEnabled()) continue;
    window->setEnabled(false);
    FDisabledWindows.emplace_back(window);
  }
  FShown = true;
  btnCancel->setFocus();
  activateWindow();
}

void TfrmWait::FormHide() {
  ShowTimer->stop();
  if (!FShown) return;
  for (const QPointer<QWidget>& window : FDisabledWindows) {
    if (window) window->setEnabled(true);
  }
  FDisabledWindows.clear();
  FShown = false;
  if (FActiveWindow) FActiveWindow->activateWindow();
  FActiveWindow.clear();
}

void TfrmWait::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // A window system's own show (restoring a minimised dialog) is no new
  // showing of the dialog.
  if (!event->spontaneous() && !FFinishing) FormShow();
}

void TfrmWait::hideEvent(QHideEvent* event) {
  QDialog::hideEvent(event);
  if (!event->spontaneous()) FormHide();
}

void TfrmWait::btnCancelClick() { FCancelled = true; }

void TfrmWait::reject() { btnCancelClick(); }

void TfrmWait::closeEvent(QCloseEvent* event) {
  // The operation still holds the dialog and reports to it: closing asks it
  // to stop, and Finish ends the dialog.
  event->ignore();
  btnCancelClick();
}

void TfrmWait::btnBgModeClick() {
  if (FFinishing || FInBackground) return;
  EnterBackground();
}

void TfrmWait::EnterBackground() {
  ShowTimer->stop();
  std::vector<QWidget*> others;
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window != this && IsApplicationWindow(*window) && !window->isMinimized()) others.push_back(window);
  }
  FInBackground = true;
  if (others.empty()) {
    // Nothing else to minimise: the dialog itself stays as the window the
    // user restores the application from.
    FMinimisedSelf = true;
    showMinimized();
    return;
  }
  FormHide();
  hide();
  for (QWidget* window : others) {
    FMinimisedWindows.push_back({window, window->windowState()});
    window->installEventFilter(this);
    window->showMinimized();
  }
}

void TfrmWait::LeaveBackground() {
  if (!FInBackground) return;
  FInBackground = false;
  std::vector<TMinimisedWindow> windows;
  windows.swap(FMinimisedWindows);
  for (const TMinimisedWindow& minimised : windows) {
    if (!minimised.Window) continue;
    minimised.Window->removeEventFilter(this);
    if (minimised.Window->isMinimized()) minimised.Window->setWindowState(minimised.State);
  }
  if (FMinimisedSelf) {
    FMinimisedSelf = false;
    if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);
  }
}

void TfrmWait::RestoreFromBackground() {
  const bool wasSelf = FMinimisedSelf;
  LeaveBackground();
  if (wasSelf) {
    // Restored from the dialog itself, which is on screen again at once.
    Arm(lMessage->text());
    FormShow();
    return;
  }
  // Begins again through the timer and the half-way rule, keeping an Abort
  // the user gave before.
  Arm(lMessage->text());
}

bool TfrmWait::eventFilter(QObject* watched, QEvent* event) {
  if (FInBackground && event->type() == QEvent::WindowStateChange) {
    const auto* window = qobject_cast<QWidget*>(watched);
    if (window != nullptr && !window->isMinimized()) RestoreFromBackground();
  }
  return QDialog::eventFilter(watched, event);
}

void TfrmWait::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && FInBackground && FMinimisedSelf && !isMinimized()) {
    RestoreFromBackground();
  }
}

void TfrmWait::Finish() {
  if (FFinishing) return;
  FFinishing = true;
  ShowTimer->stop();
  LeaveBackground();
  // The other windows are enabled before the dialog goes, so that the
  // window system hands the activation back to the application; the old
  // active window is asked again once the dialog is gone, as hiding the
  // active window lets the window system pick another.
  QPointer<QWidget> previous = FActiveWindow;
  FormHide();
  hide();
  if (previous) previous->activateWindow();
}

}  // namespace qel
