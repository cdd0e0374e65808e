#pragma once
// TQELDatabaseList: the process-wide list of opened databases. Every session
// of this process that opens a database file shares that file's one disk
// database data object; the object is added by the first session on the
// file and freed (closing the file) when the last one leaves. The in-memory
// ("MEMORY") and the temporary ("TEMP") databases are there from the start
// and live as long as the list.
//
// Connecting, disconnecting and creating a file hold Lock throughout, so
// two threads never create two objects for one file.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "platform/QELFile.h"
#include "platform/QELSync.h"
#include "storage/QELDatabaseData.h"

namespace qel {

class TQELDiskDatabaseData;

// Which database a session selects: the in-memory or the temporary one by
// its exact DatabaseName, else the database file.
enum TQELDatabaseKind { dkDisk, dkMemory, dkTemporary };
TQELDatabaseKind QELDatabaseKindOf(const std::string& databaseName);

class TQELDatabaseList {
 public:
  // The list of this process.
  static TQELDatabaseList& Instance();

  // Holds the in-memory and the temporary database from the start.
  TQELDatabaseList();
  ~TQELDatabaseList();
  TQELDatabaseList(const TQELDatabaseList&) = delete;
  TQELDatabaseList& operator=(const TQELDatabaseList&) = delete;

  TQELCriticalSection& Lock() { return FLock; }

  // The in-memory or temporary database; "Database %s is not available"
  // (20299) when it was replaced by none.
  TQELDatabaseData& Special(TQELDatabaseKind kind);
  // Replaces the in-memory or temporary database for the life of the list.
  void SetSpecial(TQELDatabaseKind kind, std::unique_ptr<TQELDatabaseData> databaseData);

  // The listed disk database data of the file `fileName` names (the same
  // file, by device and inode, whatever path names it), or null.
  TQELDiskDatabaseData* FindDisk(const std::string& fileName);
  // Appends a new, unopened disk database data for the file.
  TQELDiskDatabaseData& AddDisk(const std::string& fileName);
  // Removes and frees a listed disk database data no session is attached
  // to; answers whether it did.
  bool ReleaseIfUnused(TQELDatabaseData* databaseData);
  // How many disk database data objects are listed.
  std::size_t DiskCount();

 private:
  // A file as it is told from others: its device and inode, or, for a file
  // that does not exist (yet), its canonical path.
  using TFileKey = std::variant<TQELFileIdentity, std::string>;
  static TFileKey KeyOf(const std::string& fileName);

  struct TEntry {
    std::unique_ptr<TQELDiskDatabaseData> Data;
    TFileKey Key;
  };

  TQELCriticalSection FLock;
  std::vector<TEntry> FDisk;
  std::unique_ptr<TQELDatabaseData> FMemory;
  std::unique_ptr<TQELDatabaseData> FTemporary;
};

}  // namespace qel
