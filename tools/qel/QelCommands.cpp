#include "QelCommands.h"

#include <iomanip>
#include <ostream>

#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskPageManager.h"
#include "platform/QELException.h"

namespace qel::tool {

namespace {

// Opens the file read-only: the tool never changes a file it inspects.
void OpenForReading(TQELDiskPageManager& manager, const TOptions& options, bool& needRepair) {
  TQELPassword password{options.Password, 0};
  bool multiUser = false, readOnly = true;
  manager.OpenDatabase(options.File, password, multiUser, false, needRepair, readOnly);
}

void Field(std::ostream& out, const char* name, const auto& value) {
  out << std::left << std::setw(18) << name << value << '\n';
}

std::string WriteStateText(std::uint8_t state) {
  switch (state) {
    case kQELWriteStateConsistent: return "2 (consistent)";
    case kQELWriteStateWriting: return "1 (pages were being written)";
    default: return std::to_string(state) + " (unknown)";
  }
}

std::string CipherText(const TQELDiskPageManager& manager) {
  if (!manager.IsEncrypted()) return "none (plain file)";
  const std::uint8_t id = manager.GetExtendedHeader().CryptoAlgorithm;
  const std::string_view name = CryptoAlgorithmName(id);
  return name.empty() ? "unknown cipher " + std::to_string(id) : std::string(name);
}

void PrintTables(TQELDiskPageManager& manager, std::ostream& out) {
  TQELDiskDatabaseCatalog catalog(manager);
  try {
    catalog.Open();
  } catch (const EQELException& e) {
    out << "system files      cannot be loaded: " << e.what() << '\n';
    return;
  }
  Field(out, "max connections", catalog.MaxConnections());
  const auto& tables = catalog.TableList().Tables();
  Field(out, "tables", tables.size());
  if (tables.empty()) return;
  out << "  " << std::left << std::setw(24) << "name" << std::setw(10) << "object id" << std::setw(10)
      << "metadata" << std::setw(8) << "header" << "locks\n";
  for (const TQELTableInfo& table : tables) {
    out << "  " << std::left << std::setw(24) << table.Name << std::setw(10) << table.ObjectID << std::setw(10)
        << table.MetadataStartPage << std::setw(8) << table.HeaderStartPage << table.LocksStartPage << '\n';
  }
}

}  // namespace

int CreateCommand(const TOptions& options, std::ostream& out) {
  const TQELCryptoAlgorithm cipher = CryptoAlgorithmFromName(options.Cipher).value_or(caRijndael_128);
  TQELDiskPageManager manager;
  manager.CreateDatabase(options.File, {options.Password, cipher}, options.Extent, options.PageSize);
  TQELDiskDatabaseCatalog catalog(manager);
  catalog.Create(options.MaxConnections);
  manager.CloseDatabase();
  out << "created " << options.File << " (page size " << options.PageSize << ", " << options.Extent
      << " pages per extent, " << (options.Password.empty() ? "plain" : "encrypted with " + options.Cipher)
      << ")\n";
  return 0;
}

int InfoCommand(const TOptions& options, std::ostream& out) {
  TQELDiskPageManager manager;
  bool needRepair = false;
  OpenForReading(manager, options, needRepair);
  const TQELDatabaseHeader& header = manager.GetHeader();
  const TQELDiskFileSummary summary = CheckDiskFile(manager);
  Field(out, "file", options.File);
  Field(out, "file size", std::to_string(summary.FileSize) + " bytes");
  Field(out, "signature", header.SignatureText());
  Field(out, "database offset", manager.BaseOffset());
  Field(out, "format version", header.FormatVersion);
  Field(out, "header size", header.HeaderSize);
  Field(out, "page size", header.PageSize);
  Field(out, "pages per extent", header.PageCountInExtent);
  Field(out, "total pages", header.TotalPageCount);
  Field(out, "last used page", header.LastUsedPageNo);
  Field(out, "commit counter", header.CommitCounter);
  Field(out, "write state", WriteStateText(header.WriteState));
  Field(out, "needs repair", needRepair ? "yes" : "no");
  Field(out, "cipher", CipherText(manager));
  Field(out, "used pages", summary.UsedPageCount);
  for (const auto& [type, count] : summary.PagesByType) {
    out << "  " << std::left << std::setw(26) << PageTypeName(type) << count << '\n';
  }
  Field(out, "free pages", summary.FreePageCount);
  if (!summary.Faults.empty()) Field(out, "faults", std::to_string(summary.Faults.size()) + " (see qel check)");
  PrintTables(manager, out);
  return 0;
}

int CheckCommand(const TOptions& options, std::ostream& out) {
  TQELDiskPageManager manager;
  bool needRepair = false;
  OpenForReading(manager, options, needRepair);
  TQELDiskFileSummary summary = CheckDiskFile(manager);
  for (TQELFileFault& fault : CheckDiskCatalog(manager)) summary.Faults.push_back(std::move(fault));
  if (needRepair) out << "note: the file was not closed cleanly or is of an old format (needs repair)\n";
  for (const TQELFileFault& fault : summary.Faults) {
    if (fault.PageNo >= 0) {
      out << "page " << fault.PageNo << ": " << fault.Message << '\n';
    } else {
      out << "file: " << fault.Message << '\n';
    }
  }
  out << summary.TotalPageCount << " pages checked, " << summary.Faults.size() << " fault"
      << (summary.Faults.size() == 1 ? "" : "s") << '\n';
  return summary.Faults.empty() ? 0 : 1;
}

}  // namespace qel::tool
