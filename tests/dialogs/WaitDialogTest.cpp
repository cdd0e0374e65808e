// The wait dialog: shown only once the operation has run for the delay and
// is at most half done; while shown the other windows ignore input, and on
// every way out (Finish, an exception) they get it back with the window
// that was active. Abort, Escape and closing ask the operation to stop and
// leave the dialog to Finish. Background mode minimises the application,
// and a restore brings the dialog back without losing an Abort.

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "dialogs/QELQtPrompt.h"
#include "dialogs/QELWaitDialog.h"

namespace qel {
namespace {

constexpr int kPatienceMs = 3000;

class WaitDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Main.setWindowTitle(QStringLiteral("Kamus"));
    Main.resize(320, 200);
    Search = new QPushButton(QStringLiteral("Cari"), &Main);
    QObject::connect(Search, &QPushButton::clicked, [this] { ++SearchClicks; });
    Main.show();
    Main.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Main));
  }

  static bool WaitUntilShown(const TfrmWait& dialog) {
    return QTest::qWaitFor([&] { return dialog.isVisible(); }, kPatienceMs);
  }
  static bool MainIsActive(QWidget& window) {
    return QTest::qWaitFor([&] { return QApplication::activeWindow() == &window; }, kPatienceMs);
  }
  static void Click(const TfrmWait& dialog, const char* button) {
    QTest::mouseClick(dialog.findChild<QPushButton*>(QString::fromLatin1(button)), Qt::LeftButton);
  }

  QWidget Main;
  QPushButton* Search = nullptr;
  int SearchClicks = 0;
};

TEST_F(WaitDialogTest, ShowsAfterTheDelayOnlyWhileAtMostHalfDoneAndUnfinished) {
  struct TCase {
    int StartPercent;
    // Reported a quarter of a second in, before the delay runs out.
    int LaterPercent;
    bool FinishEarly;
    bool Shown;
  };
  const std::vector<TCase> cases = {
      {0, 0, false, true},      {10, 50, false, true},   {50, 50, false, true},
      {51, 51, false, false},   {10, 51, false, false},  {100, 100, false, false},
      {10, 10, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(testing::Message() << c.StartPercent << "% then " << c.LaterPercent << "%"
                                    << (c.FinishEarly ? ", finished early" : ""));
    TfrmWait dialog;
    QElapsedTimer clock;
    clock.start();
    dialog.Start(QStringLiteral("Copying table Istilah..."));
    dialog.SetPosition(c.StartPercent);
    qint64 shownAfter = -1;
    bool reported = false;
    while (clock.elapsed() < TfrmWait::kShowDelayMs + 300) {
      QTest::qWait(5);
      if (!reported && clock.elapsed() >= 250) {
        reported = true;
        dialog.SetPosition(c.LaterPercent);
        if (c.FinishEarly) dialog.Finish();
      }
      if (shownAfter < 0 && dialog.isVisible()) shownAfter = clock.elapsed();
    }
    EXPECT_EQ(dialog.isVisible(), c.Shown);
    EXPECT_EQ(!Main.isEnabled(), c.Shown);
    if (c.Shown) {
      EXPECT_GE(shownAfter, TfrmWait::kShowDelayMs);
    } else {
      EXPECT_EQ(shownAfter, -1);
    }
    dialog.Finish();
    EXPECT_TRUE(Main.isEnabled());
  }
}

TEST_F(WaitDialogTest, WhileShownOtherWindowsIgnoreInputAndFinishGivesItBack) {
  QWidget disabledBefore;
  disabledBefore.show();
  disabledBefore.setEnabled(false);
  Main.activateWindow();
  ASSERT_TRUE(MainIsActive(Main));

  TfrmWait dialog;
  dialog.Start(QStringLiteral("Repairing kuvo.qel..."));
  dialog.SetPosition(10);
  ASSERT_TRUE(WaitUntilShown(dialog));
  EXPECT_FALSE(Main.isEnabled());
  QTest::mouseClick(Search, Qt::LeftButton);
  EXPECT_EQ(SearchClicks, 0);

  dialog.Finish();
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(Main.isEnabled());
  // Not the dialog's to enable: it was disabled before.
  EXPECT_FALSE(disabledBefore.isEnabled());
  EXPECT_TRUE(MainIsActive(Main));
  QTest::mouseClick(Search, Qt::LeftButton);
  EXPECT_EQ(SearchClicks, 1);
  // Finished, it stays away.
  QTest::qWait(TfrmWait::kShowDelayMs + 100);
  EXPECT_FALSE(dialog.isVisible());
}

TEST_F(WaitDialogTest, AbortEscapeAndCloseAskTheOperationToStopAndOnlyFinishEndsTheDialog) {
  struct TCase {
    const char* Title;
    std::function<void(TfrmWait&)> Act;
  };
  const std::vector<TCase> cases = {
      {"Abort", [](TfrmWait& dialog) { Click(dialog, "btnCancel"); }},
      {"Escape", [](TfrmWait& dialog) { QTest::keyClick(&dialog, Qt::Key_Escape); }},
      {"close", [](TfrmWait& dialog) { dialog.close(); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Title);
    TQELWaitProgress progress("Importing table Istilah...");
    QPointer<TfrmWait> dialog = progress.Dialog();
    progress.SetPosition(10);
    ASSERT_TRUE(WaitUntilShown(*dialog));
    EXPECT_FALSE(progress.Cancelled());

    c.Act(*dialog);
    progress.SetPosition(11);
    EXPECT_TRUE(progress.Cancelled());
    ASSERT_FALSE(dialog.isNull());
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(Main.isEnabled());

    progress.Finish();
    EXPECT_TRUE(dialog.isNull());
    EXPECT_EQ(progress.Dialog(), nullptr);
    EXPECT_TRUE(progress.Cancelled());
    EXPECT_TRUE(Main.isEnabled());
    // Finishing again, and the destructor after it, free nothing twice.
    progress.Finish();
  }
}

TEST_F(WaitDialogTest, AnExceptionInTheOperationStillEndsTheDialogAndEnablesTheWindows) {
  TQELQtPrompt prompt;
  QPointer<TfrmWait> dialog;
  try {
    const std::unique_ptr<TQELProgress> progress = prompt.StartProgress("Restructuring table Istilah...");
    auto* waitProgress = dynamic_cast<TQELWaitProgress*>(progress.get());
    ASSERT_NE(waitProgress, nullptr);
    dialog = waitProgress->Dialog();
    progress->SetPosition(5);
    ASSERT_TRUE(WaitUntilShown(*dialog));
    ASSERT_FALSE(Main.isEnabled());
    throw std::runtime_error("disk full");
  } catch (const std::runtime_error&) {
  }
  EXPECT_TRUE(dialog.isNull());
  EXPECT_TRUE(Main.isEnabled());
  EXPECT_TRUE(MainIsActive(Main));
}

TEST_F(WaitDialogTest, BackgroundModeMinimisesTheApplicationUntilTheUserRestoresIt) {
  TfrmWait dialog;
  dialog.Start(QStringLiteral("Copying table Istilah..."));
  dialog.SetPosition(10);
  ASSERT_TRUE(WaitUntilShown(dialog));

  Click(dialog, "btnBgMode");
  EXPECT_TRUE(dialog.InBackground());
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_TRUE(Main.isMinimized());
  EXPECT_TRUE(Main.isEnabled());
  // The operation goes on, and the dialog stays away while it does.
  dialog.SetPosition(20);
  QTest::qWait(TfrmWait::kShowDelayMs + 100);
  EXPECT_FALSE(dialog.isVisible());

  Main.showNormal();
  EXPECT_FALSE(dialog.InBackground());
  ASSERT_TRUE(WaitUntilShown(dialog));
  EXPECT_FALSE(Main.isEnabled());
  EXPECT_FALSE(dialog.Cancelled());
  dialog.Finish();
  EXPECT_TRUE(Main.isEnabled());
}

TEST_F(WaitDialogTest, AnAbortJustBeforeBackgroundModeSurvivesTheRestore) {
  TfrmWait dialog;
  dialog.Start(QStringLiteral("Copying table Istilah..."));
  dialog.SetPosition(10);
  ASSERT_TRUE(WaitUntilShown(dialog));
  Click(dialog, "btnCancel");
  Click(dialog, "btnBgMode");
  Main.showNormal();
  ASSERT_TRUE(WaitUntilShown(dialog));
  EXPECT_TRUE(dialog.Cancelled());
  dialog.Finish();
}

TEST_F(WaitDialogTest, RestoredPastHalfWayOrFinishedInTheBackgroundTheDialogStaysAway) {
  for (const bool finishInBackground : {false, true}) {
    SCOPED_TRACE(finishInBackground ? "finished in the background" : "restored at 60%");
    TfrmWait dialog;
    dialog.Start(QStringLiteral("Copying table Istilah..."));
    dialog.SetPosition(10);
    ASSERT_TRUE(WaitUntilShown(dialog));
    Click(dialog, "btnBgMode");
    ASSERT_TRUE(Main.isMinimized());
    if (finishInBackground) {
      dialog.Finish();
    } else {
      dialog.SetPosition(60);
      Main.showNormal();
    }
    EXPECT_FALSE(Main.isMinimized());
    QTest::qWait(TfrmWait::kShowDelayMs + 100);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_TRUE(Main.isEnabled());
    dialog.Finish();
  }
}

TEST_F(WaitDialogTest, WithNoOtherWindowTheDialogItselfIsMinimisedAndRestored) {
  Main.hide();
  TfrmWait dialog;
  dialog.Start(QStringLiteral("Repairing kuvo.qel..."));
  dialog.SetPosition(10);
  ASSERT_TRUE(WaitUntilShown(dialog));
  Click(dialog, "btnCancel");
  Click(dialog, "btnBgMode");
  EXPECT_TRUE(dialog.isMinimized());
  dialog.showNormal();
  EXPECT_FALSE(dialog.InBackground());
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_TRUE(dialog.Cancelled());
  dialog.Finish();
  EXPECT_FALSE(dialog.isVisible());
}

}  // namespace
}  // namespace qel
