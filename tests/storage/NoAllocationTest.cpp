// Reading and writing fixed-size fields is the hot path of every scan: it
// must not touch the heap. This binary replaces the global operator new and
// delete with counting versions, and the tests check that the count does not
// move across the reads and writes.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "storage/QELTypes.h"

namespace {

std::atomic<long> gAllocations{0};

void* CountedAllocate(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return CountedAllocate(size); }
void* operator new[](std::size_t size) { return CountedAllocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

namespace qel {
namespace {

TEST(NoAllocationTest, TheCounterSeesAllocations) {
  const long before = gAllocations.load();
  auto* probe = new std::vector<int>(100);
  delete probe;
  EXPECT_GE(gAllocations.load() - before, 2);
}

TEST(NoAllocationTest, FixedSizeFieldsMoveWithoutTheHeap) {
  const TQELAdvancedFieldType types[] = {
      aftShortint, aftSmallint, aftInteger, aftLargeint, aftByte,     aftWord,
      aftCardinal, aftSingle,   aftDouble,  aftExtended, aftBoolean,  aftCurrency,
      aftDate,     aftTime,     aftDateTime, aftAutoinc, aftTimeStamp,
  };
  TQELFieldDefs defs;
  for (const TQELAdvancedFieldType type : types) defs.Add(AdvancedFieldTypeName(type), type, 0);
  defs.RecalcOffsets();
  std::vector<std::uint8_t> record(static_cast<std::size_t>(defs.MemoryRecordSize()), 0);
  std::vector<std::uint8_t> other(record.size(), 0);
  TQELVariant value;
  TQELVariant key;
  key.SetAsInteger(7);  // set up before counting
  const std::int32_t fieldCount = defs.Count();

  const long before = gAllocations.load();
  long checksum = 0;
  for (int round = 0; round < 100; ++round) {
    for (std::int32_t i = 0; i < fieldCount; ++i) {
      // The component layer's raw exchange.
      std::uint8_t buffer[16] = {static_cast<std::uint8_t>(round), 1, 0, 0, 0, 0, 0, 0};
      SetFieldData(i, defs, buffer, record.data());
      checksum += GetFieldData(i, defs, buffer, record.data());
      // Expressions read a field into a variant, copied or borrowed, convert
      // and compare it, and write a variant back.
      GetFieldValue(i, defs, record.data(), value, round % 2 ? cmCopy : cmBorrow);
      checksum += value.Compare(key, false, false, false);
      checksum += value.AsInteger();
      SetFieldValue(i, defs, value, other.data());
      key.SetAsDouble(round);
      SetFieldValue(i, defs, key, record.data());
    }
  }
  const long allocations = gAllocations.load() - before;
  EXPECT_EQ(allocations, 0);
  EXPECT_NE(checksum, 0);
}

}  // namespace
}  // namespace qel
