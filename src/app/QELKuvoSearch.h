#pragma once
// The glossary window's searches as text: the SELECT of each search mode,
// the splitting of an "In" list, and the key a followed word is looked up
// by. Free of Qt, so that the window, the glossary's tools and the tests
// share one definition.
//
// The user's text goes into the statements as a quoted literal with every
// single quote doubled, so that no text can end the literal or start a
// second statement; text without quotes goes in exactly as typed.

#include <string>
#include <string_view>
#include <vector>

namespace qel::kuvo {

// `text` with every single quote doubled.
std::string QuoteSQLText(std::string_view text);

// The items of an "In" search: split at ',' and at line ends, blanks
// skipped at the start of each item (kept at its end), a stretch in single
// or double quotes kept whole with its quotes, empty items dropped.
std::vector<std::string> SplitInItems(std::string_view text);

// The statement `mode` runs ("All", "Equal", "Like", "In", "Sort"; exact
// spelling), or "" for any other mode, which runs nothing. `text` is the
// search box's text, `letter` the letter box's.
std::string SearchStatement(std::string_view mode, std::string_view text, std::string_view letter);

// The statement that shows one term's entry.
std::string EntryStatement(std::string_view term);

// The word a followed phrase is looked up by: characters of code 32 or
// below trimmed from both ends, ASCII letters lower-cased.
std::string FollowKey(std::string_view phrase);

}  // namespace qel::kuvo
