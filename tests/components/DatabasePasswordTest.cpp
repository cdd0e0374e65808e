// A refused password is asked for again, through OnPassword or the prompt,
// until the right one comes, the user gives up, or the same password would
// only be refused again; a silent database asks nobody.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/ComponentsSupport.h"
#include "components/QELDatabase.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

constexpr std::int32_t kWrongPassword = 30445;

class DatabasePasswordTest : public test::TComponentTest {
 protected:
  void SetUp() override {
    TComponentTest::SetUp();
    test::CreateEngineFile(FileName, "secret");
  }

  std::unique_ptr<TQELDatabase> Locked(const std::string& password, const std::string& name = "KUVO") {
    auto database = NewDatabase(FileName, name);
    database->SetPassword(password);
    return database;
  }
  void ExpectClosed(const TQELDatabase& database) {
    EXPECT_FALSE(database.Connected());
    EXPECT_EQ(database.EngineSession(), nullptr);
    EXPECT_EQ(test::ListedFiles(), 0U);
  }

  test::TScriptedPrompt Prompt;
};

TEST_F(DatabasePasswordTest, TheRightPasswordFromOnPasswordConnectsOnTheSecondTry) {
  auto database = Locked("wrong");
  int asked = 0;
  database->OnPassword = [&](TQELDatabase& sender, bool& retry) {
    EXPECT_EQ(&sender, database.get());
    EXPECT_FALSE(retry);
    ++asked;
    sender.SetPassword("secret");
    retry = true;
  };
  database->Open();
  EXPECT_TRUE(database->Connected());
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(Prompt.PasswordQuestions, 0);  // the event stands in for the prompt
  EXPECT_TRUE(database->TableExists("T"));
  database->Close();
}

TEST_F(DatabasePasswordTest, GivingUpOrRepeatingTheRefusedPasswordEndsWithThePasswordError) {
  struct TCase {
    const char* Title;
    // The passwords OnPassword offers in turn; past the end it gives up.
    std::vector<std::string> Offers;
    int ExpectedQuestions;
  };
  const std::vector<TCase> cases = {
      {"cancel at once", {}, 1},
      // Continue without a new password: once asked, not for ever.
      {"continue with the refused password", {"wrong"}, 1},
      {"other wrong passwords, then cancel", {"a", "b"}, 3},
      {"a wrong one, then the first again", {"other", "other"}, 2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Title);
    auto database = Locked("wrong");
    int asked = 0;
    database->OnPassword = [&](TQELDatabase& sender, bool& retry) {
      if (asked < static_cast<int>(c.Offers.size())) {
        sender.SetPassword(c.Offers[static_cast<std::size_t>(asked)]);
        retry = true;
      }
      ++asked;
    };
    std::string message;
    try {
      database->Open();
    } catch (const EQELException& error) {
      EXPECT_EQ(error.NativeError(), kWrongPassword);
      message = error.what();
    }
    EXPECT_EQ(asked, c.ExpectedQuestions);
    EXPECT_NE(message.find(FileName), std::string::npos) << message;
    ExpectClosed(*database);
  }
}

TEST_F(DatabasePasswordTest, WithoutOnPasswordThePromptAsksAndStoresWhatWasTyped) {
  auto database = Locked("");
  Prompt.Passwords = {"guess", "secret"};
  database->Open();
  EXPECT_TRUE(database->Connected());
  EXPECT_EQ(Prompt.PasswordQuestions, 2);
  EXPECT_EQ(Prompt.AskedNames, (std::vector<std::string>{"", ""}));
  EXPECT_EQ(database->Password(), "secret");
  database->Close();

  // Cancel, and typing the refused password again, both end the connect.
  for (const std::vector<std::string>& typed : {std::vector<std::string>{}, std::vector<std::string>{"wrong"}}) {
    auto refused = Locked("wrong", "REFUSED");
    Prompt.PasswordQuestions = 0;
    Prompt.Passwords = typed;
    EXPECT_EQ(NativeErrorOf([&] { refused->Open(); }), kWrongPassword);
    EXPECT_EQ(Prompt.PasswordQuestions, 1);
    EXPECT_EQ(refused->Password(), "wrong");
    ExpectClosed(*refused);
  }
}

TEST_F(DatabasePasswordTest, ASilentDatabaseCallsNeitherTheEventNorThePrompt) {
  auto database = Locked("wrong");
  database->SetSilentMode(true);
  int asked = 0;
  database->OnPassword = [&](TQELDatabase&, bool& retry) {
    ++asked;
    retry = true;
  };
  Prompt.Passwords = {"secret"};
  EXPECT_EQ(NativeErrorOf([&] { database->Open(); }), kWrongPassword);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(Prompt.PasswordQuestions, 0);
  ExpectClosed(*database);
}

}  // namespace
}  // namespace qel
