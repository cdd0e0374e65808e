// Makes the saved corpus of qel_file_fuzz: small database files, each
// showing some features of the file format, made through the components
// and SQL as an application makes them. Small pages and extents keep the
// files at a few KiB, so that the fuzzer mutates structure rather than
// padding.
//
//   qel_file_corpus <directory>
//
// Encrypted files use the password qel_file_fuzz tries (FileFuzz.cpp).

#include <cstdio>
#include <exception>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "crypto/PageCipher.h"

namespace {

using namespace qel;

constexpr const char* kCorpusPassword = "kata-sandi";

struct TCorpusFile {
  const char* Name;
  std::vector<std::string> Statements;
  const char* Password = "";
  std::uint8_t Cipher = caRijndael_128;
  std::int32_t PageSize = 512;
  std::int32_t MaxConnections = 1;
};

// A text of `size` bytes that compresses, but not to nothing.
std::string LongText(std::size_t size) {
  std::string text;
  for (std::size_t i = 0; text.size() < size; ++i) text += "kata ke-" + std::to_string(i * 7919 % 1000) + " ";
  text.resize(size);
  return "'" + text + "'";
}

std::string MemoTable(const char* algorithm, const char* mode) {
  return std::string("create table catatan (id integer, judul varchar(20), isi memo blobcompressionalgorithm ") +
         algorithm + " blobcompressionmode " + mode + " blobblocksize 512, gambar blob blobcompressionalgorithm " +
         algorithm + " blobcompressionmode " + mode + ", primary key (id))";
}

std::vector<std::string> MemoRows() {
  return {
      "insert into catatan values (1, 'pendek', 'isi singkat', null)",
      "insert into catatan values (2, 'panjang', " + LongText(3000) + ", mimetobin('AAECAwQFBgcICQ=='))",
      "insert into catatan values (3, 'kosong', '', mimetobin(''))",
      "insert into catatan values (4, null, null, null)",
  };
}

std::vector<TCorpusFile> CorpusFiles() {
  std::vector<TCorpusFile> files;
  files.push_back({"empty", {}});
  files.push_back({"plain",
                   {"create table kata (id integer, lema varchar(20))",
                    "insert into kata values (1, 'rumah'), (2, 'pohon'), (3, null)"}});
  files.push_back(
      {"types",
       {"create table jenis (a smallint, b integer, c largeint, d word, e byte, f cardinal, g float, h single, "
        "i extended, j boolean, k currency, l date, m time, n datetime, o timestamp, p bytes(4), q varbytes(8), "
        "r char(5), s widestring(10), t autoinc, u shortint)",
        "insert into jenis (a, b, c, d, e, f, g, h, i, j, k, l, m, n, o, p, q, r, s, u) values (-5, 70000, "
        "9000000000, 65535, 255, 4000000000, 1.5, 2.25, 3.125, true, 12.3456, date '2024-02-29', "
        "time '23:59:58', timestamp '2001-01-01 12:00:00', timestamp '1999-12-31 23:59:59', mimetobin('AQIDBA=='), "
        "mimetobin('CgsM'), 'abc', 'lebar', -3)",
        "insert into jenis (a) values (null)"}});
  files.push_back({"indexes",
                   {"create table lema (id integer, kata varchar(20), kelas varchar(8), nilai float, "
                    "primary key (id), unique index ix_kata (kata), index ix_kelas (kelas desc nocase, nilai))",
                    "insert into lema values (1, 'air', 'n', 1.0), (2, 'Batu', 'N', 2.0), (3, 'cari', 'v', 0.5), "
                    "(4, 'dan', 'p', null), (5, 'elok', 'a', -1.0), (6, 'Fajar', 'n', 3.0)",
                    "create index ix_nilai on lema (nilai desc)"}});
  struct TMemoFile {
    const char* Name;
    const char* Algorithm;
    const char* Mode;
  };
  for (const TMemoFile& memo : {TMemoFile{"memo-none", "none", "0"}, TMemoFile{"memo-zlib", "zlib", "6"},
                                TMemoFile{"memo-bzip", "bzip", "9"}, TMemoFile{"memo-ppm", "ppm", "4"}}) {
    TCorpusFile file{memo.Name, {MemoTable(memo.Algorithm, memo.Mode)}};
    for (std::string& row : MemoRows()) file.Statements.push_back(std::move(row));
    files.push_back(std::move(file));
  }
  files.push_back({"wide-memo",
                   {"create table arti (id integer, teks widememo, rupa formattedmemo)",
                    "insert into arti values (1, 'makna', '{\\rtf1 tebal}'), (2, " + LongText(800) + ", null)"}});
  for (const auto& [name, cipher] : {std::pair{"encrypted-rijndael", caRijndael_128},
                                     std::pair{"encrypted-blowfish", caBlowfish},
                                     std::pair{"encrypted-des3", caDES_Triple}}) {
    TCorpusFile file{name,
                     {"create table rahasia (id integer, teks varchar(30), m memo blobcompressionalgorithm zlib blobcompressionmode 5, "
                      "primary key (id))",
                      "insert into rahasia values (1, 'sandi', 'isi tersembunyi'), (2, 'kunci', " +
                          LongText(1200) + ")"},
                     kCorpusPassword,
                     cipher};
    files.push_back(std::move(file));
  }
  files.push_back({"changed",
                   {"create table ubah (id integer, t varchar(10), m memo, primary key (id))",
                    "insert into ubah values (1, 'a', 'satu'), (2, 'b', " + LongText(900) + "), (3, 'c', 'tiga'), "
                    "(4, 'd', null), (5, 'e', 'lima')",
                    "update ubah set t = 'bb', m = 'diganti' where id = 2", "delete from ubah where id in (1, 4)",
                    "alter table ubah add n integer", "update ubah set n = id * 10",
                    "create table buang (x integer)", "insert into buang values (1)", "drop table buang",
                    "alter table ubah rename to ubahan"}});
  files.push_back({"multi-user",
                   {"create table bersama (id autoinc, t varchar(10), index ix_t (t))",
                    "insert into bersama (t) values ('satu'), ('dua'), ('tiga')"},
                   "",
                   caRijndael_128,
                   1024,
                   8});
  files.push_back({"two-tables",
                   {"create table induk (id integer, nama varchar(10), primary key (id))",
                    "create table anak (id integer, induk integer, catatan memo, index ix_induk (induk))",
                    "insert into induk values (1, 'a'), (2, 'b')",
                    "insert into anak values (10, 1, 'x'), (11, 1, null), (12, 2, 'zz')"}});
  return files;
}

void Make(const std::filesystem::path& directory, const TCorpusFile& spec) {
  const std::string fileName = (directory / spec.Name).string();
  std::filesystem::remove(fileName);
  TQELDatabase database;
  database.SetDatabaseName("CORPUS");
  database.SetDatabaseFileName(fileName);
  database.SetPassword(spec.Password);
  database.SetCryptoAlgorithm(spec.Cipher);
  database.SetPageSize(spec.PageSize);
  database.SetPageCountInExtent(4);
  database.SetMaxConnections(spec.MaxConnections);
  database.CreateDatabase();
  database.SetConnected(true);
  for (const std::string& sql : spec.Statements) {
    TQELQuery query;
    query.SetDatabaseName("CORPUS");
    query.SetSQLText(sql);
    try {
      query.ExecSQL();
    } catch (const std::exception& error) {
      throw std::runtime_error(std::string(spec.Name) + ": " + sql + ": " + error.what());
    }
  }
  database.SetConnected(false);
  std::printf("%-20s %8ju bytes\n", spec.Name, static_cast<std::uintmax_t>(std::filesystem::file_size(fileName)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  std::filesystem::create_directories(argv[1]);
  try {
    for (const TCorpusFile& file : CorpusFiles()) Make(argv[1], file);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
