#pragma once
// Replaces the global allocation functions of a test binary with versions
// that count allocations and remember the largest one, for tests of hot
// paths that must not touch the heap and of damaged input that must not
// trigger huge allocations. Include it in exactly one source file of the
// binary.

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace qel::test {

inline std::atomic<long> gAllocations{0};
inline std::atomic<std::size_t> gLargestAllocation{0};

inline void* TrackedAllocate(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  std::size_t largest = gLargestAllocation.load(std::memory_order_relaxed);
  while (size > largest &&
         !gLargestAllocation.compare_exchange_weak(largest, size, std::memory_order_relaxed)) {
  }
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace qel::test

void* operator new(std::size_t size) { return qel::test::TrackedAllocate(size); }
void* operator new[](std::size_t size) { return qel::test::TrackedAllocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return qel::test::TrackedAllocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
