#include "storage/QELMetaStream.h"

#include <algorithm>

#include "platform/QELException.h"
#include "values/QELVariant.h"

namespace qel {

void QELReadExact(TQELStream& stream, void* buffer, std::int64_t count, std::int32_t nativeError) {
  if (count > 0 && stream.Read(buffer, count) != count) {
    throw EQELException(nativeError, kQELStreamReadError);
  }
}

void QELWriteExact(TQELStream& stream, const void* buffer, std::int64_t count,
                   std::int32_t nativeError) {
  if (count > 0 && stream.Write(buffer, count) != count) {
    throw EQELException(nativeError, kQELStreamWriteError);
  }
}

void QELRaiseDamagedMetadata(std::int32_t nativeError) {
  throw EQELException(nativeError, kQELStreamReadError);
}

std::int32_t QELReadCount(TQELStream& stream, std::int32_t nativeError) {
  const auto count = QELReadValue<std::int32_t>(stream, nativeError);
  if (count < 0) QELRaiseDamagedMetadata(nativeError);
  return count;
}

std::string QELReadShortString(TQELStream& stream, std::int32_t lengthError,
                               std::int32_t charsError) {
  const std::uint8_t length = QELReadValue<std::uint8_t>(stream, lengthError);
  std::string text(length, '\0');
  QELReadExact(stream, text.data(), length, charsError);
  return text;
}

void QELWriteShortString(TQELStream& stream, std::string_view text, std::int32_t lengthError,
                         std::int32_t charsError) {
  const std::size_t length = std::min(text.size(), kQELMaxShortStringLength);
  QELWriteValue<std::uint8_t>(stream, static_cast<std::uint8_t>(length), lengthError);
  QELWriteExact(stream, text.data(), static_cast<std::int64_t>(length), charsError);
}

}  // namespace qel
