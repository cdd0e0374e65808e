#include "platform/QELFormat.h"

#include <stdexcept>

namespace qel {

bool TQELFormatArg::IsNegative() const {
  const auto* signedValue = std::get_if<std::int64_t>(&FValue);
  return signedValue != nullptr && *signedValue < 0;
}

std::uint64_t TQELFormatArg::Magnitude() const {
  if (const auto* signedValue = std::get_if<std::int64_t>(&FValue)) {
    // Negate in unsigned arithmetic so that INT64_MIN has a magnitude too.
    const auto bits = static_cast<std::uint64_t>(*signedValue);
    return *signedValue < 0 ? ~bits + 1 : bits;
  }
  return std::get<std::uint64_t>(FValue);
}

namespace {

struct TConversionSpec {
  bool LeftAlign = false;
  bool ZeroPad = false;
  int Width = 0;
  int Precision = -1;  // -1: none given
  char Kind = 0;
};

// Reads the flags, width, precision and conversion character after a '%'.
// Answers false on a malformed or unsupported conversion.
bool ParseSpec(std::string_view format, std::size_t& pos, TConversionSpec& spec) {
  auto atDigit = [&] { return pos < format.size() && format[pos] >= '0' && format[pos] <= '9'; };
  auto readNumber = [&] {
    int value = 0;
    while (atDigit()) {
      if (value > 100000) return -1;  // widths beyond this are nonsense, not messages
      value = value * 10 + (format[pos++] - '0');
    }
    return value;
  };
  for (; pos < format.size(); ++pos) {
    if (format[pos] == '-') {
      spec.LeftAlign = true;
    } else if (format[pos] == '0') {
      spec.ZeroPad = true;
    } else {
      break;
    }
  }
  spec.Width = readNumber();
  if (spec.Width < 0) return false;
  if (pos < format.size() && format[pos] == '.') {
    ++pos;
    spec.Precision = readNumber();
    if (spec.Precision < 0) return false;
  }
  if (pos >= format.size()) return false;
  spec.Kind = format[pos++];
  return true;
}

std::string IntegerDigits(const TQELFormatArg& arg, char kind) {
  std::uint64_t value = arg.Magnitude();
  const unsigned base = (kind == 'x' || kind == 'X') ? 16 : 10;
  const char* digitSet = kind == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
  std::string digits;
  do {
    digits.insert(digits.begin(), digitSet[value % base]);
    value /= base;
  } while (value != 0);
  return digits;
}

void AppendPadded(std::string& out, std::string_view body, const TConversionSpec& spec,
                  char padChar) {
  const std::size_t width = static_cast<std::size_t>(spec.Width);
  const std::size_t padding = body.size() < width ? width - body.size() : 0;
  if (spec.LeftAlign) {
    out.append(body);
    out.append(padding, ' ');
  } else {
    out.append(padding, padChar);
    out.append(body);
  }
}

bool AppendInteger(std::string& out, const TQELFormatArg& arg, const TConversionSpec& spec) {
  if (!arg.IsInteger()) return false;
  const bool negative = arg.IsNegative() && spec.Kind == 'd';
  if (arg.IsNegative() && spec.Kind != 'd') return false;  // no two's-complement guessing
  std::string digits = IntegerDigits(arg, spec.Kind);
  if (spec.Precision > 0 && digits.size() < static_cast<std::size_t>(spec.Precision)) {
    digits.insert(0, static_cast<std::size_t>(spec.Precision) - digits.size(), '0');
  }
  const std::string sign = negative ? "-" : "";
  if (spec.ZeroPad && !spec.LeftAlign && spec.Precision < 0) {
    // Zero padding goes between the sign and the digits.
    const std::size_t width = static_cast<std::size_t>(spec.Width);
    const std::size_t used = sign.size() + digits.size();
    if (used < width) digits.insert(0, width - used, '0');
  }
  AppendPadded(out, sign + digits, spec, ' ');
  return true;
}

bool AppendText(std::string& out, const TQELFormatArg& arg, const TConversionSpec& spec) {
  if (!arg.IsText()) return false;
  std::string_view text = arg.Text();
  if (spec.Precision >= 0 && text.size() > static_cast<std::size_t>(spec.Precision)) {
    text = text.substr(0, static_cast<std::size_t>(spec.Precision));
  }
  AppendPadded(out, text, spec, ' ');
  return true;
}

}  // namespace

bool QELTryFormat(std::string_view format, std::span<const TQELFormatArg> args,
                  std::string& out) {
  out.clear();
  out.reserve(format.size() + 16 * args.size());
  std::size_t nextArg = 0;
  std::size_t pos = 0;
  while (pos < format.size()) {
    const std::size_t percent = format.find('%', pos);
    out.append(format.substr(pos, percent - pos));
    if (percent == std::string_view::npos) break;
    pos = percent + 1;
    if (pos < format.size() && format[pos] == '%') {
      out.push_back('%');
      ++pos;
      continue;
    }
    TConversionSpec spec;
    if (!ParseSpec(format, pos, spec) || nextArg >= args.size()) return false;
    const TQELFormatArg& arg = args[nextArg++];
    bool ok = false;
    switch (spec.Kind) {
      case 'd':
      case 'u':
      case 'x':
      case 'X':
        ok = AppendInteger(out, arg, spec);
        break;
      case 's':
        ok = AppendText(out, arg, spec);
        break;
      default:
        ok = false;
    }
    if (!ok) return false;
  }
  return true;
}

std::string QELFormat(std::string_view format, std::initializer_list<TQELFormatArg> args) {
  std::string out;
  if (!QELTryFormat(format, std::span<const TQELFormatArg>(args.begin(), args.size()), out)) {
    throw std::invalid_argument("Format '" + std::string(format) + "' invalid or incompatible with argument");
  }
  return out;
}

}  // namespace qel
