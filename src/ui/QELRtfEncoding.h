#pragma once
// The character encodings the RTF reader and writer meet: Windows code pages
// (the bytes of `\'hh` escapes and 8-bit text), the font charsets that name
// them, and UTF-16 (the `\uN` values) against the UTF-8 of our strings.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

struct UConverter;

namespace qel {

inline constexpr std::uint32_t kQELRtfWesternCodePage = 1252;

// The code page of a font charset (`\fcharsetN`); 0 for the default charset,
// which means the document's own code page.
std::uint32_t QELRtfCharsetCodePage(std::int32_t charset);

// Decodes bytes of Windows code pages. Western (1252) has a table of its own;
// any other page is decoded by ICU, and a page ICU does not know is read as
// Western. Each instance keeps its converters, so it serves one thread.
class TQELRtfCodePages {
 public:
  TQELRtfCodePages() = default;
  TQELRtfCodePages(const TQELRtfCodePages&) = delete;
  TQELRtfCodePages& operator=(const TQELRtfCodePages&) = delete;
  ~TQELRtfCodePages();

  // Appends `bytes` in `codePage`, decoded, to `out`. Multi-byte pages take
  // their lead and trail bytes from the same call; bytes that map to nothing
  // become U+FFFD.
  void Decode(std::uint32_t codePage, std::string_view bytes, std::u16string& out);

 private:
  UConverter* Converter(std::uint32_t codePage);

  // Null for a page ICU does not know.
  std::map<std::uint32_t, UConverter*> FConverters;
};

// Appends UTF-16 `units` to `out` as UTF-8. Surrogate pairs become one
// character, a lone surrogate U+FFFD; control characters other than tab and
// line feed are dropped.
void QELRtfAppendUtf8(std::string& out, std::u16string_view units);

// Decodes UTF-8 `text` into `out`; an invalid sequence becomes U+FFFD.
// False when there was one.
bool QELRtfDecodeUtf8(std::string_view text, std::u16string& out);

}  // namespace qel
