#pragma once
// A file's whole contents as bytes, read and written in one call, for tests
// that compare, damage or restore files.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace qel::test {

// The file's bytes; empty when it cannot be read.
inline std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Replaces the file's contents with `bytes`.
inline void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace qel::test
