// qel_glossary_check: reads the glossary's text files and reports every
// problem as FILE:LINE: MESSAGE. Exits 0 when the text is valid, 1 when it
// has problems, 2 on a usage or read error.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "GlossaryCheck.h"
#include "GlossaryText.h"

namespace {

constexpr const char* kUsage =
    "usage: qel_glossary_check [--min-terms N] PATH...\n"
    "  PATH is a glossary text file or a folder whose *.txt files are read in name order.\n"
    "  --min-terms N  also fail when the text holds fewer than N terms.\n";

bool ReadFile(const std::filesystem::path& path, std::string& content) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  content = buffer.str();
  return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace qel::glossary;
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  long minTerms = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--min-terms") {
      char* end = nullptr;
      if (i + 1 >= argc || (minTerms = std::strtol(argv[i + 1], &end, 10)) < 0 || *end != '\0') {
        std::cerr << "qel_glossary_check: --min-terms needs a count\n" << kUsage;
        return 2;
      }
      ++i;
      continue;
    }
    std::error_code error;
    if (fs::is_directory(arg, error)) {
      std::vector<fs::path> found;
      for (const fs::directory_entry& item : fs::directory_iterator(arg, error)) {
        if (item.is_regular_file() && item.path().extension() == ".txt") found.push_back(item.path());
      }
      std::sort(found.begin(), found.end());
      files.insert(files.end(), found.begin(), found.end());
    } else {
      files.emplace_back(arg);
    }
  }
  if (files.empty()) {
    std::cerr << "qel_glossary_check: no glossary files given or found\n" << kUsage;
    return 2;
  }

  TGlossaryText text;
  std::vector<TGlossaryProblem> problems;
  for (const fs::path& file : files) {
    std::string content;
    if (!ReadFile(file, content)) {
      std::cerr << "qel_glossary_check: cannot read " << file.string() << '\n';
      return 2;
    }
    ParseGlossaryFile(file.string(), content, text, problems);
  }
  std::vector<TGlossaryProblem> checked = CheckGlossary(text);
  problems.insert(problems.end(), checked.begin(), checked.end());
  std::stable_sort(problems.begin(), problems.end(), [](const auto& a, const auto& b) {
    return a.File != b.File ? a.File < b.File : a.Line < b.Line;
  });

  const TGlossaryStats stats = GlossaryStats(text);
  if (stats.Terms < minTerms) {
    problems.push_back({files.front().parent_path().string(), 0,
                        "the glossary holds " + std::to_string(stats.Terms) + " terms, fewer than " +
                            std::to_string(minTerms)});
  }
  for (const TGlossaryProblem& problem : problems) {
    std::cerr << problem.File << ':' << problem.Line << ": " << problem.Message << '\n';
  }
  std::cout << stats.Files << " files, " << stats.Terms << " terms (" << stats.MultiWordTerms
            << " of several words), " << stats.Notes << " with notes, " << stats.BoldMarks
            << " bold phrases, " << stats.NonTerms << " listed non-terms: "
            << (problems.empty() ? "valid" : std::to_string(problems.size()) + " problems") << '\n';
  return problems.empty() ? 0 : 1;
}
