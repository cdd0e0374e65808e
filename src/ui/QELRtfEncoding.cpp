#include "ui/QELRtfEncoding.h"

#include <unicode/ucnv.h>

#include <array>
#include <string>

namespace qel {

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Western bytes 0x80..0x9F; the rest of the page is Latin-1.
constexpr std::array<char16_t, 32> kWesternHigh = {
    0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  //
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,  //
    0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  //
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

void DecodeWestern(std::string_view bytes, std::u16string& out) {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    out += byte >= 0x80 && byte < 0xA0 ? kWesternHigh[byte - 0x80] : static_cast<char16_t>(byte);
  }
}

void AppendCodePoint(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit < 0xDC00; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit < 0xE000; }

void AppendUtf16(std::u16string& out, std::uint32_t code) {
  if (code < 0x10000) {
    out += static_cast<char16_t>(code);
  } else {
    code -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (code >> 10));
    out += static_cast<char16_t>(0xDC00 + (code & 0x3FF));
  }
}

// The length of the valid UTF-8 sequence at the start of `text` with its
// code point in `code`, or 0 when it is not one (overlong forms, surrogates
// and values past U+10FFFF included).
std::size_t DecodeUtf8Sequence(std::string_view text, std::uint32_t& code) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length;
  std::uint32_t minimum;
  if (lead < 0x80) {
    code = lead;
    return 1;
  } else if (lead >= 0xC2 && lead < 0xE0) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return 0;
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code < 0xE000)) return 0;
  return length;
}

// A converter for `name` when ICU has one and it is a code page of the
// kind a document's text may be in: byte tables of one or more bytes a
// character, Latin-1, ASCII and UTF-8. The other Unicode forms and the
// stateful encodings (UTF-16, UTF-7, ISO-2022 and the like) are refused,
// so that the text of such a document is read as Western rather than as a
// stream of other units.
UConverter* OpenTableConverter(const std::string& name) {
  UErrorCode status = U_ZERO_ERROR;
  UConverter* converter = ucnv_open(name.c_str(), &status);
  if (U_FAILURE(status) || converter == nullptr) {
    if (converter != nullptr) ucnv_close(converter);
    return nullptr;
  }
  switch (ucnv_getType(converter)) {
    case UCNV_SBCS:
    case UCNV_DBCS:
    case UCNV_MBCS:
    case UCNV_LATIN_1:
    case UCNV_US_ASCII:
    case UCNV_UTF8:
      return converter;
    default:
      ucnv_close(converter);
      return nullptr;
  }
}

}  // namespace

std::uint32_t QELRtfCharsetCodePage(std::int32_t charset) {
  switch (charset) {
    case 0: return 1252;     // ANSI
    case 77: return 10000;   // Mac Roman
    case 128: return 932;    // Shift JIS
    case 129: return 949;    // Hangul
    case 130: return 1361;   // Johab
    case 134: return 936;    // GB2312
    case 136: return 950;    // Big5
    case 161: return 1253;   // Greek
    case 162: return 1254;   // Turkish
    case 163: return 1258;   // Vietnamese
    case 177: return 1255;   // Hebrew
    case 178: return 1256;   // Arabic
    case 186: return 1257;   // Baltic
    case 204: return 1251;   // Cyrillic
    case 222: return 874;    // Thai
    case 238: return 1250;   // Central European
    case 255: return 437;    // OEM
    default: return 0;       // default (1), symbol (2) and the unknown ones
  }
}

TQELRtfCodePages::~TQELRtfCodePages() {
  for (auto& [page, converter] : FConverters) {
    if (converter != nullptr) ucnv_close(converter);
  }
}

UConverter* TQELRtfCodePages::Converter(std::uint32_t codePage) {
  const auto found = FConverters.find(codePage);
  if (found != FConverters.end()) return found->second;
  const std::string number = std::to_string(codePage);
  const std::string names[] = {"windows-" + number, "cp" + number, "ibm-" + number, "macintosh"};
  UConverter* converter = nullptr;
  for (const std::string& name : names) {
    if (name == "macintosh" && codePage != 10000) break;
    converter = OpenTableConverter(name);
    if (converter != nullptr) break;
  }
  FConverters.emplace(codePage, converter);
  return converter;
}

void TQELRtfCodePages::Decode(std::uint32_t codePage, std::string_view bytes, std::u16string& out) {
  if (bytes.empty()) return;
  UConverter* converter = codePage == kQELRtfWesternCodePage ? nullptr : Converter(codePage);
  if (converter == nullptr || bytes.size() > 0x3FFFFFFF) {
    DecodeWestern(bytes, out);
    return;
  }
  // One byte gives at most two units (a character past the BMP takes four).
  const std::size_t start = out.size();
  out.resize(start + 2 * bytes.size());
  UErrorCode status = U_ZERO_ERROR;
  const std::int32_t length =
      ucnv_toUChars(converter, out.data() + start, static_cast<std::int32_t>(2 * bytes.size()),
                    bytes.data(), static_cast<std::int32_t>(bytes.size()), &status);
  if (U_FAILURE(status) || length < 0) {
    out.resize(start);
    DecodeWestern(bytes, out);
    return;
  }
  out.resize(start + static_cast<std::size_t>(length));
}

void QELRtfAppendUtf8(std::string& out, std::u16string_view units) {
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit < 0x20 && unit != u'\t' && unit != u'\n') continue;
    if (IsHighSurrogate(unit) && i + 1 < units.size() && IsLowSurrogate(units[i + 1])) {
      AppendCodePoint(out, 0x10000 + ((static_cast<std::uint32_t>(unit) - 0xD800) << 10) +
                               (static_cast<std::uint32_t>(units[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      AppendCodePoint(out, kReplacement);
    } else {
      AppendCodePoint(out, unit);
    }
  }
}

bool QELRtfDecodeUtf8(std::string_view text, std::u16string& out) {
  bool valid = true;
  while (!text.empty()) {
    std::uint32_t code = 0;
    std::size_t length = DecodeUtf8Sequence(text, code);
    if (length == 0) {
      valid = false;
      code = kReplacement;
      length = 1;
    }
    AppendUtf16(out, code);
    text.remove_prefix(length);
  }
  return valid;
}

}  // namespace qel
