// QELCrc32 gives zlib's CRC-32 for every length, alignment and starting
// value: the folding path covers whole 16-byte blocks of inputs of 64
// bytes or more, and the rest goes through zlib's table.

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "platform/QELCrc32.h"

namespace qel {
namespace {

std::uint32_t ZlibCrc(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32(crc, data, static_cast<uInt>(size)));
}

TEST(Crc32Test, EqualsZlibForEveryLengthAlignmentAndStart) {
  std::mt19937 random(7);
  std::vector<std::uint8_t> bytes((1 << 20) + 64);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  const char* check = "123456789";
  EXPECT_EQ(QELCrc32(0, check, 9), 0xCBF43926u);

  std::vector<std::size_t> sizes;
  for (std::size_t size = 0; size <= 300; ++size) sizes.push_back(size);
  for (const std::size_t size : {4056u, 4096u, 65535u, (1u << 20) + 7}) sizes.push_back(size);
  for (const std::size_t size : sizes) {
    for (const std::size_t offset : {0u, 1u, 7u, 15u}) {
      for (const std::uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u}) {
        const std::uint8_t* data = bytes.data() + offset;
        ASSERT_EQ(QELCrc32(start, data, size), ZlibCrc(start, data, size))
            << "size " << size << ", offset " << offset << ", start " << start;
      }
    }
  }
  // Continued in pieces, it gives the CRC of the whole.
  const std::size_t whole = 10000;
  std::uint32_t crc = 0;
  for (std::size_t at = 0, piece = 1; at < whole; at += piece, piece = piece * 3 % 997 + 1) {
    const std::size_t n = std::min(piece, whole - at);
    crc = QELCrc32(crc, bytes.data() + at, n);
  }
  EXPECT_EQ(crc, ZlibCrc(0, bytes.data(), whole));
}

}  // namespace
}  // namespace qel
