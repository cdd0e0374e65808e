// The engine memory manager: sizes, guards, overrun and foreign-pointer
// detection, reallocation and the memory limit.

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "memory/QELMemory.h"
#include "platform/QELException.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

TEST(MemoryManagerTest, BlocksKnowTheirSizeAndAreCounted) {
  TQELMemoryManager manager;
  EXPECT_EQ(manager.BlockSize(nullptr), 0);
  void* block = manager.AllocMem(100);
  EXPECT_EQ(manager.BlockSize(block), 100);
  EXPECT_EQ(manager.AllocatedBytes(), 100);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 16, 0u);
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], 0);
  manager.FreeAndNillMem(block);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(manager.AllocatedBytes(), 0);
  EXPECT_EQ(NativeErrorOf([&] { manager.GetMem(0); }), 30286);
}

TEST(MemoryManagerTest, OverrunIsReportedWhenTheBlockIsFreed) {
  TQELMemoryManager manager;
  void* block = manager.GetMem(64);
  static_cast<std::uint8_t*>(block)[64] ^= 0xFF;  // one byte past the end: the trailer guard
  try {
    manager.FreeAndNillMem(block);
    FAIL() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_EQ(e.NativeError(), 30137);
    EXPECT_STREQ(e.what(), "Memory overrun detected - Native error: 30137");
  }
  EXPECT_EQ(block, nullptr);                 // released all the same
  EXPECT_EQ(manager.AllocatedBytes(), 0);    // and counted back
}

TEST(MemoryManagerTest, ForeignPointersAreRefused) {
  TQELMemoryManager manager;
  alignas(16) std::uint8_t foreign[64] = {};
  void* pointer = foreign + 32;
  EXPECT_EQ(NativeErrorOf([&] { manager.FreeAndNillMem(pointer); }), 30001);
  EXPECT_EQ(pointer, foreign + 32);  // nothing was freed or cleared
  EXPECT_EQ(NativeErrorOf([&] { manager.BlockSize(pointer); }), 30005);
  EXPECT_EQ(NativeErrorOf([&] { manager.ReallocMem(pointer, false, 10); }), 30014);
}

TEST(MemoryManagerTest, ReallocationKeepsTheOldBytes) {
  TQELMemoryManager manager;
  void* block = manager.GetMem(10);
  std::memset(block, 0x5A, 10);
  manager.ReallocMemZero(block, 20);
  EXPECT_EQ(manager.BlockSize(block), 20);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(static_cast<std::uint8_t*>(block)[i], i < 10 ? 0x5A : 0) << i;
  manager.ReallocMem(block, false, 10);
  EXPECT_EQ(manager.BlockSize(block), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<std::uint8_t*>(block)[i], 0x5A) << i;
  EXPECT_EQ(manager.AllocatedBytes(), 10);
  manager.FreeAndNillMem(block);
}

TEST(MemoryManagerTest, TheLimitCountsBytesInUse) {
  TQELMemoryManager manager;
  manager.SetMemoryLimit(1000);
  void* used = manager.GetMem(900);
  try {
    manager.GetMem(101);
    FAIL() << "no exception";
  } catch (const EQELException& e) {
    EXPECT_STREQ(e.what(), "Memory limit exceeded (Limit = 1000 bytes) - Native error: 30004");
  }
  EXPECT_EQ(manager.AllocatedBytes(), 900);
  void* fits = manager.GetMem(100);
  EXPECT_LE(manager.AvailableMemory(), 1000);
  manager.FreeAndNillMem(fits);
  manager.FreeAndNillMem(used);
}

}  // namespace
}  // namespace qel
