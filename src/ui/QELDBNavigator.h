#pragma once
// TQELDBNavigator: a row of buttons that move through a dataset and, when
// asked for, edit it. Each button is enabled when its action can run in the
// dataset's present state: the moves backwards not at the beginning, the
// moves forwards not at the end, Edit, Insert and Delete on a dataset that
// can be changed and is not being edited (Delete not on an empty one), Post
// and Cancel while editing, Refresh while browsing; none on a closed
// dataset. What an action raises is shown through the prompt interface.

#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class QToolButton;

namespace qel {

class TDataSource;
class TQELDBNavigatorLink;

enum TQELNavigateButton : std::uint8_t {
  nbFirst,
  nbPrior,
  nbNext,
  nbLast,
  nbInsert,
  nbDelete,
  nbEdit,
  nbPost,
  nbCancel,
  nbRefresh,
  nbCount,
};

// A set of buttons, one bit per TQELNavigateButton.
using TQELNavigateButtons = std::uint16_t;
inline constexpr TQELNavigateButtons NavigateButton(TQELNavigateButton button) {
  return static_cast<TQELNavigateButtons>(1u << button);
}
inline constexpr TQELNavigateButtons kQELNavigateMoves =
    NavigateButton(nbFirst) | NavigateButton(nbPrior) | NavigateButton(nbNext) | NavigateButton(nbLast);
inline constexpr TQELNavigateButtons kQELNavigateAll = (1u << nbCount) - 1;

class TQELDBNavigator : public QWidget {
  Q_OBJECT

 public:
  explicit TQELDBNavigator(QWidget* parent = nullptr);
  ~TQELDBNavigator() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  TQELNavigateButtons VisibleButtons() const { return FVisible; }
  void SetVisibleButtons(TQELNavigateButtons buttons);
  // Delete asks the user first.
  bool ConfirmDelete = true;

  QToolButton* Button(TQELNavigateButton button) const { return FButtons.at(button); }
  // Runs the button's action as a click does.
  void Click(TQELNavigateButton button);

 private:
  friend class TQELDBNavigatorLink;

  void UpdateButtons();
  bool CanRun(TQELNavigateButton button) const;

  std::unique_ptr<TQELDBNavigatorLink> FLink;
  std::array<QToolButton*, nbCount> FButtons{};
  TQELNavigateButtons FVisible = kQELNavigateMoves;
};

}  // namespace qel
