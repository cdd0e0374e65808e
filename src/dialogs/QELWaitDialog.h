#pragma once
// TfrmWait: "Please Wait...", the progress of a long operation that runs on
// the GUI thread and reports to the dialog as it goes.
//
// Start arms a 500 ms timer and shows nothing: an operation past half-way
// by then finishes without the dialog ever appearing. Once shown, the
// dialog disables the application's other windows, so it behaves like a
// modal one while the operation keeps the thread. Abort (also Escape and
// closing the window) only sets Cancelled, which the operation reads at its
// next report; the dialog stays until Finish, because the operation still
// holds it. Background Mode hides it and minimises the application; when
// the user restores a window the dialog comes back through the timer, and
// an Abort given before stays given.
//
// The owner deletes the dialog after Finish; deleting it unfinished
// finishes it first, so the windows are enabled again on every way out.

#include <QDialog>
#include <QPointer>
#include <QString>

#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

namespace qel {

class TfrmWait : public QDialog {
  Q_OBJECT

 public:
  // The delay between Start and showing, and the last position at which
  // the dialog is still shown when it runs out.
  static constexpr int kShowDelayMs = 500;
  static constexpr int kShowUpToPercent = 50;

  explicit TfrmWait(QWidget* parent = nullptr);
  ~TfrmWait() override;

  // Begins an operation described by `text`: Cancelled is cleared and the
  // timer started; the dialog is not shown yet.
  void Start(const QString& text);
  // The progress, 0..100 (clamped).
  void SetPosition(int percent);
  int Position() const;
  bool Cancelled() const { return FCancelled; }
  // Ends the operation: the dialog is hidden for good, the application
  // restored from the background, the disabled windows enabled and the
  // window that was active before activated again.
  void Finish();
  // Hidden and the application minimised by Background Mode.
  bool InBackground() const { return FInBackground; }

 public slots:
  // Escape: Abort.
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct TMinimisedWindow {
    QPointer<QWidget> Window;
    Qt::WindowStates State;
  };

  void btnCancelClick();
  void btnBgModeClick();
  void ShowFormOnTimer();
  // Begins (again) with `text`, leaving Cancelled as it is.
  void Arm(const QString& text);
  void FormShow();
  void FormHide();
  void EnterBackground();
  void LeaveBackground();
  void RestoreFromBackground();
  void CentreOnScreen();

  QLabel* lMessage;
  QProgressBar* pb;
  QPushButton* btnCancel;
  QPushButton* btnBgMode;
  QTimer* ShowTimer;

  bool FCancelled = false;
  bool FShown = false;
  bool FFinishing = false;
  bool FInBackground = false;
  // In the background with no other window to minimise, the dialog itself
  // is the minimised window.
  bool FMinimisedSelf = false;
  QPointer<QWidget> FActiveWindow;
  std::vector<QPointer<QWidget>> FDisabledWindows;
  std::vector<TMinimisedWindow> FMinimisedWindows;
};

}  // namespace qel
