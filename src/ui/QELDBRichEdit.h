#pragma once
// TQELDBRichEdit: a rich-text box bound to a memo field of a dataset. It
// shows the current record's value (RTF as rich text, any other text as
// plain text, NULL or a closed dataset as nothing) and follows every move
// and change of the record. Unless read-only, typing puts the dataset in
// edit state, and posting stores the box's text back: as RTF when the
// stored value was RTF, else as plain text (an emptied box stores NULL).
// MouseUp tells the owner a button was released over the box; the
// selection and its format are the box's own to read.

#include <QTextEdit>

#include <memory>
#include <string>

namespace qel {

class TDataSource;
class TField;
class TQELDBRichEditLink;

class TQELDBRichEdit : public QTextEdit {
  Q_OBJECT

 public:
  explicit TQELDBRichEdit(QWidget* parent = nullptr);
  ~TQELDBRichEdit() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  const std::string& DataField() const { return FDataField; }
  void SetDataField(const std::string& fieldName);
  // The bound field while the dataset is open and has it, else null.
  TField* Field() const;

 signals:
  void MouseUp(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, const QPoint& position);

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  friend class TQELDBRichEditLink;

  void LoadField();
  void StoreField();
  void ContentsChanged();

  std::unique_ptr<TQELDBRichEditLink> FLink;
  std::string FDataField;
  bool FLoading = false;
  bool FStartingEdit = false;
  bool FModified = false;
  bool FStoredAsRtf = false;
};

}  // namespace qel
