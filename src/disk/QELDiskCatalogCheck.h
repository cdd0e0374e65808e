#pragma once
// A consistency check of a database file's system files: the system
// directory, the active-sessions file, the table list and every table's
// internal files (chains of the right page type, ending where their size
// says, made of pages in use and shared with no other chain).

#include <vector>

#include "disk/QELDiskFileCheck.h"

namespace qel {

class TQELDiskPageManager;

// Never raises for damage: damage becomes a fault naming the page.
std::vector<TQELFileFault> CheckDiskCatalog(TQELDiskPageManager& manager);

}  // namespace qel
