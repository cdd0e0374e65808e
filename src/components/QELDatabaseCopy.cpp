// TQELDatabase: copying every table of the file into a new file, the road a
// repair and the conversion of an older file take. Each table is copied by
// the table component; in repair mode a table that fails is recorded and
// the copy goes on with the next one.

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "components/QELDatabase.h"
#include "components/QELPrompt.h"
#include "components/QELSessionList.h"
#include "components/QELTable.h"
#include "engine/QELLocalSession.h"
#include "platform/QELException.h"
#include "platform/QELFormat.h"

namespace qel {

namespace {

// The Before and After handling of a database copy: the events, or the
// wait dialog; the After handling runs at every exit.
class TRepairProgress {
 public:
  explicit TRepairProgress(TQELDatabase& database) : FDatabase(database) {
    if (database.BeforeRepair) {
      database.BeforeRepair(database);
    } else if (!database.SilentMode()) {
      FDialog = QELPrompt().StartProgress("Repairing Database...");
      FDialog->SetPosition(0);
    }
  }
  ~TRepairProgress() {
    try {
      Finish();
    } catch (...) {
    }
  }
  TRepairProgress(const TRepairProgress&) = delete;
  TRepairProgress& operator=(const TRepairProgress&) = delete;

  TQELProgress* Dialog() const { return FDialog.get(); }
  void Finish() {
    if (FFinished) return;
    FFinished = true;
    if (FDialog) FDialog->Finish();
    FDialog.reset();
    if (FDatabase.AfterRepair) FDatabase.AfterRepair(FDatabase);
  }

 private:
  TQELDatabase& FDatabase;
  std::unique_ptr<TQELProgress> FDialog;
  bool FFinished = false;
};

// Connects a database exclusive and silent for the length of the copy, and
// puts both settings and the connection back afterwards.
class TExclusiveConnection {
 public:
  explicit TExclusiveConnection(TQELDatabase& database)
      : FDatabase(database), FExclusive(database.Exclusive()), FSilent(database.SilentMode()) {
    database.SetExclusive(true);
    database.SetSilentMode(true);
    try {
      database.Open();
    } catch (...) {
      Restore();
      throw;
    }
    database.SetSilentMode(FSilent);
  }
  ~TExclusiveConnection() {
    try {
      Restore();
    } catch (...) {
    }
  }
  TExclusiveConnection(const TExclusiveConnection&) = delete;
  TExclusiveConnection& operator=(const TExclusiveConnection&) = delete;

 private:
  void Restore() {
    FDatabase.SetSilentMode(FSilent);
    FDatabase.Close();
    FDatabase.SetExclusive(FExclusive);
  }

  TQELDatabase& FDatabase;
  bool FExclusive;
  bool FSilent;
};

}  // namespace

bool TQELDatabase::CopyOneTable(const std::string& tableName, const std::string& newFileName,
                                const TQELCopyDatabaseOptions& options, int progressMin, int progressMax,
                                std::string& errorText, TQELProgress* dialog) {
  bool continueCopy = true;
  std::string log;
  bool copied = false;
  try {
    TQELTable table;
    table.SetSessionName(FSessionName);
    table.SetDatabaseName(FDatabaseName);
    table.SetTableName(tableName);
    if (options.RepairMode) table.RepairTable();
    table.Open();
    table.Close();
    // The copy shows no dialog of its own: the repair's covers it.
    table.BeforeCopy = [](TQELComponent&) {};
    table.AfterCopy = [](TQELComponent&) {};
    table.OnCopyProgress = [&](TQELComponent& sender, int percent, bool& go) {
      if (OnRepairProgress) {
        OnRepairProgress(sender, percent, go);
      } else if (dialog != nullptr) {
        dialog->SetPosition(percent);
        go = !dialog->Cancelled();
      }
    };
    copied = table.CopyTable(tableName, log, continueCopy, newFileName, options.Password, options.RepairMode, false,
                             true, progressMin, progressMax);
  } catch (const std::exception& error) {
    log += error.what();
  }
  if (!continueCopy) {
    FRepairReport.Cancelled = true;
    return false;
  }
  if (copied) {
    FRepairReport.CopiedTables.push_back(tableName);
    return true;
  }
  // Record errors of a table that was otherwise copied are in `log` too.
  const std::string text = QELFormat("Problem occured while copying table '%s': '%s'", {tableName, log});
  FRepairReport.FailedTables.emplace_back(tableName, log);
  if (!errorText.empty()) errorText += "\r\n";
  errorText += text;
  if (!options.RepairMode) throw EQELException(20199, text);
  return false;
}

// Creates and connects the new file; false (or 30449 outside repair mode)
// with the reason in `errorText` when that fails.
static bool CreateCopyTarget(TQELDatabase& target, const std::string& fileName, const TQELCopyDatabaseOptions& options,
                             std::string& errorText) {
  try {
    target.SetDatabaseFileName(fileName);
    target.SetPassword(options.Password);
    target.SetCryptoAlgorithm(options.CryptoAlgorithm);
    target.SetPageSize(options.PageSize);
    target.SetPageCountInExtent(options.PageCountInExtent);
    target.SetMaxConnections(options.MaxConnections);
    target.SetSilentMode(true);
    target.CreateDatabase();
    target.Open();
    return true;
  } catch (const std::exception& error) {
    errorText = QELFormat("Create database error: '%s'", {error.what()});
    if (options.RepairMode) return false;
    throw EQELException(30449, errorText);
  }
}

bool TQELDatabase::CopyDatabase(const std::string& newFileName, std::string& errorText,
                                const TQELCopyDatabaseOptions& options) {
  CheckDatabaseName();
  BindSession();
  CheckInactive();
  FRepairReport = {};
  TRepairProgress progress(*this);
  TQELDatabase target;
  target.SetSessionName(FSessionName);
  target.SetDatabaseName(FSession->UniqueDatabaseName("TempDatabase"));
  {
    TExclusiveConnection connection(*this);
    TQELCopyDatabaseOptions settings = options;
    if (options.RepairMode) {
      // A repaired file keeps the cipher and geometry it has, whatever the
      // component was set to before it ever connected.
      settings.CryptoAlgorithm = FCryptoAlgorithm;
      settings.PageSize = FPageSize;
      settings.PageCountInExtent = FPageCountInExtent;
      settings.MaxConnections = FMaxConnections;
    }
    if (!CreateCopyTarget(target, newFileName, settings, errorText)) return false;
    FConnection->SetRepairMode(true);
    std::vector<std::string> names;
    GetTableNames(names);
    const int count = static_cast<int>(names.size());
    for (int i = 0; i < count; ++i) {
      CopyOneTable(names[static_cast<std::size_t>(i)], newFileName, settings, i * 100 / count, (i + 1) * 100 / count,
                   errorText, progress.Dialog());
      if (FRepairReport.Cancelled) break;
    }
  }
  if (!FRepairReport.Cancelled) {
    bool go = true;
    if (OnRepairProgress) {
      OnRepairProgress(*this, 100, go);
    } else if (progress.Dialog() != nullptr) {
      progress.Dialog()->SetPosition(100);
    }
  }
  progress.Finish();
  target.Close();
  if (FRepairReport.Cancelled) return false;
  return options.RepairMode || errorText.empty();
}

}  // namespace qel
