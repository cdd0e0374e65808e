#include "platform/QELCollation.h"

#include <unicode/ucasemap.h>
#include <unicode/ucol.h>
#include <unicode/udat.h>
#include <unicode/uloc.h>
#include <unicode/ustring.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace qel {

namespace {

// The locale every thread should use. A change bumps the generation; each
// thread compares it with the one its collators were built for.
struct TLocaleSetting {
  std::mutex Mutex;
  std::string Requested;
  std::atomic<std::uint64_t> Generation{1};
};

TLocaleSetting& Setting() {
  static TLocaleSetting setting;
  return setting;
}

std::string Lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string LanguageOf(const std::string& locale) {
  char language[ULOC_LANG_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_getLanguage(locale.c_str(), language, sizeof language, &status);
  return U_SUCCESS(status) ? Lowered(language) : std::string();
}

// The canonical ICU name of the locale to use; "" is the root locale.
std::string ResolveLocale(const std::string& requested) {
  const std::string name = requested.empty() ? uloc_getDefault() : requested;
  char canonical[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t length = uloc_canonicalize(name.c_str(), canonical, sizeof canonical, &status);
  if (U_FAILURE(status) || length >= static_cast<std::int32_t>(sizeof canonical)) return "";
  const std::string result = canonical;
  // ICU turns the C locale into en_US_POSIX, whose order puts every capital
  // before every small letter.
  const std::string language = LanguageOf(result);
  const bool posix = language == "c" || language == "posix" ||
                     Lowered(result).rfind("en_us_posix", 0) == 0;
  return posix ? "" : result;
}

void Check(UErrorCode status, const char* what) {
  if (U_FAILURE(status)) {
    throw std::runtime_error(std::string(what) + " failed: " + u_errorName(status));
  }
}

UCollator* OpenCollator(const std::string& locale, UCollationStrength strength) {
  UErrorCode status = U_ZERO_ERROR;
  UCollator* collator = ucol_open(locale.c_str(), &status);
  Check(status, "ucol_open");
  ucol_setStrength(collator, strength);
  return collator;
}

// The month and day names of one locale, Monday first.
struct TDateNames {
  std::array<std::string, 12> LongMonths;
  std::array<std::string, 12> ShortMonths;
  std::array<std::string, 7> LongDays;
  std::array<std::string, 7> ShortDays;
};

std::string ToUtf8(const UChar* text, std::int32_t length) {
  std::string result(static_cast<std::size_t>(length) * 3, '\0');
  std::int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(result.data(), static_cast<std::int32_t>(result.size()), &written, text, length,
              &status);
  Check(status, "u_strToUTF8");
  result.resize(static_cast<std::size_t>(written));
  return result;
}

TDateNames LoadDateNames(const std::string& locale) {
  // The root locale's names are placeholders ("M01"); English serves instead.
  const std::string name = locale.empty() ? "en" : locale;
  UErrorCode status = U_ZERO_ERROR;
  static const UChar kUtc[] = {'U', 'T', 'C'};
  UDateFormat* format =
      udat_open(UDAT_DEFAULT, UDAT_DEFAULT, name.c_str(), kUtc, 3, nullptr, 0, &status);
  Check(status, "udat_open");
  const auto symbol = [&](UDateFormatSymbolType type, std::int32_t index) {
    UChar buffer[128];
    UErrorCode symbolStatus = U_ZERO_ERROR;
    const std::int32_t length = udat_getSymbols(format, type, index, buffer, 128, &symbolStatus);
    // A name too long for the buffer (none is) is left out rather than cut.
    if (U_FAILURE(symbolStatus) || length > 128) return std::string();
    return ToUtf8(buffer, length);
  };
  TDateNames names;
  for (std::int32_t i = 0; i < 12; ++i) {
    names.LongMonths[static_cast<std::size_t>(i)] = symbol(UDAT_MONTHS, i);
    names.ShortMonths[static_cast<std::size_t>(i)] = symbol(UDAT_SHORT_MONTHS, i);
  }
  // ICU numbers the week days from Sunday (1) to Saturday (7).
  for (std::int32_t i = 0; i < 7; ++i) {
    const std::int32_t icuDay = (i + 1) % 7 + 1;
    names.LongDays[static_cast<std::size_t>(i)] = symbol(UDAT_WEEKDAYS, icuDay);
    names.ShortDays[static_cast<std::size_t>(i)] = symbol(UDAT_SHORT_WEEKDAYS, icuDay);
  }
  udat_close(format);
  return names;
}

// One thread's collators and case map: ICU's are not to be shared between
// threads while in use.
class TThreadCollation {
 public:
  ~TThreadCollation() { Release(); }

  void Refresh() {
    TLocaleSetting& setting = Setting();
    if (FGeneration == setting.Generation.load(std::memory_order_acquire)) return;
    std::string requested;
    {
      const std::lock_guard<std::mutex> guard(setting.Mutex);
      requested = setting.Requested;
      FGeneration = setting.Generation.load(std::memory_order_relaxed);
    }
    Build(ResolveLocale(requested));
  }

  const std::string& Locale() const { return FLocale; }
  UCollator* Collator(bool caseInsensitive) const {
    return caseInsensitive ? FCaseInsensitive : FCaseSensitive;
  }
  const UCaseMap* CaseMap() const { return FCaseMap; }
  bool AsciiCaseMapping() const { return FAsciiCaseMapping; }
  // Built on first use: most threads never format a date with names.
  const TDateNames& DateNames() {
    if (!FDateNames) FDateNames = std::make_unique<TDateNames>(LoadDateNames(FLocale));
    return *FDateNames;
  }

 private:
  void Build(const std::string& locale) {
    Release();
    FLocale = locale;
    FDateNames.reset();
    // Secondary strength ignores case but not accents; tertiary sees both.
    FCaseInsensitive = OpenCollator(locale, UCOL_SECONDARY);
    FCaseSensitive = OpenCollator(locale, UCOL_TERTIARY);
    UErrorCode status = U_ZERO_ERROR;
    FCaseMap = ucasemap_open(locale.c_str(), U_FOLD_CASE_DEFAULT, &status);
    Check(status, "ucasemap_open");
    // Turkish and Azeri map i to dotted capital I and I to dotless small i;
    // every other locale maps ASCII letters as ASCII does.
    const std::string language = LanguageOf(locale);
    FAsciiCaseMapping = language != "tr" && language != "az";
  }

  void Release() {
    if (FCaseInsensitive != nullptr) ucol_close(FCaseInsensitive);
    if (FCaseSensitive != nullptr) ucol_close(FCaseSensitive);
    if (FCaseMap != nullptr) ucasemap_close(FCaseMap);
    FCaseInsensitive = nullptr;
    FCaseSensitive = nullptr;
    FCaseMap = nullptr;
  }

  std::uint64_t FGeneration = 0;
  std::string FLocale;
  UCollator* FCaseInsensitive = nullptr;
  UCollator* FCaseSensitive = nullptr;
  UCaseMap* FCaseMap = nullptr;
  bool FAsciiCaseMapping = true;
  std::unique_ptr<TDateNames> FDateNames;
};

TThreadCollation& Current() {
  thread_local TThreadCollation collation;
  collation.Refresh();
  return collation;
}

// ICU measures text in int32_t.
template <typename TChar>
std::int32_t Length(std::basic_string_view<TChar> text) {
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("text too long for collation");
  }
  return static_cast<std::int32_t>(text.size());
}

int Sign(UCollationResult result) { return result == UCOL_LESS ? -1 : result == UCOL_GREATER; }

template <typename TChar>
bool IsAscii(std::basic_string_view<TChar> text) {
  return std::all_of(text.begin(), text.end(),
                     [](TChar c) { return static_cast<std::uint32_t>(c) < 0x80; });
}

template <typename TChar>
std::basic_string<TChar> AsciiCase(std::basic_string_view<TChar> text, bool upper) {
  std::basic_string<TChar> result(text);
  const TChar from = upper ? TChar('a') : TChar('A');
  for (TChar& c : result) {
    if (c >= from && c <= from + 25) c = static_cast<TChar>(upper ? c - 32 : c + 32);
  }
  return result;
}

// Runs an ICU case mapping `map(dest, capacity, &status)`, growing the
// buffer once when the result is longer than the text.
template <typename TChar, typename TMap>
std::basic_string<TChar> MapCase(std::basic_string_view<TChar> text, TMap map) {
  std::basic_string<TChar> result(text.size(), TChar());
  UErrorCode status = U_ZERO_ERROR;
  std::int32_t length = map(result.data(), Length<TChar>(result), &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    result.resize(static_cast<std::size_t>(length));
    status = U_ZERO_ERROR;
    length = map(result.data(), length, &status);
  }
  Check(status, "case mapping");
  result.resize(static_cast<std::size_t>(length));
  return result;
}

std::string MapCase8(std::string_view text, bool upper) {
  const TThreadCollation& collation = Current();
  if (collation.AsciiCaseMapping() && IsAscii(text)) return AsciiCase(text, upper);
  const std::int32_t length = Length(text);
  return MapCase(text, [&](char* dest, std::int32_t capacity, UErrorCode* status) {
    return upper ? ucasemap_utf8ToUpper(collation.CaseMap(), dest, capacity, text.data(),
                                        length, status)
                 : ucasemap_utf8ToLower(collation.CaseMap(), dest, capacity, text.data(),
                                        length, status);
  });
}

std::u16string MapCase16(std::u16string_view text, bool upper) {
  const TThreadCollation& collation = Current();
  if (collation.AsciiCaseMapping() && IsAscii(text)) return AsciiCase(text, upper);
  const std::int32_t length = Length(text);
  const char* locale = collation.Locale().c_str();
  return MapCase(text, [&](char16_t* dest, std::int32_t capacity, UErrorCode* status) {
    return upper ? u_strToUpper(dest, capacity, text.data(), length, locale, status)
                 : u_strToLower(dest, capacity, text.data(), length, locale, status);
  });
}

}  // namespace

int QELCompareText(std::string_view a, std::string_view b, bool caseInsensitive) {
  if (a == b) return 0;  // identical text is equal at every strength
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult result = ucol_strcollUTF8(Current().Collator(caseInsensitive), a.data(),
                                                   Length(a), b.data(), Length(b), &status);
  Check(status, "ucol_strcollUTF8");
  return Sign(result);
}

int QELCompareText(std::u16string_view a, std::u16string_view b, bool caseInsensitive) {
  if (a == b) return 0;
  return Sign(ucol_strcoll(Current().Collator(caseInsensitive), a.data(), Length(a), b.data(),
                           Length(b)));
}

std::string QELUpperCase(std::string_view text) { return MapCase8(text, true); }
std::string QELLowerCase(std::string_view text) { return MapCase8(text, false); }
std::u16string QELUpperCase(std::u16string_view text) { return MapCase16(text, true); }
std::u16string QELLowerCase(std::u16string_view text) { return MapCase16(text, false); }

void QELSetCollationLocale(std::string_view name) {
  TLocaleSetting& setting = Setting();
  const std::lock_guard<std::mutex> guard(setting.Mutex);
  setting.Requested = std::string(name);
  setting.Generation.fetch_add(1, std::memory_order_release);
}

std::string QELCollationLocale() {
  const std::string& locale = Current().Locale();
  return locale.empty() ? "root" : locale;
}

std::string QELLocaleDateName(TQELDateName kind, int index) {
  const TDateNames& names = Current().DateNames();
  const bool month = kind == TQELDateName::LongMonth || kind == TQELDateName::ShortMonth;
  if (index < 1 || index > (month ? 12 : 7)) return {};
  const auto i = static_cast<std::size_t>(index - 1);
  switch (kind) {
    case TQELDateName::LongMonth: return names.LongMonths[i];
    case TQELDateName::ShortMonth: return names.ShortMonths[i];
    case TQELDateName::LongDay: return names.LongDays[i];
    default: return names.ShortDays[i];
  }
}

}  // namespace qel
