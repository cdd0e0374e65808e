#pragma once
// The engine's lock for data shared between threads.
//
// Engine code enters a critical section again from methods that already hold
// it, so the lock is recursive.

#include <mutex>

namespace qel {

using TQELCriticalSection = std::recursive_mutex;
using TQELCriticalSectionGuard = std::lock_guard<TQELCriticalSection>;

}  // namespace qel
