// Embedding the engine: create a database file, make a table, write rows
// through a parameterised INSERT, read them back with SELECT and check that
// what was read equals what was written. Exits 0 only when it does.

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <iostream>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "components/QELDatabase.h"
#include "components/QELQuery.h"

namespace {

struct TTerm {
  std::int32_t Id;
  std::string Word;
  std::string Description;

  bool operator==(const TTerm&) const = default;
};

// A memo holds text of any length; the third one spans several pages of
// the file.
std::vector<TTerm> SampleTerms() {
  std::string longText;
  for (int i = 1; i <= 200; ++i) {
    longText += "Baris " + std::to_string(i) + " dari catatan panjang yang tersimpan di luar rekamannya.\n";
  }
  return {
      {1, "basis data", "Kumpulan data yang tersusun rapi dan disimpan agar mudah dicari serta diubah."},
      {2, "indeks", "Struktur yang mempercepat pencarian baris menurut nilai satu kolom atau lebih."},
      {3, "memo", longText},
  };
}

// A folder of its own under the system's temporary folder, so that the
// database file and the engine's files beside it go away together.
std::filesystem::path MakeScratchFolder() {
  std::random_device random;
  for (;;) {
    auto folder = std::filesystem::temp_directory_path() / ("qelmonte-hello-" + std::to_string(random()));
    if (std::filesystem::create_directory(folder)) return folder;
  }
}

bool Run(const std::string& fileName) {
  const std::vector<TTerm> written = SampleTerms();

  // A database is a named connection to one file; queries find it by that
  // name. Silent mode keeps the engine from asking anything (a password,
  // whether to repair), as a program without a user should.
  qel::TQELDatabase database;
  database.SetDatabaseName("HELLO");
  database.SetDatabaseFileName(fileName);
  database.SetSilentMode(true);
  // A new, empty file; the database stays disconnected until opened.
  database.CreateDatabase();
  database.Open();

  // Statements without a result run through ExecSQL.
  qel::TQELQuery query;
  query.SetDatabaseName("HELLO");
  query.SetSQLText("CREATE TABLE istilah (id INTEGER, kata VARCHAR(40), uraian MEMO, PRIMARY KEY (id))");
  query.ExecSQL();

  // Setting the text lists its parameter markers in Params. Giving each a
  // type converts the values to it; a memo column takes a text parameter.
  // The same statement then runs once for each row's values.
  query.SetSQLText("INSERT INTO istilah (id, kata, uraian) VALUES (:id, :kata, :uraian)");
  qel::TParam& id = query.Params().ParamByName("id");
  qel::TParam& word = query.Params().ParamByName("kata");
  qel::TParam& description = query.Params().ParamByName("uraian");
  id.DataType = qel::ftInteger;
  word.DataType = qel::ftString;
  description.DataType = qel::ftString;
  for (const TTerm& term : written) {
    id.Value.SetAsInteger(term.Id);
    word.Value.SetAsString(term.Word);
    description.Value.SetAsString(term.Description);
    query.ExecSQL();
  }

  // A SELECT opens the query on its result; the fields read the current
  // row, a memo as text through AsString like any other field.
  query.SetSQLText("SELECT id, kata, uraian FROM istilah ORDER BY id");
  query.Open();
  std::vector<TTerm> read;
  for (query.First(); !query.Eof(); query.Next()) {
    TTerm term{query.FieldByName("id").AsInteger(), query.FieldByName("kata").AsString(),
               query.FieldByName("uraian").AsString()};
    std::cout << term.Id << " | " << term.Word << " | " << term.Description.size() << " characters: "
              << term.Description.substr(0, term.Description.find('\n')) << '\n';
    read.push_back(std::move(term));
  }

  // Closing the query and the database releases the file, which can then
  // be deleted together with the engine's files beside it.
  query.Close();
  query.UnPrepare();
  database.Close();
  database.DeleteDatabase();

  if (read != written) {
    std::cerr << "hello: the rows read back differ from the rows written\n";
    return false;
  }
  if (std::filesystem::exists(fileName)) {
    std::cerr << "hello: the database file is still there after deleting it\n";
    return false;
  }
  std::cout << "hello: " << read.size() << " rows written and read back alike\n";
  return true;
}

}  // namespace

int main() {
  const std::filesystem::path folder = MakeScratchFolder();
  bool passed = false;
  // The engine reports every failure as an exception with its message (and,
  // for the engine's own errors, a native error code in it).
  try {
    passed = Run((folder / "hello.qel").string());
  } catch (const std::exception& error) {
    std::cerr << "hello: " << error.what() << '\n';
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return passed ? EXIT_SUCCESS : EXIT_FAILURE;
}
