#pragma once
// The PPM algorithm of compressed blocks: a 4-byte word naming the model
// order and memory, then the PPMd-coded bytes.

#include <cstdint>
#include <vector>

namespace qel {

// Compresses with the order and memory of `mode`; false on any failure.
bool PpmCompressBuffer(std::uint8_t mode, const std::uint8_t* data, std::size_t size,
                       std::vector<std::uint8_t>& output);
// Restores exactly `expected` bytes (the model comes from the stored word).
bool PpmDecompressBuffer(const std::uint8_t* data, std::size_t size, std::size_t expected,
                         std::vector<std::uint8_t>& output);

}  // namespace qel
