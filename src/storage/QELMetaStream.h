#pragma once
// Exact-length reads and writes for the stored form of table metadata.
//
// Every item of the metadata has a native error code of its own for reading
// and for writing; moving fewer bytes than asked raises EQELException with
// that code. Numbers are little-endian. A read never trusts a stored count
// to size a buffer: callers read definitions one at a time, so a damaged
// count fails at the first short read instead of allocating for it.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/QELEndian.h"
#include "streams/QELStream.h"

namespace qel {

// The longest name a short string holds.
inline constexpr std::size_t kQELMaxShortStringLength = 255;

void QELReadExact(TQELStream& stream, void* buffer, std::int64_t count, std::int32_t nativeError);
void QELWriteExact(TQELStream& stream, const void* buffer, std::int64_t count,
                   std::int32_t nativeError);
// Raises the read error for stored content that cannot be right (a negative
// count, a type that does not exist, ...), as a short read would.
[[noreturn]] void QELRaiseDamagedMetadata(std::int32_t nativeError);

template <class T>
T QELReadValue(TQELStream& stream, std::int32_t nativeError) {
  std::uint8_t bytes[sizeof(T)];
  QELReadExact(stream, bytes, sizeof(T), nativeError);
  return QELReadLE<T>(bytes);
}

template <class T>
void QELWriteValue(TQELStream& stream, T value, std::int32_t nativeError) {
  std::uint8_t bytes[sizeof(T)];
  QELWriteLE<T>(bytes, value);
  QELWriteExact(stream, bytes, sizeof(T), nativeError);
}

inline bool QELReadBool(TQELStream& stream, std::int32_t nativeError) {
  return QELReadValue<std::uint8_t>(stream, nativeError) != 0;
}

inline void QELWriteBool(TQELStream& stream, bool value, std::int32_t nativeError) {
  QELWriteValue<std::uint8_t>(stream, value ? 1 : 0, nativeError);
}

// An int32 count of items that follow; a negative one is damage.
std::int32_t QELReadCount(TQELStream& stream, std::int32_t nativeError);

// A short string: a length byte, then that many characters. Writing cuts the
// text to 255 bytes, the most a length byte can say.
std::string QELReadShortString(TQELStream& stream, std::int32_t lengthError,
                               std::int32_t charsError);
void QELWriteShortString(TQELStream& stream, std::string_view text, std::int32_t lengthError,
                         std::int32_t charsError);

}  // namespace qel
