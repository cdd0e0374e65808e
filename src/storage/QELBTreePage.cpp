#include "storage/QELBTreePage.h"

namespace qel {

void TQELBTreePage::Initialize(bool isRoot, bool isLeaf, std::uint16_t keySize, bool rootCreated) {
  std::memset(FData, 0, btree_page::kHeaderSize);
  SetIsRoot(isRoot);
  SetIsLeaf(isLeaf);
  SetPrevPage(-1);
  SetNextPage(-1);
  FData[btree_page::kRootCreated] = rootCreated ? 1 : 0;
  QELWriteLE(FData + btree_page::kKeySize, keySize);
  SetDirty();
}

bool TQELBTreePage::IsSound(std::uint16_t keySize) const {
  if (KeySize() != keySize || HasExtraRef() || FData[btree_page::kIsLeaf] > 1) return false;
  const std::int64_t used = static_cast<std::int64_t>(EntryCount()) * EntrySize() + HeaderSize();
  return used <= static_cast<std::int64_t>(DataSize());
}

void TQELBTreePage::InsertEntry(std::int32_t index, const std::uint8_t* key,
                                const std::uint8_t* ref) {
  const std::int32_t count = EntryCount();
  const std::int32_t entrySize = EntrySize();
  std::uint8_t* at = Entry(index);
  std::memmove(at + entrySize, at, static_cast<std::size_t>(count - index) * entrySize);
  std::memcpy(at, key, KeySize());
  std::memcpy(at + KeySize(), ref, static_cast<std::size_t>(RefSize()));
  SetEntryCount(count + 1);
  SetDirty();
}

void TQELBTreePage::RemoveEntries(std::int32_t index, std::int32_t count) {
  const std::int32_t total = EntryCount();
  const std::int32_t entrySize = EntrySize();
  std::memmove(Entry(index), Entry(index + count),
               static_cast<std::size_t>(total - index - count) * entrySize);
  SetEntryCount(total - count);
  SetDirty();
}

void TQELBTreePage::AppendEntries(const TQELBTreePage& source, std::int32_t first,
                                  std::int32_t count) {
  if (count <= 0) return;
  const std::int32_t total = EntryCount();
  std::memcpy(Entry(total), source.Entry(first), static_cast<std::size_t>(count) * EntrySize());
  SetEntryCount(total + count);
  SetDirty();
}

void TQELBTreePage::PrependEntries(const TQELBTreePage& source, std::int32_t first,
                                   std::int32_t count) {
  if (count <= 0) return;
  const std::int32_t total = EntryCount();
  const std::int32_t entrySize = EntrySize();
  std::memmove(Entry(count), Entry(0), static_cast<std::size_t>(total) * entrySize);
  std::memcpy(Entry(0), source.Entry(first), static_cast<std::size_t>(count) * entrySize);
  SetEntryCount(total + count);
  SetDirty();
}

}  // namespace qel
