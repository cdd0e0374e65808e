#include "app/QELKuvoSearch.h"

namespace qel::kuvo {

namespace {

constexpr std::string_view kSelect = "select * from tblKuvo";

bool EndsItem(char c) { return c == ',' || c == '\r' || c == '\n'; }

}  // namespace

std::string QuoteSQLText(std::string_view text) {
  std::string quoted;
  quoted.reserve(text.size());
  for (const char c : text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted;
}

std::vector<std::string> SplitInItems(std::string_view text) {
  std::vector<std::string> items;
  std::size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\r' || text[i] == '\n')) ++i;
    std::string item;
    while (i < text.size() && !EndsItem(text[i])) {
      const char c = text[i];
      if (c == '\'' || c == '"') {
        // A quoted stretch runs to the next quote of its kind, commas and
        // all; without one it runs to the end of the text.
        const std::size_t close = text.find(c, i + 1);
        const std::size_t end = close == std::string_view::npos ? text.size() : close + 1;
        item.append(text.substr(i, end - i));
        i = end;
        continue;
      }
      item += c;
      ++i;
    }
    if (!item.empty()) items.push_back(std::move(item));
    if (i < text.size()) ++i;  // the separator
  }
  return items;
}

std::string SearchStatement(std::string_view mode, std::string_view text, std::string_view letter) {
  std::string sql(kSelect);
  if (mode == "All") return sql;
  if (mode == "Equal") return sql + " where ISTILAH ='" + QuoteSQLText(text) + "'";
  if (mode == "Like") return sql + " where ISTILAH Like '%" + QuoteSQLText(text) + "%'";
  if (mode == "Sort") return sql + " where ISTILAH Like '" + QuoteSQLText(letter) + "%'";
  if (mode == "In") {
    std::string list;
    for (const std::string& item : SplitInItems(text)) {
      if (!list.empty()) list += ',';
      list += '\'' + QuoteSQLText(item) + '\'';
    }
    return sql + " where ISTILAH In(" + list + ")";
  }
  return {};
}

std::string EntryStatement(std::string_view term) {
  return std::string(kSelect) + " where ISTILAH ='" + QuoteSQLText(term) + "'";
}

std::string FollowKey(std::string_view phrase) {
  while (!phrase.empty() && static_cast<unsigned char>(phrase.front()) <= 32) phrase.remove_prefix(1);
  while (!phrase.empty() && static_cast<unsigned char>(phrase.back()) <= 32) phrase.remove_suffix(1);
  std::string key(phrase);
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

}  // namespace qel::kuvo
