// TQELDatabaseList: the process-wide list of opened databases.

#include "engine/QELDatabaseList.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "disk/QELDiskDatabaseData.h"
#include "memory/QELMemory.h"
#include "platform/QELException.h"
#include "storage/QELMemEngine.h"
#include "storage/QELTempEngine.h"

namespace qel {

TQELDatabaseKind QELDatabaseKindOf(const std::string& databaseName) {
  // Exact spelling: "memory" names a database file like any other name.
  if (databaseName == "MEMORY") return dkMemory;
  if (databaseName == "TEMP") return dkTemporary;
  return dkDisk;
}

// The engine memory manager is made first, so that it outlives the list: at
// the end of the process the memory and temporary tables give their blocks
// back to it.
TQELDatabaseList::TQELDatabaseList() {
  QELMemoryManager();
  FMemory = std::make_unique<TQELMemoryDatabaseData>();
  FTemporary = std::make_unique<TQELTemporaryDatabaseData>();
}

TQELDatabaseList::~TQELDatabaseList() = default;

TQELDatabaseList& TQELDatabaseList::Instance() {
  static TQELDatabaseList list;
  return list;
}

TQELDatabaseData& TQELDatabaseList::Special(TQELDatabaseKind kind) {
  TQELCriticalSectionGuard guard(FLock);
  TQELDatabaseData* found = kind == dkMemory      ? FMemory.get()
                            : kind == dkTemporary ? FTemporary.get()
                                                  : nullptr;
  if (found == nullptr) {
    throw EQELException(20299, "Database %s is not available",
                        {kind == dkTemporary ? "TEMP" : "MEMORY"});
  }
  return *found;
}

void TQELDatabaseList::SetSpecial(TQELDatabaseKind kind,
                                  std::unique_ptr<TQELDatabaseData> databaseData) {
  TQELCriticalSectionGuard guard(FLock);
  if (kind == dkMemory) FMemory = std::move(databaseData);
  if (kind == dkTemporary) FTemporary = std::move(databaseData);
}

TQELDatabaseList::TFileKey TQELDatabaseList::KeyOf(const std::string& fileName) {
  TQELFileIdentity identity;
  if (QELGetFileIdentity(fileName, identity)) return identity;
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(fileName, error);
  if (error) return fileName;
  const std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, error);
  return error ? absolute.string() : canonical.string();
}

TQELDiskDatabaseData* TQELDatabaseList::FindDisk(const std::string& fileName) {
  TQELCriticalSectionGuard guard(FLock);
  if (FDisk.empty()) return nullptr;
  const TFileKey key = KeyOf(fileName);
  for (const TEntry& entry : FDisk) {
    if (entry.Key == key) return entry.Data.get();
  }
  return nullptr;
}

TQELDiskDatabaseData& TQELDatabaseList::AddDisk(const std::string& fileName) {
  TQELCriticalSectionGuard guard(FLock);
  FDisk.push_back({std::make_unique<TQELDiskDatabaseData>(fileName), KeyOf(fileName)});
  return *FDisk.back().Data;
}

bool TQELDatabaseList::ReleaseIfUnused(TQELDatabaseData* databaseData) {
  TQELCriticalSectionGuard guard(FLock);
  const auto found = std::find_if(FDisk.begin(), FDisk.end(), [&](const TEntry& entry) {
    return entry.Data.get() == databaseData;
  });
  if (found == FDisk.end()) return false;
  {
    TQELCriticalSectionGuard data(databaseData->Lock());
    if (!databaseData->Sessions().empty()) return false;
  }
  // Taken out of the list before it is freed: freeing closes the file,
  // which may fail, and must not leave a dangling entry behind.
  std::unique_ptr<TQELDiskDatabaseData> owned = std::move(found->Data);
  FDisk.erase(found);
  owned.reset();
  return true;
}

std::size_t TQELDatabaseList::DiskCount() {
  TQELCriticalSectionGuard guard(FLock);
  return FDisk.size();
}

}  // namespace qel
