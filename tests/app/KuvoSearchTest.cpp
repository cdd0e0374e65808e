// The glossary's searches as statements: every mode, the "In" splitting
// and the doubling of quotes in what the user typed.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/QELKuvoSearch.h"

namespace qel::kuvo {
namespace {

TEST(KuvoSearchTest, StatementOfEachMode) {
  struct TCase {
    const char* Mode;
    const char* Text;
    const char* Letter;
    const char* Statement;
  };
  const TCase cases[] = {
      {"All", "ignored", "", "select * from tblKuvo"},
      {"Equal", "bit", "", "select * from tblKuvo where ISTILAH ='bit'"},
      {"Equal", " basis data ", "", "select * from tblKuvo where ISTILAH =' basis data '"},
      {"Like", "data", "", "select * from tblKuvo where ISTILAH Like '%data%'"},
      {"Sort", "ignored", "b", "select * from tblKuvo where ISTILAH Like 'b%'"},
      {"In", "bit, bait,  cakram", "", "select * from tblKuvo where ISTILAH In('bit','bait','cakram')"},
      {"In", ",,", "", "select * from tblKuvo where ISTILAH In()"},
      // A quote can neither end the literal nor start a statement.
      {"Equal", "o'reilly", "", "select * from tblKuvo where ISTILAH ='o''reilly'"},
      {"Equal", "x'; drop table tblKuvo; --", "",
       "select * from tblKuvo where ISTILAH ='x''; drop table tblKuvo; --'"},
      {"Like", "50%_", "", "select * from tblKuvo where ISTILAH Like '%50%_%'"},
      {"Sort", "", "'", "select * from tblKuvo where ISTILAH Like '''%'"},
      {"In", "'a,b', c", "", "select * from tblKuvo where ISTILAH In('''a,b''','c')"},
      // Modes are matched exactly; any other runs nothing.
      {"equal", "bit", "", ""},
      {"Cari", "bit", "", ""},
      {"", "bit", "", ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.Mode) + " / " + c.Text);
    EXPECT_EQ(SearchStatement(c.Mode, c.Text, c.Letter), c.Statement);
  }
  EXPECT_EQ(EntryStatement("basis data"), "select * from tblKuvo where ISTILAH ='basis data'");
  EXPECT_EQ(EntryStatement("it's"), "select * from tblKuvo where ISTILAH ='it''s'");
}

TEST(KuvoSearchTest, SplittingForIn) {
  struct TCase {
    const char* Text;
    std::vector<std::string> Items;
  };
  const std::vector<TCase> cases = {
      {"a,b", {"a", "b"}},
      {" a , b ,, c", {"a ", "b ", "c"}},
      {"  a  ,   b", {"a  ", "b"}},
      {"a\r\nb\nc", {"a", "b", "c"}},
      {"\"x, y\", z", {"\"x, y\"", "z"}},
      {"'p,q',r", {"'p,q'", "r"}},
      {"'open, to the end", {"'open, to the end"}},
      {"a,,  ,b,", {"a", "b"}},
      {"", {}},
      {"   ", {}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    EXPECT_EQ(SplitInItems(c.Text), c.Items);
  }
}

TEST(KuvoSearchTest, FollowKey) {
  EXPECT_EQ(FollowKey(" \tBasis Data\r\n"), "basis data");
  EXPECT_EQ(FollowKey("ÉCRAN"), "Écran");  // only ASCII letters change
  EXPECT_EQ(FollowKey("   "), "");
}

}  // namespace
}  // namespace qel::kuvo
