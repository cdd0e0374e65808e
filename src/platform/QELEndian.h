#pragma once
// Little-endian reads and writes of stored numbers. Every multi-byte number in
// the database file is little-endian, whatever the machine's own order.

#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace qel {

template <class T>
inline T QELReadLE(const void* source) {
  static_assert(std::is_trivially_copyable_v<T>);
  T value;
  std::memcpy(&value, source, sizeof(T));
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  }
  return value;
}

template <class T>
inline void QELWriteLE(void* dest, T value) {
  static_assert(std::is_trivially_copyable_v<T>);
  if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
    auto* bytes = reinterpret_cast<unsigned char*>(&value);
    for (std::size_t i = 0; i < sizeof(T) / 2; ++i) std::swap(bytes[i], bytes[sizeof(T) - 1 - i]);
  }
  std::memcpy(dest, &value, sizeof(T));
}

}  // namespace qel
