#include "platform/QELSystemInfo.h"

#include <unistd.h>

#include <atomic>
#include <chrono>

namespace qel {

namespace {

constexpr std::int64_t kKeptForNanoseconds = 50'000'000;

std::uint64_t AskTheSystem() {
  const long pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(pageSize);
}

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The last answer and when it was taken; two threads asking at once may
// both ask the system, which is harmless.
std::atomic<std::uint64_t> gKeptAnswer{0};
std::atomic<std::int64_t> gKeptAt{0};
std::atomic<bool> gKept{false};

}  // namespace

std::uint64_t QELAvailablePhysicalMemory() {
  const std::int64_t now = Now();
  if (gKept.load(std::memory_order_acquire) && now - gKeptAt.load(std::memory_order_relaxed) < kKeptForNanoseconds) {
    return gKeptAnswer.load(std::memory_order_relaxed);
  }
  const std::uint64_t answer = AskTheSystem();
  gKeptAnswer.store(answer, std::memory_order_relaxed);
  gKeptAt.store(now, std::memory_order_relaxed);
  gKept.store(true, std::memory_order_release);
  return answer;
}

}  // namespace qel
