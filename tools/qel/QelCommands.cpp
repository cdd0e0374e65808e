#include "QelCommands.h"

#include <iomanip>
#include <ostream>
#include <sstream>

#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseCatalog.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELDiskTableCheck.h"
#include "platform/QELException.h"
#include "streams/QELCompression.h"

namespace qel::tool {

namespace {

// Opens the file read-only: the tool never changes a file it inspects.
TQELOpenResult OpenForReading(TQELDiskPageManager& manager, const TOptions& options) {
  return manager.OpenDatabase(options.File, {options.Password, 0}, {.ReadOnly = true});
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

// Opens the file again, read-only, as a database with its tables, and walks
// every table. Answers false, with the reason in `error`, when the tables
// cannot be reached at all.
bool InspectTables(const TOptions& options, bool verify, std::vector<TQELDiskTableSummary>& tables,
                   std::string& error) {
  try {
    TQELDiskDatabaseData database(options.File);
    database.Open({options.Password, 0}, {.ReadOnly = true});
    tables = CheckDiskTables(database, {verify});
    return true;
  } catch (const EQELException& e) {
    error = e.what();
    return false;
  }
}

void PrintTableSummary(const TQELDiskTableSummary& table, std::ostream& out) {
  out << "\ntable " << table.Name << '\n';
  if (!table.Opened) {
    for (const TQELTableFault& fault : table.Faults) out << "  " << fault.Message << '\n';
    return;
  }
  out << "  fields          " << table.Fields.size() << '\n';
  for (const TQELDiskTableField& field : table.Fields) {
    std::ostringstream line;
    line << "    " << std::left << std::setw(24) << field.Name << std::setw(16) << field.Type << std::setw(8)
         << (field.Size > 0 ? std::to_string(field.Size) : "");
    if (field.IsBlob) line << "compression " << CompressionAlgorithmName(field.BlobCompressionAlgorithm);
    std::string text = line.str();
    text.erase(text.find_last_not_of(' ') + 1);
    out << text << '\n';
  }
  out << "  indexes         " << table.Indexes.size() << '\n';
  for (const TQELDiskTableIndex& index : table.Indexes) {
    out << "    " << std::left << std::setw(24) << index.Name << index.Columns;
    if (index.Primary) out << "  primary";
    if (index.Unique) out << "  unique";
    out << '\n';
  }
  out << "  records         " << table.RecordCount << '\n';
  out << "  record pages    " << table.RecordPageCount << '\n';
  out << "  BLOB pages      " << table.BlobPageCount << '\n';
  if (!table.Faults.empty()) out << "  faults          " << table.Faults.size() << " (see qel check)\n";
}

void PrintFileInfo(const TOptions& options, std::ostream& out) {
  TQELDiskPageManager manager;
  const bool needRepair = OpenForReading(manager, options).NeedRepair;
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
  PrintFileInfo(options, out);
  std::vector<TQELDiskTableSummary> tables;
  std::string error;
  if (!InspectTables(options, false, tables, error)) {
    out << "\ntables cannot be opened: " << error << '\n';
    return 0;
  }
  for (const TQELDiskTableSummary& table : tables) PrintTableSummary(table, out);
  return 0;
}

int CheckCommand(const TOptions& options, std::ostream& out) {
  TQELDiskFileSummary summary;
  {
    TQELDiskPageManager manager;
    const bool needRepair = OpenForReading(manager, options).NeedRepair;
    summary = CheckDiskFile(manager);
    for (TQELFileFault& fault : CheckDiskCatalog(manager)) summary.Faults.push_back(std::move(fault));
    if (needRepair) out << "note: the file was not closed cleanly or is of an old format (needs repair)\n";
  }
  for (const TQELFileFault& fault : summary.Faults) {
    if (fault.PageNo >= 0) {
      out << "page " << fault.PageNo << ": " << fault.Message << '\n';
    } else {
      out << "file: " << fault.Message << '\n';
    }
  }
  std::size_t faults = summary.Faults.size();
  std::vector<TQELDiskTableSummary> tables;
  std::string error;
  if (!InspectTables(options, true, tables, error)) {
    out << "file: the tables cannot be opened: " << error << '\n';
    ++faults;
  }
  for (const TQELDiskTableSummary& table : tables) {
    for (const TQELTableFault& fault : table.Faults) out << FormatTableFault(fault) << '\n';
    faults += table.Faults.size();
  }
  out << summary.TotalPageCount << " pages and " << tables.size() << " table" << (tables.size() == 1 ? "" : "s")
      << " checked, " << faults << " fault" << (faults == 1 ? "" : "s") << '\n';
  return faults == 0 ? 0 : 1;
}

int RecoverCommand(const TOptions& options, std::ostream& out) {
  TQELDiskPageManager manager;
  if (manager.OpenDatabase(options.File, {options.Password, 0}).ReadOnly) {
    out << options.File << " cannot be written; nothing was rolled back\n";
    return 1;
  }
  const std::int32_t rolledBack = manager.RolledBackChanges();
  manager.CloseDatabase();
  out << (rolledBack > 0 ? "rolled back an unfinished change: " : "no unfinished change: ") << options.File
      << " holds its last complete commit\n";
  return 0;
}

}  // namespace qel::tool
