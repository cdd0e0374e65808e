// Sessions: the default session and lookups by name, session names and
// automatic names, starting and stopping, and databases opened by name for
// datasets with their reference counts.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "components/ComponentsSupport.h"
#include "components/QELDatabase.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "components/db/QELDatabaseError.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::MessageOf;
using test::NativeErrorOf;

TQELSessionList& Sessions() { return TQELSessionList::Instance(); }

// A session named `name`, unowned.
std::unique_ptr<TQELSession> NewSession(const std::string& name) {
  auto session = std::make_unique<TQELSession>();
  session->SetSessionName(name);
  return session;
}

class SessionTest : public test::TComponentTest {};

TEST_F(SessionTest, NamesFindTheirSessionIgnoringCaseAndTheEmptyNameFindsTheDefault) {
  TQELSession& fallback = Sessions().DefaultSession();
  EXPECT_TRUE(fallback.IsDefault());
  EXPECT_EQ(fallback.SessionName(), "Default");
  EXPECT_EQ(Sessions().FindSession(""), &fallback);
  EXPECT_EQ(Sessions().FindSession("DEFAULT"), &fallback);

  auto other = NewSession("Other");
  EXPECT_FALSE(other->IsDefault());
  EXPECT_EQ(&Sessions().GetSession("other"), other.get());
  EXPECT_EQ(Sessions().FindSession("nosuch"), nullptr);
  EXPECT_EQ(NativeErrorOf([] { Sessions().GetSession("nosuch"); }), 20002);
  EXPECT_EQ(MessageOf<EQELException>([] { Sessions().GetSession("nosuch"); }),
            "Invalid session name 'nosuch' - Native error: 20002");

  // A database whose session is unknown stays closed; once the session
  // exists it joins it when it opens.
  test::CreateEngineFile(FileName);
  auto database = NewDatabase();
  database->SetSessionName("Later");
  EXPECT_EQ(NativeErrorOf([&] { database->Open(); }), 20002);
  EXPECT_FALSE(database->Connected());
  auto later = NewSession("later");
  database->Open();
  EXPECT_EQ(database->Session(), later.get());
  EXPECT_EQ(later->FindDatabase("kuvo"), database.get());
  EXPECT_EQ(Sessions().DefaultSession().FindDatabase("KUVO"), nullptr);
}

TEST_F(SessionTest, SessionNameRulesRaiseTheirErrors) {
  auto session = NewSession("Work");
  session->SetName("WorkSession");
  auto unnamed = std::make_unique<TQELSession>();

  EXPECT_EQ(MessageOf<EDatabaseError>([&] { session->SetSessionName("default"); }),
            "WorkSession: Duplicate session name 'default'");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { unnamed->SetSessionName("WORK"); }), "Duplicate session name 'WORK'");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { unnamed->SetActive(true); }), "Session name missing");
  EXPECT_FALSE(unnamed->Active());
  EXPECT_EQ(NativeErrorOf([&] { session->Handle(); }), 20007);

  session->SetActive(true);
  EXPECT_TRUE(session->Active());
  EXPECT_TRUE(Sessions().DefaultSession().Active());  // started first
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { session->SetSessionName("Renamed"); }),
            "WorkSession: Cannot perform this operation on an active session");
  session->SetActive(false);
  session->SetSessionName("Renamed");
  EXPECT_EQ(session->SessionName(), "Renamed");
}

TEST_F(SessionTest, StartingCallsOnStartupAndLockSessionMakesTheSessionCurrent) {
  auto session = NewSession("Work");
  int startups = 0;
  session->OnStartup = [&](TQELComponent& sender) {
    EXPECT_EQ(&sender, session.get());
    ++startups;
  };
  session->LockSession();
  session->LockSession();
  EXPECT_TRUE(session->Active());
  EXPECT_EQ(startups, 1);
  EXPECT_EQ(Sessions().CurrentSession(), session.get());
  session->UnlockSession();
  session->UnlockSession();
  session->SetActive(false);
  EXPECT_EQ(Sessions().CurrentSession(), &Sessions().DefaultSession());
}

TEST_F(SessionTest, AutomaticNamesTakeTheLowestFreeNumberAndFollowTheComponentName) {
  TQELComponent form1;
  TQELComponent form2;
  TQELDatabase* before = form1.CreateComponent<TQELDatabase>();
  auto* first = form1.CreateComponent<TQELSession>();
  first->SetName("Session");
  first->SetAutoSessionName(true);
  EXPECT_EQ(first->SessionName(), "Session_1");
  EXPECT_EQ(before->SessionName(), "Session_1");  // already on the form
  TQELDatabase* after = form1.CreateComponent<TQELDatabase>();
  EXPECT_EQ(after->SessionName(), "Session_1");  // put there later

  auto* second = form2.CreateComponent<TQELSession>();
  second->SetName("Session");
  second->SetAutoSessionName(true);
  EXPECT_EQ(second->SessionName(), "Session_2");

  EXPECT_EQ(MessageOf<EDatabaseError>([&] { first->SetSessionName("Mine"); }),
            "Session: Cannot modify SessionName while AutoSessionName is enabled");
  first->SetName("Data");
  EXPECT_EQ(first->SessionName(), "Data_1");

  // Its number is free again once it is off, and the next session takes it.
  first->SetAutoSessionName(false);
  TQELComponent form3;
  auto* third = form3.CreateComponent<TQELSession>();
  third->SetName("Third");
  third->SetAutoSessionName(true);
  EXPECT_EQ(third->SessionName(), "Third_1");
  form3.FreeComponent(third);
  auto* fourth = form3.CreateComponent<TQELSession>();
  fourth->SetName("Fourth");
  fourth->SetAutoSessionName(true);
  EXPECT_EQ(fourth->SessionName(), "Fourth_1");

  // One automatically named session per form, and none beside it.
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { form2.CreateComponent<TQELSession>(); }),
            "Cannot add a session to the form or data-module while session 'Session_2' has AutoSessionName enabled");
  EXPECT_EQ(form2.ComponentCount(), 1U);  // the refused session is freed
  first->SetActive(true);
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { first->SetAutoSessionName(true); }),
            "Data: Cannot perform this operation on an active session");
  first->SetActive(false);
  form1.CreateComponent<TQELSession>();
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { first->SetAutoSessionName(true); }),
            "Data: Cannot enable AutoSessionName property with more than one session on a form or data-module");
}

TEST_F(SessionTest, StoppingClosesItsDatabasesLastFirstAndFreesTemporaryOnes) {
  test::CreateEngineFile(FileName);
  std::vector<std::string> events;  // outlives the session that reports into it
  auto session = NewSession("Work");
  session->SetDatabaseEventHook([&](TQELDatabaseEvent event, TQELDatabase& database) {
    static const char* const kNames[] = {"open", "close", "add", "remove"};
    events.push_back(std::string(kNames[event]) + " " + database.DatabaseName());
  });
  auto* own = session->CreateComponent<TQELDatabase>();
  own->SetDatabaseName("KUVO");
  own->SetDatabaseFileName(FileName);
  own->Open();
  TQELDatabase& temporary = session->OpenDatabase("MEMORY");
  EXPECT_TRUE(temporary.Temporary());
  EXPECT_TRUE(temporary.SilentMode());
  EXPECT_EQ(temporary.Owner(), session.get());
  EXPECT_EQ(session->DatabaseCount(), 2U);
  events.clear();

  session->SetActive(false);
  EXPECT_FALSE(session->Active());
  EXPECT_FALSE(own->Connected());
  EXPECT_EQ(session->DatabaseCount(), 1U);
  EXPECT_EQ(session->FindDatabase("MEMORY"), nullptr);
  EXPECT_EQ(events, (std::vector<std::string>{"close MEMORY", "remove MEMORY", "close KUVO"}));
  EXPECT_EQ(test::ListedFiles(), 0U);
}

TEST_F(SessionTest, OpenDatabaseCountsUsersAndKeepConnectionDecidesWhatTheLastOneLeaves) {
  test::CreateEngineFile(FileName);
  auto session = NewSession("Work");
  auto* kuvo = session->CreateComponent<TQELDatabase>();
  kuvo->SetDatabaseName("KUVO");
  kuvo->SetDatabaseFileName(FileName);

  // A database of that name is used, and stays connected while kept.
  EXPECT_EQ(&session->OpenDatabase("kuvo"), kuvo);
  EXPECT_EQ(&session->OpenDatabase("KUVO"), kuvo);
  EXPECT_EQ(kuvo->RefCount(), 2);
  session->CloseDatabase(kuvo);
  session->CloseDatabase(kuvo);
  session->CloseDatabase(kuvo);  // never below zero
  EXPECT_EQ(kuvo->RefCount(), 0);
  EXPECT_TRUE(kuvo->Connected());
  kuvo->SetKeepConnection(false);  // unused: closes at once
  EXPECT_FALSE(kuvo->Connected());
  session->OpenDatabase("KUVO");
  session->CloseDatabase(kuvo);
  EXPECT_FALSE(kuvo->Connected());
  EXPECT_EQ(session->DatabaseCount(), 1U);  // closed, not freed

  // A name no database has gets a temporary one, kept while KeepConnections.
  TQELDatabase* kept = &session->OpenDatabase("MEMORY");
  session->CloseDatabase(kept);
  EXPECT_EQ(session->FindDatabase("memory"), kept);
  EXPECT_TRUE(kept->Connected());
  session->FreeComponent(kept);

  session->SetKeepConnections(false);
  TQELDatabase& dropped = session->OpenDatabase("MEMORY");
  EXPECT_FALSE(dropped.KeepConnection());
  EXPECT_EQ(&session->OpenDatabase("MEMORY"), &dropped);
  session->CloseDatabase(&dropped);
  EXPECT_NE(session->FindDatabase("MEMORY"), nullptr);
  session->CloseDatabase(&dropped);
  EXPECT_EQ(session->FindDatabase("MEMORY"), nullptr);

  // One that cannot connect is freed again.
  EXPECT_NE(NativeErrorOf([&] { session->OpenDatabase("NOSUCH"); }), 0);
  EXPECT_EQ(session->DatabaseCount(), 1U);
}

TEST_F(SessionTest, DuplicateDatabaseNamesAreRefusedButAnUnusedTemporaryOneGivesWay) {
  auto session = NewSession("Work");
  auto* first = session->CreateComponent<TQELDatabase>();
  first->SetDatabaseName("KUVO");
  auto* second = session->CreateComponent<TQELDatabase>();
  second->SetName("second");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { second->SetDatabaseName("kuvo"); }),
            "second: Duplicate database name 'kuvo'");
  EXPECT_EQ(second->DatabaseName(), "");
  first->SetDatabaseName("Kuvo");  // its own name in another case

  TQELDatabase& temporary = session->OpenDatabase("MEMORY");
  EXPECT_EQ(MessageOf<EDatabaseError>([&] { second->SetDatabaseName("MEMORY"); }),
            "second: Duplicate database name 'MEMORY'");  // in use
  session->CloseDatabase(&temporary);
  second->SetDatabaseName("MEMORY");
  EXPECT_EQ(session->DatabaseCount(), 2U);
  EXPECT_EQ(session->FindDatabase("MEMORY"), second);
}

TEST_F(SessionTest, AFreedSessionClosesTheDatabasesItDoesNotOwnAndLetsThemGo) {
  test::CreateEngineFile(FileName);
  auto database = NewDatabase();
  auto session = NewSession("Work");
  database->SetSessionName("work");
  database->Open();
  EXPECT_EQ(database->Session(), session.get());

  session.reset();
  EXPECT_FALSE(database->Connected());
  EXPECT_EQ(database->Session(), nullptr);
  EXPECT_EQ(database->SessionName(), "");
  EXPECT_EQ(test::ListedFiles(), 0U);

  // An empty session name is the default session's.
  database->Open();
  EXPECT_EQ(database->Session(), &Sessions().DefaultSession());
  database->Close();
}

}  // namespace
}  // namespace qel
