// TQELBitsArray: bit access and counting across byte boundaries, resizing,
// searching, ranks, and the stream form with damaged input.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/QELEndian.h"
#include "storage/QELBitsArray.h"
#include "streams/QELMemoryStream.h"
#include "support/ErrorSupport.h"

namespace qel {
namespace {

using test::NativeErrorOf;

std::vector<std::int32_t> SetBits(const TQELBitsArray& bits) {
  std::vector<std::int32_t> result;
  for (std::int32_t i = 0; i < bits.Size(); ++i) {
    if (bits.GetBit(i)) result.push_back(i);
  }
  return result;
}

TEST(BitsArrayTest, SetClearAndCountAcrossByteBoundaries) {
  TQELBitsArray bits;
  bits.SetSize(130);
  const std::vector<std::int32_t> marked = {0, 7, 8, 63, 64, 65, 129};
  for (std::int32_t i : marked) bits.SetBit(i, true);
  bits.SetBit(8, true);  // already set: the count must not move
  EXPECT_EQ(bits.SetCount(), 7);
  EXPECT_EQ(SetBits(bits), marked);
  EXPECT_EQ(bits.Bytes()[0], 0x81);  // bits 0 and 7, least significant first
  EXPECT_EQ(bits.Bytes()[1], 0x01);
  bits.SetBit(64, false);
  bits.SetBit(1, false);  // already clear
  EXPECT_EQ(bits.SetCount(), 6);
  EXPECT_FALSE(bits.GetBit(64));

  EXPECT_EQ(NativeErrorOf([&] { bits.GetBit(130); }), 10394);
  EXPECT_EQ(NativeErrorOf([&] { bits.GetBit(-1); }), 10394);
  EXPECT_EQ(NativeErrorOf([&] { bits.SetBit(130, true); }), 10395);
  EXPECT_EQ(NativeErrorOf([&] { bits.SetBit(-8, true); }), 10395);
  EXPECT_EQ(NativeErrorOf([&] { bits.SetSize(-1); }), 10394);
}

TEST(BitsArrayTest, ResizingKeepsBitsAndNeverRevivesDroppedOnes) {
  TQELBitsArray bits;
  bits.SetSize(20);
  for (std::int32_t i : {3, 17, 19}) bits.SetBit(i, true);
  bits.SetSize(18);  // drops bit 19, which shares a byte with kept bits
  EXPECT_EQ(bits.SetCount(), 2);
  bits.SetSize(40);
  EXPECT_EQ(SetBits(bits), (std::vector<std::int32_t>{3, 17}));
  EXPECT_EQ(bits.SetCount(), 2);

  bits.SetSize(13);
  bits.SetAll();
  EXPECT_EQ(bits.SetCount(), 13);
  std::int32_t index = -1;
  EXPECT_FALSE(bits.FindFirst(false, index));  // the spare bits of the last byte are no bits
  bits.SetSize(16);
  EXPECT_EQ(bits.SetCount(), 13);
  ASSERT_TRUE(bits.FindFirst(false, index));
  EXPECT_EQ(index, 13);

  bits.SetSize(0);
  EXPECT_EQ(bits.SetCount(), 0);
  EXPECT_EQ(bits.Bytes(), nullptr);
  EXPECT_FALSE(bits.FindFirst(true, index));
}

TEST(BitsArrayTest, FindNextSetInBothDirections) {
  TQELBitsArray bits;
  bits.SetSize(200);
  for (std::int32_t i : {5, 64, 199}) bits.SetBit(i, true);
  struct Case {
    bool FromStart;
    bool Forward;
    std::int32_t From;
    std::int32_t Expected;  // -1: none
  };
  const Case cases[] = {
      {true, true, 0, 5},      {true, false, 0, 199},   {false, true, 5, 64},
      {false, true, 4, 5},     {false, true, 64, 199},  {false, true, 199, -1},
      {false, false, 199, 64}, {false, false, 64, 5},   {false, false, 5, -1},
      {false, true, -50, 5},   {false, false, 5000, 199}, {false, true, 5000, -1},
      {false, false, -3, -1},
  };
  for (const Case& c : cases) {
    std::int32_t index = -1;
    const bool found = bits.FindNextSet(c.FromStart, c.Forward, index, c.From);
    EXPECT_EQ(found, c.Expected >= 0) << c.From << " forward " << c.Forward;
    if (found) {
      EXPECT_EQ(index, c.Expected) << c.From << " forward " << c.Forward;
    }
  }
  std::int32_t index = -1;
  ASSERT_TRUE(bits.FindFirst(true, index));
  EXPECT_EQ(index, 5);
  ASSERT_TRUE(bits.FindFirst(false, index));
  EXPECT_EQ(index, 0);
}

// Searches and ranks step over whole words of a sparse array: from every
// start, in both directions, they agree with a bit-by-bit look, for sizes
// that end inside a word and inside a byte.
TEST(BitsArrayTest, SearchesAndRanksOverSparseBitsAgreeWithEveryBit) {
  for (const std::int32_t size : {1, 63, 64, 65, 1000, 1003}) {
    TQELBitsArray bits;
    bits.SetSize(size);
    for (std::int32_t i = 0; i < size; ++i) {
      if ((static_cast<std::uint32_t>(i) * 2654435761u) % 397 < 3 || i == size - 1 || i == 64) bits.SetBit(i, true);
    }
    const std::vector<std::int32_t> marked = SetBits(bits);
    for (std::int32_t from = -2; from <= size + 1; ++from) {
      SCOPED_TRACE(testing::Message() << "size " << size << " from " << from);
      const auto after = std::upper_bound(marked.begin(), marked.end(), from);
      std::int32_t index = -1;
      const bool forward = bits.FindNextSet(false, true, index, from);
      ASSERT_EQ(forward, after != marked.end());
      if (forward) {
        EXPECT_EQ(index, *after);
      }
      const auto before = std::lower_bound(marked.begin(), marked.end(), std::min(from, size));
      const bool backward = bits.FindNextSet(false, false, index, std::min(from, size));
      ASSERT_EQ(backward, before != marked.begin());
      if (backward) {
        EXPECT_EQ(index, *std::prev(before));
      }
      if (from >= 0 && from < size && bits.GetBit(from)) {
        EXPECT_EQ(bits.RankOf(from), static_cast<std::int32_t>(before - marked.begin()));
      }
    }
  }
}

TEST(BitsArrayTest, NthSetBitAndRankOfAreInverse) {
  TQELBitsArray bits;
  bits.SetSize(300);
  std::vector<std::int32_t> marked;
  for (std::int32_t i = 0; i < 300; i += (i % 7) + 1) {
    bits.SetBit(i, true);
    marked.push_back(i);
  }
  ASSERT_EQ(bits.SetCount(), static_cast<std::int32_t>(marked.size()));
  for (std::int32_t n = 0; n < bits.SetCount(); ++n) {
    EXPECT_EQ(bits.NthSetBit(n), marked[static_cast<std::size_t>(n)]);
    EXPECT_EQ(bits.RankOf(marked[static_cast<std::size_t>(n)]), n);
  }
  EXPECT_EQ(bits.RankOf(2), 1);  // bits 0 and 1 are set below 2, 2 is not
  EXPECT_EQ(NativeErrorOf([&] { bits.NthSetBit(bits.SetCount()); }), 10428);
  EXPECT_EQ(NativeErrorOf([&] { bits.NthSetBit(-1); }), 10428);
  EXPECT_EQ(NativeErrorOf([&] { bits.RankOf(300); }), 10429);

  bits.SetAll();
  EXPECT_EQ(bits.NthSetBit(123), 123);
  EXPECT_EQ(bits.RankOf(299), 299);
}

TEST(BitsArrayTest, StreamRoundTripWithItsByteLayout) {
  TQELBitsArray bits;
  bits.SetSize(21);
  for (std::int32_t i : {0, 9, 20}) bits.SetBit(i, true);
  TQELMemoryStream stream;
  bits.SaveToStream(stream);
  ASSERT_EQ(stream.GetSize(), 4 + 4 + 3);
  EXPECT_EQ(QELReadLE<std::int32_t>(stream.Memory()), 21);
  EXPECT_EQ(QELReadLE<std::int32_t>(stream.Memory() + 4), 3);
  EXPECT_EQ(stream.Memory()[8], 0x01);
  EXPECT_EQ(stream.Memory()[9], 0x02);
  EXPECT_EQ(stream.Memory()[10], 0x10);

  stream.SetPosition(0);
  TQELBitsArray loaded;
  loaded.LoadFromStream(stream);
  EXPECT_EQ(loaded.Size(), 21);
  EXPECT_EQ(loaded.SetCount(), 3);
  EXPECT_EQ(SetBits(loaded), (std::vector<std::int32_t>{0, 9, 20}));
}

// Writes a stored bit array header (and `bytes`) and loads it.
std::int32_t LoadError(std::int32_t size, std::int32_t setCount, std::vector<std::uint8_t> bytes,
                       std::int64_t truncateTo, TQELBitsArray& target) {
  TQELMemoryStream stream;
  std::uint8_t word[4];
  QELWriteLE<std::int32_t>(word, size);
  stream.Write(word, 4);
  QELWriteLE<std::int32_t>(word, setCount);
  stream.Write(word, 4);
  if (!bytes.empty()) stream.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
  if (truncateTo >= 0) stream.SetSize(truncateTo);
  stream.SetPosition(0);
  return NativeErrorOf([&] { target.LoadFromStream(stream); });
}

TEST(BitsArrayTest, DamagedStreamsAreRefusedAndLeaveTheArrayAlone) {
  struct Case {
    const char* Name;
    std::int32_t Size;
    std::int64_t TruncateTo;
    std::int32_t Expected;
  };
  const Case cases[] = {
      {"size cut short", 16, 2, 10401},
      {"count cut short", 16, 6, 10426},
      {"bytes cut short", 16, 9, 10402},
      {"size far beyond the stream", 0x7FFFFFF0, -1, 10402},
      {"negative size", -9, -1, 10402},
  };
  for (const Case& c : cases) {
    TQELBitsArray target;
    target.SetSize(10);
    target.SetBit(4, true);
    EXPECT_EQ(LoadError(c.Size, 1, {0xFF, 0xFF}, c.TruncateTo, target), c.Expected) << c.Name;
    EXPECT_EQ(target.Size(), 10) << c.Name;
    EXPECT_EQ(SetBits(target), (std::vector<std::int32_t>{4})) << c.Name;
  }

  // A stored count that disagrees with the bytes, and set spare bits in the
  // last byte, are not believed.
  TQELBitsArray target;
  EXPECT_EQ(LoadError(12, 99, {0x03, 0xF1}, -1, target), 0);
  EXPECT_EQ(target.SetCount(), 3);
  EXPECT_EQ(SetBits(target), (std::vector<std::int32_t>{0, 1, 8}));
  target.SetSize(16);
  EXPECT_EQ(target.SetCount(), 3);
}

}  // namespace
}  // namespace qel
