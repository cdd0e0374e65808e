#pragma once
// A scratch directory for the fuzz targets that work on database files: in
// memory where the system has it (every commit flushes the file), made
// once per process and removed with everything in it when the process
// ends normally.

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace qel::fuzz {

inline std::string MakeScratchDirectory(const char* name) {
  static std::string directory;
  std::string pattern = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
  pattern += std::string("/") + name + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) std::abort();
  directory = pattern;
  std::atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  });
  return directory;
}

}  // namespace qel::fuzz
