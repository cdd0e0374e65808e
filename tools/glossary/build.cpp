// qel_glossary_build: builds the glossary database kuvo.qel from the text in
// data/glossary, through SQL like any program that embeds the engine. The
// descriptions become rich text with their bold phrases bold (the words the
// glossary window follows); the notes become plain rich text.
//
//   qel_glossary_build [--data DIR] OUTPUT
//
// The file is written beside OUTPUT under a temporary name and renamed over
// OUTPUT only when every entry is in, so a failed build leaves no half file.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "GlossaryText.h"
#include "components/QELDatabase.h"
#include "components/QELQuery.h"
#include "ui/QELRtfWriter.h"

namespace fs = std::filesystem;
using namespace qel;
using namespace qel::glossary;

namespace {

// The password the glossary window opens the file with.
constexpr const char* kPassword = "kelpTideOverSand1984";

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The size the memos are shown in, in half-points: a little larger than the
// window's own 8-point text, for reading.
constexpr std::int32_t kTextSize = 18;

// One paragraph of runs: bold where the text marks it.
std::string RichText(const std::vector<TGlossarySpan>& spans) {
  TQELRtfDocument document;
  TQELRtfParagraph& paragraph = document.Paragraphs.emplace_back();
  for (const TGlossarySpan& span : spans) {
    TQELRtfCharFormat format;
    format.Bold = span.Bold;
    format.FontSize = kTextSize;
    TQELRtfDocument::AppendRun(paragraph, span.Text, format);
  }
  return TQELRtfWriter::Write(document);
}

bool ReadGlossary(const fs::path& folder, TGlossaryText& text) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (entry.path().extension() == ".txt") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<TGlossaryProblem> problems;
  for (const fs::path& file : files) ParseGlossaryFile(file.filename().string(), ReadFile(file), text, problems);
  for (const TGlossaryProblem& problem : problems) {
    std::fprintf(stderr, "%s:%d: %s\n", problem.File.c_str(), problem.Line, problem.Message.c_str());
  }
  return problems.empty() && !text.Entries.empty();
}

void RunSQL(const std::string& sql) {
  TQELQuery query;
  query.SetDatabaseName("KUVOBUILD");
  query.SetSQLText(sql);
  query.ExecSQL();
}

void InsertEntry(const TGlossaryEntry& entry) {
  std::vector<TGlossarySpan> spans;
  std::string error;
  if (!SplitBold(entry.Description, spans, error)) throw std::runtime_error(entry.Term + ": " + error);
  TQELQuery query;
  query.SetDatabaseName("KUVOBUILD");
  query.SetSQLText("insert into tblKuvo (ISTILAH, DESKRIPSI, CATATAN) values (:istilah, :deskripsi, :catatan)");
  query.Params()[0].DataType = ftString;
  query.Params()[0].Value.SetAsString(entry.Term);
  query.Params()[1].DataType = ftString;
  query.Params()[1].Value.SetAsString(RichText(spans));
  query.Params()[2].DataType = ftString;
  if (!entry.Notes.empty()) query.Params()[2].Value.SetAsString(RichText({{entry.Notes, false}}));
  query.ExecSQL();
}

void Build(const TGlossaryText& text, const fs::path& file) {
  TQELDatabase database;
  database.SetDatabaseName("KUVOBUILD");
  database.SetDatabaseFileName(file.string());
  database.SetPassword(kPassword);
  database.CreateDatabase();
  database.SetConnected(true);
  RunSQL("create table tblKuvo (ISTILAH varchar(80) not null, "
         "DESKRIPSI memo blobcompressionalgorithm zlib blobcompressionmode 6, "
         "CATATAN memo blobcompressionalgorithm zlib blobcompressionmode 6, "
         "primary key (ISTILAH))");
  database.StartTransaction();
  for (const TGlossaryEntry& entry : text.Entries) InsertEntry(entry);
  database.Commit(true);
  database.SetConnected(false);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path data = "data/glossary";
  fs::path output;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--data" && i + 1 < argc) {
      data = argv[++i];
    } else if (argument == "--help" || argument == "-h") {
      std::printf("usage: qel_glossary_build [--data DIR] OUTPUT\n");
      return 0;
    } else {
      output = argument;
    }
  }
  if (output.empty()) {
    std::fprintf(stderr, "usage: qel_glossary_build [--data DIR] OUTPUT\n");
    return 2;
  }
  TGlossaryText text;
  if (!ReadGlossary(data, text)) {
    std::fprintf(stderr, "qel_glossary_build: the text in %s is not valid\n", data.string().c_str());
    return 1;
  }
  const fs::path partial = output.string() + ".part";
  std::error_code ignored;
  fs::remove(partial, ignored);
  try {
    Build(text, partial);
    // A cleanly closed database needs no journal; the engine still leaves
    // its empty one beside the file.
    fs::remove(partial.string() + "-journal", ignored);
    fs::rename(partial, output);
  } catch (const std::exception& error) {
    fs::remove(partial, ignored);
    std::fprintf(stderr, "qel_glossary_build: %s\n", error.what());
    return 1;
  }
  std::printf("%s: %zu terms\n", output.string().c_str(), text.Entries.size());
  return 0;
}
