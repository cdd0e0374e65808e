// Damaged PPMd streams: every single-byte change, every truncation, bytes
// appended, and the wrong size or model must end in a false result, never in
// a crash, a hang or an access outside the buffers (the sanitizer build runs
// the same loops). A change the decoder cannot see may only be one that
// decodes to the original bytes.

#include <gtest/gtest.h>

#include <string>

#include "PpmdTestData.h"
#include "streams/ppmd/QELPpmd.h"

namespace qel {
namespace {

using test::Bytes;

struct TSample {
  const char* Name;
  Bytes Data;
  int Order;
  int MemoryMB;
  Bytes Coded;
};

std::vector<TSample> Samples() {
  std::vector<TSample> samples = {
      {"text, order 8", test::MixedText(3000, 21), 8, 25, {}},
      {"text, order 2", test::MixedText(3000, 22), 2, 2, {}},
      {"noise, order 16", test::RandomBytes(600, 23), 16, 100, {}},
  };
  for (TSample& s : samples) {
    EXPECT_TRUE(PpmdCompress(s.Data.data(), s.Data.size(), s.Order, s.MemoryMB, s.Coded));
  }
  return samples;
}

enum TOutcome { ocRejected, ocOriginal, ocWrongBytes };

// Decodes into a buffer of exactly `size` bytes, so the sanitizer sees any
// write past it.
TOutcome Decode(const Bytes& coded, const TSample& s, std::size_t size, int order, int memoryMB) {
  Bytes out(size);
  if (!PpmdDecompress(coded.data(), coded.size(), order, memoryMB, out.data(), out.size())) return ocRejected;
  return out == s.Data ? ocOriginal : ocWrongBytes;
}

TOutcome Decode(const Bytes& coded, const TSample& s) {
  return Decode(coded, s, s.Data.size(), s.Order, s.MemoryMB);
}

TEST(PpmdDamageTest, EverySingleByteChangeIsRejectedOrHarmless) {
  for (const TSample& s : Samples()) {
    SCOPED_TRACE(s.Name);
    int rejected = 0;
    for (std::size_t at = 0; at < s.Coded.size(); ++at) {
      for (const std::uint8_t flip : {0x01, 0x80, 0xFF}) {
        Bytes damaged = s.Coded;
        damaged[at] ^= flip;
        const TOutcome outcome = Decode(damaged, s);
        EXPECT_NE(outcome, ocWrongBytes) << "byte " << at << " ^ " << int(flip);
        rejected += outcome == ocRejected;
      }
    }
    // Only the last bytes, which pin the final interval down, have slack.
    EXPECT_GE(rejected, static_cast<int>(3 * (s.Coded.size() - 4)));
  }
}

TEST(PpmdDamageTest, CutOrExtendedStreamsAreRejected) {
  for (const TSample& s : Samples()) {
    SCOPED_TRACE(s.Name);
    for (std::size_t length = 0; length < s.Coded.size(); ++length) {
      const Bytes cut(s.Coded.begin(), s.Coded.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_EQ(Decode(cut, s), ocRejected) << "cut to " << length;
    }
    for (const std::uint8_t extra : {0x00, 0x5A, 0xFF}) {
      Bytes extended = s.Coded;
      extended.push_back(extra);
      EXPECT_EQ(Decode(extended, s), ocRejected) << "extended by " << int(extra);
    }
  }
}

TEST(PpmdDamageTest, WrongSizeOrModelIsRejected) {
  for (const TSample& s : Samples()) {
    SCOPED_TRACE(s.Name);
    const std::size_t size = s.Data.size();
    EXPECT_EQ(Decode(s.Coded, s, size - 1, s.Order, s.MemoryMB), ocRejected);
    EXPECT_EQ(Decode(s.Coded, s, size + 1, s.Order, s.MemoryMB), ocRejected);
    EXPECT_EQ(Decode(s.Coded, s, 0, s.Order, s.MemoryMB), ocRejected);
    EXPECT_EQ(Decode(s.Coded, s, size * 4, s.Order, s.MemoryMB), ocRejected);
    // Another order may code a short input the same way (noise never
    // reaches long contexts), but must never yield other bytes.
    EXPECT_NE(Decode(s.Coded, s, size, s.Order == 2 ? 16 : 2, s.MemoryMB), ocWrongBytes);
  }
  const TSample text = Samples()[0];
  EXPECT_EQ(Decode(text.Coded, text, text.Data.size(), 2, text.MemoryMB), ocRejected);
}

TEST(PpmdDamageTest, GarbageInputIsRejected) {
  for (std::uint32_t seed = 1; seed <= 20; ++seed) {
    const Bytes garbage = test::RandomBytes(64 + seed * 50, seed);
    for (const int order : {2, 16}) {
      Bytes out(4000);
      EXPECT_FALSE(PpmdDecompress(garbage.data(), garbage.size(), order, 2, out.data(), out.size()))
          << "seed " << seed << ", order " << order;
    }
  }
}

}  // namespace
}  // namespace qel
