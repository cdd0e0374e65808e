// Fuzz target for whole database files: the input bytes are written to a
// file, which is checked as `qel check` checks it (pages, system files,
// every table with its indexes and BLOB values), then opened read-only as a
// database of the components and every table is read with `select *`,
// every field of every row as text (which reads and decompresses the memos
// and BLOBs). A file that is damaged must end in an exception or in faults;
// a crash, a hang, a leak or undefined behaviour is a finding (the
// sanitizers around this report the last ones).
//
// Encrypted files of the saved corpus use the password below; it is given
// for every file (a plain file ignores it).

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include "FuzzScratch.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "components/QELSession.h"
#include "components/QELSessionList.h"
#include "disk/QELDiskCatalogCheck.h"
#include "disk/QELDiskDatabaseData.h"
#include "disk/QELDiskFileCheck.h"
#include "disk/QELDiskPageManager.h"
#include "disk/QELDiskTableCheck.h"
#include "memory/QELMemory.h"
#include "platform/QELException.h"

namespace {

using namespace qel;

// The password of the encrypted files of the saved corpus.
constexpr const char* kCorpusPassword = "kata-sandi";
// Larger inputs are skipped: each input must stay fast, and the corpus
// files are a few KiB.
constexpr std::size_t kMaxFileSize = 256 * 1024;
// Engine memory per input; a damaged size field asks for more and gets
// the engine's out-of-memory error.
constexpr std::int64_t kMemoryLimit = 256LL * 1024 * 1024;

std::string gFileName;

void WriteFile(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(gFileName.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  if (std::fclose(file) != 0) std::abort();
}

// As `qel check`: the pages and the system files, then every table.
void CheckFile() {
  try {
    TQELDiskPageManager manager;
    manager.OpenDatabase(gFileName, {kCorpusPassword, 0}, {.ReadOnly = true});
    CheckDiskFile(manager);
    CheckDiskCatalog(manager);
  } catch (const std::exception&) {
  }
  try {
    TQELDiskDatabaseData database(gFileName);
    database.Open({kCorpusPassword, 0}, {.ReadOnly = true});
    CheckDiskTables(database, {.Verify = true});
  } catch (const std::exception&) {
  }
}

void ReadTable(const std::string& table) {
  TQELQuery query;
  query.SetDatabaseName("FUZZ");
  std::string quoted;
  for (const char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  query.SetSQLText("select * from \"" + quoted + "\"");
  try {
    query.Open();
    for (query.First(); !query.Eof(); query.Next()) {
      for (std::int32_t i = 0; i < query.FieldCount(); ++i) {
        if (!query.Fields(i).IsNull()) query.Fields(i).AsString();
      }
    }
  } catch (const std::exception&) {
  }
}

// Through the components, read-only, as an application reads a file.
void ReadTables() {
  TQELDatabase database;
  database.SetDatabaseName("FUZZ");
  database.SetDatabaseFileName(gFileName);
  database.SetPassword(kCorpusPassword);
  database.SetReadOnly(true);
  database.SetSilentMode(true);
  try {
    database.SetConnected(true);
    std::vector<std::string> tables;
    database.GetTableNames(tables);
    for (const std::string& table : tables) ReadTable(table);
  } catch (const std::exception&) {
  }
  try {
    database.SetConnected(false);
  } catch (const std::exception&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  gFileName = qel::fuzz::MakeScratchDirectory("qel-file-fuzz") + "/fuzz.qel";
  TQELSessionList::Instance().DefaultSession().SetKeepConnections(false);
  QELMemoryManager().SetMemoryLimit(kMemoryLimit);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxFileSize) return -1;
  WriteFile(data, size);
  CheckFile();
  ReadTables();
  std::remove(gFileName.c_str());
  return 0;
}
