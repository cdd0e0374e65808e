#pragma once
// TQELBTreePage: the layout of one B-tree page, over a page of the page
// manager (type ptTableIndex). The data area starts with an 18-byte header:
//
//   0  1  IsRoot         10  1  RootCreated (written, never read)
//   1  1  IsLeaf         11  1  HasExtraRef (always 0)
//   2  4  PrevPage       12  2  KeySize
//   6  4  NextPage       14  2  EntryCount
//                        16  2  ExtensionSize (bytes before the first entry)
//
// followed by EntryCount fixed-size entries in ascending order: the key,
// then the reference (a record id or fill count on leaves, the int32 page
// number of a child on nodes). PrevPage and NextPage link the pages of one
// level, -1 at either end.

#include <cstdint>
#include <cstring>

#include "pagecache/QELPageManager.h"
#include "platform/QELEndian.h"

namespace qel {

namespace btree_page {
inline constexpr int kIsRoot = 0;
inline constexpr int kIsLeaf = 1;
inline constexpr int kPrevPage = 2;
inline constexpr int kNextPage = 6;
inline constexpr int kRootCreated = 10;
inline constexpr int kHasExtraRef = 11;
inline constexpr int kKeySize = 12;
inline constexpr int kEntryCount = 14;
inline constexpr int kExtensionSize = 16;
inline constexpr int kHeaderSize = 18;
// Node entries refer to their child by page number.
inline constexpr std::int32_t kNodeRefSize = 4;
}  // namespace btree_page

class TQELBTreePage : public TQELPageController {
 public:
  // `leafRefSize`: bytes of a leaf entry's reference in this tree.
  TQELBTreePage(TQELPage* page, std::int32_t leafRefSize)
      : TQELPageController(page), FData(page->Data()), FLeafRefSize(leafRefSize) {}

  // Lays out an empty page of the given kind, unlinked.
  void Initialize(bool isRoot, bool isLeaf, std::uint16_t keySize, bool rootCreated);

  bool IsRoot() const { return FData[btree_page::kIsRoot] != 0; }
  void SetIsRoot(bool value) { FData[btree_page::kIsRoot] = value ? 1 : 0; }
  bool IsLeaf() const { return FData[btree_page::kIsLeaf] != 0; }
  void SetIsLeaf(bool value) { FData[btree_page::kIsLeaf] = value ? 1 : 0; }
  std::int32_t PrevPage() const { return QELReadLE<std::int32_t>(FData + btree_page::kPrevPage); }
  void SetPrevPage(std::int32_t pageNo) { QELWriteLE(FData + btree_page::kPrevPage, pageNo); }
  std::int32_t NextPage() const { return QELReadLE<std::int32_t>(FData + btree_page::kNextPage); }
  void SetNextPage(std::int32_t pageNo) { QELWriteLE(FData + btree_page::kNextPage, pageNo); }
  bool HasExtraRef() const { return FData[btree_page::kHasExtraRef] != 0; }
  std::uint16_t KeySize() const { return QELReadLE<std::uint16_t>(FData + btree_page::kKeySize); }
  std::int32_t EntryCount() const {
    return QELReadLE<std::uint16_t>(FData + btree_page::kEntryCount);
  }
  void SetEntryCount(std::int32_t count) {
    QELWriteLE(FData + btree_page::kEntryCount, static_cast<std::uint16_t>(count));
  }
  std::uint16_t ExtensionSize() const {
    return QELReadLE<std::uint16_t>(FData + btree_page::kExtensionSize);
  }

  std::int32_t HeaderSize() const { return btree_page::kHeaderSize + ExtensionSize(); }
  std::int32_t RefSize() const { return IsLeaf() ? FLeafRefSize : btree_page::kNodeRefSize; }
  std::int32_t EntrySize() const { return KeySize() + RefSize(); }

  std::uint8_t* Entry(std::int32_t index) const {
    return FData + HeaderSize() + static_cast<std::ptrdiff_t>(index) * EntrySize();
  }
  std::uint8_t* Key(std::int32_t index) const { return Entry(index); }
  std::uint8_t* Ref(std::int32_t index) const { return Entry(index) + KeySize(); }
  std::int32_t ChildPage(std::int32_t index) const { return QELReadLE<std::int32_t>(Ref(index)); }
  void SetChildPage(std::int32_t index, std::int32_t pageNo) { QELWriteLE(Ref(index), pageNo); }

  // Capacity: the most entries the page holds, and the fill tests.
  std::int32_t MaxEntries() const {
    return (static_cast<std::int32_t>(DataSize()) - HeaderSize()) / EntrySize();
  }
  bool HasRoom() const { return EntryCount() < MaxEntries(); }
  bool IsUnderfull() const {
    return EntryCount() * EntrySize() < (static_cast<std::int32_t>(DataSize()) - HeaderSize()) / 2;
  }

  // Whether the header describes a page this tree can use: the key size of
  // the tree, no extra references, and entries that fit the page.
  bool IsSound(std::uint16_t keySize) const;

  // Entry editing. Insert shifts the following entries up (the page must
  // have room); Remove shifts them down.
  void InsertEntry(std::int32_t index, const std::uint8_t* key, const std::uint8_t* ref);
  void RemoveEntries(std::int32_t index, std::int32_t count);
  // Appends `count` entries of `source` starting at `first`; Prepend puts
  // them before the page's own (the page must have room).
  void AppendEntries(const TQELBTreePage& source, std::int32_t first, std::int32_t count);
  void PrependEntries(const TQELBTreePage& source, std::int32_t first, std::int32_t count);
  void SetKey(std::int32_t index, const std::uint8_t* key) {
    std::memcpy(Key(index), key, KeySize());
  }

 private:
  std::uint8_t* FData;
  std::int32_t FLeafRefSize;
};

}  // namespace qel
