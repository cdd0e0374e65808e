#pragma once
// The process-wide pseudo-random source. Safe to call from any thread.

#include <cstdint>

namespace qel {

// A number in [0, range); 0 when range is 0.
std::uint32_t QELRandom(std::uint32_t range);

// Restarts the sequence from `seed`, so that a run can be repeated. The
// source starts seeded from std::random_device.
void QELRandomize(std::uint32_t seed);

}  // namespace qel
