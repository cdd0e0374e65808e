#pragma once
// TQELBTreeCore: the B+-tree both kinds of index are built on, kept in
// pages of a page manager.
//
// Leaves hold (key, reference) entries in ascending order and are linked
// into a chain per level; node entries hold a child's page number after a
// copy of the first key below that child. The root stays on one page for
// the life of the tree: it splits into two new children and takes back the
// content of its only child when the tree shrinks.
//
// Nodes carry no references, so equal keys can straddle children. A search
// for a (key, reference) pair settles such a run by looking at the first
// leaf entry below the candidate children, which keeps equal keys in strict
// reference order and lets every entry be found and deleted exactly.
//
// Pages are fetched for the length of one step and released in every case;
// the tree keeps no page between calls.

#include <cstdint>
#include <vector>

#include "pagecache/QELPageManager.h"
#include "storage/QELBTreeKeyRef.h"
#include "storage/QELBTreePage.h"
#include "storage/QELKeyPath.h"

namespace qel {

// What a search compares entries with. Buffers that a search fills with
// the entry it finds must not be the probe's own.
struct TQELBTreeProbe {
  const std::uint8_t* Key = nullptr;      // in the tree's key layout
  const std::uint8_t* FullKey = nullptr;  // settles truncated columns; may be null
  const std::uint8_t* Ref = nullptr;      // orders equal keys; null: keys only
  std::int32_t FieldCount = 0;            // leading columns compared; <= 0: all
  std::int32_t Length = -1;               // string comparison length; -1: whole
};

// Where a search stops: at the first entry not less than the probe, or at
// the first entry greater than it.
enum class TQELBTreeBound : std::uint8_t { Lower, Upper };

// A page got from the tree's page manager, checked to be one of its pages
// and released when the holder goes.
class TQELBTreePageHolder {
 public:
  TQELBTreePageHolder(TQELPageManager& manager, TQELPage* page, std::int32_t leafRefSize)
      : FManager(manager), FPage(page), FView(page, leafRefSize) {}
  ~TQELBTreePageHolder() { FManager.ReleasePage(FPage); }
  TQELBTreePageHolder(const TQELBTreePageHolder&) = delete;
  TQELBTreePageHolder& operator=(const TQELBTreePageHolder&) = delete;

  TQELBTreePage* operator->() { return &FView; }
  TQELBTreePage& operator*() { return FView; }

 private:
  TQELPageManager& FManager;
  TQELPage* FPage;
  TQELBTreePage FView;
};

class TQELBTreeCore {
 public:
  // Raises "Internal index error" (20020) when a page cannot hold enough
  // entries of this key size to split.
  TQELBTreeCore(TQELPageManager& pageManager, TQELBTreeKeyRef& keyRef);

  TQELPageManager& PageManager() const { return FPageManager; }
  TQELBTreeKeyRef& KeyRef() const { return FKeyRef; }
  std::int32_t RootPageNo() const { return FRootPageNo; }
  void SetRootPageNo(std::int32_t pageNo) { FRootPageNo = pageNo; }
  // Bytes of a leaf entry and of a node entry.
  std::int32_t LeafEntrySize() const { return FKeyRef.KeySize() + FKeyRef.RefSize(); }
  std::int32_t NodeEntrySize() const { return FKeyRef.KeySize() + btree_page::kNodeRefSize; }

  // A new tree: one empty root leaf.
  void CreateRoot(std::int32_t sessionID);
  // Frees every page; the tree then has no root.
  void Drop(std::int32_t sessionID);
  // Frees every page below the root and makes the root an empty leaf.
  void Empty(std::int32_t sessionID);

  // The page, checked (20028 for a page that is not one of this tree's).
  TQELPage* GetPage(std::int32_t sessionID, std::int32_t pageNo);
  // The same, held until the holder goes.
  TQELBTreePageHolder Hold(std::int32_t sessionID, std::int32_t pageNo);

  // Inserts an entry after every entry that is not greater, so that equal
  // keys keep their reference order. `fullKey` may be null.
  void Insert(std::int32_t sessionID, const std::uint8_t* key, const std::uint8_t* ref,
              const std::uint8_t* fullKey);
  // Deletes the entry with exactly this key and reference; false when there
  // is none.
  bool Delete(std::int32_t sessionID, const std::uint8_t* key, const std::uint8_t* ref,
              const std::uint8_t* fullKey);
  // Positions `path` on the entry equal to the probe (reference included
  // when the probe has one); false when there is none. The entry is copied
  // as by Seek.
  bool Find(std::int32_t sessionID, const TQELBTreeProbe& probe, TQELKeyPath& path,
            std::uint8_t* key = nullptr, std::uint8_t* ref = nullptr);
  // Positions `path` on the first entry at the bound; false, with the path
  // after the last entry, when there is none. The entry found is copied to
  // `key` and `ref` where they are given.
  bool Seek(std::int32_t sessionID, const TQELBTreeProbe& probe, TQELBTreeBound bound,
            TQELKeyPath& path, std::uint8_t* key = nullptr, std::uint8_t* ref = nullptr);

  // Navigation. First and Last answer false for an empty tree. Next past
  // the last entry leaves the path after it, Prior before the first entry
  // leaves it before the first; from there the other direction returns.
  bool First(std::int32_t sessionID, TQELKeyPath& path);
  bool Last(std::int32_t sessionID, TQELKeyPath& path);
  // Both copy the entry they reach to `key` and `ref` where given.
  bool Next(std::int32_t sessionID, TQELKeyPath& path, std::uint8_t* key = nullptr,
            std::uint8_t* ref = nullptr);
  bool Prior(std::int32_t sessionID, TQELKeyPath& path, std::uint8_t* key = nullptr,
             std::uint8_t* ref = nullptr);
  // Whether the path stands on an entry.
  static bool OnEntry(const TQELKeyPath& path) {
    return path.Depth > 0 && path.Leaf().EntryNo >= 0 &&
           path.Leaf().EntryNo < path.Leaf().EntryCount;
  }
  // Copies the key and reference of the path's entry (either may be null).
  void ReadEntry(std::int32_t sessionID, const TQELKeyPath& path, std::uint8_t* key,
                 std::uint8_t* ref);
  // Overwrites the reference of the path's entry (page indexes keep a count
  // there, which does not take part in the order).
  void WriteRef(std::int32_t sessionID, const TQELKeyPath& path, const std::uint8_t* ref);
  // Compares the probe with a leaf entry.
  int CompareProbe(std::int32_t sessionID, const TQELBTreeProbe& probe, const std::uint8_t* key,
                   const std::uint8_t* ref);

  // Entries before the path's entry, summed over the leaves to its left.
  std::int64_t CountBefore(std::int32_t sessionID, const TQELKeyPath& path);
  // Positions the path on the entry with this 0-based index; false when the
  // tree has no more entries.
  bool Locate(std::int32_t sessionID, std::int64_t index, TQELKeyPath& path);
  // Every entry, counted along the leaf chain.
  std::int64_t EntryCount(std::int32_t sessionID);

  // Walks the whole tree and raises on the first broken rule: leaf entries
  // out of order or pages over- or underfilled ("Index integrity violated.
  // PageNo=%d EntryNo=%d", 20028), node keys that are not the first keys
  // below their children or not ascending (20029..20031), a page met twice
  // on one descent (20032), children not linked to their neighbours
  // (20033, 20034).
  void CheckIntegrity(std::int32_t sessionID);

  // Where a path lies in key order as a fraction in [0, 1).
  static double PositionFraction(const TQELKeyPath& path);
  // The path's position as a number that grows with key order, with
  // `base` = most entries of a page + 1.
  static std::int64_t PositionNumber(const TQELKeyPath& path, std::int64_t base);

 private:
  struct TEntryBuffer {
    std::vector<std::uint8_t> Key;
    std::vector<std::uint8_t> Ref;
  };

  // Descends from the root to a leaf: in every node into the last child
  // whose first entry lies before the `childBound` of the probe, in the
  // leaf to the `leafBound`. The leaf index may equal its entry count.
  void Descend(std::int32_t sessionID, const TQELBTreeProbe& probe, TQELBTreeBound childBound,
               TQELBTreeBound leafBound, TQELKeyPath& path, std::uint8_t* key = nullptr,
               std::uint8_t* ref = nullptr);
  std::int32_t SearchLeaf(std::int32_t sessionID, TQELBTreePage& leaf, const TQELBTreeProbe& probe,
                          TQELBTreeBound bound);
  std::int32_t SearchNode(std::int32_t sessionID, TQELBTreePage& node, const TQELBTreeProbe& probe,
                          TQELBTreeBound bound);
  // Whether the first entry below child `index` lies before the bound.
  bool ChildBefore(std::int32_t sessionID, TQELBTreePage& node, std::int32_t index,
                   const TQELBTreeProbe& probe, TQELBTreeBound bound);
  // The first leaf entry below a page.
  void FirstLeafEntry(std::int32_t sessionID, std::int32_t pageNo, TEntryBuffer& entry);
  void PushLevel(TQELKeyPath& path, std::int32_t pageNo, std::int32_t entryNo,
                 std::int32_t entryCount);
  // Leaves a path standing after the end of its leaf on the next entry.
  bool SkipToNextLeaf(std::int32_t sessionID, TQELKeyPath& path);
  void CopyEntry(TQELBTreePage& leaf, std::int32_t index, std::uint8_t* key, std::uint8_t* ref);
  // Re-descends the levels below `level` to their first or last entries.
  void DescendEdge(std::int32_t sessionID, TQELKeyPath& path, std::int32_t level, bool first);

  // Inserts (key, ref) at `index` of the page at `level` of the path,
  // splitting it and growing the parents as needed.
  void InsertAt(std::int32_t sessionID, TQELKeyPath& path, std::int32_t level, std::int32_t index,
                const std::uint8_t* key, const std::uint8_t* ref);
  // Moves entries of a full leaf, with (key, ref) put in at `index`, into
  // a neighbour leaf that has room: to the end of the prior one, or to the
  // front of the next one under the same parent. False when the leaf has
  // to split instead (also when it takes an entry past the index's end).
  bool ShiftIntoNeighbourLeaf(std::int32_t sessionID, const TQELKeyPath& path, std::int32_t level,
                              TQELBTreePage& page, std::int32_t index, const std::uint8_t* key,
                              const std::uint8_t* ref);
  bool ShiftIntoPriorLeaf(std::int32_t sessionID, const TQELKeyPath& path, std::int32_t level,
                          TQELBTreePage& page, std::int32_t index, const std::uint8_t* key,
                          const std::uint8_t* ref);
  bool ShiftIntoNextLeaf(std::int32_t sessionID, const TQELKeyPath& path, std::int32_t level,
                         TQELBTreePage& page, std::int32_t index, const std::uint8_t* key,
                         const std::uint8_t* ref);
  // How many entries of a full page and the one inserted at `index` stay
  // in the page when it splits; the rest go to the new page after it.
  static std::int32_t SplitPoint(const TQELBTreePage& page, std::int32_t index);
  void SplitRoot(std::int32_t sessionID, TQELBTreePage& root, std::int32_t index,
                 const std::uint8_t* key, const std::uint8_t* ref);
  // Appends entries [from, to) of the page's entries with (key, ref) put in
  // at `index` to `dest`.
  static void CopyWithInsert(TQELBTreePage& source, std::int32_t index, const std::uint8_t* key,
                             const std::uint8_t* ref, std::int32_t from, std::int32_t to,
                             TQELBTreePage& dest);
  // After an entry left the page at `level`: merges or frees the page when
  // it became small, shrinks the root, and keeps the parents' keys.
  void Rebalance(std::int32_t sessionID, TQELKeyPath& path, std::int32_t level, bool firstChanged);
  void CollapseRoot(std::int32_t sessionID);
  // Copies the first key of the page at `level` into its parents, as far up
  // as it is their first key too.
  void UpdateParentKeys(std::int32_t sessionID, const TQELKeyPath& path, std::int32_t level);
  // Takes a page out of its level's chain.
  void Unlink(std::int32_t sessionID, TQELBTreePage& page);
  void FreePagesBelow(std::int32_t sessionID, std::int32_t pageNo, bool freeItself);
  [[noreturn]] static void RaiseIntegrity(std::int32_t pageNo, std::int32_t entryNo);
  struct TIntegrityWalk;
  // Checks the subtree of `pageNo` and copies its first key to `firstKey`.
  void CheckSubtree(std::int32_t sessionID, std::int32_t pageNo, TIntegrityWalk& walk,
                    std::uint8_t* firstKey, std::uint8_t* lastKey);
  int CompareEntries(std::int32_t sessionID, const std::uint8_t* keyA, const std::uint8_t* refA,
                     const std::uint8_t* keyB, const std::uint8_t* refB);

  TQELPageManager& FPageManager;
  TQELBTreeKeyRef& FKeyRef;
  std::int32_t FRootPageNo = -1;
  // Scratch space, allocated once: the first entry below a child, the key
  // a split hands to the parent, the first key copied into the parents.
  TEntryBuffer FProbeEntry;
  std::vector<std::uint8_t> FSplitKey;
  std::vector<std::uint8_t> FFirstKey;
  std::vector<std::uint8_t> FFoundKey, FFoundRef;  // the entry Find compares
};

}  // namespace qel
