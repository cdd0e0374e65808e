#include "sql/QELReservedWords.h"

#include <array>
#include <cstddef>

namespace qel {

namespace {

constexpr std::array<std::string_view, kQELReservedWordCount> kWords = {
#define QEL_RESERVED_WORD_TEXT(name, word) word,
    QEL_RESERVED_WORDS(QEL_RESERVED_WORD_TEXT)
#undef QEL_RESERVED_WORD_TEXT
};

constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// A hash of the length and four upper-cased characters (first, second,
// middle, last): cheap for the many words of a text that are no reserved
// word, and spread well enough over the table below.
constexpr std::uint32_t WordHash(std::string_view text) {
  const auto at = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<std::uint8_t>(AsciiUpper(text[i]))); };
  const std::size_t size = text.size();
  const std::uint32_t mixed = static_cast<std::uint32_t>(size) ^ at(0) << 5 ^ at(1) << 11 ^
                              at(size / 2) << 17 ^ at(size - 1) << 23;
  return (mixed * 2654435761u) >> 22;
}

// An open-addressing table built at compile time: with 292 words in 1024
// slots a lookup is one hash and, nearly always, one comparison.
constexpr std::size_t kSlotCount = 1024;
constexpr std::size_t kSlotMask = kSlotCount - 1;
constexpr std::uint16_t kEmptySlot = 0xFFFF;

constexpr std::array<std::uint16_t, kSlotCount> BuildSlots() {
  std::array<std::uint16_t, kSlotCount> slots{};
  slots.fill(kEmptySlot);
  for (std::uint16_t i = 0; i < kQELReservedWordCount; ++i) {
    std::size_t slot = WordHash(kWords[i]) & kSlotMask;
    while (slots[slot] != kEmptySlot) slot = (slot + 1) & kSlotMask;
    slots[slot] = i;
  }
  return slots;
}

constexpr std::array<std::uint16_t, kSlotCount> kSlots = BuildSlots();

// The longest run of slots a lookup may walk before it meets an empty one.
constexpr std::size_t LongestProbe() {
  std::size_t longest = 0;
  for (std::size_t start = 0; start < kSlotCount; ++start) {
    std::size_t length = 0;
    while (kSlots[(start + length) & kSlotMask] != kEmptySlot) ++length;
    if (length > longest) longest = length;
  }
  return longest;
}

constexpr bool WordsAreUpperCaseAndDistinct() {
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    for (const char c : kWords[i]) {
      if (AsciiUpper(c) != c) return false;
    }
    for (std::size_t j = i + 1; j < kWords.size(); ++j) {
      if (kWords[i] == kWords[j]) return false;
    }
  }
  return true;
}

constexpr std::size_t WordLengthBound(bool longest) {
  std::size_t bound = longest ? 0 : kWords[0].size();
  for (const std::string_view word : kWords) {
    bound = longest ? (word.size() > bound ? word.size() : bound)
                    : (word.size() < bound ? word.size() : bound);
  }
  return bound;
}

constexpr std::size_t kShortestWord = WordLengthBound(false);
constexpr std::size_t kLongestWord = WordLengthBound(true);

static_assert(kQELReservedWordCount == 292);
static_assert(kShortestWord >= 2);
static_assert(WordsAreUpperCaseAndDistinct());
static_assert(LongestProbe() <= 8, "reserved-word hash clusters; change the hash or the table size");

bool SpellsWord(std::string_view text, std::string_view word) {
  if (text.size() != word.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (AsciiUpper(text[i]) != word[i]) return false;
  }
  return true;
}

}  // namespace

std::string_view ReservedWordText(std::uint16_t index) {
  return index < kQELReservedWordCount ? kWords[index] : std::string_view();
}

std::int32_t FindReservedWord(std::string_view text) {
  // Also keeps WordHash within the text: every word has two characters.
  if (text.size() < kShortestWord || text.size() > kLongestWord) return -1;
  for (std::size_t slot = WordHash(text) & kSlotMask; kSlots[slot] != kEmptySlot;
       slot = (slot + 1) & kSlotMask) {
    if (SpellsWord(text, kWords[kSlots[slot]])) return kSlots[slot];
  }
  return -1;
}

}  // namespace qel
