#include "sql/QELLikeMatcher.h"

#include <cstring>

#include "platform/QELCollation.h"

namespace qel {

namespace {

constexpr std::size_t kNoStar = static_cast<std::size_t>(-1);
// Bytes that are no well-formed UTF-8 get codes past every code point, so
// that they never equal a real character by identity.
constexpr std::uint32_t kMalformedBase = 0x110000;

// The code point at `pos` and its length in bytes.
std::size_t DecodeAt(std::string_view text, std::size_t pos, std::uint32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[pos + i]); };
  const std::uint8_t lead = byte(0);
  if (lead < 0x80) {
    code = lead;
    return 1;
  }
  std::size_t length = 0;
  std::uint32_t value = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  bool wellFormed = length != 0 && pos + length <= text.size() && byte(1) >= low && byte(1) <= high;
  for (std::size_t i = 1; wellFormed && i < length; ++i) {
    wellFormed = byte(i) >= 0x80 && byte(i) <= 0xBF;
    value = value << 6 | (byte(i) & 0x3F);
  }
  if (!wellFormed) {
    code = kMalformedBase + lead;
    return 1;
  }
  code = value;
  return length;
}

std::size_t DecodeAt(std::u16string_view text, std::size_t pos, std::uint32_t& code) {
  code = text[pos];
  return 1;
}

bool IsAsciiText(std::string_view text) {
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ull) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<std::uint8_t>(text[i]) >= 0x80) return false;
  }
  return true;
}

}  // namespace

void TQELLikeMatcher::Compile(std::string_view pattern, std::int32_t escape, bool caseInsensitive) {
  CompileImpl(pattern, escape, caseInsensitive, false);
}

void TQELLikeMatcher::Compile(std::u16string_view pattern, std::int32_t escape,
                              bool caseInsensitive) {
  CompileImpl(pattern, escape, caseInsensitive, false);
}

void TQELLikeMatcher::CompilePrefix(std::string_view prefix, bool caseInsensitive) {
  CompileImpl(prefix, -1, caseInsensitive, true);
}

void TQELLikeMatcher::CompilePrefix(std::u16string_view prefix, bool caseInsensitive) {
  CompileImpl(prefix, -1, caseInsensitive, true);
}

bool TQELLikeMatcher::IsCompiled(std::string_view pattern, std::int32_t escape,
                                 bool caseInsensitive, bool prefixOnly) const {
  return FCompiled && !FWide && FPrefixOnly == prefixOnly && FEscape == escape &&
         FCaseInsensitive == caseInsensitive && FSource8 == pattern;
}

bool TQELLikeMatcher::IsCompiled(std::u16string_view pattern, std::int32_t escape,
                                 bool caseInsensitive, bool prefixOnly) const {
  return FCompiled && FWide && FPrefixOnly == prefixOnly && FEscape == escape &&
         FCaseInsensitive == caseInsensitive && FSource16 == pattern;
}

template <class TChar>
void TQELLikeMatcher::CompileImpl(std::basic_string_view<TChar> pattern, std::int32_t escape,
                                  bool caseInsensitive, bool prefixOnly) {
  constexpr bool kWide = sizeof(TChar) == 2;
  FElements.clear();
  FCharText8.clear();
  FCharText16.clear();
  FRuns.clear();
  FWide = kWide;
  FCaseInsensitive = caseInsensitive;
  FEscape = escape;
  FPrefixOnly = prefixOnly;
  if constexpr (kWide) {
    FSource16.assign(pattern);
    FSource8.clear();
  } else {
    FSource8.assign(pattern);
    FSource16.clear();
  }
  if (FClassesCaseInsensitive != caseInsensitive) {
    FAsciiClassKnown.fill(false);
    FClassesCaseInsensitive = caseInsensitive;
    if (FPairCache) FPairCache->fill({});
  }

  const auto addChar = [&](std::size_t pos, std::size_t length, std::uint32_t code) {
    TElement element{ekChar, code, 0, static_cast<std::uint32_t>(length)};
    if constexpr (kWide) {
      element.Offset = static_cast<std::uint32_t>(FCharText16.size());
      FCharText16.append(pattern.substr(pos, length));
    } else {
      element.Offset = static_cast<std::uint32_t>(FCharText8.size());
      FCharText8.append(pattern.substr(pos, length));
    }
    FElements.push_back(element);
  };
  for (std::size_t pos = 0; pos < pattern.size();) {
    std::uint32_t code = 0;
    const std::size_t length = DecodeAt(pattern, pos, code);
    if (!prefixOnly && escape >= 0 && code == static_cast<std::uint32_t>(escape)) {
      // The escaped character is literal; an escape at the very end stands
      // for itself rather than for a character past the pattern.
      const std::size_t next = pos + length;
      if (next < pattern.size()) {
        std::uint32_t escaped = 0;
        const std::size_t escapedLength = DecodeAt(pattern, next, escaped);
        addChar(next, escapedLength, escaped);
        pos = next + escapedLength;
      } else {
        addChar(pos, length, code);
        pos = next;
      }
      continue;
    }
    if (!prefixOnly && code == '%') {
      // Consecutive '%' match what one does.
      if (FElements.empty() || FElements.back().Kind != ekAny) FElements.push_back({ekAny, 0, 0, 0});
    } else if (!prefixOnly && code == '_') {
      FElements.push_back({ekOne, 0, 0, 0});
    } else {
      addChar(pos, length, code);
    }
    pos += length;
  }
  if (prefixOnly) FElements.push_back({ekAny, 0, 0, 0});

  // Exact runs: only for 8-bit patterns of ASCII characters that no other
  // ASCII character equals.
  FExactRuns = !kWide;
  for (const TElement& element : FElements) {
    if (!FExactRuns) break;
    if (element.Kind == ekOne || (element.Kind == ekChar && element.Code >= 128)) {
      FExactRuns = false;
    } else if (element.Kind == ekChar) {
      const auto& equal = AsciiClass(element.Code);
      std::array<std::uint64_t, 2> only{};
      only[element.Code >> 6] = 1ull << (element.Code & 63);
      FExactRuns = equal == only;
    }
  }
  if (FExactRuns) {
    FLeadingAny = !FElements.empty() && FElements.front().Kind == ekAny;
    FTrailingAny = !FElements.empty() && FElements.back().Kind == ekAny;
    std::string run;
    for (const TElement& element : FElements) {
      if (element.Kind == ekAny) {
        if (!run.empty()) FRuns.push_back(std::move(run));
        run.clear();
      } else {
        run.push_back(static_cast<char>(element.Code));
      }
    }
    if (!run.empty()) FRuns.push_back(std::move(run));
  }
  FCompiled = true;
}

const std::array<std::uint64_t, 2>& TQELLikeMatcher::AsciiClass(std::uint32_t c) {
  if (!FAsciiClasses) FAsciiClasses = std::make_unique<std::array<std::array<std::uint64_t, 2>, 128>>();
  auto& equal = (*FAsciiClasses)[c];
  if (FAsciiClassKnown[c]) return equal;
  equal = {};
  const char mine = static_cast<char>(c);
  for (std::uint32_t other = 0; other < 128; ++other) {
    const char theirs = static_cast<char>(other);
    if (other == c || QELCompareText(std::string_view(&mine, 1), std::string_view(&theirs, 1),
                                     FCaseInsensitive) == 0) {
      equal[other >> 6] |= 1ull << (other & 63);
    }
  }
  FAsciiClassKnown[c] = true;
  return equal;
}

template <class TChar>
bool TQELLikeMatcher::CharEqual(const TElement& element, std::basic_string_view<TChar> text,
                                std::size_t pos, std::size_t length) {
  std::uint32_t code = 0;
  DecodeAt(text, pos, code);
  if (code == element.Code) return true;
  if (code < 128 && element.Code < 128) {
    return (AsciiClass(element.Code)[code >> 6] >> (code & 63)) & 1;
  }
  if (!FPairCache) FPairCache = std::make_unique<std::array<TPairAnswer, 256>>();
  const std::uint64_t key = static_cast<std::uint64_t>(element.Code) << 32 | code;
  TPairAnswer& answer = (*FPairCache)[(key * 0x9E3779B97F4A7C15ull) >> 56];
  if (answer.Key != key) {
    int order;
    if constexpr (sizeof(TChar) == 2) {
      order = QELCompareText(std::u16string_view(FCharText16).substr(element.Offset, element.Length),
                             text.substr(pos, length), FCaseInsensitive);
    } else {
      order = QELCompareText(std::string_view(FCharText8).substr(element.Offset, element.Length),
                             text.substr(pos, length), FCaseInsensitive);
    }
    answer.Key = key;
    answer.Equal = order == 0;
  }
  return answer.Equal;
}

template <class TChar>
bool TQELLikeMatcher::MatchGeneric(std::basic_string_view<TChar> text) {
  const std::size_t patternSize = FElements.size();
  const std::size_t textSize = text.size();
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t starP = kNoStar;
  std::size_t starT = 0;
  std::uint32_t code = 0;
  // Each pattern character takes exactly one text character, so when a
  // later '%' has matched, an earlier one never needs to take more.
  while (t < textSize) {
    ++FSteps;
    if (p < patternSize && FElements[p].Kind == ekAny) {
      starP = p++;
      starT = t;
      continue;
    }
    const std::size_t length = DecodeAt(text, t, code);
    if (p < patternSize && (FElements[p].Kind == ekOne ||
                            (FElements[p].Kind == ekChar && CharEqual(FElements[p], text, t, length)))) {
      ++p;
      t += length;
      continue;
    }
    if (starP == kNoStar) return false;
    p = starP + 1;
    starT += DecodeAt(text, starT, code);
    t = starT;
  }
  while (p < patternSize && FElements[p].Kind == ekAny) ++p;
  return p == patternSize;
}

bool TQELLikeMatcher::MatchExactRuns(std::string_view text) {
  FSteps += text.size();
  if (FElements.empty()) return text.empty();
  const bool anyStar = FLeadingAny || FTrailingAny || FRuns.size() != 1;
  if (!anyStar) return text == FRuns.front();
  std::size_t first = 0;
  std::size_t last = FRuns.size();
  std::size_t pos = 0;
  std::size_t end = text.size();
  if (!FLeadingAny) {
    const std::string& head = FRuns[first++];
    if (text.substr(0, head.size()) != head) return false;
    pos = head.size();
  }
  if (!FTrailingAny && last > first) {
    const std::string& tail = FRuns[--last];
    if (text.size() < tail.size() || text.size() - tail.size() < pos) return false;
    if (text.substr(text.size() - tail.size()) != tail) return false;
    end = text.size() - tail.size();
  }
  const std::string_view window = text.substr(0, end);
  for (std::size_t i = first; i < last; ++i) {
    const std::size_t found = window.find(FRuns[i], pos);
    if (found == std::string_view::npos) return false;
    pos = found + FRuns[i].size();
  }
  return true;
}

bool TQELLikeMatcher::Matches(std::string_view text) {
  if (FExactRuns && IsAsciiText(text)) return MatchExactRuns(text);
  return MatchGeneric(text);
}

bool TQELLikeMatcher::Matches(std::u16string_view text) { return MatchGeneric(text); }

}  // namespace qel
