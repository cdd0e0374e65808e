// TQELDatabase: creating, deleting and repairing database files.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "components/QELDatabase.h"
#include "components/db/QELDatabaseError.h"
#include "disk/QELRollbackJournal.h"
#include "engine/QELDatabaseList.h"
#include "engine/QELLocalSession.h"
#include "platform/QELFile.h"
#include "platform/QELFormat.h"

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

// The first of NAME.bak, NAME.1.bak, NAME.2.bak, ... that does not exist:
// a backup never overwrites an earlier one.
std::string FreeBackupName(const std::string& path) {
  std::string name = path + ".bak";
  for (int n = 1; ::access(name.c_str(), F_OK) == 0; ++n) {
    name = path + "." + std::to_string(n) + ".bak";
  }
  return name;
}

[[noreturn]] void FileFailure(const char* format, const std::string& path, int error, const TQELComponent* component) {
  DatabaseErrorFmt(format, {path, QELFileErrorText(error)}, component);
}

// Flushes a file's data to the device.
void FlushFile(const std::string& path, const TQELComponent* component) {
  TQELFile file;
  if (!file.Open(path, faReadWrite, fsReadWrite) || !file.Flush()) {
    FileFailure("Cannot flush database file '%s': %s", path, file.LastError(), component);
  }
}

// A byte copy of `from` at `to` (which must not exist), on the device when
// this answers.
void CopyFileDurably(const std::string& from, const std::string& to, const TQELComponent* component) {
  TQELFile source;
  TQELFile target;
  if (!source.Open(from, faRead, fsReadWrite)) {
    FileFailure("Cannot read database file '%s': %s", from, source.LastError(), component);
  }
  if (!target.Create(to, fsNone)) FileFailure("Cannot create backup file '%s': %s", to, target.LastError(), component);
  std::vector<std::uint8_t> chunk(1 << 20);
  for (;;) {
    std::size_t got = 0;
    if (!source.Read(chunk.data(), chunk.size(), got)) {
      FileFailure("Cannot read database file '%s': %s", from, source.LastError(), component);
    }
    if (got == 0) break;
    if (!target.Write(chunk.data(), got)) {
      FileFailure("Cannot write backup file '%s': %s", to, target.LastError(), component);
    }
  }
  if (!target.Flush()) FileFailure("Cannot flush database file '%s': %s", to, target.LastError(), component);
  QELFlushDirectoryOf(to);
}

// Puts `path` in place of `target` in one step, once its bytes are on the
// device, so that a crash leaves either the old file or the new one.
void RenameDurably(const std::string& path, const std::string& target, const TQELComponent* component) {
  if (std::rename(path.c_str(), target.c_str()) != 0) {
    FileFailure("Cannot replace database file '%s': %s", target, errno, component);
  }
  QELFlushDirectoryOf(target);
}

void RefuseWhileOpen(const std::string& path, const TQELComponent* component) {
  if (TQELDatabaseList::Instance().FindDisk(path) != nullptr) {
    DatabaseError("Cannot perform this operation on an open database", component);
  }
}

// The repaired copy replaces the database file. The old file's journal must
// not outlive it, or it would be rolled back into the copy.
void ReplaceByCopy(const std::string& copy, const std::string& path, const TQELComponent* component) {
  TQELDatabaseList& files = TQELDatabaseList::Instance();
  TQELCriticalSectionGuard guard(files.Lock());
  RefuseWhileOpen(path, component);
  FlushFile(copy, component);
  RemoveIfPresent(TQELRollbackJournal::PathFor(copy), component);
  RemoveIfPresent(TQELRollbackJournal::PathFor(path), component);
  RenameDurably(copy, path, component);
}

// The snapshot taken before the repair goes back in place of the file.
void RestoreOriginal(const std::string& backup, const std::string& path, const TQELComponent* component) {
  TQELDatabaseList& files = TQELDatabaseList::Instance();
  TQELCriticalSectionGuard guard(files.Lock());
  RefuseWhileOpen(path, component);
  RemoveIfPresent(TQELRollbackJournal::PathFor(path), component);
  RenameDurably(backup, path, component);
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
  // Left by a repair that was cut off: it is rebuilt from the start.
  RemoveDatabaseFile(copy, this);
  // Opening tables for repair may rewrite parts of the original; the
  // snapshot taken first is what a failed or cancelled repair puts back,
  // and what is kept when a table could not be saved.
  const std::string backup = FreeBackupName(FDatabaseFileName);
  CopyFileDurably(FDatabaseFileName, backup, this);
  bool replaced = false;
  try {
    if (!CopyDatabase(copy, errorText, options)) {
      if (errorText.empty()) errorText = "Unknown error";
      RemoveDatabaseFile(copy, this);
      RestoreOriginal(backup, FDatabaseFileName, this);
      return;
    }
    ReplaceByCopy(copy, FDatabaseFileName, this);
    replaced = true;
    if (FRepairReport.FailedTables.empty()) {
      RemoveIfPresent(backup, this);
    } else {
      FRepairReport.BackupFileName = backup;
    }
  } catch (...) {
    try {
      RemoveDatabaseFile(copy, this);
      if (!replaced) RestoreOriginal(backup, FDatabaseFileName, this);
    } catch (...) {
      // The first failure is the one to report.
    }
    throw;
  }
}

}  // namespace qel
