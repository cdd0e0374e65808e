// The rich-text box on a memo field: what it shows for RTF, plain text,
// NULL and a closed dataset as the record moves, editing written back in the
// stored form, a read-only box, and its mouse-up signal.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include <string>

#include "DBWidgetsSupport.h"
#include "ui/QELDBRichEdit.h"
#include "ui/QELRtfReader.h"

namespace qel::test {
namespace {

const char* const kBoldMemo = R"({\rtf1\ansi{\fonttbl{\f0 Tahoma;}}\f0 Kata {\b tebal} di sini.\par})";

std::string MemoOfRow(int row) {
  switch (row) {
    case 0: return kBoldMemo;
    case 1: return "teks biasa";
    default: return "";  // NULL
  }
}

// The text of the fragments of `edit` that are bold, joined.
QString BoldText(const QTextEdit& edit) {
  QString bold;
  for (QTextBlock block = edit.document()->begin(); block.isValid(); block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      if (it.fragment().charFormat().fontWeight() >= QFont::Bold) bold += it.fragment().text();
    }
  }
  return bold;
}

class DBRichEditTest : public TDBWidgetTest {
 protected:
  void SetUp() override {
    TDBWidgetTest::SetUp();
    CreateTerms(3, MemoOfRow);
    Edit.SetDataField("DESKRIPSI");
    Edit.SetDataSource(&Source);
  }
  TQELDBRichEdit Edit;
};

TEST_F(DBRichEditTest, FollowsTheRecord) {
  struct TCase {
    int Row;
    const char* Text;
    const char* Bold;
  };
  const TCase cases[] = {
      {0, "Kata tebal di sini.", "tebal"},
      {1, "teks biasa", ""},
      {2, "", ""},
      {0, "Kata tebal di sini.", "tebal"},
  };
  for (const TCase& c : cases) {
    Terms.SetRecNo(c.Row + 1);
    EXPECT_EQ(Edit.toPlainText(), c.Text) << "row " << c.Row;
    EXPECT_EQ(BoldText(Edit), c.Bold) << "row " << c.Row;
  }
  // The selection's format is what the glossary follows a bold word by.
  QTextCursor cursor = Edit.document()->find("tebal");
  ASSERT_FALSE(cursor.isNull());
  EXPECT_GE(cursor.charFormat().fontWeight(), QFont::Bold);
  Terms.Next();
  EXPECT_EQ(Edit.toPlainText(), "teks biasa");
  Terms.Close();
  EXPECT_EQ(Edit.toPlainText(), "");
  Terms.Open();
  EXPECT_EQ(Terms.RecNo(), 1);
  EXPECT_EQ(Edit.toPlainText(), "Kata tebal di sini.");
}

TEST_F(DBRichEditTest, EditingStoresTheTextInItsOwnForm) {
  // RTF stays RTF, with its bold word.
  QTextCursor cursor(Edit.document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(" Lagi.");
  EXPECT_EQ(Terms.State(), dsEdit);
  EXPECT_EQ(Edit.toPlainText(), "Kata tebal di sini. Lagi.");
  Terms.Post();
  const std::string stored = Terms.FieldByName("DESKRIPSI").AsString();
  EXPECT_TRUE(TQELRtfReader::IsRtf(stored)) << stored;
  EXPECT_EQ(TQELRtfReader::Read(stored).Text(), "Kata tebal di sini. Lagi.");
  EXPECT_EQ(BoldText(Edit), "tebal");

  // Plain text stays plain; an emptied box stores NULL.
  Terms.Next();
  Edit.setPlainText("teks baru");
  Terms.Post();
  EXPECT_EQ(Terms.FieldByName("DESKRIPSI").AsString(), "teks baru");
  Edit.clear();
  Terms.Post();
  EXPECT_TRUE(Terms.FieldByName("DESKRIPSI").IsNull());

  // Cancel puts the stored text back in the box.
  Terms.First();
  Edit.setPlainText("dibuang");
  Terms.Cancel();
  EXPECT_EQ(Edit.toPlainText(), "Kata tebal di sini. Lagi.");
}

TEST_F(DBRichEditTest, ReadOnlyBoxOrDataSetLeavesTheRecordAlone) {
  Edit.setReadOnly(true);
  QTest::keyClicks(&Edit, "abc");
  EXPECT_EQ(Terms.State(), dsBrowse);
  EXPECT_EQ(Edit.toPlainText(), "Kata tebal di sini.");

  Edit.setReadOnly(false);
  Source.AutoEdit = false;
  Edit.setPlainText("ditolak");
  EXPECT_EQ(Terms.State(), dsBrowse);
  EXPECT_EQ(Edit.toPlainText(), "Kata tebal di sini.");
}

TEST_F(DBRichEditTest, TellsOfAMouseReleaseAfterSelecting) {
  Edit.setReadOnly(true);
  Edit.resize(300, 200);
  QSignalSpy released(&Edit, &TQELDBRichEdit::MouseUp);
  QTest::mouseClick(Edit.viewport(), Qt::LeftButton, Qt::NoModifier, QPoint(5, 5));
  ASSERT_EQ(released.count(), 1);
  EXPECT_EQ(released.at(0).at(0).value<Qt::MouseButton>(), Qt::LeftButton);
}

}  // namespace
}  // namespace qel::test
