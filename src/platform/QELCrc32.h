#pragma once
// CRC-32 as zlib computes it (the reflected polynomial 0x04C11DB7, the
// value before the first call 0), with carry-less multiplication where the
// processor has it: page checksums are taken on every read of an encrypted
// page, and the table-driven form costs more than decrypting the page.

#include <cstddef>
#include <cstdint>

namespace qel {

// The CRC of `size` bytes continuing from `crc` (0 to start), equal to
// zlib's crc32(crc, data, size).
std::uint32_t QELCrc32(std::uint32_t crc, const void* data, std::size_t size);

}  // namespace qel
