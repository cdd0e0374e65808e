#include "storage/QELBTreeCore.h"

#include <algorithm>
#include <cstring>

#include "pagecache/QELPageType.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// Pages must hold enough entries for a split to leave both halves filled.
constexpr std::int32_t kMinEntriesPerPage = 3;

// Counts the steps of a walk along the pages of one level: a chain longer
// than the storage has pages runs in a circle.
class ChainGuard {
 public:
  explicit ChainGuard(TQELPageManager& manager) : FLimit(manager.GetPageCount()) {}
  void Step(std::int32_t pageNo) {
    if (FLimit > 0 && ++FSteps > FLimit) {
      throw EQELException(20032, "Index integrity violated. Circular links. PageNo=%d EntryNo=%d",
                          {pageNo, -1});
    }
  }

 private:
  std::int64_t FLimit;
  std::int64_t FSteps = 0;
};

}  // namespace

TQELBTreeCore::TQELBTreeCore(TQELPageManager& pageManager, TQELBTreeKeyRef& keyRef)
    : FPageManager(pageManager), FKeyRef(keyRef) {
  const std::int32_t room =
      static_cast<std::int32_t>(pageManager.DataSize()) - btree_page::kHeaderSize;
  if (keyRef.KeySize() > 0xFFFF ||
      room / std::max(LeafEntrySize(), NodeEntrySize()) < kMinEntriesPerPage) {
    throw EQELException(20020, "Internal index error");
  }
  FProbeEntry.Key.assign(static_cast<std::size_t>(keyRef.KeySize()), 0);
  FProbeEntry.Ref.assign(static_cast<std::size_t>(std::max(keyRef.RefSize(), 4)), 0);
  FSplitKey.assign(static_cast<std::size_t>(keyRef.KeySize()), 0);
  FFirstKey.assign(static_cast<std::size_t>(keyRef.KeySize()), 0);
  FFoundKey.assign(static_cast<std::size_t>(keyRef.KeySize()), 0);
  FFoundRef.assign(static_cast<std::size_t>(keyRef.RefSize()), 0);
}

void TQELBTreeCore::RaiseIntegrity(std::int32_t pageNo, std::int32_t entryNo) {
  throw EQELException(20028, "Index integrity violated. PageNo=%d EntryNo=%d", {pageNo, entryNo});
}

TQELPage* TQELBTreeCore::GetPage(std::int32_t sessionID, std::int32_t pageNo) {
  if (pageNo < 0) RaiseIntegrity(pageNo, -1);
  TQELPage* page = FPageManager.GetPage(sessionID, pageNo, true, ptTableIndex);
  const TQELBTreePage view(page, FKeyRef.RefSize());
  if ((FPageManager.HeaderSize() != 0 && page->PageType() != ptTableIndex) ||
      !view.IsSound(static_cast<std::uint16_t>(FKeyRef.KeySize()))) {
    FPageManager.ReleasePage(page);
    RaiseIntegrity(pageNo, -1);
  }
  return page;
}

TQELBTreePageHolder TQELBTreeCore::Hold(std::int32_t sessionID, std::int32_t pageNo) {
  return TQELBTreePageHolder(FPageManager, GetPage(sessionID, pageNo), FKeyRef.RefSize());
}

void TQELBTreeCore::CreateRoot(std::int32_t sessionID) {
  TQELBTreePageHolder root(FPageManager, FPageManager.AddNewPage(sessionID, ptTableIndex),
                           FKeyRef.RefSize());
  root->Initialize(true, true, static_cast<std::uint16_t>(FKeyRef.KeySize()), true);
  FRootPageNo = root->PageNo();
}

void TQELBTreeCore::Drop(std::int32_t sessionID) {
  if (FRootPageNo < 0) throw EQELException(20119, "Invalid page number");
  FreePagesBelow(sessionID, FRootPageNo, true);
  FRootPageNo = -1;
}

void TQELBTreeCore::Empty(std::int32_t sessionID) {
  if (FRootPageNo < 0) throw EQELException(20120, "Invalid page number");
  FreePagesBelow(sessionID, FRootPageNo, false);
  TQELBTreePageHolder root = Hold(sessionID, FRootPageNo);
  root->Initialize(true, true, static_cast<std::uint16_t>(FKeyRef.KeySize()), true);
}

void TQELBTreeCore::FreePagesBelow(std::int32_t sessionID, std::int32_t pageNo, bool freeItself) {
  std::vector<std::int32_t> children;
  {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    if (!page->IsLeaf()) {
      for (std::int32_t i = 0; i < page->EntryCount(); ++i) children.push_back(page->ChildPage(i));
    }
  }
  for (const std::int32_t child : children) FreePagesBelow(sessionID, child, true);
  if (freeItself) FPageManager.RemovePage(sessionID, pageNo);
}

int TQELBTreeCore::CompareProbe(std::int32_t sessionID, const TQELBTreeProbe& probe,
                                const std::uint8_t* key, const std::uint8_t* ref) {
  std::int32_t tieColumn;
  int result = FKeyRef.CompareKeys(probe.Key, key, probe.FieldCount, probe.Length, tieColumn);
  if (result != 0) return result;
  if (tieColumn >= 0 && probe.FullKey != nullptr) {
    result = FKeyRef.CompareWithRecord(sessionID, probe.FullKey, ref, tieColumn, probe.FieldCount,
                                       probe.Length);
    if (result != 0) return result;
  }
  return probe.Ref != nullptr ? FKeyRef.CompareRefs(probe.Ref, ref) : 0;
}

void TQELBTreeCore::PushLevel(TQELKeyPath& path, std::int32_t pageNo, std::int32_t entryNo,
                              std::int32_t entryCount) {
  if (path.Depth >= TQELKeyPath::kMaxDepth) RaiseIntegrity(pageNo, entryNo);
  path.Levels[static_cast<std::size_t>(path.Depth)] = {pageNo, entryNo, entryCount};
  path.CurrentLevel = path.Depth;
  ++path.Depth;
}

std::int32_t TQELBTreeCore::SearchLeaf(std::int32_t sessionID, TQELBTreePage& leaf,
                                       const TQELBTreeProbe& probe, TQELBTreeBound bound) {
  std::int32_t low = 0;
  std::int32_t high = leaf.EntryCount();
  while (low < high) {
    const std::int32_t middle = (low + high) / 2;
    const int result = CompareProbe(sessionID, probe, leaf.Key(middle), leaf.Ref(middle));
    if (bound == TQELBTreeBound::Lower ? result > 0 : result >= 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

void TQELBTreeCore::FirstLeafEntry(std::int32_t sessionID, std::int32_t pageNo,
                                   TEntryBuffer& entry) {
  for (std::int32_t level = 0; level < TQELKeyPath::kMaxDepth; ++level) {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    if (page->EntryCount() == 0) RaiseIntegrity(pageNo, 0);
    if (page->IsLeaf()) {
      std::memcpy(entry.Key.data(), page->Key(0), static_cast<std::size_t>(FKeyRef.KeySize()));
      std::memcpy(entry.Ref.data(), page->Ref(0), static_cast<std::size_t>(FKeyRef.RefSize()));
      return;
    }
    pageNo = page->ChildPage(0);
  }
  RaiseIntegrity(pageNo, 0);
}

bool TQELBTreeCore::ChildBefore(std::int32_t sessionID, TQELBTreePage& node, std::int32_t index,
                                const TQELBTreeProbe& probe, TQELBTreeBound bound) {
  std::int32_t tieColumn;
  const int result =
      FKeyRef.CompareKeys(probe.Key, node.Key(index), probe.FieldCount, probe.Length, tieColumn);
  if (result != 0) return result > 0;
  // The separator holds only the first key below the child; what decides
  // a tie of full values or references is the first leaf entry itself.
  if ((tieColumn >= 0 && probe.FullKey != nullptr) || probe.Ref != nullptr) {
    FirstLeafEntry(sessionID, node.ChildPage(index), FProbeEntry);
    const int entryResult =
        CompareProbe(sessionID, probe, FProbeEntry.Key.data(), FProbeEntry.Ref.data());
    return bound == TQELBTreeBound::Lower ? entryResult > 0 : entryResult >= 0;
  }
  return bound == TQELBTreeBound::Upper;
}

std::int32_t TQELBTreeCore::SearchNode(std::int32_t sessionID, TQELBTreePage& node,
                                       const TQELBTreeProbe& probe, TQELBTreeBound bound) {
  // The first entry's key is never consulted: everything before the second
  // child belongs to the first.
  std::int32_t low = 1;
  std::int32_t high = node.EntryCount();
  while (low < high) {
    const std::int32_t middle = (low + high) / 2;
    if (ChildBefore(sessionID, node, middle, probe, bound)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low - 1;
}

void TQELBTreeCore::Descend(std::int32_t sessionID, const TQELBTreeProbe& probe,
                            TQELBTreeBound childBound, TQELBTreeBound leafBound, TQELKeyPath& path,
                            std::uint8_t* key, std::uint8_t* ref) {
  if (FRootPageNo < 0) throw EQELException(20121, "Invalid page number");
  path.Clear();
  std::int32_t pageNo = FRootPageNo;
  for (;;) {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    if (page->IsLeaf()) {
      const std::int32_t index = SearchLeaf(sessionID, *page, probe, leafBound);
      PushLevel(path, pageNo, index, page->EntryCount());
      if (index < page->EntryCount()) CopyEntry(*page, index, key, ref);
      return;
    }
    if (page->EntryCount() == 0) RaiseIntegrity(pageNo, 0);
    const std::int32_t index = SearchNode(sessionID, *page, probe, childBound);
    PushLevel(path, pageNo, index, page->EntryCount());
    pageNo = page->ChildPage(index);
  }
}

bool TQELBTreeCore::Seek(std::int32_t sessionID, const TQELBTreeProbe& probe, TQELBTreeBound bound,
                         TQELKeyPath& path, std::uint8_t* key, std::uint8_t* ref) {
  Descend(sessionID, probe, bound, bound, path, key, ref);
  if (path.Leaf().EntryNo < path.Leaf().EntryCount) return true;
  return Next(sessionID, path, key, ref);
}

bool TQELBTreeCore::Find(std::int32_t sessionID, const TQELBTreeProbe& probe, TQELKeyPath& path,
                         std::uint8_t* key, std::uint8_t* ref) {
  std::uint8_t* entryKey = key != nullptr ? key : FFoundKey.data();
  std::uint8_t* entryRef = ref != nullptr ? ref : FFoundRef.data();
  if (!Seek(sessionID, probe, TQELBTreeBound::Lower, path, entryKey, entryRef)) return false;
  return CompareProbe(sessionID, probe, entryKey, entryRef) == 0;
}

// ---- Navigation ----------------------------------------------------------

bool TQELBTreeCore::First(std::int32_t sessionID, TQELKeyPath& path) {
  if (FRootPageNo < 0) throw EQELException(20122, "Invalid page number");
  path.Clear();
  std::int32_t pageNo = FRootPageNo;
  for (;;) {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    PushLevel(path, pageNo, 0, page->EntryCount());
    if (page->IsLeaf()) return page->EntryCount() > 0;
    if (page->EntryCount() == 0) RaiseIntegrity(pageNo, 0);
    pageNo = page->ChildPage(0);
  }
}

bool TQELBTreeCore::Last(std::int32_t sessionID, TQELKeyPath& path) {
  if (FRootPageNo < 0) throw EQELException(20123, "Invalid page number");
  path.Clear();
  std::int32_t pageNo = FRootPageNo;
  for (;;) {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    const std::int32_t count = page->EntryCount();
    PushLevel(path, pageNo, count - 1, count);
    if (page->IsLeaf()) return count > 0;
    if (count == 0) RaiseIntegrity(pageNo, 0);
    pageNo = page->ChildPage(count - 1);
  }
}

void TQELBTreeCore::DescendEdge(std::int32_t sessionID, TQELKeyPath& path, std::int32_t level,
                                bool first) {
  for (std::int32_t l = level + 1; l < path.Depth; ++l) {
    const TQELKeyPathLevel& above = path.Levels[static_cast<std::size_t>(l - 1)];
    std::int32_t childNo;
    {
      TQELBTreePageHolder parent = Hold(sessionID, above.PageNo);
      if (parent->IsLeaf() || above.EntryNo >= parent->EntryCount()) {
        RaiseIntegrity(above.PageNo, above.EntryNo);
      }
      childNo = parent->ChildPage(above.EntryNo);
    }
    TQELBTreePageHolder child = Hold(sessionID, childNo);
    const std::int32_t count = child->EntryCount();
    if (count == 0 || child->IsLeaf() != (l == path.Depth - 1)) RaiseIntegrity(childNo, 0);
    path.Levels[static_cast<std::size_t>(l)] = {childNo, first ? 0 : count - 1, count};
  }
}

void TQELBTreeCore::CopyEntry(TQELBTreePage& leaf, std::int32_t index, std::uint8_t* key,
                              std::uint8_t* ref) {
  if (key != nullptr)
    std::memcpy(key, leaf.Key(index), static_cast<std::size_t>(FKeyRef.KeySize()));
  if (ref != nullptr)
    std::memcpy(ref, leaf.Ref(index), static_cast<std::size_t>(FKeyRef.RefSize()));
}

bool TQELBTreeCore::Next(std::int32_t sessionID, TQELKeyPath& path, std::uint8_t* key,
                         std::uint8_t* ref) {
  if (path.Depth <= 0) throw EQELException(20068, "Index error: invalid position");
  TQELKeyPathLevel& leafLevel = path.Leaf();
  {
    TQELBTreePageHolder leaf = Hold(sessionID, leafLevel.PageNo);
    leafLevel.EntryCount = leaf->EntryCount();
    if (leafLevel.EntryNo + 1 < leafLevel.EntryCount) {
      leafLevel.EntryNo = std::max(leafLevel.EntryNo + 1, 0);
      CopyEntry(*leaf, leafLevel.EntryNo, key, ref);
      return true;
    }
  }
  for (std::int32_t l = path.Depth - 2; l >= 0; --l) {
    TQELKeyPathLevel& level = path.Levels[static_cast<std::size_t>(l)];
    {
      TQELBTreePageHolder page = Hold(sessionID, level.PageNo);
      level.EntryCount = page->EntryCount();
    }
    if (level.EntryNo + 1 < level.EntryCount) {
      ++level.EntryNo;
      DescendEdge(sessionID, path, l, true);
      if (key != nullptr || ref != nullptr) ReadEntry(sessionID, path, key, ref);
      return true;
    }
  }
  leafLevel.EntryNo = leafLevel.EntryCount;
  return false;
}

bool TQELBTreeCore::Prior(std::int32_t sessionID, TQELKeyPath& path, std::uint8_t* key,
                          std::uint8_t* ref) {
  if (path.Depth <= 0) throw EQELException(20069, "Index error: invalid position");
  TQELKeyPathLevel& leafLevel = path.Leaf();
  {
    TQELBTreePageHolder leaf = Hold(sessionID, leafLevel.PageNo);
    leafLevel.EntryCount = leaf->EntryCount();
    const std::int32_t current = std::min(leafLevel.EntryNo, leafLevel.EntryCount);
    if (current > 0) {
      leafLevel.EntryNo = current - 1;
      CopyEntry(*leaf, leafLevel.EntryNo, key, ref);
      return true;
    }
  }
  for (std::int32_t l = path.Depth - 2; l >= 0; --l) {
    TQELKeyPathLevel& level = path.Levels[static_cast<std::size_t>(l)];
    {
      TQELBTreePageHolder page = Hold(sessionID, level.PageNo);
      level.EntryCount = page->EntryCount();
    }
    const std::int32_t current = std::min(level.EntryNo, level.EntryCount);
    if (current > 0) {
      level.EntryNo = current - 1;
      DescendEdge(sessionID, path, l, false);
      if (key != nullptr || ref != nullptr) ReadEntry(sessionID, path, key, ref);
      return true;
    }
  }
  leafLevel.EntryNo = -1;
  return false;
}

void TQELBTreeCore::ReadEntry(std::int32_t sessionID, const TQELKeyPath& path, std::uint8_t* key,
                              std::uint8_t* ref) {
  if (path.Depth <= 0) throw EQELException(20099, "Index error: invalid position");
  const TQELKeyPathLevel& level = path.Leaf();
  TQELBTreePageHolder leaf = Hold(sessionID, level.PageNo);
  if (!leaf->IsLeaf() || level.EntryNo < 0 || level.EntryNo >= leaf->EntryCount()) {
    throw EQELException(20101, "Index error: invalid position");
  }
  if (key != nullptr) {
    std::memcpy(key, leaf->Key(level.EntryNo), static_cast<std::size_t>(FKeyRef.KeySize()));
  }
  if (ref != nullptr) {
    std::memcpy(ref, leaf->Ref(level.EntryNo), static_cast<std::size_t>(FKeyRef.RefSize()));
  }
}

void TQELBTreeCore::WriteRef(std::int32_t sessionID, const TQELKeyPath& path,
                             const std::uint8_t* ref) {
  if (path.Depth <= 0) throw EQELException(20099, "Index error: invalid position");
  const TQELKeyPathLevel& level = path.Leaf();
  TQELBTreePageHolder leaf = Hold(sessionID, level.PageNo);
  if (!leaf->IsLeaf() || level.EntryNo < 0 || level.EntryNo >= leaf->EntryCount()) {
    throw EQELException(20101, "Index error: invalid position");
  }
  std::memcpy(leaf->Ref(level.EntryNo), ref, static_cast<std::size_t>(FKeyRef.RefSize()));
  leaf->SetDirty();
}

// ---- Counting and positions -----------------------------------------------

std::int64_t TQELBTreeCore::CountBefore(std::int32_t sessionID, const TQELKeyPath& path) {
  if (path.Depth <= 0) throw EQELException(20103, "Index error: invalid position");
  std::int64_t count = std::max(path.Leaf().EntryNo, 0);
  std::int32_t pageNo;
  {
    TQELBTreePageHolder leaf = Hold(sessionID, path.Leaf().PageNo);
    pageNo = leaf->PrevPage();
  }
  for (ChainGuard guard(FPageManager); pageNo >= 0; guard.Step(pageNo)) {
    TQELBTreePageHolder leaf = Hold(sessionID, pageNo);
    count += leaf->EntryCount();
    pageNo = leaf->PrevPage();
  }
  return count;
}

bool TQELBTreeCore::Locate(std::int32_t sessionID, std::int64_t index, TQELKeyPath& path) {
  if (index < 0 || !First(sessionID, path)) return false;
  std::int64_t before = 0;
  for (;;) {
    TQELKeyPathLevel& leaf = path.Leaf();
    if (index - before < leaf.EntryCount) {
      leaf.EntryNo = static_cast<std::int32_t>(index - before);
      return true;
    }
    before += leaf.EntryCount;
    leaf.EntryNo = leaf.EntryCount;
    if (!Next(sessionID, path)) return false;
  }
}

std::int64_t TQELBTreeCore::EntryCount(std::int32_t sessionID) {
  TQELKeyPath path;
  First(sessionID, path);
  std::int64_t count = 0;
  std::int32_t pageNo = path.Leaf().PageNo;
  for (ChainGuard guard(FPageManager); pageNo >= 0; guard.Step(pageNo)) {
    TQELBTreePageHolder leaf = Hold(sessionID, pageNo);
    count += leaf->EntryCount();
    pageNo = leaf->NextPage();
  }
  return count;
}

double TQELBTreeCore::PositionFraction(const TQELKeyPath& path) {
  double fraction = 0;
  double scale = 1;
  for (std::int32_t i = 0; i < path.Depth; ++i) {
    const TQELKeyPathLevel& level = path.Levels[static_cast<std::size_t>(i)];
    scale *= std::max(level.EntryCount, 1);
    fraction += std::clamp(level.EntryNo, 0, std::max(level.EntryCount - 1, 0)) / scale;
  }
  return fraction;
}

std::int64_t TQELBTreeCore::PositionNumber(const TQELKeyPath& path, std::int64_t base) {
  std::uint64_t number = 0;
  for (std::int32_t i = 0; i < path.Depth; ++i) {
    const TQELKeyPathLevel& level = path.Levels[static_cast<std::size_t>(i)];
    number =
        number * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(level.EntryNo + 1);
  }
  return static_cast<std::int64_t>(number);
}

// ---- Insert ----------------------------------------------------------------

void TQELBTreeCore::Insert(std::int32_t sessionID, const std::uint8_t* key, const std::uint8_t* ref,
                           const std::uint8_t* fullKey) {
  const TQELBTreeProbe probe{key, fullKey, ref, 0, -1};
  TQELKeyPath path;
  Descend(sessionID, probe, TQELBTreeBound::Upper, TQELBTreeBound::Upper, path);
  InsertAt(sessionID, path, path.Depth - 1, path.Leaf().EntryNo, key, ref);
}

void TQELBTreeCore::CopyWithInsert(TQELBTreePage& source, std::int32_t index,
                                   const std::uint8_t* key, const std::uint8_t* ref,
                                   std::int32_t from, std::int32_t to, TQELBTreePage& dest) {
  // Position k of the combined sequence is entry k before `index`, the new
  // entry at `index`, and entry k - 1 after it.
  const std::int32_t before = std::min(to, index);
  if (from < before) dest.AppendEntries(source, from, before - from);
  if (index >= from && index < to) dest.InsertEntry(dest.EntryCount(), key, ref);
  const std::int32_t after = std::max(from, index + 1);
  if (after < to) dest.AppendEntries(source, after - 1, to - after);
}

void TQELBTreeCore::InsertAt(std::int32_t sessionID, TQELKeyPath& path, std::int32_t level,
                             std::int32_t index, const std::uint8_t* key, const std::uint8_t* ref) {
  const std::int32_t pageNo = path.Levels[static_cast<std::size_t>(level)].PageNo;
  std::uint8_t childRef[btree_page::kNodeRefSize];
  {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    if (page->HasRoom()) {
      page->InsertEntry(index, key, ref);
      if (index == 0 && level > 0) UpdateParentKeys(sessionID, path, level);
      return;
    }
    if (level == 0) {
      SplitRoot(sessionID, *page, index, key, ref);
      return;
    }
    if (ShiftIntoNeighbourLeaf(sessionID, path, level, *page, index, key, ref)) return;
    // The lower half stays, the upper half moves to a new page linked in
    // after this one.
    const std::int32_t combined = page->EntryCount() + 1;
    const std::int32_t half = SplitPoint(*page, index);
    TQELBTreePageHolder right(FPageManager, FPageManager.AddNewPage(sessionID, ptTableIndex),
                              FKeyRef.RefSize());
    right->Initialize(false, page->IsLeaf(), static_cast<std::uint16_t>(FKeyRef.KeySize()), false);
    CopyWithInsert(*page, index, key, ref, half, combined, *right);
    if (index < half) {
      page->SetEntryCount(half - 1);
      page->InsertEntry(index, key, ref);
    } else {
      page->SetEntryCount(half);
      page->SetDirty();
    }
    right->SetPrevPage(pageNo);
    right->SetNextPage(page->NextPage());
    if (page->NextPage() >= 0) {
      TQELBTreePageHolder next = Hold(sessionID, page->NextPage());
      next->SetPrevPage(right->PageNo());
      next->SetDirty();
    }
    page->SetNextPage(right->PageNo());
    page->SetDirty();
    if (index == 0) UpdateParentKeys(sessionID, path, level);
    std::memcpy(FSplitKey.data(), right->Key(0), FSplitKey.size());
    QELWriteLE(childRef, right->PageNo());
  }
  // The new page's entry goes right after the entry the path came through.
  const std::int32_t parentIndex = path.Levels[static_cast<std::size_t>(level - 1)].EntryNo + 1;
  InsertAt(sessionID, path, level - 1, parentIndex, FSplitKey.data(), childRef);
}

// A full leaf whose neighbour has room gives it entries (the new one among
// them where it belongs) instead of splitting, filling the neighbour up:
// leaves filled in no particular order then stay fuller than the half a
// split leaves. Entries go to the end of the prior leaf, which changes
// only this leaf's first key, or else to the front of the next leaf under
// the same parent, which changes only that leaf's key in the parent.
bool TQELBTreeCore::ShiftIntoNeighbourLeaf(std::int32_t sessionID, const TQELKeyPath& path,
                                           std::int32_t level, TQELBTreePage& page,
                                           std::int32_t index, const std::uint8_t* key,
                                           const std::uint8_t* ref) {
  if (!page.IsLeaf() || SplitPoint(page, index) == page.EntryCount()) return false;
  return ShiftIntoPriorLeaf(sessionID, path, level, page, index, key, ref) ||
         ShiftIntoNextLeaf(sessionID, path, level, page, index, key, ref);
}

bool TQELBTreeCore::ShiftIntoPriorLeaf(std::int32_t sessionID, const TQELKeyPath& path,
                                       std::int32_t level, TQELBTreePage& page, std::int32_t index,
                                       const std::uint8_t* key, const std::uint8_t* ref) {
  if (page.PrevPage() < 0) return false;
  TQELBTreePageHolder prior = Hold(sessionID, page.PrevPage());
  const std::int32_t moved = prior->MaxEntries() - prior->EntryCount();
  if (moved < 1) return false;
  CopyWithInsert(page, index, key, ref, 0, moved, *prior);
  if (index < moved) {
    page.RemoveEntries(0, moved - 1);
  } else {
    page.RemoveEntries(0, moved);
    page.InsertEntry(index - moved, key, ref);
  }
  UpdateParentKeys(sessionID, path, level);
  return true;
}

bool TQELBTreeCore::ShiftIntoNextLeaf(std::int32_t sessionID, const TQELKeyPath& path,
                                      std::int32_t level, TQELBTreePage& page, std::int32_t index,
                                      const std::uint8_t* key, const std::uint8_t* ref) {
  const TQELKeyPathLevel& above = path.Levels[static_cast<std::size_t>(level - 1)];
  if (page.NextPage() < 0) return false;
  TQELBTreePageHolder parent = Hold(sessionID, above.PageNo);
  const std::int32_t nextEntry = above.EntryNo + 1;
  if (nextEntry >= parent->EntryCount() || parent->ChildPage(nextEntry) != page.NextPage()) {
    return false;
  }
  TQELBTreePageHolder next = Hold(sessionID, page.NextPage());
  const std::int32_t moved = next->MaxEntries() - next->EntryCount();
  if (moved < 1) return false;
  const std::int32_t count = page.EntryCount();
  if (index > count - moved) {
    // The new entry goes along, at its place among the moved ones.
    const std::int32_t tail = count - (moved - 1);
    next->PrependEntries(page, tail, moved - 1);
    next->InsertEntry(index - tail, key, ref);
    page.RemoveEntries(tail, moved - 1);
  } else {
    const std::int32_t tail = count - moved;
    next->PrependEntries(page, tail, moved);
    page.RemoveEntries(tail, moved);
    page.InsertEntry(index, key, ref);
    if (index == 0) UpdateParentKeys(sessionID, path, level);
  }
  parent->SetKey(nextEntry, next->Key(0));
  parent->SetDirty();
  return true;
}

// A full page splits in halves, except where an entry goes past the last
// entry of the last page, as keys added in ascending order do: then the
// full page stays full and the new page starts with that entry alone, so
// that such an index fills its pages instead of leaving each half empty.
std::int32_t TQELBTreeCore::SplitPoint(const TQELBTreePage& page, std::int32_t index) {
  const std::int32_t combined = page.EntryCount() + 1;
  const bool appending = index == page.EntryCount() && page.NextPage() < 0;
  return appending ? combined - 1 : combined / 2;
}

void TQELBTreeCore::SplitRoot(std::int32_t sessionID, TQELBTreePage& root, std::int32_t index,
                              const std::uint8_t* key, const std::uint8_t* ref) {
  const std::int32_t combined = root.EntryCount() + 1;
  const std::int32_t half = SplitPoint(root, index);
  const auto keySize = static_cast<std::uint16_t>(FKeyRef.KeySize());
  TQELBTreePageHolder left(FPageManager, FPageManager.AddNewPage(sessionID, ptTableIndex),
                           FKeyRef.RefSize());
  TQELBTreePageHolder right(FPageManager, FPageManager.AddNewPage(sessionID, ptTableIndex),
                            FKeyRef.RefSize());
  left->Initialize(false, root.IsLeaf(), keySize, false);
  right->Initialize(false, root.IsLeaf(), keySize, false);
  CopyWithInsert(root, index, key, ref, 0, half, *left);
  CopyWithInsert(root, index, key, ref, half, combined, *right);
  left->SetNextPage(right->PageNo());
  right->SetPrevPage(left->PageNo());
  // The root stays where it is and becomes the node above both halves.
  root.Initialize(true, false, keySize, false);
  std::uint8_t childRef[btree_page::kNodeRefSize];
  QELWriteLE(childRef, left->PageNo());
  root.InsertEntry(0, left->Key(0), childRef);
  QELWriteLE(childRef, right->PageNo());
  root.InsertEntry(1, right->Key(0), childRef);
}

void TQELBTreeCore::UpdateParentKeys(std::int32_t sessionID, const TQELKeyPath& path,
                                     std::int32_t level) {
  {
    TQELBTreePageHolder page = Hold(sessionID, path.Levels[static_cast<std::size_t>(level)].PageNo);
    if (page->EntryCount() == 0) return;
    std::memcpy(FFirstKey.data(), page->Key(0), FFirstKey.size());
  }
  for (std::int32_t l = level - 1; l >= 0; --l) {
    const TQELKeyPathLevel& parentLevel = path.Levels[static_cast<std::size_t>(l)];
    TQELBTreePageHolder parent = Hold(sessionID, parentLevel.PageNo);
    parent->SetKey(parentLevel.EntryNo, FFirstKey.data());
    parent->SetDirty();
    if (parentLevel.EntryNo != 0) return;
  }
}

// ---- Delete ----------------------------------------------------------------

bool TQELBTreeCore::Delete(std::int32_t sessionID, const std::uint8_t* key, const std::uint8_t* ref,
                           const std::uint8_t* fullKey) {
  const TQELBTreeProbe probe{key, fullKey, ref, 0, -1};
  TQELKeyPath path;
  if (!Find(sessionID, probe, path)) return false;
  const std::int32_t index = path.Leaf().EntryNo;
  {
    TQELBTreePageHolder leaf = Hold(sessionID, path.Leaf().PageNo);
    leaf->RemoveEntries(index, 1);
  }
  Rebalance(sessionID, path, path.Depth - 1, index == 0);
  return true;
}

void TQELBTreeCore::Unlink(std::int32_t sessionID, TQELBTreePage& page) {
  const std::int32_t prev = page.PrevPage();
  const std::int32_t next = page.NextPage();
  if (prev >= 0) {
    TQELBTreePageHolder left = Hold(sessionID, prev);
    left->SetNextPage(next);
    left->SetDirty();
  }
  if (next >= 0) {
    TQELBTreePageHolder right = Hold(sessionID, next);
    right->SetPrevPage(prev);
    right->SetDirty();
  }
}

void TQELBTreeCore::Rebalance(std::int32_t sessionID, TQELKeyPath& path, std::int32_t level,
                              bool firstChanged) {
  if (level == 0) {
    CollapseRoot(sessionID);
    return;
  }
  const std::int32_t pageNo = path.Levels[static_cast<std::size_t>(level)].PageNo;
  const TQELKeyPathLevel& parentLevel = path.Levels[static_cast<std::size_t>(level - 1)];
  const std::int32_t parentIndex = parentLevel.EntryNo;
  std::int32_t removedPage = -1;
  std::int32_t removedIndex = -1;
  {
    TQELBTreePageHolder page = Hold(sessionID, pageNo);
    if (page->EntryCount() == 0) {
      // An empty page leaves the tree whatever its neighbours hold.
      Unlink(sessionID, *page);
      removedPage = pageNo;
      removedIndex = parentIndex;
    } else if (page->IsUnderfull()) {
      TQELBTreePageHolder parent = Hold(sessionID, parentLevel.PageNo);
      if (parentIndex > 0) {
        TQELBTreePageHolder left = Hold(sessionID, parent->ChildPage(parentIndex - 1));
        if (left->EntryCount() + page->EntryCount() <= left->MaxEntries()) {
          left->AppendEntries(*page, 0, page->EntryCount());
          Unlink(sessionID, *page);
          removedPage = pageNo;
          removedIndex = parentIndex;
        }
      }
      if (removedPage < 0 && parentIndex + 1 < parent->EntryCount()) {
        TQELBTreePageHolder right = Hold(sessionID, parent->ChildPage(parentIndex + 1));
        if (page->EntryCount() + right->EntryCount() <= page->MaxEntries()) {
          page->AppendEntries(*right, 0, right->EntryCount());
          Unlink(sessionID, *right);
          removedPage = right->PageNo();
          removedIndex = parentIndex + 1;
        }
      }
    }
  }
  if (removedPage < 0 || removedIndex != parentIndex) {
    // This page stays: its parents must know its first key.
    if (firstChanged) UpdateParentKeys(sessionID, path, level);
  }
  if (removedPage < 0) return;
  FPageManager.RemovePage(sessionID, removedPage);
  {
    TQELBTreePageHolder parent = Hold(sessionID, parentLevel.PageNo);
    parent->RemoveEntries(removedIndex, 1);
  }
  Rebalance(sessionID, path, level - 1, removedIndex == 0);
}

void TQELBTreeCore::CollapseRoot(std::int32_t sessionID) {
  for (;;) {
    TQELBTreePageHolder root = Hold(sessionID, FRootPageNo);
    if (root->IsLeaf() || root->EntryCount() != 1) return;
    const std::int32_t childNo = root->ChildPage(0);
    {
      TQELBTreePageHolder child = Hold(sessionID, childNo);
      root->SetIsLeaf(child->IsLeaf());
      root->SetEntryCount(0);
      if (child->EntryCount() > root->MaxEntries()) RaiseIntegrity(childNo, 0);
      root->AppendEntries(*child, 0, child->EntryCount());
      root->SetDirty();
    }
    FPageManager.RemovePage(sessionID, childNo);
  }
}

// ---- Integrity ------------------------------------------------------------

struct TQELBTreeCore::TIntegrityWalk {
  std::vector<std::int32_t> PagesOnPath;
  std::vector<std::uint8_t> PreviousKey;
  std::vector<std::uint8_t> PreviousRef;
  bool HasPrevious = false;
  std::int32_t LeafDepth = -1;
};

int TQELBTreeCore::CompareEntries(std::int32_t sessionID, const std::uint8_t* keyA,
                                  const std::uint8_t* refA, const std::uint8_t* keyB,
                                  const std::uint8_t* refB) {
  std::int32_t tieColumn;
  int result = FKeyRef.CompareKeys(keyA, keyB, 0, -1, tieColumn);
  if (result == 0 && tieColumn >= 0) {
    result = FKeyRef.CompareRecords(sessionID, refA, refB, tieColumn, 0, -1);
  }
  return result != 0 ? result : FKeyRef.CompareRefs(refA, refB);
}

void TQELBTreeCore::CheckIntegrity(std::int32_t sessionID) {
  if (FRootPageNo < 0) throw EQELException(20293, "Invalid page number");
  TIntegrityWalk walk;
  walk.PreviousKey.assign(static_cast<std::size_t>(FKeyRef.KeySize()), 0);
  walk.PreviousRef.assign(static_cast<std::size_t>(FKeyRef.RefSize()), 0);
  std::vector<std::uint8_t> firstKey(static_cast<std::size_t>(FKeyRef.KeySize()));
  std::vector<std::uint8_t> lastKey(firstKey.size());
  CheckSubtree(sessionID, FRootPageNo, walk, firstKey.data(), lastKey.data());
}

void TQELBTreeCore::CheckSubtree(std::int32_t sessionID, std::int32_t pageNo, TIntegrityWalk& walk,
                                 std::uint8_t* firstKey, std::uint8_t* lastKey) {
  const auto keySize = static_cast<std::size_t>(FKeyRef.KeySize());
  const bool isRoot = walk.PagesOnPath.empty();
  if (std::find(walk.PagesOnPath.begin(), walk.PagesOnPath.end(), pageNo) !=
          walk.PagesOnPath.end() ||
      walk.PagesOnPath.size() >= static_cast<std::size_t>(TQELKeyPath::kMaxDepth)) {
    throw EQELException(20032, "Index integrity violated. Circular links. PageNo=%d EntryNo=%d",
                        {pageNo, -1});
  }
  TQELBTreePageHolder page = Hold(sessionID, pageNo);
  const std::int32_t count = page->EntryCount();
  if (page->IsRoot() != isRoot || (!isRoot && count == 0) ||
      (isRoot && !page->IsLeaf() && count < 2)) {
    RaiseIntegrity(pageNo, -1);
  }
  if (page->IsLeaf()) {
    const auto depth = static_cast<std::int32_t>(walk.PagesOnPath.size());
    if (walk.LeafDepth >= 0 && walk.LeafDepth != depth) RaiseIntegrity(pageNo, -1);
    walk.LeafDepth = depth;
    for (std::int32_t i = 0; i < count; ++i) {
      if (walk.HasPrevious &&
          CompareEntries(sessionID, walk.PreviousKey.data(), walk.PreviousRef.data(), page->Key(i),
                         page->Ref(i)) >= 0) {
        RaiseIntegrity(pageNo, i);
      }
      std::memcpy(walk.PreviousKey.data(), page->Key(i), keySize);
      std::memcpy(walk.PreviousRef.data(), page->Ref(i), walk.PreviousRef.size());
      walk.HasPrevious = true;
    }
    if (count > 0) {
      std::memcpy(firstKey, page->Key(0), keySize);
      std::memcpy(lastKey, page->Key(count - 1), keySize);
    }
    return;
  }
  walk.PagesOnPath.push_back(pageNo);
  std::vector<std::uint8_t> childFirst(keySize);
  std::vector<std::uint8_t> childLast(keySize);
  std::vector<std::uint8_t> previousLast(keySize);
  for (std::int32_t i = 0; i < count; ++i) {
    const std::int32_t childNo = page->ChildPage(i);
    if (std::find(walk.PagesOnPath.begin(), walk.PagesOnPath.end(), childNo) !=
        walk.PagesOnPath.end()) {
      throw EQELException(20032, "Index integrity violated. Circular links. PageNo=%d EntryNo=%d",
                          {pageNo, i});
    }
    {
      TQELBTreePageHolder child = Hold(sessionID, childNo);
      if (i > 0 && child->PrevPage() != page->ChildPage(i - 1)) {
        throw EQELException(20033,
                            "Index integrity violated. Invlaid leaf link. PageNo=%d EntryNo=%d",
                            {pageNo, i});
      }
      if (i + 1 < count && child->NextPage() != page->ChildPage(i + 1)) {
        throw EQELException(20034,
                            "Index integrity violated. Invlaid leaf link. PageNo=%d EntryNo=%d",
                            {pageNo, i});
      }
    }
    CheckSubtree(sessionID, childNo, walk, childFirst.data(), childLast.data());
    std::int32_t tieColumn;
    if (std::memcmp(childFirst.data(), page->Key(i), keySize) != 0) {
      throw EQELException(20029, "Index integrity violated. PageNo=%d EntryNo=%d", {pageNo, i});
    }
    if (i > 0 && FKeyRef.CompareKeys(page->Key(i - 1), page->Key(i), 0, -1, tieColumn) > 0) {
      throw EQELException(20030, "Index integrity violated. PageNo=%d EntryNo=%d", {pageNo, i});
    }
    if (i > 0 && FKeyRef.CompareKeys(previousLast.data(), page->Key(i), 0, -1, tieColumn) > 0) {
      throw EQELException(20031, "Index integrity violated. PageNo=%d EntryNo=%d", {pageNo, i});
    }
    if (i == 0) std::memcpy(firstKey, childFirst.data(), keySize);
    previousLast = childLast;
  }
  std::memcpy(lastKey, previousLast.data(), keySize);
  walk.PagesOnPath.pop_back();
}

}  // namespace qel
