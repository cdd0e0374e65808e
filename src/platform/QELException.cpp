#include "platform/QELException.h"

#include <span>

namespace qel {

namespace {

constexpr std::string_view kNativeErrorSuffix = " - Native error: ";

std::string PlainMessage(std::int32_t nativeError, std::string_view msg) {
  return std::string(msg) + std::string(kNativeErrorSuffix) +
         QELFormat("%.5d", {nativeError});
}

std::string FormattedMessage(std::int32_t nativeError, std::string_view msg,
                             std::initializer_list<TQELFormatArg> args) {
  std::string text;
  if (!QELTryFormat(msg, std::span<const TQELFormatArg>(args.begin(), args.size()), text)) {
    text = std::string(msg) + " Arguments are invalid!";
  }
  return text + std::string(kNativeErrorSuffix) + QELFormat("%5d", {nativeError});
}

}  // namespace

EQELException::EQELException(std::int32_t nativeError, std::string_view msg)
    : std::runtime_error(PlainMessage(nativeError, msg)), FNativeError(nativeError) {}

EQELException::EQELException(std::int32_t nativeError, std::string_view msg,
                             std::initializer_list<TQELFormatArg> args)
    : std::runtime_error(FormattedMessage(nativeError, msg, args)), FNativeError(nativeError) {}

}  // namespace qel
