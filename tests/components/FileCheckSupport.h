#pragma once
// What `qel check` would report on a database file, for tests that must
// leave files clean.

#include <string>
#include <vector>

#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELDiskTableCheck.h"

namespace qel::test {

// Every fault `qel check` would report on the file.
inline std::vector<std::string> FaultsOf(const std::string& file, const std::string& password) {
  std::vector<std::string> faults;
  {
    TQELDiskPageManager manager;
    const TQELOpenResult opened = manager.OpenDatabase(file, {password, 0}, {.ReadOnly = true});
    if (opened.NeedRepair) faults.push_back("needs repair");
    for (const TQELFileFault& fault : CheckDiskFile(manager).Faults) faults.push_back(fault.Message);
    for (const TQELFileFault& fault : CheckDiskCatalog(manager)) faults.push_back(fault.Message);
  }
  TQELDiskDatabaseData database(file);
  database.Open({password, 0}, {.ReadOnly = true});
  for (const TQELDiskTableSummary& table : CheckDiskTables(database, {true})) {
    for (const TQELTableFault& fault : table.Faults) faults.push_back(FormatTableFault(fault));
  }
  return faults;
}

}  // namespace qel::test
