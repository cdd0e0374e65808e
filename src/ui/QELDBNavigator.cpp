#include "ui/QELDBNavigator.h"

#include <QHBoxLayout>
#include <QToolButton>

#include <exception>

#include "components/QELPrompt.h"
#include "components/db/QELDataSet.h"

namespace qel {

class TQELDBNavigatorLink : public TDataLink {
 public:
  explicit TQELDBNavigatorLink(TQELDBNavigator& navigator) : FNavigator(navigator) {}

 protected:
  void ActiveChanged() override { FNavigator.UpdateButtons(); }
  void DataSetChanged() override { FNavigator.UpdateButtons(); }
  void DataSetScrolled(std::int32_t /*distance*/) override { FNavigator.UpdateButtons(); }
  void EditingChanged() override { FNavigator.UpdateButtons(); }

 private:
  TQELDBNavigator& FNavigator;
};

namespace {

struct TButtonLook {
  const char* Text;
  const char* Hint;
};

constexpr std::array<TButtonLook, nbCount> kLooks = {{
    {"|<", "First record"},
    {"<", "Prior record"},
    {">", "Next record"},
    {">|", "Last record"},
    {"+", "Insert record"},
    {"-", "Delete record"},
    {"^", "Edit record"},
    {"\u2713", "Post edit"},
    {"x", "Cancel edit"},
    {"\u21bb", "Refresh data"},
}};

}  // namespace

TQELDBNavigator::TQELDBNavigator(QWidget* parent)
    : QWidget(parent), FLink(std::make_unique<TQELDBNavigatorLink>(*this)) {
  auto* layout = new QHBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  for (int i = 0; i < nbCount; ++i) {
    auto* button = new QToolButton(this);
    button->setText(QString::fromUtf8(kLooks[static_cast<std::size_t>(i)].Text));
    button->setToolTip(QString::fromUtf8(kLooks[static_cast<std::size_t>(i)].Hint));
    button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    const auto which = static_cast<TQELNavigateButton>(i);
    connect(button, &QToolButton::clicked, this, [this, which] { Click(which); });
    layout->addWidget(button);
    FButtons[static_cast<std::size_t>(i)] = button;
  }
  SetVisibleButtons(FVisible);
}

TQELDBNavigator::~TQELDBNavigator() = default;

TDataSource* TQELDBNavigator::DataSource() const { return FLink->DataSource(); }

void TQELDBNavigator::SetDataSource(TDataSource* source) {
  FLink->SetDataSource(source);
  UpdateButtons();
}

void TQELDBNavigator::SetVisibleButtons(TQELNavigateButtons buttons) {
  FVisible = buttons & kQELNavigateAll;
  for (int i = 0; i < nbCount; ++i) {
    const bool shown = (FVisible & NavigateButton(static_cast<TQELNavigateButton>(i))) != 0;
    FButtons[static_cast<std::size_t>(i)]->setVisible(shown);
  }
  UpdateButtons();
}

bool TQELDBNavigator::CanRun(TQELNavigateButton button) const {
  TDataSet* dataSet = FLink->Active() ? FLink->DataSet() : nullptr;
  if (dataSet == nullptr) return false;
  const bool editing = FLink->Editing();
  switch (button) {
    case nbFirst:
    case nbPrior:
      return !dataSet->Bof();
    case nbNext:
    case nbLast:
      return !dataSet->Eof();
    case nbInsert:
      return !editing && dataSet->CanModify();
    case nbEdit:
      return !editing && dataSet->CanModify() && !dataSet->IsEmpty();
    case nbDelete:
      return !editing && dataSet->CanModify() && !dataSet->IsEmpty();
    case nbPost:
    case nbCancel:
      return editing;
    case nbRefresh:
      return !editing;
    case nbCount:
      break;
  }
  return false;
}

void TQELDBNavigator::UpdateButtons() {
  for (int i = 0; i < nbCount; ++i) {
    const auto which = static_cast<TQELNavigateButton>(i);
    FButtons[static_cast<std::size_t>(i)]->setEnabled(CanRun(which));
  }
}

void TQELDBNavigator::Click(TQELNavigateButton button) {
  if (!CanRun(button)) return;
  TDataSet& dataSet = *FLink->DataSet();
  try {
    switch (button) {
      case nbFirst: dataSet.First(); break;
      case nbPrior: dataSet.Prior(); break;
      case nbNext: dataSet.Next(); break;
      case nbLast: dataSet.Last(); break;
      case nbInsert: dataSet.Insert(); break;
      case nbEdit: dataSet.Edit(); break;
      case nbPost: dataSet.Post(); break;
      case nbCancel: dataSet.Cancel(); break;
      case nbRefresh: dataSet.Refresh(); break;
      case nbDelete:
        if (!ConfirmDelete || QELPrompt().Confirm("Delete record?")) dataSet.Delete();
        break;
      case nbCount: break;
    }
  } catch (const std::exception& error) {
    QELPrompt().ShowMessage(mkError, error.what());
  }
  // A failed action may have changed the state without an event.
  UpdateButtons();
}

}  // namespace qel
