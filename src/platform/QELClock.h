#pragma once
// Time as the engine uses it: pauses, elapsed time and the date-time stamps it
// stores.

#include <cstdint>

namespace qel {

// Days from 1899-12-30, the zero of the engine's date-time values, to
// 1970-01-01.
inline constexpr double QEL_UNIX_EPOCH_DAYS = 25569.0;

void QELSleep(std::uint32_t milliseconds);

// Milliseconds from an arbitrary start; never goes back, not even when the
// system clock is set.
std::uint64_t QELTickCount();

// The local date and time as days since 1899-12-30 00:00, the fraction being
// the time of day (0.5 is noon).
double QELNow();

}  // namespace qel
