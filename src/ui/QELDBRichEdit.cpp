#include "ui/QELDBRichEdit.h"

#include <QMouseEvent>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>

#include <cmath>

#include "components/QELPrompt.h"
#include "components/db/QELDataSet.h"
#include "ui/QELRtfReader.h"
#include "ui/QELRtfTextDocument.h"
#include "ui/QELRtfWriter.h"

namespace qel {

class TQELDBRichEditLink : public TDataLink {
 public:
  explicit TQELDBRichEditLink(TQELDBRichEdit& edit) : FEdit(edit) {}

 protected:
  void ActiveChanged() override { FEdit.LoadField(); }
  void DataSetChanged() override { FEdit.LoadField(); }
  void DataSetScrolled(std::int32_t /*distance*/) override { FEdit.LoadField(); }
  void LayoutChanged() override { FEdit.LoadField(); }
  void RecordChanged(TField* field) override {
    if (field == nullptr || field == FEdit.Field()) FEdit.LoadField();
  }
  void UpdateData() override { FEdit.StoreField(); }

 private:
  TQELDBRichEdit& FEdit;
};

namespace {

TQELRtfAlignment AlignmentOf(Qt::Alignment alignment) {
  if (alignment & Qt::AlignRight) return raRight;
  if (alignment & Qt::AlignHCenter) return raCenter;
  if (alignment & Qt::AlignJustify) return raJustify;
  return raLeft;
}

std::int32_t Twips(qreal pixels) { return static_cast<std::int32_t>(std::lround(pixels * kQELTwipsPerPixel)); }

TQELRtfCharFormat RtfFormatOf(const QTextCharFormat& format) {
  TQELRtfCharFormat result;
  result.Bold = format.fontWeight() >= QFont::Bold;
  result.Italic = format.fontItalic();
  result.Underline = format.fontUnderline();
  result.Strike = format.fontStrikeOut();
  const qreal points = format.fontPointSize();
  if (points > 0) result.FontSize = static_cast<std::int32_t>(std::lround(points * 2));
  if (format.hasProperty(QTextFormat::ForegroundBrush)) {
    result.HasColor = true;
    result.Color = format.foreground().color().rgb() & 0xFFFFFFu;
  }
  return result;
}

// The box's text as paragraphs of runs for the RTF writer: the formats the
// reader knows, the rest dropped.
TQELRtfDocument RtfDocumentOf(const QTextDocument& document) {
  TQELRtfDocument result;
  for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
    TQELRtfParagraph paragraph;
    const QTextBlockFormat format = block.blockFormat();
    paragraph.Format.Alignment = AlignmentOf(format.alignment());
    paragraph.Format.LeftIndent = Twips(format.leftMargin());
    paragraph.Format.RightIndent = Twips(format.rightMargin());
    paragraph.Format.FirstIndent = Twips(format.textIndent());
    for (auto fragment = block.begin(); !fragment.atEnd(); ++fragment) {
      const QTextFragment piece = fragment.fragment();
      if (!piece.isValid()) continue;
      // A line break inside a paragraph is U+2028 in a QTextDocument.
      QString text = piece.text();
      text.replace(QChar::LineSeparator, QLatin1Char('\n'));
      TQELRtfDocument::AppendRun(paragraph, text.toStdString(), RtfFormatOf(piece.charFormat()));
    }
    result.Paragraphs.push_back(std::move(paragraph));
  }
  return result;
}

}  // namespace

TQELDBRichEdit::TQELDBRichEdit(QWidget* parent)
    : QTextEdit(parent), FLink(std::make_unique<TQELDBRichEditLink>(*this)) {
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setAcceptRichText(true);
  connect(document(), &QTextDocument::contentsChanged, this, &TQELDBRichEdit::ContentsChanged);
}

TQELDBRichEdit::~TQELDBRichEdit() {
  QScopedValueRollback<bool> loading(FLoading, true);
  FLink->SetDataSource(nullptr);
}

TDataSource* TQELDBRichEdit::DataSource() const { return FLink->DataSource(); }

void TQELDBRichEdit::SetDataSource(TDataSource* source) {
  if (source == FLink->DataSource()) return;
  FLink->SetDataSource(source);
  LoadField();
}

void TQELDBRichEdit::SetDataField(const std::string& fieldName) {
  FDataField = fieldName;
  LoadField();
}

TField* TQELDBRichEdit::Field() const {
  TDataSet* dataSet = FLink->Active() ? FLink->DataSet() : nullptr;
  return dataSet != nullptr && !FDataField.empty() ? dataSet->FindField(FDataField) : nullptr;
}

void TQELDBRichEdit::LoadField() {
  // Putting the dataset in edit state rereads the record; the text being
  // typed must survive that.
  if (FStartingEdit) return;
  QScopedValueRollback<bool> loading(FLoading, true);
  TField* field = Field();
  // Without a record there is nothing to read, and asking a dataset for a
  // BLOB then makes it refresh itself, even in the middle of opening.
  const bool hasRecord = field != nullptr && field->DataSet().ActiveBuffer() != nullptr;
  const std::string value = hasRecord ? field->AsString() : std::string();
  FStoredAsRtf = TQELRtfReader::IsRtf(value);
  QELLoadRtfMemo(value, *document());
  document()->setModified(false);
  FModified = false;
}

void TQELDBRichEdit::ContentsChanged() {
  if (FLoading || isReadOnly()) return;
  if (!FLink->Editing()) {
    bool editing = false;
    {
      QScopedValueRollback<bool> starting(FStartingEdit, true);
      try {
        editing = FLink->Edit();
      } catch (const std::exception& error) {
        QELPrompt().ShowMessage(mkError, error.what());
      }
    }
    if (!editing) {
      // The dataset refuses changes: the box keeps showing what it holds.
      LoadField();
      return;
    }
  }
  FModified = true;
}

void TQELDBRichEdit::StoreField() {
  TField* field = Field();
  if (!FModified || field == nullptr) return;
  if (document()->isEmpty()) {
    field->Clear();
  } else if (FStoredAsRtf) {
    field->SetAsString(TQELRtfWriter::Write(RtfDocumentOf(*document())));
  } else {
    field->SetAsString(toPlainText().toStdString());
  }
  FModified = false;
}

void TQELDBRichEdit::mouseReleaseEvent(QMouseEvent* event) {
  QTextEdit::mouseReleaseEvent(event);
  emit MouseUp(event->button(), event->modifiers(), event->position().toPoint());
}

}  // namespace qel
