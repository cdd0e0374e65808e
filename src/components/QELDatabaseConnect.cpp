// TQELDatabase: connecting, with the password retry and the repair of a
// file that was not closed cleanly.

#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "components/QELDatabase.h"
#include "components/QELPrompt.h"
#include "components/QELSessionList.h"
#include "components/db/QELDatabaseError.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFormat.h"
#include "disk/QELDiskPageManager.h"
#include "engine/QELLocalSession.h"
#include "platform/QELException.h"
#include "platform/QELFile.h"

namespace qel {

namespace {

// The engine's answer to a wrong or missing password.
constexpr std::int32_t kWrongPassword = 30445;
// Files older than this are converted rather than repaired.
constexpr double kRepairableFormat = 2.99;

constexpr std::string_view kOldFormatText =
    "Database file you are opening is of old format. It will be converted to the current Qelmonte Database "
    "format now. It is recommended to make a backup of the database before continuing.";
constexpr std::string_view kRepairQuestion =
    "Database file was not correctly closed last time. Do you want to repair it?";
constexpr std::string_view kCannotConvert =
    "Database cannot be converted to the new format. Please contact technical support.";

double FormatVersionOf(TQELLocalSession& engine) {
  auto* disk = dynamic_cast<TQELDiskDatabaseData*>(engine.DatabaseData());
  return disk != nullptr ? disk->DiskPageManager().GetHeader().FormatVersion : kQELFormatVersion;
}

// Sets a flag for a scope and puts its old value back.
class TFlagScope {
 public:
  TFlagScope(bool& flag, bool value) : FFlag(flag), FOld(flag) { FFlag = value; }
  ~TFlagScope() { FFlag = FOld; }
  TFlagScope(const TFlagScope&) = delete;
  TFlagScope& operator=(const TFlagScope&) = delete;

 private:
  bool& FFlag;
  bool FOld;
};

}  // namespace

void TQELDatabase::Open() {
  if (Connected()) return;
  CheckDatabaseName();
  TQELSession& session = BindSession();
  TQELSessionLock lock(session);
  if (FHandleShared) {
    if (TQELDatabase* lender = session.FindLender(*this)) {
      FConnection = lender->FConnection;
      FBorrowed = true;
      TakeEngineSettings(*FConnection);
      return;
    }
  }
  if (!FTemporary && !QELFileExists(FDatabaseFileName)) {
    DatabaseErrorFmt("Database file '%s' does not exist", {FDatabaseFileName}, this);
  }
  // A file opened read-only is taken as it is: repairing it would rewrite it.
  const bool readOnlyAsked = FReadOnly;
  std::unique_ptr<TQELLocalSession> engine = ConnectEngineSession();
  if (engine->NeedRepair() && !readOnlyAsked && RepairWanted(*engine)) {
    engine = RepairAndReconnect(std::move(engine));
  }
  TakeEngineSettings(*engine);
  FConnection = std::move(engine);
  FBorrowed = false;
  session.DatabaseEvent(deOpen, *this);
}

void TQELDatabase::TakeEngineSettings(const TQELLocalSession& engine) {
  FReadOnly = engine.ReadOnly();
  FCryptoAlgorithm = engine.Password().CryptoAlgorithm;
  FPageSize = engine.PageSize();
  FPageCountInExtent = engine.PageCountInExtent();
  FMaxConnections = engine.MaxConnections();
}

std::unique_ptr<TQELLocalSession> TQELDatabase::NewEngineSession(std::string_view failureText) const {
  std::unique_ptr<TQELLocalSession> engine;
  try {
    engine = std::make_unique<TQELLocalSession>();
  } catch (const std::bad_alloc&) {
    DatabaseError(failureText, this);
  }
  engine->SetDatabaseName(FDatabaseName);
  engine->SetDatabaseFileName(FDatabaseFileName);
  engine->SetPassword({FPassword, FCryptoAlgorithm});
  engine->SetPageSize(FPageSize);
  engine->SetPageCountInExtent(FPageCountInExtent);
  engine->SetMaxConnections(FMaxConnections);
  engine->SetReadOnly(FReadOnly);
  engine->SetExclusive(FExclusive);
  engine->SetMultiUser(FMultiUser);
  return engine;
}

std::unique_ptr<TQELLocalSession> TQELDatabase::ConnectEngineSession() {
  for (;;) {
    std::unique_ptr<TQELLocalSession> engine = NewEngineSession("Database open error");
    try {
      engine->SetConnected(true);
      return engine;
    } catch (const EQELException& error) {
      engine.reset();
      if (error.NativeError() == kWrongPassword) {
        // Retrying the password that was just refused would only be refused
        // again, for ever.
        const std::string refused = FPassword;
        if (AskPassword() && FPassword != refused) continue;
      }
      const std::string_view message = error.what();
      if (FDatabaseFileName.empty() || message.find(FDatabaseFileName) != std::string_view::npos) throw;
      // Say which file it was: the engine's own text may not.
      const std::size_t suffix = message.rfind(" - Native error: ");
      throw EQELException(error.NativeError(), "Database file '" + FDatabaseFileName + "': " +
                                                   std::string(message.substr(0, suffix)));
    }
  }
}

bool TQELDatabase::AskPassword() {
  if (FSilentMode) return false;
  if (OnPassword) {
    bool retry = false;
    OnPassword(*this, retry);
    return retry;
  }
  if (FPromptsSuppressed) return false;
  std::string typed;
  if (!QELPrompt().AskPassword(*this, "", typed)) return false;
  FPassword = typed;
  return true;
}

bool TQELDatabase::RepairWanted(TQELLocalSession& engine) {
  // Granted read-only: the file cannot be rewritten from here, or another
  // process has it open.
  if (FSilentMode || engine.ReadOnly()) return false;
  if (FormatVersionOf(engine) < kRepairableFormat) {
    if (!FPromptsSuppressed) QELPrompt().ShowMessage(mkInformation, std::string(kOldFormatText));
    return true;
  }
  bool doRepair = false;
  if (OnNeedRepair) {
    OnNeedRepair(*this, doRepair);
  } else if (!FPromptsSuppressed) {
    doRepair = QELPrompt().Confirm(std::string(kRepairQuestion));
  }
  return doRepair;
}

std::unique_ptr<TQELLocalSession> TQELDatabase::RepairAndReconnect(std::unique_ptr<TQELLocalSession> engine) {
  engine->SetConnected(false);
  engine.reset();
  std::string errorText;
  {
    TFlagScope suppressed(FPromptsSuppressed, true);
    try {
      RepairDatabase(errorText);
    } catch (...) {
      throw EQELException(20238, kCannotConvert);
    }
  }
  if (!errorText.empty() && !FPromptsSuppressed) QELPrompt().ShowMessage(mkWarning, errorText);
  return ConnectEngineSession();
}

}  // namespace qel
