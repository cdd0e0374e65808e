#include "storage/QELBTreePageIndex.h"

#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace {

std::int32_t KeyPage(const std::uint8_t* key) { return QELReadLE<std::int32_t>(key); }
std::int32_t RefCount(const std::uint8_t* ref) { return QELReadLE<std::uint16_t>(ref); }

}  // namespace

TQELBTreePageIndex::TQELBTreePageIndex(TQELPageManager& pageManager)
    : FPageManager(pageManager), FTree(pageManager, FKeyRef) {}

TQELBTreeCore& TQELBTreePageIndex::Tree(std::int32_t nativeError) {
  if (FTree.RootPageNo() < 0) throw EQELException(nativeError, "Invalid page number");
  return FTree;
}

void TQELBTreePageIndex::Create(std::int32_t sessionID) {
  ForgetHints();
  FTree.CreateRoot(sessionID);
}
void TQELBTreePageIndex::Drop(std::int32_t sessionID) {
  ForgetHints();
  Tree(20114).Drop(sessionID);
}
void TQELBTreePageIndex::Empty(std::int32_t sessionID) {
  ForgetHints();
  Tree(20114).Empty(sessionID);
}

bool TQELBTreePageIndex::FindPage(std::int32_t sessionID, std::int32_t pageNo, TQELKeyPath& path,
                                  std::int32_t& count) {
  std::uint8_t probeKey[4];
  std::uint8_t key[4];
  std::uint8_t ref[2];
  QELWriteLE(probeKey, pageNo);
  const TQELBTreeProbe probe{probeKey, nullptr, nullptr, 0, -1};
  if (!Tree(20110).Find(sessionID, probe, path, key, ref)) return false;
  count = RefCount(ref);
  return true;
}

bool TQELBTreePageIndex::FindPageWithRoom(std::int32_t sessionID, std::int32_t delta,
                                          std::int32_t& pageNo) {
  if (FHintPageNo >= 0) {
    TQELKeyPath path;
    std::int32_t count = 0;
    if (FindPage(sessionID, FHintPageNo, path, count) && CanAdd(count, delta)) {
      pageNo = FHintPageNo;
      return true;
    }
  }
  if (FSearchFoundNothing) return false;
  if (SearchEdgeLeaves(sessionID, delta, pageNo)) {
    FHintPageNo = pageNo;
    return true;
  }
  FSearchFoundNothing = true;
  return false;
}

bool TQELBTreePageIndex::SearchEdgeLeaves(std::int32_t sessionID, std::int32_t delta,
                                          std::int32_t& pageNo) {
  TQELBTreeCore& tree = Tree(20114);
  std::uint8_t key[4];
  std::uint8_t ref[2];
  TQELKeyPath path;
  // The last leaf backwards: pages added last are the likeliest to have room.
  if (tree.Last(sessionID, path)) {
    const std::int32_t lastLeaf = path.Leaf().PageNo;
    for (bool on = true; on && path.Leaf().PageNo == lastLeaf; on = tree.Prior(sessionID, path)) {
      tree.ReadEntry(sessionID, path, key, ref);
      if (CanAdd(RefCount(ref), delta)) {
        pageNo = KeyPage(key);
        return true;
      }
    }
  }
  if (tree.First(sessionID, path)) {
    const std::int32_t firstLeaf = path.Leaf().PageNo;
    for (bool on = true; on && path.Leaf().PageNo == firstLeaf; on = tree.Next(sessionID, path)) {
      tree.ReadEntry(sessionID, path, key, ref);
      if (CanAdd(RefCount(ref), delta)) {
        pageNo = KeyPage(key);
        return true;
      }
    }
  }
  return false;
}

void TQELBTreePageIndex::AddToPage(std::int32_t sessionID, std::int32_t delta,
                                   std::int32_t pageNo) {
  TQELKeyPath path;
  std::int32_t count;
  std::uint8_t ref[2];
  // The page just filled is the likeliest to take the next item.
  FHintPageNo = pageNo;
  if (!FindPage(sessionID, pageNo, path, count)) {
    std::uint8_t key[4];
    QELWriteLE(key, pageNo);
    QELWriteLE(ref, static_cast<std::uint16_t>(delta));
    FTree.Insert(sessionID, key, ref, nullptr);
    return;
  }
  if (!CanAdd(count, delta) || count + delta > 0xFFFF) {
    throw EQELException(20106, "Cannot add data item to page. Page is full");
  }
  QELWriteLE(ref, static_cast<std::uint16_t>(count + delta));
  FTree.WriteRef(sessionID, path, ref);
}

void TQELBTreePageIndex::RemoveFromPage(std::int32_t sessionID, std::int32_t delta,
                                        std::int32_t newCount, std::int32_t pageNo) {
  TQELKeyPath path;
  std::int32_t count;
  if (!FindPage(sessionID, pageNo, path, count)) {
    throw EQELException(20111, "Invalid page number");
  }
  // Room came back: the next search looks for it in its usual order.
  ForgetHints();
  if (newCount < 0) {
    // A count never goes below zero: taking more than is there means the
    // page index and the pages disagree.
    if (count == 0 || delta > count) throw EQELException(20112, "Index error: page is empty");
    newCount = count - delta;
  }
  std::uint8_t key[4];
  std::uint8_t ref[2];
  QELWriteLE(key, pageNo);
  if (newCount == 0) {
    QELWriteLE(ref, static_cast<std::uint16_t>(count));
    FTree.Delete(sessionID, key, ref, nullptr);
    return;
  }
  QELWriteLE(ref, static_cast<std::uint16_t>(newCount));
  FTree.WriteRef(sessionID, path, ref);
}

std::int32_t TQELBTreePageIndex::GetCount(std::int32_t sessionID, std::int32_t pageNo) {
  TQELKeyPath path;
  std::int32_t count;
  return FindPage(sessionID, pageNo, path, count) ? count : -1;
}

bool TQELBTreePageIndex::FirstPage(std::int32_t sessionID, std::int32_t& pageNo) {
  TQELKeyPath path;
  std::uint8_t key[4];
  if (!Tree(20114).First(sessionID, path)) return false;
  FTree.ReadEntry(sessionID, path, key, nullptr);
  pageNo = KeyPage(key);
  return true;
}

bool TQELBTreePageIndex::LastPage(std::int32_t sessionID, std::int32_t& pageNo) {
  TQELKeyPath path;
  std::uint8_t key[4];
  if (!Tree(20114).Last(sessionID, path)) return false;
  FTree.ReadEntry(sessionID, path, key, nullptr);
  pageNo = KeyPage(key);
  return true;
}

bool TQELBTreePageIndex::NextPage(std::int32_t sessionID, std::int32_t& pageNo) {
  TQELKeyPath path;
  std::int32_t count;
  if (!FindPage(sessionID, pageNo, path, count)) throw EQELException(20104, "Invalid page number");
  std::uint8_t key[4];
  if (!FTree.Next(sessionID, path, key, nullptr)) return false;
  pageNo = KeyPage(key);
  return true;
}

bool TQELBTreePageIndex::PriorPage(std::int32_t sessionID, std::int32_t& pageNo) {
  TQELKeyPath path;
  std::int32_t count;
  if (!FindPage(sessionID, pageNo, path, count)) throw EQELException(20105, "Invalid page number");
  std::uint8_t key[4];
  if (!FTree.Prior(sessionID, path, key, nullptr)) return false;
  pageNo = KeyPage(key);
  return true;
}

void TQELBTreePageIndex::LocateRecNo(std::int32_t sessionID, std::int32_t& pageNo,
                                     std::int32_t& offset, std::int64_t recNo) {
  TQELBTreeCore& tree = Tree(20114);
  TQELKeyPath path;
  std::uint8_t key[4];
  std::uint8_t ref[2];
  std::int64_t before = 0;
  bool on = tree.First(sessionID, path);
  if (on) tree.ReadEntry(sessionID, path, key, ref);
  for (; on; on = tree.Next(sessionID, path, key, ref)) {
    const std::int32_t count = RefCount(ref);
    if (recNo >= before && recNo < before + count) {
      pageNo = KeyPage(key);
      offset = static_cast<std::int32_t>(recNo - before);
      return;
    }
    before += count;
  }
  throw EQELException(20113, "Cannot set RecNo greater than RecordCount");
}

std::int64_t TQELBTreePageIndex::SumCountsBefore(std::int32_t sessionID, std::int64_t limit) {
  TQELBTreeCore& tree = Tree(20114);
  TQELKeyPath path;
  std::uint8_t key[4];
  std::uint8_t ref[2];
  std::int64_t sum = 0;
  bool on = tree.First(sessionID, path);
  if (on) tree.ReadEntry(sessionID, path, key, ref);
  for (; on && KeyPage(key) < limit; on = tree.Next(sessionID, path, key, ref)) {
    sum += RefCount(ref);
  }
  return sum;
}

void TQELBTreePageIndex::CountRecordsBefore(std::int32_t sessionID, std::int32_t pageNo,
                                            std::int64_t& count, std::int64_t extra) {
  count = SumCountsBefore(sessionID, pageNo) + extra;
}

void TQELBTreePageIndex::VerifyRecordCount(std::int32_t sessionID, std::int64_t expected) {
  const std::int64_t total = SumCountsBefore(sessionID, std::int64_t{INT32_MAX} + 1);
  if (total != expected) {
    throw EQELException(
        20292,
        "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=%d, "
        "MostUpdated.RecordCount=%d",
        {static_cast<long long>(total), static_cast<long long>(expected)});
  }
}

}  // namespace qel
