// The navigator: which buttons are enabled in each state of the dataset,
// and that its buttons act on the dataset.

#include <gtest/gtest.h>

#include <QToolButton>

#include <string>

#include "DBWidgetsSupport.h"
#include "ui/QELDBNavigator.h"

namespace qel::test {
namespace {

class DBNavigatorTest : public TDBWidgetTest {
 protected:
  void SetUp() override {
    TDBWidgetTest::SetUp();
    Navigator.SetVisibleButtons(kQELNavigateAll);
    Navigator.ConfirmDelete = false;
  }

  // "1" for each enabled button, "0" for each disabled one, in button order
  // (first prior next last insert delete edit post cancel refresh).
  std::string Enabled() const {
    std::string states;
    for (int i = 0; i < nbCount; ++i) {
      states += Navigator.Button(static_cast<TQELNavigateButton>(i))->isEnabled() ? '1' : '0';
    }
    return states;
  }

  TQELDBNavigator Navigator;
};

TEST_F(DBNavigatorTest, ButtonsFollowTheDataSetsState) {
  CreateTerms(3);
  Navigator.SetDataSource(&Source);
  struct TCase {
    const char* State;
    std::function<void()> Reach;
    const char* Expected;
  };
  const TCase cases[] = {
      {"at the first record", [&] { Terms.First(); }, "0011111001"},
      {"in the middle", [&] { Terms.Next(); }, "1111111001"},
      {"at the last record", [&] { Terms.Last(); }, "1100111001"},
      {"editing", [&] { Terms.Edit(); }, "1100000110"},
      {"posted", [&] { Terms.Post(); }, "1111111001"},
      {"inserting", [&] { Terms.First(); Terms.Insert(); }, "0011000110"},
      {"cancelled", [&] { Terms.Cancel(); }, "1111111001"},
      {"closed", [&] { Terms.Close(); }, "0000000000"},
      {"reopened", [&] { Terms.Open(); }, "0011111001"},
      {"emptied", [&] { Terms.Close(); Terms.EmptyTable(); Terms.Open(); }, "0000100001"},
      {"read-only", [&] { Terms.Close(); Terms.SetReadOnly(true); Terms.Open(); }, "0000000001"},
  };
  for (const TCase& c : cases) {
    c.Reach();
    EXPECT_EQ(Enabled(), c.Expected) << c.State;
  }
}

TEST_F(DBNavigatorTest, AllDisabledWithoutAnOpenDataSet) {
  EXPECT_EQ(Enabled(), "0000000000");
  CreateTerms(2);
  Terms.Close();
  Navigator.SetDataSource(&Source);
  EXPECT_EQ(Enabled(), "0000000000");
}

TEST_F(DBNavigatorTest, OnlyTheMovesUnlessAskedAndButtonsAct) {
  TQELDBNavigator moves;
  for (int i = 0; i < nbCount; ++i) {
    EXPECT_EQ(!moves.Button(static_cast<TQELNavigateButton>(i))->isHidden(), i <= nbLast) << i;
  }
  CreateTerms(3);
  Navigator.SetDataSource(&Source);
  Navigator.Button(nbLast)->click();
  EXPECT_EQ(Terms.RecNo(), 3);
  Navigator.Button(nbPrior)->click();
  EXPECT_EQ(Terms.RecNo(), 2);
  Navigator.Button(nbDelete)->click();
  EXPECT_EQ(Terms.RecordCount(), 2);
  Navigator.Button(nbEdit)->click();
  EXPECT_EQ(Terms.State(), dsEdit);
  Navigator.Button(nbCancel)->click();
  EXPECT_EQ(Terms.State(), dsBrowse);
  Navigator.Button(nbFirst)->click();
  EXPECT_EQ(Terms.RecNo(), 1);
}

}  // namespace
}  // namespace qel::test
