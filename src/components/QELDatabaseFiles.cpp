// TQELDatabase: creating, deleting and repairing database files.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "components/QELDatabase.h"
#include "components/db/QELDatabaseError.h"
#include "disk/QELRollbackJournal.h"
#include "engine/QELDatabaseList.h"
#include "engine/QELLocalSession.h"
#include "platform/QELFile.h"

namespace qel {

namespace {

bool IsBlank(const std::string& text) {
  return text.find_first_not_of(" \t") == std::string::npos;
}

void RemoveIfPresent(const std::string& path, const TQELComponent* component) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    DatabaseErrorFmt("Cannot delete database file '%s': %s", {path, QELFileErrorText(errno)}, component);
  }
}

// Removes a database file with its journal. The journal goes first: a
// journal left behind would be rolled back into whatever file is put at this
// path later, while a file left without its journal is one its owner wanted
// gone anyway.
void RemoveDatabaseFile(const std::string& path, const TQELComponent* component) {
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) {
    DatabaseErrorFmt("Cannot delete database file '%s': %s", {path, QELFileErrorText(EISDIR)}, component);
  }
  RemoveIfPresent(TQELRollbackJournal::PathFor(path), component);
  RemoveIfPresent(path, component);
}

}  // namespace

void TQELDatabase::CreateDatabase() {
  CheckDatabaseName();
  TQELSession& session = BindSession();
  CheckInactive();
  TQELSessionLock lock(session);
  NewEngineSession("Cannot create database")->CreateDatabase();
}

void TQELDatabase::DeleteDatabase() {
  CheckDatabaseName();
  TQELSession& session = BindSession();
  CheckInactive();
  TQELSessionLock lock(session);
  if (IsBlank(FDatabaseFileName)) {
    DatabaseErrorFmt("Database file '%s' does not exist", {FDatabaseFileName}, this);
  }
  // Held until the file is gone, so that nobody in this process opens it
  // meanwhile; a file open here is never deleted under its users.
  TQELDatabaseList& files = TQELDatabaseList::Instance();
  TQELCriticalSectionGuard guard(files.Lock());
  if (files.FindDisk(FDatabaseFileName) != nullptr) {
    DatabaseError("Cannot perform this operation on an open database", this);
  }
  RemoveDatabaseFile(FDatabaseFileName, this);
}

void TQELDatabase::RepairDatabase(std::string& errorText) {
  const std::string copy = FDatabaseFileName + ".tmp";
  TQELCopyDatabaseOptions options;
  options.MaxConnections = FMaxConnections;
  options.PageCountInExtent = FPageCountInExtent;
  options.PageSize = FPageSize;
  options.CryptoAlgorithm = FCryptoAlgorithm;
  options.Password = FPassword;
  options.RepairMode = true;
  try {
    if (!CopyDatabase(copy, errorText, options)) {
      RemoveDatabaseFile(copy, this);
      if (errorText.empty()) errorText = "Unknown error";
      return;
    }
    TQELDatabaseList& files = TQELDatabaseList::Instance();
    TQELCriticalSectionGuard guard(files.Lock());
    if (files.FindDisk(FDatabaseFileName) != nullptr) {
      DatabaseError("Cannot perform this operation on an open database", this);
    }
    // The old file's journal must not outlive it, or it would be rolled
    // back into the copy; the rename then replaces the file in one step.
    RemoveIfPresent(TQELRollbackJournal::PathFor(FDatabaseFileName), this);
    if (std::rename(copy.c_str(), FDatabaseFileName.c_str()) != 0) {
      DatabaseErrorFmt("Cannot replace database file '%s': %s", {FDatabaseFileName, QELFileErrorText(errno)},
                       this);
    }
    RemoveIfPresent(TQELRollbackJournal::PathFor(copy), this);
  } catch (...) {
    try {
      RemoveDatabaseFile(copy, this);
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

bool TQELDatabase::CopyDatabase(const std::string& /*newFileName*/, std::string& /*errorText*/,
                                const TQELCopyDatabaseOptions& /*options*/) {
  // Copying a database copies its tables through the table component, which
  // this layer does not have yet: nothing is copied, so a repair leaves the
  // file as it was.
  return false;
}

}  // namespace qel
