// The password dialog: typed text and Enter answer true with the password in
// the engine's code page; Cancel and Escape answer false and leave it as it
// was; the edit masks with "*"; a character the code page cannot hold is
// refused with a message and the dialog stays open for another try.

#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QString>
#include <QTest>

#include <functional>
#include <string>
#include <vector>

#include "DialogsSupport.h"
#include "dialogs/QELPasswordDialog.h"
#include "dialogs/QELWesternCodePage.h"

namespace qel {
namespace {

QLineEdit& PassOf(TQELPassDialog& dialog) { return *dialog.findChild<QLineEdit*>(QStringLiteral("Pass")); }

// Runs PasswordDialog with `act` done on the dialog once it is up.
bool RunPasswordDialog(const std::function<void(TQELPassDialog&)>& act, std::string& password) {
  test::OnNextModal([&act](QWidget& modal) {
    auto* dialog = qobject_cast<TQELPassDialog*>(&modal);
    ASSERT_NE(dialog, nullptr);
    act(*dialog);
  });
  return PasswordDialog("kuvo.qel", password);
}

TEST(PasswordDialogTest, EnterConfirmsTheMaskedTextAndCancelOrEscapeChangeNothing) {
  struct TCase {
    const char* Title;
    std::function<void(TQELPassDialog&)> Act;
    bool Answer;
    std::string Password;
  };
  const auto typeAndPress = [](Qt::Key key) {
    return [key](TQELPassDialog& dialog) {
      QLineEdit& pass = PassOf(dialog);
      EXPECT_TRUE(pass.text().isEmpty());
      QTest::keyClicks(&pass, QStringLiteral("rahasia"));
      EXPECT_EQ(pass.displayText(), QStringLiteral("*******"));
      EXPECT_EQ(dialog.findChild<QLabel*>(QStringLiteral("lbName"))->text(), QStringLiteral("kuvo.qel"));
      QTest::keyClick(&pass, key);
    };
  };
  const std::vector<TCase> cases = {
      {"typed and Enter", typeAndPress(Qt::Key_Return), true, "rahasia"},
      {"typed and Escape", typeAndPress(Qt::Key_Escape), false, "lama"},
      {"typed and Cancel",
       [](TQELPassDialog& dialog) {
         QTest::keyClicks(&PassOf(dialog), QStringLiteral("rahasia"));
         QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("cbCancel")), Qt::LeftButton);
       },
       false, "lama"},
      // An empty password is an answer too: the file may have none.
      {"nothing and OK",
       [](TQELPassDialog& dialog) {
         QTest::mouseClick(dialog.findChild<QPushButton*>(QStringLiteral("cbOk")), Qt::LeftButton);
       },
       true, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Title);
    std::string password = "lama";
    EXPECT_EQ(RunPasswordDialog(c.Act, password), c.Answer);
    EXPECT_EQ(password, c.Password);
  }
}

TEST(PasswordDialogTest, ACharacterOutsideTheCodePageIsRefusedAndTheDialogStaysOpen) {
  std::string password = "lama";
  const bool answer = RunPasswordDialog(
      [](TQELPassDialog& dialog) {
        QLineEdit& pass = PassOf(dialog);
        pass.setText(QStringLiteral(u"kata \u0101"));
        QTest::keyClick(&pass, Qt::Key_Return);
        EXPECT_TRUE(dialog.isVisible());
        auto* box = dialog.findChild<QMessageBox*>(QStringLiteral("RefusedCharacterBox"));
        ASSERT_NE(box, nullptr);
        EXPECT_TRUE(box->isVisible());
        EXPECT_TRUE(box->text().contains(QStringLiteral(u"\"\u0101\"")));
        box->accept();
        // Western characters beyond ASCII are fine, in their code page bytes.
        pass.setText(QStringLiteral(u"kaf\u00e9\u20ac"));
        QTest::keyClick(&pass, Qt::Key_Return);
      },
      password);
  EXPECT_TRUE(answer);
  EXPECT_EQ(password, "kaf\xE9\x80");
}

TEST(WesternCodePageTest, EncodesItsCharactersAndNamesTheFirstItCannot) {
  struct TCase {
    QString Text;
    bool Encoded;
    std::string Bytes;
    QString Refused;
  };
  const std::vector<TCase> cases = {
      {QString(), true, "", QString()},
      {QStringLiteral("Kamus 2.0"), true, "Kamus 2.0", QString()},
      // Latin-1's upper half, and the page's own characters in 0x80..0x9F.
      {QStringLiteral(u"\u00e9\u00ff\u00a0"), true, "\xE9\xFF\xA0", QString()},
      {QStringLiteral(u"\u20ac\u2014\u0178\u017e"), true, "\x80\x97\x9F\x9E", QString()},
      {QStringLiteral(u"ab\u0101c\u0113"), false, "", QStringLiteral(u"\u0101")},
      // A byte the page leaves undefined has no character either.
      {QStringLiteral(u"a\u0081"), false, "", QStringLiteral(u"\u0081")},
      // Outside the basic plane: both halves named as one character.
      {QStringLiteral(u"a\U0001F600"), false, "", QStringLiteral(u"\U0001F600")},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text.toStdString());
    std::string bytes = "untouched";
    QString refused;
    EXPECT_EQ(QELEncodeWesternCodePage(c.Text, bytes, refused), c.Encoded);
    EXPECT_EQ(bytes, c.Encoded ? c.Bytes : "untouched");
    EXPECT_EQ(refused, c.Refused);
  }
}

}  // namespace
}  // namespace qel
