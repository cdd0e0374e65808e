// The PPMd codec's parts on their own: the suballocator (blocks that never
// overlap or leave the memory, contents kept when a block grows or shrinks,
// free units glued back into large blocks, exhaustion answered with null)
// and the range coder (any sequence of intervals, down to width 1 of a
// 2^15 scale, decodes to itself and uses up exactly the bytes written).

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <random>

#include "streams/ppmd/PpmdRangeCoder.h"
#include "streams/ppmd/PpmdSubAllocator.h"

namespace qel {
namespace {

using ppmd::kUnitSize;
using ppmd::TPpmdSubAllocator;

// One model memory block with the allocator working in it.
class TArena {
 public:
  explicit TArena(std::uint32_t size)
      : FBlock(new std::uint8_t[size + TPpmdSubAllocator::kGuardBytes]),
        FSize(size),
        FAllocator(FBlock.get(), size) {
    FAllocator.Reset();
  }
  TPpmdSubAllocator& Allocator() { return FAllocator; }
  std::uint32_t Offset(const void* p) const {
    return static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(p) - FBlock.get());
  }
  std::uint32_t Size() const { return FSize; }

 private:
  std::unique_ptr<std::uint8_t[]> FBlock;
  std::uint32_t FSize;
  TPpmdSubAllocator FAllocator;
};

// The live blocks with the units they were asked for and the byte they are
// filled with. Fill bytes stay below 0x80: a block in use never starts with
// the free stamp 0xFFFF, as contexts and state arrays never do.
class TShadow {
 public:
  explicit TShadow(TArena& arena) : FArena(arena) {}

  void Add(void* p, unsigned units, std::uint8_t fill) {
    const std::uint32_t at = FArena.Offset(p);
    const std::uint32_t end = at + units * kUnitSize;
    ASSERT_LE(end, FArena.Size()) << "block leaves the memory";
    auto next = FBlocks.lower_bound(at);
    if (next != FBlocks.end()) {
      ASSERT_LE(end, next->first) << "block overlaps the one above";
    }
    if (next != FBlocks.begin()) {
      const auto& below = *std::prev(next);
      ASSERT_LE(below.first + below.second.Units * kUnitSize, at) << "block overlaps the one below";
    }
    std::memset(p, fill, units * kUnitSize);
    FBlocks[at] = {p, units, fill};
  }

  void Check(std::uint32_t at, unsigned units) const {
    const TBlock& b = FBlocks.at(at);
    const auto* bytes = static_cast<const std::uint8_t*>(b.Pointer);
    for (unsigned i = 0; i < units * kUnitSize; ++i)
      ASSERT_EQ(bytes[i], b.Fill) << "byte " << i << " of a block changed";
  }

  struct TBlock {
    void* Pointer;
    unsigned Units;
    std::uint8_t Fill;
  };
  std::map<std::uint32_t, TBlock>& Blocks() { return FBlocks; }

 private:
  TArena& FArena;
  std::map<std::uint32_t, TBlock> FBlocks;
};

TEST(PpmdSubAllocatorTest, RandomWorkKeepsBlocksApartAndIntact) {
  TArena arena(1 << 20);
  TPpmdSubAllocator& allocator = arena.Allocator();
  TShadow shadow(arena);
  std::mt19937 random(17);
  int exhausted = 0;
  for (int step = 0; step < 200000; ++step) {
    auto& blocks = shadow.Blocks();
    const std::uint32_t action = random() % 10;
    const std::uint8_t fill = static_cast<std::uint8_t>(random() % 0x7F);
    if (action < 5 || blocks.empty()) {
      const unsigned units = action == 0 ? 1 : 1 + random() % (random() % 4 == 0 ? 128 : 8);
      void* p = action == 0 ? allocator.AllocContext() : allocator.AllocUnits(units);
      if (p == nullptr) {
        // Memory is full: give back about half of it and go on.
        ++exhausted;
        for (auto it = blocks.begin(); it != blocks.end();) {
          if (random() % 2 == 0) {
            allocator.FreeUnits(it->second.Pointer, it->second.Units);
            it = blocks.erase(it);
          } else {
            ++it;
          }
        }
        continue;
      }
      ASSERT_NO_FATAL_FAILURE(shadow.Add(p, units, fill));
      continue;
    }
    auto it = std::next(blocks.begin(), static_cast<std::ptrdiff_t>(random() % blocks.size()));
    const std::uint32_t at = it->first;
    const TShadow::TBlock block = it->second;
    ASSERT_NO_FATAL_FAILURE(shadow.Check(at, block.Units));
    if (action < 7 && block.Units < 128) {
      void* grown = allocator.ExpandUnits(block.Pointer, block.Units);
      if (grown == nullptr) continue;  // the old block stays as it was
      blocks.erase(it);
      // The old units moved along; the new unit is the caller's to fill.
      const auto* bytes = static_cast<const std::uint8_t*>(grown);
      for (unsigned i = 0; i < block.Units * kUnitSize; ++i) ASSERT_EQ(bytes[i], block.Fill);
      ASSERT_NO_FATAL_FAILURE(shadow.Add(grown, block.Units + 1, fill));
    } else if (action < 9 && block.Units > 1) {
      const unsigned units = 1 + random() % (block.Units - 1);
      void* shrunk = allocator.ShrinkUnits(block.Pointer, block.Units, units);
      blocks.erase(it);
      const auto* bytes = static_cast<const std::uint8_t*>(shrunk);
      for (unsigned i = 0; i < units * kUnitSize; ++i) ASSERT_EQ(bytes[i], block.Fill);
      ASSERT_NO_FATAL_FAILURE(shadow.Add(shrunk, units, fill));
    } else {
      allocator.FreeUnits(block.Pointer, block.Units);
      blocks.erase(it);
    }
  }
  EXPECT_GT(exhausted, 10) << "the memory never filled up, so gluing and the text area went untested";
  for (const auto& [at, block] : shadow.Blocks()) ASSERT_NO_FATAL_FAILURE(shadow.Check(at, block.Units));
}

// The memory filled with single units and freed again must serve large
// blocks: free units are glued into runs. Gluing waits for a streak of
// failed requests, so a few requests may fail before it happens.
TEST(PpmdSubAllocatorTest, FreedUnitsAreGluedIntoLargeBlocks) {
  TArena arena(1 << 20);
  TPpmdSubAllocator& allocator = arena.Allocator();
  std::vector<void*> units;
  while (void* p = allocator.AllocContext()) {
    std::memset(p, 0x11, kUnitSize);
    units.push_back(p);
  }
  // Nearly the whole memory: the units area and most of the text area.
  EXPECT_GT(units.size() * kUnitSize, arena.Size() * 99 / 100);
  std::shuffle(units.begin(), units.end(), std::mt19937(5));
  for (void* p : units) allocator.FreeUnits(p, 1);

  std::size_t large = 0;
  for (int request = 0; request < 2000; ++request) {
    void* p = allocator.AllocUnits(128);
    if (p == nullptr) continue;
    std::memset(p, 0x22, 128 * kUnitSize);
    ++large;
  }
  EXPECT_GE(large, units.size() / 128 * 95 / 100);
}

TEST(PpmdSubAllocatorTest, ResetGivesBackTheWholeMemory) {
  TArena arena(1 << 16);
  TPpmdSubAllocator& allocator = arena.Allocator();
  std::size_t counts[2] = {};
  for (std::size_t& count : counts) {
    while (allocator.AllocUnits(3) != nullptr) ++count;
    allocator.Reset();
  }
  EXPECT_GT(counts[0], arena.Size() / (3 * kUnitSize) * 9 / 10);
  EXPECT_EQ(counts[0], counts[1]);
}

struct TInterval {
  std::uint32_t Low, High, Scale;  // Scale 0: a 2^14 binary interval
};

std::vector<TInterval> RandomIntervals(std::uint32_t seed, std::size_t count) {
  std::mt19937 random(seed);
  std::vector<TInterval> intervals;
  for (std::size_t i = 0; i < count; ++i) {
    const bool binary = random() % 4 == 0;
    const std::uint32_t scale = binary ? 1u << 14 : 1 + random() % (random() % 8 == 0 ? 1u << 15 : 300);
    std::uint32_t low = random() % scale;
    std::uint32_t high = low + 1 + random() % (scale - low);
    if (random() % 5 == 0) high = low + 1;  // the narrowest interval
    intervals.push_back({low, high, binary ? 0 : scale});
  }
  return intervals;
}

TEST(PpmdRangeCoderTest, IntervalsDecodeToThemselves) {
  for (std::uint32_t seed = 1; seed <= 4; ++seed) {
    const std::vector<TInterval> intervals = RandomIntervals(seed, 100000);
    std::vector<std::uint8_t> out;
    ppmd::TPpmdRangeEncoder encoder(out);
    for (const TInterval& i : intervals) {
      if (i.Scale == 0) {
        encoder.EncodeBits(i.Low, i.High, 14);
      } else {
        encoder.Encode(i.Low, i.High, i.Scale);
      }
      encoder.Normalize();
    }
    encoder.Flush();
    ASSERT_FALSE(encoder.Failed());

    ppmd::TPpmdRangeDecoder decoder(out.data(), out.size());
    for (std::size_t n = 0; n < intervals.size(); ++n) {
      const TInterval& i = intervals[n];
      const std::uint32_t target = i.Scale == 0 ? decoder.ThresholdBits(14) : decoder.Threshold(i.Scale);
      ASSERT_GE(target, i.Low) << "interval " << n;
      ASSERT_LT(target, i.High) << "interval " << n;
      decoder.Decode(i.Low, i.High);
      decoder.Normalize();
    }
    EXPECT_FALSE(decoder.Failed());
    EXPECT_TRUE(decoder.AtEnd());
  }
}

TEST(PpmdRangeCoderTest, ShortInputMarksTheDecoderFailed) {
  const std::uint8_t bytes[3] = {1, 2, 3};
  ppmd::TPpmdRangeDecoder decoder(bytes, sizeof bytes);
  EXPECT_TRUE(decoder.Failed());
}

}  // namespace
}  // namespace qel
