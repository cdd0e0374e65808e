#include "app/QELKuvoWindow.h"

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>

#include "app/QELKuvoSearch.h"
#include "ui/QELDBGrid.h"
#include "ui/QELDBNavigator.h"
#include "ui/QELDBRichEdit.h"

namespace qel {

namespace {

constexpr const char* kDatabaseName = "kuvo";
constexpr const char* kPassword = "kelpTideOverSand1984";
constexpr const char* kTitle = "KUVO 2.0 Versi Demo";
constexpr const char* kNotFound = "Istilah yang dicari tidak ditemukan.";

// The indexes of the mode box's items.
constexpr int kModeAll = 0;
constexpr int kModeEqual = 1;
constexpr int kModeLike = 2;
constexpr int kModeIn = 3;

std::string Utf8(const QString& text) { return text.toUtf8().toStdString(); }
QString FromUtf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

// The selection as plain text, its paragraph and line separators as line
// ends (so that trimming sees them).
std::string SelectedText(const QTextCursor& cursor) {
  QString text = cursor.selectedText();
  text.replace(QChar(0x2029), QLatin1Char('\n'));
  text.replace(QChar(0x2028), QLatin1Char('\n'));
  return Utf8(text);
}

// Whether every character of the selection is bold and nothing else
// (bold with italic, underline or strike-out does not count).
bool SelectionIsBoldAlone(const QTextCursor& cursor) {
  const int start = cursor.selectionStart();
  const int end = cursor.selectionEnd();
  if (start == end) return false;
  for (QTextBlock block = cursor.document()->findBlock(start); block.isValid() && block.position() < end;
       block = block.next()) {
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      const QTextFragment fragment = it.fragment();
      const int from = fragment.position();
      const int to = from + fragment.length();
      if (to <= start || from >= end) continue;
      const QTextCharFormat format = fragment.charFormat();
      if (format.fontWeight() < QFont::Bold || format.fontItalic() || format.fontUnderline() ||
          format.fontStrikeOut()) {
        return false;
      }
    }
  }
  return true;
}

QLabel* Label(const QString& text, QWidget* page, int x, int y, int width = 120) {
  auto* label = new QLabel(text, page);
  label->setGeometry(x, y, width, 15);
  return label;
}

TQELDBRichEdit* RichBox(QWidget* page, TDataSource& source, const char* field, QRect geometry) {
  auto* box = new TQELDBRichEdit(page);
  box->SetDataSource(&source);
  box->SetDataField(field);
  box->setReadOnly(true);
  box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  box->setGeometry(geometry);
  return box;
}

}  // namespace

TFKuvo::TFKuvo(const std::string& directory, QWidget* parent) : QWidget(parent) {
  setWindowTitle(kTitle);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(632, 466);

  dbKuvo = std::make_unique<TQELDatabase>();
  dbKuvo->SetDatabaseName(kDatabaseName);
  dbKuvo->SetDatabaseFileName(Utf8(QDir(FromUtf8(directory)).absoluteFilePath(QStringLiteral("kuvo.qel"))));
  dbKuvo->SetPassword(kPassword);
  dbKuvo->SetReadOnly(true);
  dbKuvo->SetExclusive(false);
  dbKuvo->SetMultiUser(false);
  dbKuvo->SetMaxConnections(1);
  dbKuvo->SetSessionName("Default");
  dbKuvo->SetConnected(true);

  for (TQELQuery* query : {&sqlKuvo, &sqlKuvoSub}) {
    query->SetDatabaseName(kDatabaseName);
    query->SetReadOnly(true);
    query->SetSQLText("select * from tblKuvo");
  }
  dsKuvo.SetDataSet(&sqlKuvo);
  dsKuvoSub.SetDataSet(&sqlKuvoSub);
  dsKuvoSub.AutoEdit = false;

  pcKUVO = new QTabWidget(this);
  pcKUVO->setTabPosition(QTabWidget::South);
  pcKUVO->setGeometry(0, 0, 632, 466);
  auto* search = new QWidget;
  auto* follow = new QWidget;
  pcKUVO->addTab(search, QStringLiteral("CARI"));
  pcKUVO->addTab(follow, QStringLiteral("SUB CARI"));
  BuildSearchPage(search);
  BuildFollowPage(follow);
  pcKUVO->setCurrentIndex(0);

  if (const QScreen* screen = this->screen()) move(screen->availableGeometry().center() - rect().center());
}

TFKuvo::~TFKuvo() {
  // The widgets' links go before the sources and queries they watch.
  delete pcKUVO;
  pcKUVO = nullptr;
  try {
    sqlKuvo.Close();
    sqlKuvoSub.Close();
  } catch (...) {
  }
}

void TFKuvo::BuildSearchPage(QWidget* page) {
  auto* title = new QLabel(QStringLiteral("KUVO \u2014 Kamus Istilah Komputer dan Informatika"), page);
  QFont heading = title->font();
  heading.setBold(true);
  heading.setPixelSize(14);
  title->setFont(heading);
  title->setGeometry(8, 6, 610, 20);

  Label(QStringLiteral("Cari"), page, 8, 34);
  txCari = new QLineEdit(page);
  txCari->setGeometry(8, 50, 190, 22);
  txCari->installEventFilter(this);
  connect(txCari, &QLineEdit::textChanged, this, [this] { Guarded([this] { txCariChange(); }); });
  btnCari = new QPushButton(QStringLiteral("Cari"), page);
  btnCari->setGeometry(204, 49, 70, 24);
  connect(btnCari, &QPushButton::clicked, this, [this] { Guarded([this] { btnCariClick(); }); });

  cbxMode = new QComboBox(page);
  cbxMode->setEditable(true);
  cbxMode->addItems({QStringLiteral("All"), QStringLiteral("Equal"), QStringLiteral("Like"), QStringLiteral("In")});
  cbxMode->setCurrentIndex(kModeEqual);
  cbxMode->setGeometry(8, 80, 120, 22);
  connect(cbxMode, &QComboBox::activated, this, [this] { Guarded([this] { cbxModeChange(); }); });
  connect(cbxMode->lineEdit(), &QLineEdit::textEdited, this, [this] { Guarded([this] { cbxModeChange(); }); });

  Label(QStringLiteral("Urut"), page, 146, 84, 30);
  cbxAbjad = new QComboBox(page);
  cbxAbjad->setEditable(true);
  cbxAbjad->addItem(QStringLiteral("-"));
  for (char letter = 'a'; letter <= 'z'; ++letter) cbxAbjad->addItem(QString(QLatin1Char(letter)));
  cbxAbjad->setGeometry(178, 80, 96, 22);
  connect(cbxAbjad, &QComboBox::activated, this, [this] { Guarded([this] { cbxAbjadChange(); }); });
  connect(cbxAbjad->lineEdit(), &QLineEdit::textEdited, this, [this] { Guarded([this] { cbxAbjadChange(); }); });

  Label(QStringLiteral("Istilah"), page, 8, 110);
  lstIstilah = new TQELDBGrid(page);
  lstIstilah->SetDataSource(&dsKuvo);
  lstIstilah->SetColumns({"ISTILAH"});
  lstIstilah->horizontalHeader()->hide();
  lstIstilah->horizontalHeader()->setStretchLastSection(true);
  lstIstilah->verticalHeader()->hide();
  lstIstilah->setShowGrid(false);
  lstIstilah->verticalHeader()->setDefaultSectionSize(lstIstilah->fontMetrics().height() + 4);
  lstIstilah->setGeometry(8, 126, 266, 250);
  lstIstilah->setContextMenuPolicy(Qt::CustomContextMenu);
  pmInput = new QMenu(this);
  mInput = pmInput->addAction(QStringLiteral("Input"));
  connect(mInput, &QAction::triggered, this, [this] { Guarded([this] { mInputClick(); }); });
  connect(lstIstilah, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    PrepareInputPopup();
    pmInput->popup(lstIstilah->viewport()->mapToGlobal(at));
  });

  dbNavi = new TQELDBNavigator(page);
  dbNavi->SetDataSource(&dsKuvo);
  dbNavi->setCursor(Qt::PointingHandCursor);
  dbNavi->setGeometry(8, 382, 266, 24);
  lblRecCount = new QLabel(QStringLiteral("Istilah: 0"), page);
  lblRecCount->setAlignment(Qt::AlignCenter);
  lblRecCount->setGeometry(8, 412, 266, 16);

  Label(QStringLiteral("Deskripsi"), page, 290, 34);
  txDeskripsi = RichBox(page, dsKuvo, "DESKRIPSI", QRect(290, 50, 328, 204));
  connect(txDeskripsi, &TQELDBRichEdit::MouseUp, this, [this] { Guarded([this] { txDeskripsiMouseUp(); }); });
  Label(QStringLiteral("Catatan"), page, 290, 260);
  txCatatan = RichBox(page, dsKuvo, "CATATAN", QRect(290, 276, 328, 152));
}

void TFKuvo::BuildFollowPage(QWidget* page) {
  Label(QStringLiteral("Istilah"), page, 8, 8);
  lstSubIstilah = new QListWidget(page);
  lstSubIstilah->setGeometry(8, 24, 266, 404);
  lstSubIstilah->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lstSubIstilah, &QListWidget::itemClicked, this, [this] { Guarded([this] { lstSubIstilahClick(); }); });
  pmHapus = new QMenu(this);
  mHapus = pmHapus->addAction(QStringLiteral("Hapus"));
  connect(mHapus, &QAction::triggered, this, [this] { Guarded([this] { mHapusClick(); }); });
  connect(lstSubIstilah, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    PrepareHapusPopup();
    pmHapus->popup(lstSubIstilah->viewport()->mapToGlobal(at));
  });
  Label(QStringLiteral("Deskripsi"), page, 290, 8);
  txSubDeskripsi = RichBox(page, dsKuvoSub, "DESKRIPSI", QRect(290, 24, 328, 226));
  connect(txSubDeskripsi, &TQELDBRichEdit::MouseUp, this, [this] { Guarded([this] { txSubDeskripsiMouseUp(); }); });
  Label(QStringLiteral("Catatan"), page, 290, 256);
  txSubCatatan = RichBox(page, dsKuvoSub, "CATATAN", QRect(290, 272, 328, 156));
}

// ---- operations

template <class THandler>
void TFKuvo::Guarded(THandler&& handler) {
  try {
    handler();
  } catch (const std::exception& error) {
    if (QuietMessages) {
      FLastMessage = QString::fromUtf8(error.what());
    } else {
      QMessageBox::critical(this, QStringLiteral("KUVO"), QString::fromUtf8(error.what()));
    }
  }
}

void TFKuvo::Inform(const QString& text) {
  FLastMessage = text;
  if (!QuietMessages) QMessageBox::information(this, QStringLiteral("KUVO"), text);
}

void TFKuvo::OpenQuery(const std::string& sql) {
  sqlKuvo.Close();
  sqlKuvo.SetSQLText(sql);
  sqlKuvo.Open();
  lblRecCount->setText(QStringLiteral("Istilah: ") + QString::number(sqlKuvo.RecordCount()));
}

void TFKuvo::DoSearch(const std::string& mode) {
  const std::string sql = kuvo::SearchStatement(mode, Utf8(txCari->text()), Utf8(cbxAbjad->currentText()));
  if (!sql.empty()) OpenQuery(sql);
  if (sqlKuvo.RecordCount() == 0) Inform(QString::fromUtf8(kNotFound));
}

void TFKuvo::SelectSearchText() {
  txCari->setFocus();
  txCari->setSelection(0, static_cast<int>(txCari->text().size()));
}

void TFKuvo::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  txCari->setFocus();
}

// ---- the search box

void TFKuvo::txCariChange() {
  if (txCari->text().isEmpty()) {
    sqlKuvo.Close();
    cbxMode->setCurrentIndex(kModeEqual);
    lblRecCount->setText(QStringLiteral("Istilah: 0"));
  }
  if (cbxMode->currentText() == QStringLiteral("All")) cbxMode->setCurrentIndex(kModeEqual);
}

bool TFKuvo::eventFilter(QObject* watched, QEvent* event) {
  if (watched != txCari || event->type() != QEvent::KeyPress) return QWidget::eventFilter(watched, event);
  auto* key = static_cast<QKeyEvent*>(event);
  bool used = false;
  Guarded([&] { used = txCariKeyDown(key->key(), key->modifiers()); });
  if (used) return true;
  Guarded([&] { used = txCariKeyPress(key->text()); });
  return used;
}

bool TFKuvo::txCariKeyDown(int key, Qt::KeyboardModifiers modifiers) {
  const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
  if (enter) {
    if (txCari->text().isEmpty()) return true;
    DoSearch(Utf8(cbxMode->currentText()));
    SelectSearchText();
  }
  if ((modifiers & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) !=
      Qt::ControlModifier) {
    return enter;
  }
  const int mode = key == Qt::Key_E ? kModeEqual : key == Qt::Key_L ? kModeLike : key == Qt::Key_W ? kModeAll : -1;
  if (mode >= 0) {
    cbxMode->setCurrentIndex(mode);
    cbxModeChange();
  }
  SelectSearchText();
  return true;
}

bool TFKuvo::txCariKeyPress(const QString& text) {
  if (text.isEmpty() || !text.at(0).isPrint()) return false;
  if (text == QStringLiteral(" ") && txCari->text().isEmpty()) return true;
  if (text == QStringLiteral(",") && !txCari->text().isEmpty()) cbxMode->setCurrentIndex(kModeIn);
  // Typed letters go in lower case.
  const QString lower = text.toLower();
  if (lower == text) return false;
  txCari->insert(lower);
  return true;
}

void TFKuvo::btnCariClick() {
  if (txCari->text().isEmpty()) return;
  DoSearch(Utf8(cbxMode->currentText()));
  SelectSearchText();
}

// ---- the mode and letter boxes

void TFKuvo::cbxModeChange() {
  if (cbxMode->currentIndex() == kModeAll && cbxMode->currentText() == QStringLiteral("All")) {
    DoSearch(Utf8(cbxMode->currentText()));
  }
  const QString text = txCari->text();
  if (!text.isEmpty() && !text.contains(QLatin1Char(','))) {
    const int index = cbxMode->currentIndex();
    if ((index == kModeEqual || index == kModeLike) && cbxMode->currentText() == cbxMode->itemText(index)) {
      DoSearch(Utf8(cbxMode->currentText()));
    }
    SelectSearchText();
  }
  txCari->setFocus();
}

void TFKuvo::cbxAbjadChange() {
  const QString letter = cbxAbjad->currentText();
  if (!letter.isEmpty() && letter != QStringLiteral("-")) {
    txCari->clear();
    DoSearch("Sort");
    return;
  }
  sqlKuvo.Close();
  lblRecCount->setText(QStringLiteral("Istilah: 0"));
  txCari->clear();
  cbxMode->setCurrentIndex(kModeEqual);
}

// ---- the popups

void TFKuvo::PrepareInputPopup() { mInput->setEnabled(sqlKuvo.RecordCount() != 0); }

void TFKuvo::PrepareHapusPopup() { mHapus->setEnabled(lstSubIstilah->count() > 0); }

void TFKuvo::mInputClick() {
  // Nothing to take from an empty or closed result.
  if (!sqlKuvo.Active() || sqlKuvo.RecordCount() == 0) return;
  const QString term = FromUtf8(sqlKuvo.FieldByName("ISTILAH").AsString());
  if (txCari->text().isEmpty()) {
    txCari->setText(term);
  } else {
    txCari->setText(txCari->text() + QStringLiteral(", ") + term);
    cbxMode->setCurrentIndex(kModeIn);
  }
  SelectSearchText();
}

void TFKuvo::mHapusClick() {
  lstSubIstilah->clear();
  sqlKuvoSub.Close();
  pcKUVO->setCurrentIndex(0);
}

// ---- following words

bool TFKuvo::OpenFollowed(const std::string& word) {
  sqlKuvoSub.Close();
  sqlKuvoSub.SetSQLText(kuvo::EntryStatement(word));
  sqlKuvoSub.Open();
  if (sqlKuvoSub.RecordCount() != 0) return true;
  Inform(QStringLiteral("Istilah '") + FromUtf8(word) + QStringLiteral("' tidak ditemukan."));
  return false;
}

void TFKuvo::SelectFollowed(const QString& word, bool last) {
  if (last) {
    lstSubIstilah->setCurrentRow(lstSubIstilah->count() - 1);
    return;
  }
  for (int i = 0; i < lstSubIstilah->count(); ++i) {
    if (lstSubIstilah->item(i)->text() == word) {
      lstSubIstilah->setCurrentRow(i);
      return;
    }
  }
}

void TFKuvo::txDeskripsiMouseUp() {
  QTextCursor cursor = txDeskripsi->textCursor();
  if (!cursor.hasSelection() || !SelectionIsBoldAlone(cursor)) return;
  const std::string word = kuvo::FollowKey(SelectedText(cursor));
  if (!OpenFollowed(word)) return;
  const QString item = FromUtf8(word);
  lstSubIstilah->addItem(item);
  SelectFollowed(item, false);
  cursor.clearSelection();
  txDeskripsi->setTextCursor(cursor);
  pcKUVO->setCurrentIndex(1);
}

void TFKuvo::txSubDeskripsiMouseUp() {
  const QTextCursor cursor = txSubDeskripsi->textCursor();
  if (!cursor.hasSelection()) return;
  const std::string word = kuvo::FollowKey(SelectedText(cursor));
  if (!OpenFollowed(word)) {
    lstSubIstilahClick();
    return;
  }
  const QString item = FromUtf8(word);
  if (lstSubIstilah->findItems(item, Qt::MatchExactly).isEmpty()) {
    lstSubIstilah->addItem(item);
    SelectFollowed(item, true);
  } else {
    SelectFollowed(item, false);
  }
}

void TFKuvo::lstSubIstilahClick() {
  // Without a selected word there is nothing to show.
  const QListWidgetItem* item = lstSubIstilah->currentItem();
  if (item == nullptr) return;
  sqlKuvoSub.Close();
  sqlKuvoSub.SetSQLText(kuvo::EntryStatement(Utf8(item->text())));
  sqlKuvoSub.Open();
}

}  // namespace qel
