#pragma once
// Facts about the machine the engine sizes its caches by.

#include <cstdint>

namespace qel {

// Physical memory not in use at the moment, in bytes; 0 when unknown. The
// answer is asked of the system at most every few milliseconds and kept
// in between: every table a statement opens sizes its caches by it, and
// asking costs a system call that walks the memory counters.
std::uint64_t QELAvailablePhysicalMemory();

}  // namespace qel
