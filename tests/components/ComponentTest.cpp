// The component base: owners free what they own, free notifications reach
// only living components, the loaded step applies stored settings last; and
// the components' database error and default prompt; names told apart
// without regard to case.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/QELDatabase.h"
#include "components/QELPrompt.h"
#include "components/db/QELComponent.h"
#include "components/db/QELDatabaseError.h"
#include "components/db/QELSameText.h"

namespace qel {
namespace {

// Records what happens to it in a shared log.
class TProbe : public TQELComponent {
 public:
  TProbe(std::vector<std::string>& log, std::string name) : FLog(log) { SetName(std::move(name)); }
  ~TProbe() override { FLog.push_back("free " + Name()); }

  // A setting that opens something: only stored while loading.
  void SetOpen(bool open) {
    if (IsLoading()) {
      FStreamedOpen = open;
    } else if (open) {
      if (FailToOpen) throw std::runtime_error("cannot open " + Name());
      FLog.push_back("open " + Name() + " with " + Setting);
    }
  }
  std::string Setting;
  bool FailToOpen = false;
  std::vector<std::pair<const TQELComponent*, TQELOperation>> Heard;

 protected:
  void Loaded() override {
    FLog.push_back("loaded " + Name());
    if (FStreamedOpen) SetOpen(true);
  }
  void Notification(TQELComponent* component, TQELOperation operation) override {
    Heard.emplace_back(component, operation);
  }

 private:
  std::vector<std::string>& FLog;
  bool FStreamedOpen = false;
};

TEST(ComponentTest, AnOwnerFreesWhatItOwnsLastFirstAndGivesUpWhatIsRemoved) {
  std::vector<std::string> log;
  auto form = std::make_unique<TProbe>(log, "form");
  form->CreateComponent<TProbe>(log, "a");
  TProbe* b = form->CreateComponent<TProbe>(log, "b");
  TProbe* c = form->CreateComponent<TProbe>(log, "c");
  c->CreateComponent<TProbe>(log, "c1");
  EXPECT_EQ(b->Owner(), form.get());
  EXPECT_EQ(form->FindComponent("c"), c);

  std::unique_ptr<TQELComponent> removed = form->RemoveComponent(b);
  ASSERT_EQ(removed.get(), b);
  EXPECT_EQ(b->Owner(), nullptr);
  EXPECT_EQ(form->ComponentCount(), 2U);
  EXPECT_EQ(form->RemoveComponent(b), nullptr);

  // Each component's own destructor runs before what it owns is freed.
  form.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"free form", "free c", "free c1", "free a"}));
  removed.reset();
  EXPECT_EQ(log.back(), "free b");
}

TEST(ComponentTest, InsertionAndRemovalAreToldToTheOwnersComponents) {
  std::vector<std::string> log;
  TProbe form(log, "form");
  TProbe* a = form.CreateComponent<TProbe>(log, "a");
  TProbe* b = form.CreateComponent<TProbe>(log, "b");
  ASSERT_EQ(a->Heard.size(), 1U);  // b; a is not told of itself
  EXPECT_EQ(a->Heard[0].first, b);
  EXPECT_EQ(a->Heard[0].second, opInsert);
  form.FreeComponent(b);
  EXPECT_EQ(a->Heard.back().first, b);
  EXPECT_EQ(a->Heard.back().second, opRemove);
  EXPECT_EQ(log.back(), "free b");
}

TEST(ComponentTest, FreeNotificationsReachOnlyComponentsThatAreStillAlive) {
  std::vector<std::string> log;
  auto source = std::make_unique<TProbe>(log, "source");
  auto listener = std::make_unique<TProbe>(log, "listener");
  auto early = std::make_unique<TProbe>(log, "early");
  source->FreeNotification(listener.get());
  source->FreeNotification(early.get());
  source->FreeNotification(listener.get());  // asked twice, told once

  early.reset();  // gone first: source must forget it
  const TQELComponent* sourcePointer = source.get();
  source.reset();
  ASSERT_EQ(listener->Heard.size(), 1U);
  EXPECT_EQ(listener->Heard[0].first, sourcePointer);
  EXPECT_EQ(listener->Heard[0].second, opRemove);

  auto other = std::make_unique<TProbe>(log, "other");
  other->FreeNotification(listener.get());
  other->RemoveFreeNotification(listener.get());
  other.reset();
  EXPECT_EQ(listener->Heard.size(), 1U);
}

TEST(ComponentTest, LoadingStoresOpeningSettingsAndAppliesThemAfterEverySetting) {
  std::vector<std::string> log;
  TProbe form(log, "form");
  form.BeginLoading();
  TProbe* a = form.CreateComponent<TProbe>(log, "a");
  EXPECT_TRUE(a->IsLoading());  // inserted while loading
  a->SetOpen(true);
  a->Setting = "late setting";  // read after Connected, still applied before it
  TProbe* b = form.CreateComponent<TProbe>(log, "b");
  b->SetOpen(true);
  b->FailToOpen = true;
  TProbe* c = form.CreateComponent<TProbe>(log, "c");
  c->SetOpen(true);
  c->Setting = "x";
  EXPECT_TRUE(log.empty());

  // b fails; c still gets its step, and b's error comes out at the end.
  EXPECT_THROW(form.EndLoading(), std::runtime_error);
  EXPECT_EQ(log, (std::vector<std::string>{"loaded form", "loaded a", "open a with late setting", "loaded b",
                                           "loaded c", "open c with x"}));
  EXPECT_FALSE(a->IsLoading());
  EXPECT_FALSE(form.IsLoading());
}

TEST(DatabaseErrorTest, NamesTheComponentWhenItHasAName) {
  std::vector<std::string> log;
  TProbe named(log, "db");
  TProbe unnamed(log, "");
  auto message = [](auto&& raise) {
    try {
      raise();
    } catch (const EDatabaseError& error) {
      return std::string(error.what());
    }
    return std::string("no error");
  };
  EXPECT_EQ(message([&] { DatabaseError("Database name missing", &named); }), "db: Database name missing");
  EXPECT_EQ(message([&] { DatabaseError("Database name missing", &unnamed); }), "Database name missing");
  EXPECT_EQ(message([&] { DatabaseError("Database name missing"); }), "Database name missing");
  EXPECT_EQ(message([&] { DatabaseErrorFmt("Duplicate database name '%s'", {"KUVO"}, &named); }),
            "db: Duplicate database name 'KUVO'");
  // A file name with a conversion in it is text, not format.
  EXPECT_EQ(message([&] { DatabaseErrorFmt("Database file '%s' does not exist", {"%d.qel"}, &unnamed); }),
            "Database file '%d.qel' does not exist");
  EXPECT_EQ(message([&] { DatabaseErrorFmt("Bad %d", {"text"}, &unnamed); }), "Bad %d");
}

TEST(PromptTest, WithoutAUserInterfaceNothingIsShownAndNothingIsAgreedTo) {
  TQELPrompt& prompt = QELPrompt();
  TQELDatabase database;
  std::string password = "unchanged";
  EXPECT_FALSE(prompt.AskPassword(database, "", password));
  EXPECT_EQ(password, "unchanged");
  EXPECT_FALSE(prompt.Confirm("Do you want to repair it?"));
  prompt.ShowMessage(mkWarning, "shown to nobody");
  auto progress = prompt.StartProgress("Repairing Database...");
  ASSERT_NE(progress, nullptr);
  progress->SetPosition(40);
  EXPECT_FALSE(progress->Cancelled());
  progress->Finish();

  TQELPrompt installed;
  QELSetPrompt(&installed);
  EXPECT_EQ(&QELPrompt(), &installed);
  QELSetPrompt(nullptr);
  EXPECT_EQ(&QELPrompt(), &prompt);
}

}  // namespace
}  // namespace qel

namespace qel {
namespace {

// Names match exactly when their upper-case forms do, in the root locale
// and in one that upper-cases i apart, whether or not the comparison can
// stay with ASCII.
TEST(SameTextTest, NamesMatchExactlyWhenTheirUpperCaseFormsDo) {
  const std::pair<const char*, const char*> pairs[] = {
      {"TERM", "term"}, {"Term", "tErM"}, {"TERM", "TERMS"}, {"ID", "id"},   {"id", "Id"},
      {"ix_k", "IX_K"}, {"a_b", "a-b"},   {"@", "`"},        {"[", "{"},     {"K1", "k1"},
      {"", ""},         {"x", ""},        {"ſ", "s"},        {"é", "É"},     {"Ä", "a"}};
  for (const char* locale : {"root", "tr"}) {
    QELSetCollationLocale(locale);
    for (const auto& [a, b] : pairs) {
      SCOPED_TRACE(testing::Message() << locale << ": " << a << " / " << b);
      EXPECT_EQ(QELSameText(a, b), QELUpperCase(a) == QELUpperCase(b));
      EXPECT_EQ(QELSameText(b, a), QELSameText(a, b));
    }
  }
  QELSetCollationLocale("");
  EXPECT_TRUE(QELSameText("term", "TERM"));
  EXPECT_FALSE(QELSameText("@", "`"));
}

}  // namespace
}  // namespace qel
