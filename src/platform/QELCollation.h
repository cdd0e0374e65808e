#pragma once
// Locale-aware text comparison and case mapping, for UTF-8 and UTF-16 text.
//
// Text compares in the string-sort order of one locale: the user's default,
// unless QELSetCollationLocale chose another. The POSIX ("C") locale stands
// for no preference and gives the root locale's order, so that sorting does
// not turn into byte order when the environment sets LANG=C.
//
// Malformed text is not an error: comparison reads bad sequences as U+FFFD,
// case mapping leaves them as they are. Every function may be called from any
// thread.

#include <cstdint>
#include <string>
#include <string_view>

namespace qel {

// Answers <0, 0 or >0. Case-insensitive comparison still tells accents apart.
int QELCompareText(std::string_view a, std::string_view b, bool caseInsensitive);
int QELCompareText(std::u16string_view a, std::u16string_view b, bool caseInsensitive);

// Full case mapping: the result may be longer than the text ("ß" gives "SS").
std::string QELUpperCase(std::string_view text);
std::string QELLowerCase(std::string_view text);
std::u16string QELUpperCase(std::u16string_view text);
std::u16string QELLowerCase(std::u16string_view text);

// Chooses the locale by its ICU or POSIX name ("de_DE", "sv", "tr_TR.UTF-8");
// "" goes back to the user's default. Takes effect in every thread.
void QELSetCollationLocale(std::string_view name);

// The canonical name of the locale in effect; "root" for the root locale.
std::string QELCollationLocale();

// Month and day names of the same locale, for date formats.
enum class TQELDateName : std::uint8_t { LongMonth, ShortMonth, LongDay, ShortDay };

// The name, in UTF-8, of month `index` (1 = January .. 12) or of day of the
// week `index` (1 = Monday .. 7 = Sunday) in the locale in effect; the root
// locale, which has no names of its own, gives the English ones. An index
// outside the range gives "".
std::string QELLocaleDateName(TQELDateName kind, int index);

}  // namespace qel
