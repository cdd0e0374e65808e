#include "platform/QELCrc32.h"

#include <zlib.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define QEL_CRC32_FOLDING 1
#endif

namespace qel {

namespace {

std::uint32_t TableCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  // zlib takes at most a uInt per call.
  constexpr std::size_t kMaxChunk = 1u << 30;
  while (size > 0) {
    const std::size_t chunk = size < kMaxChunk ? size : kMaxChunk;
    crc = static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(chunk)));
    data += chunk;
    size -= chunk;
  }
  return crc;
}

#ifdef QEL_CRC32_FOLDING

#define QEL_CRC32_TARGET __attribute__((target("pclmul,sse4.1")))

QEL_CRC32_TARGET inline __m128i Load(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One lane folded forward by the distance `k` holds, onto `next`.
QEL_CRC32_TARGET inline __m128i Fold(__m128i lane, __m128i k, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(lane, k, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, k, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// Folding by carry-less multiplication: four 128-bit lanes are folded
// forward 512 bits at a time, then into one lane, which is reduced to 64
// and then (Barrett) to 32 bits. The constants are x^(d+32) and x^(d-32)
// modulo the polynomial for a folding distance of d bits, bit-reflected
// and shifted left once; 64 and the Barrett pair finish. The functions work
// on the complemented CRC register.
alignas(16) const std::uint64_t kFold512[] = {0x0154442bd4, 0x01c6e41596};
alignas(16) const std::uint64_t kFold128[] = {0x01751997d0, 0x00ccaa009e};
alignas(16) const std::uint64_t kFold64[] = {0x0163cd6124, 0x0000000000};
alignas(16) const std::uint64_t kBarrett[] = {0x01db710641, 0x01f7011641};
// The AVX-512 form folds four 512-bit registers 2048 bits at a time.
constexpr std::uint64_t kFold2048Low = 0x011542778a;
constexpr std::uint64_t kFold2048High = 0x01322d1430;

// Four lanes holding the folded bytes so far, then `size` more bytes (a
// multiple of 16), to the 32-bit register.
QEL_CRC32_TARGET std::uint32_t FinishFold(__m128i x1, __m128i x2, __m128i x3, __m128i x4,
                                          const std::uint8_t* data, std::size_t size) {
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold128));
  x1 = Fold(x1, k, x2);
  x1 = Fold(x1, k, x3);
  x1 = Fold(x1, k, x4);
  for (; size >= 16; data += 16, size -= 16) x1 = Fold(x1, k, Load(data));

  // 128 bits to 64.
  const __m128i mask32 = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kFold64));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x00), x2);
  // Barrett reduction to 32 bits.
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(kBarrett));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask32), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask32), k, 0x00);
  x1 = _mm_xor_si128(x1, x2);
  return static_cast<std::uint32_t>(_mm_extract_epi32(x1, 1));
}

// `size` is at least 64 and a multiple of 16.
QEL_CRC32_TARGET std::uint32_t FoldCrc32(std::uint32_t reg, const std::uint8_t* data, std::size_t size) {
  __m128i x1 = _mm_xor_si128(Load(data), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x2 = Load(data + 16);
  __m128i x3 = Load(data + 32);
  __m128i x4 = Load(data + 48);
  data += 64;
  size -= 64;
  const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kFold512));
  for (; size >= 64; data += 64, size -= 64) {
    x1 = Fold(x1, k, Load(data));
    x2 = Fold(x2, k, Load(data + 16));
    x3 = Fold(x3, k, Load(data + 32));
    x4 = Fold(x4, k, Load(data + 48));
  }
  return FinishFold(x1, x2, x3, x4, data, size);
}

#define QEL_CRC32_TARGET_WIDE __attribute__((target("pclmul,sse4.1,avx512f,avx512vl,vpclmulqdq")))

QEL_CRC32_TARGET_WIDE inline __m512i LoadWide(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

QEL_CRC32_TARGET_WIDE inline __m512i FoldWide(__m512i lanes, __m512i k, __m512i next) {
  const __m512i low = _mm512_clmulepi64_epi128(lanes, k, 0x00);
  const __m512i high = _mm512_clmulepi64_epi128(lanes, k, 0x11);
  return _mm512_ternarylogic_epi64(high, low, next, 0x96);  // the xor of all three
}

// `size` is at least 256 and a multiple of 16. The four registers hold
// sixteen lanes; folded into the last register, its four lanes are those
// the 128-bit form finishes with.
QEL_CRC32_TARGET_WIDE std::uint32_t FoldCrc32Wide(std::uint32_t reg, const std::uint8_t* data,
                                                  std::size_t size) {
  // The constants repeated for each lane (set whole: the broadcast and
  // lane-extract intrinsics draw a false uninitialized warning).
  alignas(64) static const std::uint64_t kFold2048[] = {kFold2048Low, kFold2048High, kFold2048Low, kFold2048High,
                                                        kFold2048Low, kFold2048High, kFold2048Low, kFold2048High};
  alignas(64) static const std::uint64_t kFold512Wide[] = {kFold512[0], kFold512[1], kFold512[0], kFold512[1],
                                                           kFold512[0], kFold512[1], kFold512[0], kFold512[1]};
  __m512i a0 = _mm512_xor_si512(LoadWide(data), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
  __m512i a1 = LoadWide(data + 64);
  __m512i a2 = LoadWide(data + 128);
  __m512i a3 = LoadWide(data + 192);
  data += 256;
  size -= 256;
  __m512i k = _mm512_load_si512(kFold2048);
  for (; size >= 256; data += 256, size -= 256) {
    a0 = FoldWide(a0, k, LoadWide(data));
    a1 = FoldWide(a1, k, LoadWide(data + 64));
    a2 = FoldWide(a2, k, LoadWide(data + 128));
    a3 = FoldWide(a3, k, LoadWide(data + 192));
  }
  k = _mm512_load_si512(kFold512Wide);
  a1 = FoldWide(a0, k, a1);
  a2 = FoldWide(a1, k, a2);
  a3 = FoldWide(a2, k, a3);
  alignas(64) std::uint8_t lanes[64];
  _mm512_store_si512(lanes, a3);
  return FinishFold(Load(lanes), Load(lanes + 16), Load(lanes + 32), Load(lanes + 48), data, size);
}

bool CanFoldWide() {
  static const bool supported = __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx512f") &&
                                __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("pclmul") &&
                                __builtin_cpu_supports("sse4.1");
  return supported;
}

bool CanFold() {
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return supported;
}

#endif

}  // namespace

std::uint32_t QELCrc32(std::uint32_t crc, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
#ifdef QEL_CRC32_FOLDING
  if (size >= 64 && CanFold()) {
    const std::size_t folded = size & ~std::size_t{15};
    crc = ~(folded >= 256 && CanFoldWide() ? FoldCrc32Wide(~crc, bytes, folded) : FoldCrc32(~crc, bytes, folded));
    bytes += folded;
    size -= folded;
  }
#endif
  return size == 0 ? crc : TableCrc32(crc, bytes, size);
}

}  // namespace qel
