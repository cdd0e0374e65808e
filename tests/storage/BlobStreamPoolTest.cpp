// BLOB values opened one after another reuse one working stream: a closed
// value gives its stream back to the pool (emptied when taken again), values
// open at the same time have streams of their own, and a value may outlive
// every other owner of its pool.

#include <gtest/gtest.h>

#include <memory>

#include "storage/QELBlobValueStream.h"
#include "streams/QELCompression.h"

namespace qel {
namespace {

TQELCompressedStreamDescriptor ZlibValue() {
  TQELCompressedStreamDescriptor descriptor;
  descriptor.BlockSize = 4096;
  descriptor.CompressionAlgorithm = cmZLIB;
  descriptor.CompressionMode = 6;
  return descriptor;
}

TEST(BlobStreamPoolTest, ClosedValuesGiveTheirWorkingStreamsToTheNext) {
  auto pool = std::make_shared<TQELBlobStreamPool>();
  const TQELStream* used = nullptr;
  {
    TQELBlobValueStream value(pool->Take(false), true, ZlibValue(), 0, pool);
    used = &value.BlockData();
    // Held back in memory until the value is flushed, as it is on closing.
    ASSERT_EQ(value.Write("abc", 3), 3);
  }
  {
    TQELBlobValueStream next(pool->Take(false), true, ZlibValue(), 0, pool);
    EXPECT_EQ(&next.BlockData(), used);
    EXPECT_EQ(next.BlockData().GetSize(), 0);
    EXPECT_EQ(next.GetSize(), 0);
    // A value open meanwhile has a stream of its own.
    TQELBlobValueStream other(pool->Take(true), true, ZlibValue(), 0, pool);
    EXPECT_NE(&other.BlockData(), used);
  }

  // The last owner of the pool may be a value.
  auto last = std::make_unique<TQELBlobValueStream>(pool->Take(false), true, ZlibValue(), 0, pool);
  pool.reset();
  ASSERT_EQ(last->Write("x", 1), 1);
  last.reset();
}

}  // namespace
}  // namespace qel
