#pragma once
// Facts about the machine the engine sizes its caches by.

#include <cstdint>

namespace qel {

// Physical memory not in use at the moment, in bytes; 0 when unknown.
std::uint64_t QELAvailablePhysicalMemory();

}  // namespace qel
