#pragma once
// Shared pieces of the B-tree tests: a table of records in memory that the
// index reads through, a fixture that keeps a record index over it, and a
// checker that walks the pages of a tree on its own and reports every
// broken invariant.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/QELEndian.h"
#include "storage/QELBTree.h"
#include "storage/QELTypes.h"
#include "support/MemoryPageManager.h"

namespace qel::test {

inline constexpr std::int32_t kSession = 1;

inline TQELRecordID MakeRecordID(std::int32_t page, std::uint16_t slot = 0) {
  TQELRecordID id{};
  QELWriteLE(id.data(), page);
  QELWriteLE(id.data() + 4, slot);
  return id;
}

inline std::int32_t RecordIDPage(const TQELRecordID& id) {
  return QELReadLE<std::int32_t>(id.data());
}

// Records by id, in id order as their natural order; counts reads so that a
// test can tell when the index had to look at records.
class TRecordTable final : public TQELRecordReader {
 public:
  explicit TRecordTable(const TQELFieldDefs& defs) : FDefs(defs) {}

  std::vector<std::uint8_t> NewRecord() const {
    std::vector<std::uint8_t> record(static_cast<std::size_t>(FDefs.MemoryRecordSize()), 0);
    for (std::int32_t i = 0; i < FDefs.Count(); ++i) SetNull(true, i, record.data());
    return record;
  }
  void SetInteger(std::vector<std::uint8_t>& record, std::int32_t fieldNo,
                  std::int32_t value) const {
    QELWriteLE(record.data() + FDefs[fieldNo].MemoryOffset(), value);
    SetNull(false, fieldNo, record.data());
  }
  void SetText(std::vector<std::uint8_t>& record, std::int32_t fieldNo,
               const std::string& text) const {
    std::uint8_t* slot = record.data() + FDefs[fieldNo].MemoryOffset();
    const auto size = static_cast<std::size_t>(FDefs[fieldNo].MemoryDataSize());
    std::memset(slot, 0, size);
    std::memcpy(slot, text.data(), std::min(text.size(), size - 1));
    SetNull(false, fieldNo, record.data());
  }

  void Put(const TQELRecordID& id, const std::vector<std::uint8_t>& record) {
    FRecords[id] = record;
  }
  void Remove(const TQELRecordID& id) { FRecords.erase(id); }
  const std::vector<std::uint8_t>& At(const TQELRecordID& id) const { return FRecords.at(id); }
  std::int64_t Count() const { return static_cast<std::int64_t>(FRecords.size()); }

  void GetRecord(std::int32_t, TQELRecordRequest& request) override {
    ++Reads;
    auto it = FRecords.end();
    if (request.Mode == grmCurrent) {
      it = FRecords.find(request.RecordID);
    } else if (request.Mode == grmNext) {
      it = request.BeforeFirst ? FRecords.begin() : FRecords.upper_bound(request.RecordID);
    }
    if (it == FRecords.end()) {
      request.Result = request.Mode == grmCurrent ? grError : grEOF;
      return;
    }
    request.RecordID = it->first;
    if (request.Buffer != nullptr)
      std::memcpy(request.Buffer, it->second.data(), it->second.size());
    request.Result = grOK;
  }

  std::int64_t Reads = 0;

 private:
  const TQELFieldDefs& FDefs;
  std::map<TQELRecordID, std::vector<std::uint8_t>> FRecords;
};

// A table with the given fields, one record index over it and the pages
// of the index in memory.
class TIndexFixture {
 public:
  explicit TIndexFixture(std::uint16_t pageSize = 4096) : Pages(pageSize), Records(Defs) {}

  // Creates the index; call after adding the fields.
  void Create(const TQELIndexDef& def) {
    Defs.RecalcOffsets();
    Index = std::make_unique<TQELBTreeRecordIndex>(Pages, Defs, &Records);
    Index->CreateIndex(kSession, def, false);
  }

  void Add(const TQELRecordID& id, const std::vector<std::uint8_t>& record) {
    Records.Put(id, record);
    Index->InsertKey(kSession, record.data(), id);
  }
  void Remove(const TQELRecordID& id) {
    const std::vector<std::uint8_t> record = Records.At(id);
    Index->DeleteKey(kSession, record.data(), id);
    Records.Remove(id);
  }

  // Every record id in index order, read along the leaf chain with Next.
  std::vector<TQELRecordID> WalkForward() {
    std::vector<TQELRecordID> ids;
    TQELKeyPath path;
    TQELBTreeCore& tree = *Index->Tree();
    for (bool on = tree.First(kSession, path); on; on = tree.Next(kSession, path)) {
      TQELRecordID id;
      tree.ReadEntry(kSession, path, nullptr, id.data());
      ids.push_back(id);
    }
    return ids;
  }

  TMemoryPageManager Pages;
  TQELFieldDefs Defs;
  TRecordTable Records;
  std::unique_ptr<TQELBTreeRecordIndex> Index;
};

// Walks the tree page by page from the root and checks: every page a page
// of this tree, the root marked as root and nothing else; every non-root
// page holding at least one entry and no more than fit; a root node with
// at least two children; every node key a copy of the first key below its
// child; all leaves at one depth; each level linked left to right in tree
// order; leaf entries strictly ascending by key, then record id, across
// the whole chain; and `expectedEntries` entries in all. Answers a
// description of the first fault, empty when there is none.
class TTreeChecker {
 public:
  TTreeChecker(TQELBTreeRecordIndex& index, TQELPageManager& pages)
      : FTree(*index.Tree()), FKeyRef(*index.KeyRef()), FPages(pages) {}

  std::string Check(std::int64_t expectedEntries) {
    FFault.clear();
    FLevels.clear();
    FLeafDepth = -1;
    FEntries = 0;
    FLeafUsed = 0;
    FLeafSlots = 0;
    FHavePrevious = false;
    Visit(FTree.RootPageNo(), 0, true);
    if (!FFault.empty()) return FFault;
    CheckLinks();
    if (FFault.empty() && FEntries != expectedEntries) {
      Fail("tree holds " + std::to_string(FEntries) + " entries, expected " +
           std::to_string(expectedEntries));
    }
    return FFault;
  }

  std::int32_t Depth() const { return FLeafDepth + 1; }
  // Mean fill of the leaves, as a fraction of what they can hold.
  double LeafFill() const { return FLeafSlots == 0 ? 0 : double(FLeafUsed) / double(FLeafSlots); }

 private:
  struct TEntry {
    std::vector<std::uint8_t> Key;
    std::vector<std::uint8_t> Ref;
  };

  void Fail(const std::string& what) {
    if (FFault.empty()) FFault = what;
  }

  // Checks the subtree of `pageNo` and answers its first key.
  std::vector<std::uint8_t> Visit(std::int32_t pageNo, std::int32_t depth, bool isRoot) {
    if (depth >= TQELKeyPath::kMaxDepth) {
      Fail("tree deeper than a path can describe");
      return {};
    }
    if (static_cast<std::size_t>(depth) >= FLevels.size()) FLevels.resize(depth + 1);
    FLevels[depth].push_back(pageNo);
    TQELPage* raw = FPages.GetPage(kSession, pageNo, false, ptTableIndex);
    TQELPageGuard guard(FPages, raw);
    const TQELBTreePage page(raw, FKeyRef.RefSize());
    const std::string where = "page " + std::to_string(pageNo) + ": ";
    if (!page.IsSound(static_cast<std::uint16_t>(FKeyRef.KeySize()))) {
      Fail(where + "unsound header");
      return {};
    }
    if (page.IsRoot() != isRoot) Fail(where + "root flag wrong");
    const std::int32_t count = page.EntryCount();
    if (!isRoot && count < 1) Fail(where + "non-root page is empty");
    if (isRoot && !page.IsLeaf() && count < 2) Fail(where + "root node with one child");
    if (count > page.MaxEntries()) Fail(where + "overflowed");
    std::vector<std::uint8_t> firstKey;
    if (page.IsLeaf()) {
      if (FLeafDepth == -1) FLeafDepth = depth;
      if (FLeafDepth != depth) Fail(where + "leaves at different depths");
      FLeafUsed += count;
      FLeafSlots += page.MaxEntries();
      for (std::int32_t i = 0; i < count; ++i) {
        TEntry entry{{page.Key(i), page.Key(i) + FKeyRef.KeySize()},
                     {page.Ref(i), page.Ref(i) + FKeyRef.RefSize()}};
        if (FHavePrevious && CompareEntries(FPrevious, entry) >= 0) {
          Fail(where + "entry " + std::to_string(i) + " not above its predecessor");
        }
        FPrevious = entry;
        FHavePrevious = true;
        ++FEntries;
      }
      if (count > 0) firstKey.assign(page.Key(0), page.Key(0) + FKeyRef.KeySize());
      return firstKey;
    }
    for (std::int32_t i = 0; i < count && FFault.empty(); ++i) {
      const std::vector<std::uint8_t> childFirst = Visit(page.ChildPage(i), depth + 1, false);
      if (childFirst.empty() ||
          std::memcmp(childFirst.data(), page.Key(i), childFirst.size()) != 0) {
        Fail(where + "key " + std::to_string(i) + " is not the first key of its child");
      }
      if (i == 0) firstKey = childFirst;
    }
    return firstKey;
  }

  int CompareEntries(const TEntry& a, const TEntry& b) {
    std::int32_t tieColumn;
    int result = FKeyRef.CompareKeys(a.Key.data(), b.Key.data(), 0, -1, tieColumn);
    if (result == 0 && tieColumn >= 0) {
      result = FKeyRef.CompareRecords(kSession, a.Ref.data(), b.Ref.data(), tieColumn, 0, -1);
    }
    return result != 0 ? result : FKeyRef.CompareRefs(a.Ref.data(), b.Ref.data());
  }

  void CheckLinks() {
    for (std::size_t depth = 0; depth < FLevels.size(); ++depth) {
      const std::vector<std::int32_t>& level = FLevels[depth];
      for (std::size_t i = 0; i < level.size(); ++i) {
        TQELPage* raw = FPages.GetPage(kSession, level[i], false, ptTableIndex);
        TQELPageGuard guard(FPages, raw);
        const TQELBTreePage page(raw, FKeyRef.RefSize());
        const std::int32_t prev = i == 0 ? -1 : level[i - 1];
        const std::int32_t next = i + 1 == level.size() ? -1 : level[i + 1];
        if (page.PrevPage() != prev || page.NextPage() != next) {
          Fail("page " + std::to_string(level[i]) + ": level links wrong");
          return;
        }
      }
    }
  }

  TQELBTreeCore& FTree;
  TQELRecordKeyRef& FKeyRef;
  TQELPageManager& FPages;
  std::string FFault;
  std::vector<std::vector<std::int32_t>> FLevels;
  std::int32_t FLeafDepth = -1;
  std::int64_t FEntries = 0;
  std::int64_t FLeafUsed = 0;
  std::int64_t FLeafSlots = 0;
  TEntry FPrevious;
  bool FHavePrevious = false;
};

}  // namespace qel::test
