#pragma once
// Polling for locks held by other processes: no lock call on the file ever
// blocks; a caller retries a test with pauses in between.

#include <cstdint>

#include "platform/QELClock.h"

namespace qel {

// How long the database file's header, table and object-id locks are waited
// for: 4500 attempts 20 ms apart, about 90 seconds.
struct TQELRetryPolicy {
  std::int32_t Attempts = 4500;
  std::uint32_t SleepMs = 20;
};

// Calls `test` up to `attempts` times, sleeping `sleepMs` after every failed
// call (also after the last); answers whether a call succeeded.
template <class Test>
bool RetryWithSleep(std::int32_t attempts, std::uint32_t sleepMs, Test&& test) {
  for (std::int32_t attempt = 0; attempt < attempts; ++attempt) {
    if (test()) return true;
    QELSleep(sleepMs);
  }
  return false;
}

template <class Test>
bool RetryWithSleep(const TQELRetryPolicy& policy, Test&& test) {
  return RetryWithSleep(policy.Attempts, policy.SleepMs, static_cast<Test&&>(test));
}

}  // namespace qel
