// The Qt prompt: confirmations and messages as boxes with the right buttons
// and icon, the password dialog behind a refused database password (its
// answer in the bytes the file was encrypted with), and the silent answers
// off the GUI thread, where no widget may be made.

#include <gtest/gtest.h>

#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DialogsSupport.h"
#include "components/ComponentsSupport.h"
#include "dialogs/QELPasswordDialog.h"
#include "dialogs/QELQtPrompt.h"

namespace qel {
namespace {

// Installs the Qt prompt for one test.
class TInstalledQtPrompt {
 public:
  TInstalledQtPrompt() { QELInstallQtPrompt(); }
  ~TInstalledQtPrompt() { QELSetPrompt(nullptr); }
};

TEST(QtPromptTest, ConfirmAsksYesOrNo) {
  for (const bool yes : {true, false}) {
    SCOPED_TRACE(yes ? "Yes" : "No");
    test::OnNextModal([yes](QWidget& modal) {
      auto* box = qobject_cast<QMessageBox*>(&modal);
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->text(), QStringLiteral("Do you want to repair it?"));
      EXPECT_EQ(box->standardButtons(), QMessageBox::Yes | QMessageBox::No);
      QTest::mouseClick(box->button(yes ? QMessageBox::Yes : QMessageBox::No), Qt::LeftButton);
    });
    TQELQtPrompt prompt;
    EXPECT_EQ(prompt.Confirm("Do you want to repair it?"), yes);
  }
}

TEST(QtPromptTest, MessagesShowTheirKindsIconWithOneOkButton) {
  struct TCase {
    TQELMessageKind Kind;
    QMessageBox::Icon Icon;
  };
  const std::vector<TCase> cases = {
      {mkInformation, QMessageBox::Information},
      {mkWarning, QMessageBox::Warning},
      {mkError, QMessageBox::Critical},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Kind));
    bool shown = false;
    test::OnNextModal([&](QWidget& modal) {
      auto* box = qobject_cast<QMessageBox*>(&modal);
      ASSERT_NE(box, nullptr);
      shown = true;
      EXPECT_EQ(box->icon(), c.Icon);
      EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
      EXPECT_EQ(box->text(), QStringLiteral(u"Berkas kuvo.qel \u2014 selesai."));
      QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
    });
    TQELQtPrompt prompt;
    prompt.ShowMessage(c.Kind, "Berkas kuvo.qel \xE2\x80\x94 selesai.");
    EXPECT_TRUE(shown);
  }
}

TEST(QtPromptTest, OffTheGuiThreadItAnswersSilently) {
  TQELQtPrompt prompt;
  TQELDatabase database;
  bool asked = true;
  bool confirmed = true;
  bool waitDialog = true;
  std::string password = "lama";
  std::thread worker([&] {
    asked = prompt.AskPassword(database, "", password);
    confirmed = prompt.Confirm("Do you want to repair it?");
    prompt.ShowMessage(mkWarning, "ignored");
    const std::unique_ptr<TQELProgress> progress = prompt.StartProgress("Copying...");
    waitDialog = dynamic_cast<TQELWaitProgress*>(progress.get()) != nullptr;
    progress->SetPosition(10);
    progress->Finish();
  });
  worker.join();
  EXPECT_FALSE(asked);
  EXPECT_EQ(password, "lama");
  EXPECT_FALSE(confirmed);
  EXPECT_FALSE(waitDialog);
}

TEST(QtPromptTest, InstallingMakesItTheComponentsPrompt) {
  {
    TInstalledQtPrompt installed;
    EXPECT_NE(dynamic_cast<TQELQtPrompt*>(&QELPrompt()), nullptr);
  }
  EXPECT_EQ(dynamic_cast<TQELQtPrompt*>(&QELPrompt()), nullptr);
}

class QtPromptDatabaseTest : public test::TComponentTest {};

TEST_F(QtPromptDatabaseTest, ARefusedPasswordIsAskedForAndTheTypedOneOpensTheFile) {
  // Encrypted under the Western bytes of "kafé".
  test::CreateEngineFile(FileName, "kaf\xE9");
  TInstalledQtPrompt installed;
  auto database = NewDatabase();
  database->SetPassword("salah");
  int asked = 0;
  test::OnNextModal([&asked](QWidget& modal) {
    auto* dialog = qobject_cast<TQELPassDialog*>(&modal);
    ASSERT_NE(dialog, nullptr);
    ++asked;
    QLineEdit* pass = dialog->findChild<QLineEdit*>(QStringLiteral("Pass"));
    pass->setText(QStringLiteral(u"kaf\u00e9"));
    QTest::keyClick(pass, Qt::Key_Return);
  });
  database->Open();
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(database->Connected());
  EXPECT_EQ(database->Password(), "kaf\xE9");
  EXPECT_TRUE(database->TableExists("T"));
  database->Close();
}

}  // namespace
}  // namespace qel
