// The glossary text's parser and checker: what they accept, and that each kind
// of fault is reported at its file and line.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "GlossaryCheck.h"
#include "GlossaryText.h"
#include "support/TestSupport.h"

namespace qel::glossary {
namespace {

using TFiles = std::vector<std::pair<std::string, std::string>>;

// Parses and checks the files; answers every problem as "FILE:LINE: MESSAGE".
std::vector<std::string> Problems(const TFiles& files, TGlossaryText* parsed = nullptr) {
  TGlossaryText text;
  std::vector<TGlossaryProblem> problems;
  for (const auto& [name, content] : files) ParseGlossaryFile(name, content, text, problems);
  const std::vector<TGlossaryProblem> checked = CheckGlossary(text);
  problems.insert(problems.end(), checked.begin(), checked.end());
  std::vector<std::string> lines;
  for (const TGlossaryProblem& p : problems) lines.push_back(p.File + ":" + std::to_string(p.Line) + ": " + p.Message);
  if (parsed != nullptr) *parsed = std::move(text);
  return lines;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += line + "\n";
  return all;
}

// Two terms that the fixtures' bold phrases can lead to.
const std::string kBase =
    "istilah: berkas\n"
    "uraian: Kumpulan data bernama di dalam **direktori**.\n"
    "\n"
    "istilah: direktori\n"
    "uraian: Wadah bernama bagi **berkas**.\n"
    "\n";

TEST(GlossaryTextTest, ParsesEntriesWithContinuationsNotesAndNonTerms) {
  const std::string content =
      "\xEF\xBB\xBF# Glosarium uji\r\n"
      "# bukan istilah: Kata Lain\r\n"
      "\r\n"
      "istilah: basis data\r\n"
      "uraian: **Berkas** yang tertata; lihat juga **kata lain** dan\r\n"
      "   **direktori  **. Tanda * tunggal hanyalah teks!\r\n"
      "catatan: Sebuah catatan\r\n"
      "\tyang bersambung.\r\n"
      "\r\n"
      "\r\n"
      "# komentar di antara entri\r\n" +
      kBase;
  TGlossaryText text;
  const std::vector<std::string> problems = Problems({{"uji.txt", content}}, &text);
  EXPECT_TRUE(problems.empty()) << Joined(problems);
  ASSERT_EQ(text.Entries.size(), 3u);
  const TGlossaryEntry& entry = text.Entries[0];
  EXPECT_EQ(entry.Term, "basis data");
  EXPECT_EQ(entry.Description,
            "**Berkas** yang tertata; lihat juga **kata lain** dan **direktori  **. Tanda * tunggal hanyalah teks!");
  EXPECT_EQ(entry.Notes, "Sebuah catatan yang bersambung.");
  EXPECT_EQ(entry.TermLine, 4);
  EXPECT_EQ(entry.DescriptionLine, 5);
  EXPECT_EQ(entry.NotesLine, 7);
  EXPECT_EQ(text.Entries[1].TermLine, 12);
  EXPECT_EQ(text.Entries[2].NotesLine, 0);
  ASSERT_EQ(text.NonTerms.size(), 1u);
  EXPECT_EQ(text.NonTerms[0].Text, "Kata Lain");

  const TGlossaryStats stats = GlossaryStats(text);
  EXPECT_EQ(stats.Files, 1);
  EXPECT_EQ(stats.Terms, 3);
  EXPECT_EQ(stats.Notes, 1);
  EXPECT_EQ(stats.MultiWordTerms, 1);
  EXPECT_EQ(stats.BoldMarks, 5);
  EXPECT_EQ(stats.NonTerms, 1);
}

TEST(GlossaryTextTest, SplitsBoldMarksAndRejectsBadOnes) {
  std::vector<TGlossarySpan> spans;
  std::string error;
  ASSERT_TRUE(SplitBold("pilih * dari **tabel** saja", spans, error)) << error;
  ASSERT_EQ(spans.size(), 3u);
  EXPECT_EQ(spans[0].Text, "pilih * dari ");
  EXPECT_FALSE(spans[0].Bold);
  EXPECT_EQ(spans[1].Text, "tabel");
  EXPECT_TRUE(spans[1].Bold);
  EXPECT_EQ(PlainText(spans), "pilih * dari tabel saja");

  const std::vector<std::pair<std::string, std::string>> bad = {
      {"buka **tabel", "not closed"},
      {"***tabel**", "3 asterisks"},
      {"kosong ** ** di sini", "empty bold"},
      {"kosong **** di sini", "4 asterisks"},
  };
  for (const auto& [text, message] : bad) {
    error.clear();
    EXPECT_FALSE(SplitBold(text, spans, error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << text << ": " << error;
  }
}

TEST(GlossaryTextTest, FollowKeyTrimsControlsAndLowersOnlyAscii) {
  EXPECT_EQ(FollowKey("\t Basis DATA \r\n"), "basis data");
  EXPECT_EQ(FollowKey("\xC3\x89TER"), "\xC3\x89ter");  // the window leaves non-ASCII letters alone
  EXPECT_EQ(FollowKey("   "), "");
  EXPECT_TRUE(IsValidUtf8("\xC3\xA9 \xE2\x80\x99 \xF0\x9F\x98\x80"));
  for (const char* bad : {"\xC3\x28", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x80", "\xFF"}) {
    EXPECT_FALSE(IsValidUtf8(bad)) << bad;
  }
}

TEST(GlossaryTextTest, CountsSentences) {
  const std::vector<std::tuple<std::string, int, bool>> cases = {
      {"Satu. Dua.", 2, false},
      {"Versi 2.0 dan berkas.txt ada.", 1, false},
      {"Apa? Ya!", 2, false},
      {"Tunggu... lalu lanjut.", 2, false},
      {"Satu (lihat contoh.) Dua.", 2, false},
      {"Satu. Tanpa akhir", 1, true},
      {"", 0, false},
  };
  for (const auto& [text, count, unfinished] : cases) {
    bool open = false;
    EXPECT_EQ(CountSentences(text, open), count) << text;
    EXPECT_EQ(open, unfinished) << text;
  }
}

// Each fixture holds one fault; the report must name its line and kind.
struct TFaultCase {
  const char* Name;
  std::string Content;
  std::string Expected;  // "LINE: part of the message"
};

void ExpectFaults(const std::vector<TFaultCase>& cases) {
  for (const TFaultCase& fault : cases) {
    const std::vector<std::string> problems = Problems({{"uji.txt", fault.Content}});
    ASSERT_EQ(problems.size(), 1u) << fault.Name << "\n" << Joined(problems);
    EXPECT_NE(problems[0].find("uji.txt:" + fault.Expected.substr(0, fault.Expected.find(':'))),
              std::string::npos)
        << fault.Name << ": " << problems[0];
    EXPECT_NE(problems[0].find(fault.Expected.substr(fault.Expected.find(':') + 2)), std::string::npos)
        << fault.Name << ": " << problems[0];
  }
}

TEST(GlossaryCheckTest, ReportsFaultsOfForm) {
  ExpectFaults({
      {"unknown field", kBase + "istilah: tabel\nuraian: Baris **berkas**.\nuriaan: x\n", "9: unknown field 'uriaan'"},
      {"no field", kBase + "istilah: tabel\nuraian: Baris **berkas**.\nsekadar teks\n", "9: line is no field"},
      {"field before term", "uraian: Baris **berkas**.\n\n" + kBase, "1: outside an entry"},
      {"no description", kBase + "istilah: tabel\ncatatan: Tanpa uraian.\n", "7: has no description"},
      {"empty description", kBase + "istilah: tabel\nuraian:\n", "8: empty description"},
      {"second description", kBase + "istilah: tabel\nuraian: Baris **berkas**.\nuraian: Lagi.\n",
       "9: second 'uraian'"},
      {"stray continuation", "  lanjutan\n" + kBase, "1: continuation line"},
      {"no blank line", "istilah: tabel\nuraian: Baris **berkas**.\n" + kBase, "3: without a blank line"},
      {"bad UTF-8", kBase + "istilah: tabel\nuraian: Baris **berkas**.\ncatatan: \xC3\x28\n", "9: not valid UTF-8"},
      {"non-term after first entry", kBase + "# bukan istilah: apa saja\n", "7: belongs in the file's header"},
  });
}

TEST(GlossaryCheckTest, ReportsBadlySpeltTerms) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Tabel", "upper-case letter U+0054"},
      {"\xC3\x89ter", "upper-case letter U+00C9"},
      {"tanda \xC4\x8C", "upper-case letter U+010C"},
      {"kata 'sandi'", "quote"},
      {"kata\xE2\x80\x99sandi", "quote"},
      {"baris, kolom", "comma"},
      {"nama_tabel", "character U+005F"},
      {"persen%", "character U+0025"},
      {"(kurung) tabel", "begin with a letter or digit"},
      {"dua  spasi", "two spaces"},
      {std::string(61, 'a'), "longer than 60 bytes"},
  };
  for (const auto& [term, message] : cases) {
    const std::string content = kBase + "istilah: " + term + "\nuraian: Satu **berkas**.\n";
    const std::vector<std::string> problems = Problems({{"uji.txt", content}});
    ASSERT_EQ(problems.size(), 1u) << term << "\n" << Joined(problems);
    EXPECT_NE(problems[0].find("uji.txt:7: term"), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find(message), std::string::npos) << problems[0];
  }
  for (const char* good : {"c++", "tcp/ip", "versi 2.0", "basis data (relasional)", "caf\xC3\xA9", "pra-proses"}) {
    EXPECT_TRUE(TermSpellingProblems(good).empty()) << good;
  }
}

TEST(GlossaryCheckTest, ReportsFaultsOfDescriptions) {
  const auto entry = [](const std::string& description, const std::string& notes = "") {
    return kBase + "istilah: tabel\nuraian: " + description + "\n" + (notes.empty() ? "" : "catatan: " + notes + "\n");
  };
  ExpectFaults({
      {"bold no term", entry("Baris dalam **berkass**."), "8: bold 'berkass' is no term"},
      {"bold own term", entry("Sebuah **Tabel** dalam **berkas**."), "8: is the entry's own term"},
      {"no bold", entry("Baris dan kolom."), "8: 0 bold phrases"},
      {"four bolds", entry("**Berkas** **direktori** **berkas** **direktori**."), "8: 4 bold phrases"},
      {"four sentences", entry("Satu **berkas**. Dua. Tiga. Empat."), "8: 4 sentences"},
      {"unfinished", entry("Satu. Dua **berkas**"), "8: does not end with"},
      {"unclosed bold", entry("Bagian **berkas."), "8: not closed"},
      {"bold in notes", entry("Baris **berkas**.", "Lihat **direktori**."), "9: notes take no bold"},
      // The window looks the phrase up without trimming punctuation.
      {"punctuation in bold", entry("Bagian dari **berkas.**"), "8: bold 'berkas.' is no term"},
  });
  // Case at the start of a sentence and spaces inside the marks are what the
  // window trims and lowers, so they pass.
  EXPECT_TRUE(Problems({{"uji.txt", entry("**Berkas ** yang berbaris. Ada di **DIREKTORI**.")}}).empty());
}

TEST(GlossaryCheckTest, ReportsFaultsAcrossFiles) {
  const std::string nonTermHeader = "# bukan istilah: lemari arsip\n\n";
  const std::string usesNonTerm = "istilah: map\nuraian: Seperti **lemari arsip** bagi **berkas**.\n";
  ExpectFaults({
      {"non-term is a term", "# bukan istilah: Berkas\n\n" + kBase, "1: is listed as 'bukan istilah' but is a term"},
      {"non-term unused", nonTermHeader + kBase, "1: no description sets it in bold"},
      {"non-term twice", nonTermHeader + "# bukan istilah: LEMARI ARSIP\n" + kBase + usesNonTerm,
       "3: 'bukan istilah' twice"},
  });

  const std::vector<std::string> duplicate =
      Problems({{"a/satu.txt", kBase}, {"a/dua.txt", "\nistilah: berkas\nuraian: Lagi **direktori**.\n"}});
  ASSERT_EQ(duplicate.size(), 1u) << Joined(duplicate);
  EXPECT_EQ(duplicate[0], "a/dua.txt:2: duplicate term 'berkas' (first at a/satu.txt:1)");

  const std::vector<std::string> letter =
      Problems({{"glosarium/b.txt", kBase}, {"glosarium/lain.txt", "istilah: tabel\nuraian: **Berkas**.\n"}});
  ASSERT_EQ(letter.size(), 1u) << Joined(letter);
  EXPECT_EQ(letter[0], "glosarium/b.txt:4: term 'direktori' does not begin with 'b', the letter of its file");
}

TEST(GlossaryCheckTest, ReportsEveryProblemInFileAndLineOrder) {
  const std::string second =
      "istilah: Tabel\nuraian: Tanpa tanda tebal.\n\nistilah: kolom\nuraian: Di **baris**.\n";
  const std::vector<std::string> problems =
      Problems({{"b.txt", second}, {"awal.txt", kBase + "istilah: arsip\nuraian: Kosong.\n"}});
  const std::vector<std::string> expected = {
      "awal.txt:8: description has 0 bold phrases; it needs 1 to 3",
      "b.txt:1: term 'Tabel': upper-case letter U+0054; terms are lower-case",
      "b.txt:1: term 'Tabel' does not begin with 'b', the letter of its file",
      "b.txt:2: description has 0 bold phrases; it needs 1 to 3",
      "b.txt:4: term 'kolom' does not begin with 'b', the letter of its file",
      "b.txt:5: bold 'baris' is no term of the glossary (looked up as 'baris') and is not listed as 'bukan istilah'",
  };
  EXPECT_EQ(problems, expected);
}

// The command's exit status is what keeps CI honest: 0 for valid text, 1 with
// every problem listed for faulty text.
TEST(GlossaryCheckCommandTest, ExitsNonZeroAndListsProblems) {
  test::TScratchDir dir;
  ASSERT_FALSE(dir.Path().empty());
  const auto write = [&](const std::string& name, const std::string& content) {
    std::ofstream(dir.File(name), std::ios::binary) << content;
  };
  const auto run = [&](const std::string& args) {
    const std::string command =
        std::string(QEL_GLOSSARY_CHECK) + " " + args + " >" + dir.File("out") + " 2>" + dir.File("err");
    const int status = std::system(command.c_str());
    std::ifstream err(dir.File("err"));
    std::stringstream text;
    text << err.rdbuf();
    return std::make_pair(WIFEXITED(status) ? WEXITSTATUS(status) : -1, text.str());
  };
  write("kecil.txt", kBase);
  EXPECT_EQ(run(dir.File("kecil.txt")).first, 0);
  EXPECT_EQ(run("--min-terms 3 " + dir.File("kecil.txt")).first, 1);
  write("x.txt", "istilah: x\nuraian: Ke **entah**.\n\nistilah: x\nuraian: Lagi **berkas**.\n");
  const auto [status, report] = run(dir.File("kecil.txt") + " " + dir.File("x.txt"));
  EXPECT_EQ(status, 1);
  EXPECT_NE(report.find("x.txt:2: bold 'entah'"), std::string::npos) << report;
  EXPECT_NE(report.find("x.txt:4: duplicate term 'x'"), std::string::npos) << report;
  EXPECT_EQ(run(dir.File("nowhere")).first, 2);
}

}  // namespace
}  // namespace qel::glossary
