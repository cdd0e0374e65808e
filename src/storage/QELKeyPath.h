#pragma once
// A position in a B-tree as the descent that reaches it, and the position
// cache a cursor keeps of the last entry it reached through an index.

#include <array>
#include <cstdint>

#include "storage/QELRecordRequest.h"

namespace qel {

struct TQELKeyPathLevel {
  std::int32_t PageNo = -1;
  std::int32_t EntryNo = 0;     // entry index in that page
  std::int32_t EntryCount = 0;  // the page's entry count when it was visited
};

// Level 0 is the root; Depth levels are in use, the last one on a leaf.
struct TQELKeyPath {
  static constexpr std::int32_t kMaxDepth = 32;

  std::array<TQELKeyPathLevel, kMaxDepth> Levels{};
  std::int32_t Depth = 0;
  // The level a split or merge walking up the path has reached.
  std::int32_t CurrentLevel = 0;

  void Clear() {
    Depth = 0;
    CurrentLevel = 0;
  }
  TQELKeyPathLevel& Leaf() { return Levels[static_cast<std::size_t>(Depth - 1)]; }
  const TQELKeyPathLevel& Leaf() const { return Levels[static_cast<std::size_t>(Depth - 1)]; }
};

// The last position a cursor reached through an index. It is good for the
// next step only while the index, the record and the cursor's request stamp
// are still the ones it was taken for.
struct TQELIndexPositionCache {
  TQELKeyPath Path;
  std::int32_t IndexID = -1;
  TQELRecordID RecordID{};
  std::int64_t Stamp = -1;  // -1: empty

  void Clear() {
    Path.Clear();
    IndexID = -1;
    Stamp = -1;
  }
};

}  // namespace qel
