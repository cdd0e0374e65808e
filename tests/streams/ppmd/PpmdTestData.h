#pragma once
// Deterministic inputs for the PPMd tests: text that compresses like real
// documents, random bytes, and the sizes that keep the sanitizer build fast.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace qel::test {

using Bytes = std::vector<std::uint8_t>;

// The sanitizer build runs the same cases on smaller inputs.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kPpmdScaleDown = 8;
#else
constexpr std::size_t kPpmdScaleDown = 1;
#endif

inline Bytes RandomBytes(std::size_t size, std::uint32_t seed) {
  std::mt19937 engine(seed);
  Bytes data(size);
  for (std::uint8_t& byte : data) byte = static_cast<std::uint8_t>(engine() >> 24);
  return data;
}

// Mixed text: prose in English and Indonesian drawn from a skewed
// vocabulary, rich-text fragments like the glossary's descriptions, tables
// of numbers and log lines, in paragraphs of varying kind and length.
inline Bytes MixedText(std::size_t size, std::uint32_t seed) {
  static const char* const kWords[] = {
      "the",       "of",          "and",         "to",          "a",         "in",        "is",
      "that",      "for",         "it",          "as",          "with",      "was",       "on",
      "be",        "by",          "this",        "are",         "from",      "or",        "an",
      "which",     "data",        "database",    "table",       "index",     "page",      "record",
      "field",     "value",       "query",       "file",        "system",    "engine",    "memory",
      "stream",    "block",       "yang",        "dan",         "di",        "untuk",     "dengan",
      "adalah",    "dalam",       "basis",       "tabel",       "indeks",    "berkas",    "sistem",
      "komputer",  "jaringan",    "perangkat",   "lunak",       "keras",     "istilah",   "kata",
      "protocol",  "network",     "transaction", "compression", "algorithm", "processor", "register",
      "interrupt", "bandwidth",   "latency",     "encryption",  "pengguna",  "antarmuka", "program",
      "bahasa",    "pemrograman", "struktur",    "informasi",   "teknologi", "perintah",  "layar"};
  constexpr std::size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);
  std::mt19937 engine(seed);
  auto below = [&engine](std::uint32_t n) { return static_cast<std::uint32_t>((engine() >> 8) % n); };
  // Cubing a uniform fraction favours the first words, as in real text.
  auto word = [&]() -> std::string {
    const double u = static_cast<double>(engine() >> 8) / static_cast<double>(1u << 24);
    return kWords[static_cast<std::size_t>(u * u * u * kWordCount)];
  };

  std::string text;
  text.reserve(size + 512);
  while (text.size() < size) {
    switch (below(4)) {
      case 0: {  // prose
        const std::uint32_t sentences = 2 + below(6);
        for (std::uint32_t s = 0; s < sentences; ++s) {
          std::string sentence = word();
          sentence[0] = static_cast<char>(sentence[0] - 'a' + 'A');
          const std::uint32_t words = 4 + below(14);
          for (std::uint32_t w = 0; w < words; ++w) sentence += (below(9) == 0 ? ", " : " ") + word();
          text += sentence + (below(7) == 0 ? "? " : ". ");
        }
        text += "\n\n";
        break;
      }
      case 1: {  // a rich-text description
        text +=
            "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0\\fnil Tahoma;}}\\viewkind4\\uc1\\pard\\lang1057\\f0\\fs16 ";
        const std::uint32_t words = 8 + below(30);
        for (std::uint32_t w = 0; w < words; ++w) {
          if (below(6) == 0) {
            text += "\\b " + word() + "\\b0 ";
          } else {
            text += word() + " ";
          }
        }
        text += "\\par\r\n}\r\n";
        break;
      }
      case 2: {  // a table of numbers
        const std::uint32_t rows = 3 + below(10);
        for (std::uint32_t r = 0; r < rows; ++r) {
          text += std::to_string(1000 + below(9000)) + ";" + word() + ";" + std::to_string(below(100000)) +
                  "." + std::to_string(below(100)) + ";" + (below(2) ? "Y" : "N") + "\n";
        }
        break;
      }
      default: {  // log lines
        const std::uint32_t lines = 2 + below(8);
        for (std::uint32_t l = 0; l < lines; ++l) {
          text += "2024-0" + std::to_string(1 + below(9)) + "-1" + std::to_string(below(10)) + " 1" +
                  std::to_string(below(10)) + ":" + std::to_string(10 + below(50)) + ":" +
                  std::to_string(10 + below(50)) + " [" + (below(5) == 0 ? "WARN" : "INFO") + "] " + word() +
                  " " + word() + " id=" + std::to_string(below(65536)) + "\n";
        }
        break;
      }
    }
  }
  text.resize(size);
  return Bytes(text.begin(), text.end());
}

}  // namespace qel::test
