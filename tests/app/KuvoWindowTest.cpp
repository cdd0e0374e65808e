// The glossary window driven as a person would, offscreen: the keys of the
// search box, the mode and letter boxes, the popups and the following of
// words, over a small glossary made in the test.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTabWidget>
#include <QTest>
#include <QTextCursor>
#include <QTextDocument>

#include <memory>
#include <string>
#include <vector>

#include "app/QELKuvoWindow.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "support/TestSupport.h"
#include "ui/QELDBRichEdit.h"
#include "ui/QELRtfWriter.h"

namespace qel::test {
namespace {

struct TSpan {
  std::string Text;
  bool Bold = false;
  bool Italic = false;
};

std::string Rtf(const std::vector<TSpan>& spans) {
  TQELRtfDocument document;
  TQELRtfParagraph& paragraph = document.Paragraphs.emplace_back();
  for (const TSpan& span : spans) {
    TQELRtfCharFormat format;
    format.Bold = span.Bold;
    format.Italic = span.Italic;
    TQELRtfDocument::AppendRun(paragraph, span.Text, format);
  }
  return TQELRtfWriter::Write(document);
}

// A glossary of six terms in `directory`, made through SQL as the real one is.
void MakeGlossary(const std::string& directory) {
  TQELDatabase database;
  database.SetDatabaseName("MAKE");
  database.SetDatabaseFileName(directory + "/kuvo.qel");
  database.SetPassword("kelpTideOverSand1984");
  database.CreateDatabase();
  database.SetConnected(true);
  auto run = [](const std::string& sql, const std::vector<std::string>& values = {}) {
    TQELQuery query;
    query.SetDatabaseName("MAKE");
    query.SetSQLText(sql);
    for (std::size_t i = 0; i < values.size(); ++i) {
      query.Params()[static_cast<std::int32_t>(i)].DataType = ftString;
      query.Params()[static_cast<std::int32_t>(i)].Value.SetAsString(values[i]);
    }
    query.ExecSQL();
  };
  run("create table tblKuvo (ISTILAH varchar(40) not null, DESKRIPSI memo, CATATAN memo, primary key (ISTILAH))");
  const std::string insert = "insert into tblKuvo values (:a, :b, :c)";
  run(insert, {"data", Rtf({{"Fakta yang diolah menjadi "}, {"informasi", true}, {" atau "}, {"bit", true, true}}),
               Rtf({{"Catatan data."}})});
  run(insert, {"informasi", Rtf({{"Data", true}, {" yang telah diolah dan dipahami."}}), Rtf({})});
  run(insert, {"bit", Rtf({{"Satuan terkecil "}, {"data", true}, {"."}}), Rtf({})});
  run(insert, {"bait", Rtf({{"Delapan "}, {"bit", true}, {"."}}), Rtf({})});
  run(insert, {"basis data", Rtf({{"Kumpulan "}, {"data", true}, {"."}}), Rtf({})});
  run(insert, {"basis data relasional", Rtf({{"Basis data dengan tabel."}}), Rtf({})});
  database.SetConnected(false);
}

class KuvoWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeGlossary(Dir.Path());
    Window = std::make_unique<TFKuvo>(Dir.Path());
    Window->QuietMessages = true;
    Window->show();
  }

  void Type(const QString& text) { QTest::keyClicks(Window->SearchBox(), text); }
  void Key(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QTest::keyClick(Window->SearchBox(), key, modifiers);
  }
  QString Count() const { return Window->CountLabel()->text(); }
  std::string SQL() { return Window->SearchQuery().SQLText(); }
  QString Mode() const { return Window->ModeBox()->currentText(); }
  void ChooseMode(int index) {
    Window->ModeBox()->setCurrentIndex(index);
    Window->cbxModeChange();
  }
  // Selects the first occurrence of `word` in `box`, as a drag of the mouse
  // would, and releases the button.
  void SelectIn(TQELDBRichEdit* box, const QString& word, bool sub) {
    QCoreApplication::processEvents();
    QTextCursor found = box->document()->find(word);
    ASSERT_FALSE(found.isNull()) << word.toStdString();
    box->setTextCursor(found);
    if (sub) {
      Window->txSubDeskripsiMouseUp();
    } else {
      Window->txDeskripsiMouseUp();
    }
  }
  QStringList Followed() const {
    QStringList items;
    for (int i = 0; i < Window->FollowedList()->count(); ++i) items << Window->FollowedList()->item(i)->text();
    return items;
  }

  TScratchDir Dir;
  std::unique_ptr<TFKuvo> Window;
};

TEST_F(KuvoWindowTest, KeysOfTheSearchBox) {
  EXPECT_EQ(Count(), "Istilah: 0");
  EXPECT_EQ(Mode(), "Equal");
  Key(Qt::Key_Return);  // nothing to search for
  EXPECT_EQ(Window->LastMessage(), "");
  EXPECT_FALSE(Window->SearchQuery().Active());

  Type(" ");
  EXPECT_EQ(Window->SearchBox()->text(), "");  // no leading space
  Type("DATA");
  EXPECT_EQ(Window->SearchBox()->text(), "data");  // typed in lower case
  Key(Qt::Key_Return);
  EXPECT_EQ(Window->LastMessage(), "");
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH ='data'");
  EXPECT_EQ(Count(), "Istilah: 1");
  EXPECT_EQ(Window->SearchBox()->selectedText(), "data");

  Key(Qt::Key_L, Qt::ControlModifier);
  EXPECT_EQ(Mode(), "Like");
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH Like '%data%'");
  EXPECT_EQ(Count(), "Istilah: 3");
  Key(Qt::Key_E, Qt::ShiftModifier | Qt::ControlModifier);
  Key(Qt::Key_E, Qt::ControlModifier | Qt::AltModifier);
  EXPECT_EQ(Mode(), "Like");
  // What those keys typed, if anything, is the platform's; start again.
  Window->SearchBox()->setText("data");
  Key(Qt::Key_E, Qt::ControlModifier);
  EXPECT_EQ(Mode(), "Equal");
  EXPECT_EQ(Count(), "Istilah: 1");
  Key(Qt::Key_W, Qt::ControlModifier);
  EXPECT_EQ(SQL(), "select * from tblKuvo");
  EXPECT_EQ(Count(), "Istilah: 6");

  // Typing after "All" goes back to exact search; emptying the box closes.
  Window->SearchBox()->clear();
  EXPECT_EQ(Count(), "Istilah: 0");
  EXPECT_FALSE(Window->SearchQuery().Active());
  EXPECT_EQ(Mode(), "Equal");

  Type("bit,");
  EXPECT_EQ(Mode(), "In");
  Type(" bait");
  Key(Qt::Key_Return);
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH In('bit','bait')");
  EXPECT_EQ(Count(), "Istilah: 2");
}

TEST_F(KuvoWindowTest, ModeAndLetterBoxes) {
  Type("data");
  ChooseMode(3);  // "In" does not search by itself
  EXPECT_FALSE(Window->SearchQuery().Active());
  ChooseMode(2);  // "Like" does
  EXPECT_EQ(Count(), "Istilah: 3");

  Window->LetterBox()->setCurrentIndex(2);  // "b"
  Window->cbxAbjadChange();
  EXPECT_EQ(Window->SearchBox()->text(), "");
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH Like 'b%'");
  EXPECT_EQ(Count(), "Istilah: 4");
  Window->LetterBox()->setCurrentIndex(0);  // "-"
  Window->cbxAbjadChange();
  EXPECT_EQ(Count(), "Istilah: 0");
  EXPECT_FALSE(Window->SearchQuery().Active());

  // A quote typed into the box is doubled, never a broken statement.
  Type("o'neil");
  Key(Qt::Key_Return);
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH ='o''neil'");
  EXPECT_EQ(Count(), "Istilah: 0");
  EXPECT_EQ(Window->LastMessage(), "Istilah yang dicari tidak ditemukan.");
}

TEST_F(KuvoWindowTest, InputAndHapus) {
  Window->PrepareInputPopup();
  EXPECT_FALSE(Window->InputAction()->isEnabled());
  Window->mInputClick();  // a closed result gives nothing
  EXPECT_EQ(Window->SearchBox()->text(), "");
  Type("bit");
  Key(Qt::Key_Return);
  Window->PrepareInputPopup();
  EXPECT_TRUE(Window->InputAction()->isEnabled());
  Window->mInputClick();
  EXPECT_EQ(Window->SearchBox()->text(), "bit, bit");
  EXPECT_EQ(Mode(), "In");

  Window->PrepareHapusPopup();
  EXPECT_FALSE(Window->HapusAction()->isEnabled());
  Window->lstSubIstilahClick();  // no item: nothing happens
  EXPECT_FALSE(Window->FollowQuery().Active());
}

TEST_F(KuvoWindowTest, FollowingWords) {
  Type("data");
  Key(Qt::Key_Return);
  // Bold with italic does not count.
  SelectIn(Window->Description(), "bit", false);
  EXPECT_EQ(Window->Pages()->currentIndex(), 0);
  EXPECT_TRUE(Followed().isEmpty());

  SelectIn(Window->Description(), "informasi", false);
  EXPECT_EQ(Window->Pages()->currentIndex(), 1);
  EXPECT_EQ(Followed(), QStringList{"informasi"});
  EXPECT_EQ(Window->FollowQuery().SQLText(), "select * from tblKuvo where ISTILAH ='informasi'");
  Window->Pages()->setCurrentIndex(0);
  SelectIn(Window->Description(), "informasi", false);
  EXPECT_EQ(Followed(), (QStringList{"informasi", "informasi"}));

  // On the follow-up page any selected word follows, and a word already
  // listed is selected, not listed again.
  SelectIn(Window->SubDescription(), "Data", true);
  EXPECT_EQ(Followed(), (QStringList{"informasi", "informasi", "data"}));
  SelectIn(Window->SubDescription(), "informasi", true);
  EXPECT_EQ(Followed().size(), 3);
  EXPECT_EQ(Window->FollowedList()->currentItem()->text(), "informasi");

  // An unknown word says so and shows the list's entry again.
  SelectIn(Window->SubDescription(), "diolah", true);
  EXPECT_EQ(Window->LastMessage(), "Istilah 'diolah' tidak ditemukan.");
  EXPECT_EQ(Window->FollowQuery().SQLText(), "select * from tblKuvo where ISTILAH ='informasi'");
  EXPECT_EQ(Window->FollowQuery().RecordCount(), 1);

  Window->PrepareHapusPopup();
  EXPECT_TRUE(Window->HapusAction()->isEnabled());
  Window->mHapusClick();
  EXPECT_TRUE(Followed().isEmpty());
  EXPECT_EQ(Window->Pages()->currentIndex(), 0);
  EXPECT_FALSE(Window->FollowQuery().Active());
}

// Whatever is typed is searched for as text, never run as SQL.
TEST_F(KuvoWindowTest, BadInput) {
  const QString texts[] = {
      QString(10000, QLatin1Char('a')), QStringLiteral("x'; drop table tblKuvo; --"), QStringLiteral("50%_\\"),
      QStringLiteral("tab\tand\x01control"), QStringLiteral("'"), QStringLiteral("\"\"\""),
  };
  for (int mode : {1, 2, 3}) {
    for (const QString& text : texts) {
      SCOPED_TRACE(text.left(30).toStdString());
      Window->ModeBox()->setCurrentIndex(mode);
      Window->SearchBox()->setText(text);
      Window->btnCariClick();
      EXPECT_EQ(Window->LastMessage(), "Istilah yang dicari tidak ditemukan.");
    }
  }
  // A mode the box does not list runs nothing and keeps the last result.
  Window->SearchBox()->setText("bit");
  Window->ModeBox()->setCurrentIndex(1);
  Window->btnCariClick();
  EXPECT_EQ(Count(), "Istilah: 1");
  Window->ModeBox()->setEditText("Cari!");
  Window->btnCariClick();
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH ='bit'");
  EXPECT_EQ(Count(), "Istilah: 1");
  Window->LetterBox()->setEditText("??");
  Window->cbxAbjadChange();
  EXPECT_EQ(SQL(), "select * from tblKuvo where ISTILAH Like '??%'");
  // The glossary is still whole.
  Window->ModeBox()->setCurrentIndex(0);
  Window->cbxModeChange();
  EXPECT_EQ(Count(), "Istilah: 6");
}

// Without its database the window does not start.
TEST(KuvoStartTest, MissingDatabaseRaises) {
  TScratchDir dir;
  EXPECT_THROW(TFKuvo window(dir.Path()), std::exception);
}

}  // namespace
}  // namespace qel::test
