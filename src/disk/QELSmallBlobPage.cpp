#include "disk/QELSmallBlobPage.h"

#include <cstring>

#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace blob_page {

void RaiseDamaged(std::int32_t pageNo, const char* what) {
  throw EQELException(20162, "Cannot read BLOB field value. Damaged BLOB page %d: %s", {pageNo, what});
}

void CheckBlobPage(const TQELPage* page) {
  if (page->HeaderSize() != 0 && page->PageType() != ptTableBlob) {
    RaiseDamaged(page->PageNo, "not a BLOB page");
  }
}

}  // namespace blob_page

using namespace blob_page;

TQELSmallBlobPage::TQELSmallBlobPage(TQELPage* page) : TQELPageController(page) {
  CheckBlobPage(page);
  const std::int64_t dataSize = DataSize();
  const std::uint8_t* data = Data();
  if (dataSize < kEntryCountSize) RaiseDamaged(PageNo(), "no room for the entry count");
  FEntryCount = QELReadLE<std::uint16_t>(data);
  std::int64_t offset = kEntryCountSize;
  for (std::uint32_t i = 0; i < FEntryCount; ++i) {
    if (offset + kEntryHeaderSize > dataSize) RaiseDamaged(PageNo(), "entry count past the page");
    const auto size = QELReadLE<std::int64_t>(data + offset + kEntryDataSize);
    if (size < 0 || size > dataSize - offset - kEntryHeaderSize) {
      RaiseDamaged(PageNo(), "entry size past the page");
    }
    offset += kEntryHeaderSize + size;
  }
  FEndOffset = static_cast<std::int32_t>(offset);
}

void TQELSmallBlobPage::Initialize(TQELPage* page) {
  QELWriteLE<std::uint16_t>(page->Data(), 0);
  page->IsDirty = true;
}

TQELSmallBlobPage::TEntry TQELSmallBlobPage::EntryAt(std::int32_t offset) const {
  const std::uint8_t* at = Data() + offset;
  TEntry entry;
  entry.Offset = offset;
  entry.EntryID = QELReadLE<std::int16_t>(at + kEntryID);
  entry.BlockCount = QELReadLE<std::int32_t>(at + kEntryBlockCount);
  entry.DataSize = QELReadLE<std::int64_t>(at + kEntryDataSize);
  entry.UncompressedSize = QELReadLE<std::int64_t>(at + kEntryUncompressedSize);
  entry.Data = at + kEntryHeaderSize;
  return entry;
}

// Offsets and sizes were checked when the page was wrapped.
bool TQELSmallBlobPage::FindEntry(std::int16_t entryID, TEntry& entry) const {
  std::int32_t offset = kEntryCountSize;
  for (std::uint32_t i = 0; i < FEntryCount; ++i) {
    const std::uint8_t* at = Data() + offset;
    if (QELReadLE<std::int16_t>(at + kEntryID) == entryID) {
      entry = EntryAt(offset);
      return true;
    }
    offset += kEntryHeaderSize + static_cast<std::int32_t>(QELReadLE<std::int64_t>(at + kEntryDataSize));
  }
  return false;
}

bool TQELSmallBlobPage::HasEntryID(std::int16_t entryID) const {
  TEntry unused;
  return FindEntry(entryID, unused);
}

std::int16_t TQELSmallBlobPage::NewEntryID() const {
  auto id = static_cast<std::int16_t>(FEntryCount);
  // A page holds far fewer entries than there are ids, so the search ends
  // well before it could come round again.
  while (id != kLargeEntryID && (id == kAmbiguousEntryID || HasEntryID(id))) {
    id = id == -2 ? std::int16_t{0} : static_cast<std::int16_t>(static_cast<std::uint16_t>(id) + 1u);
  }
  if (id == kLargeEntryID) throw EQELException(20172, "Invalid blob field ID");
  return id;
}

std::int16_t TQELSmallBlobPage::AddEntry(std::int32_t blockCount, std::int64_t uncompressedSize,
                                         const std::uint8_t* data, std::int32_t dataSize) {
  const std::int16_t id = NewEntryID();
  std::uint8_t* at = Data() + FEndOffset;
  QELWriteLE(at + kEntryID, id);
  QELWriteLE(at + kEntryBlockCount, blockCount);
  QELWriteLE(at + kEntryDataSize, std::int64_t{dataSize});
  QELWriteLE(at + kEntryUncompressedSize, uncompressedSize);
  if (dataSize > 0) std::memcpy(at + kEntryHeaderSize, data, static_cast<std::size_t>(dataSize));
  FEndOffset += kEntryHeaderSize + dataSize;
  ++FEntryCount;
  QELWriteLE(Data(), FEntryCount);
  SetDirty();
  return id;
}

void TQELSmallBlobPage::RemoveEntry(const TEntry& entry) {
  std::uint8_t* data = Data();
  const std::int32_t size = entry.Size();
  const std::int32_t next = entry.Offset + size;
  std::memmove(data + entry.Offset, data + next, static_cast<std::size_t>(FEndOffset - next));
  FEndOffset -= size;
  // The freed tail is cleared so that no stale value stays in the file.
  std::memset(data + FEndOffset, 0, static_cast<std::size_t>(size));
  --FEntryCount;
  QELWriteLE(data, FEntryCount);
  SetDirty();
}

}  // namespace qel
