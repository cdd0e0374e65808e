#pragma once
// TFKuvo: the glossary window. Page "CARI" searches the glossary table with
// the mode and letter boxes and shows the found terms in a grid with the
// selected term's description and notes; page "SUB CARI" shows the entries
// of the words followed from a description, with the list of every word
// followed so far. All it does with the database is to give one of its two
// queries a new SELECT and open it again.
//
// Every handler runs behind a guard: an error shows its text in a message
// box and leaves the window as it was, never unwinding through Qt.

#include <QWidget>
#include <memory>
#include <string>

#include "components/QELDatabase.h"
#include "components/QELQuery.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMenu;
class QAction;
class QPushButton;
class QTabWidget;

namespace qel {

class TQELDBGrid;
class TQELDBNavigator;
class TQELDBRichEdit;

class TFKuvo : public QWidget {
  Q_OBJECT

 public:
  // Connects the glossary database ("kuvo.qel" in `directory`); a failure
  // raises, and the program ends after showing it.
  explicit TFKuvo(const std::string& directory, QWidget* parent = nullptr);
  ~TFKuvo() override;

  // For tests and for the screenshots of the real window.
  QLineEdit* SearchBox() const { return txCari; }
  QComboBox* ModeBox() const { return cbxMode; }
  QComboBox* LetterBox() const { return cbxAbjad; }
  QPushButton* SearchButton() const { return btnCari; }
  QLabel* CountLabel() const { return lblRecCount; }
  TQELDBGrid* TermGrid() const { return lstIstilah; }
  TQELDBRichEdit* Description() const { return txDeskripsi; }
  TQELDBRichEdit* Notes() const { return txCatatan; }
  TQELDBRichEdit* SubDescription() const { return txSubDeskripsi; }
  QListWidget* FollowedList() const { return lstSubIstilah; }
  QTabWidget* Pages() const { return pcKUVO; }
  TQELQuery& SearchQuery() { return sqlKuvo; }
  TQELQuery& FollowQuery() { return sqlKuvoSub; }
  QAction* InputAction() const { return mInput; }
  QAction* HapusAction() const { return mHapus; }
  // The popups' enabling, as opening them does.
  void PrepareInputPopup();
  void PrepareHapusPopup();
  // The last information message shown (tests read it instead of a box).
  const QString& LastMessage() const { return FLastMessage; }
  // Messages go to LastMessage only, without a box (tests).
  bool QuietMessages = false;

  // The handlers, public so that tests and the event wiring share them.
  void txCariChange();
  void cbxModeChange();
  void cbxAbjadChange();
  void btnCariClick();
  void mInputClick();
  void mHapusClick();
  void txDeskripsiMouseUp();
  void txSubDeskripsiMouseUp();
  void lstSubIstilahClick();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void BuildSearchPage(QWidget* page);
  void BuildFollowPage(QWidget* page);
  void OpenQuery(const std::string& sql);
  void DoSearch(const std::string& mode);
  void SelectSearchText();
  void Inform(const QString& text);
  // Runs `handler`; an error is shown, not thrown on.
  template <class THandler>
  void Guarded(THandler&& handler);
  // Key handling of the search box; true when the key is used up.
  bool txCariKeyDown(int key, Qt::KeyboardModifiers modifiers);
  bool txCariKeyPress(const QString& text);
  // The followed word's entry in the follow-up query; true when found.
  bool OpenFollowed(const std::string& word);
  void SelectFollowed(const QString& word, bool last);

  std::unique_ptr<TQELDatabase> dbKuvo;
  TQELQuery sqlKuvo;
  TQELQuery sqlKuvoSub;
  TDataSource dsKuvo;
  TDataSource dsKuvoSub;

  QTabWidget* pcKUVO = nullptr;
  QLineEdit* txCari = nullptr;
  QPushButton* btnCari = nullptr;
  QComboBox* cbxMode = nullptr;
  QComboBox* cbxAbjad = nullptr;
  TQELDBGrid* lstIstilah = nullptr;
  TQELDBNavigator* dbNavi = nullptr;
  QLabel* lblRecCount = nullptr;
  TQELDBRichEdit* txDeskripsi = nullptr;
  TQELDBRichEdit* txCatatan = nullptr;
  TQELDBRichEdit* txSubDeskripsi = nullptr;
  TQELDBRichEdit* txSubCatatan = nullptr;
  QListWidget* lstSubIstilah = nullptr;
  QMenu* pmInput = nullptr;
  QMenu* pmHapus = nullptr;
  QAction* mInput = nullptr;
  QAction* mHapus = nullptr;
  QString FLastMessage;
};

}  // namespace qel
