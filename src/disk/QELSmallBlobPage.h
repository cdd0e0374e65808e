#pragma once
// The two layouts of BLOB pages (type 11) and TQELSmallBlobPage, the view of
// a page shared by several small values.
//
// Shared page, data area:
//   0  2  EntryCount (uint16), then EntryCount entries back to back:
//         0  2  EntryID (int16)
//         2  4  BlockCount (int32)
//         6  8  DataSize (int64)
//        14  8  UncompressedSize (int64)
//        22  DataSize bytes of stored block data
//
// First page of a large value, data area:
//   0  2  not interpreted (written 0)    22  4  ListPageNo (int32)
//   2  4  BlockCount (int32)             26  2  ListOffset (uint16)
//   6  8  DataSize (int64)               28  4  PageCount (int32)
//  14  8  UncompressedSize (int64)       32  ... first part of the data
// The data continues at offset 0 of each further data page. After the last
// data byte follows the page list: PageCount int32 page numbers of the data
// pages in order, as one run of bytes that continues at offset 0 of further
// pages linked through the page frame's next-page field. When the last data
// page is exactly full, the list starts at offset 0 of a page of its own.
//
// Every integer is little-endian. Pages come from a file and may be damaged:
// nothing here reads a byte outside the data area because of a stored count
// or size, and damage raises EQELException instead.

#include <cstdint>

#include "pagecache/QELPageManager.h"

namespace qel {

namespace blob_page {

// Shared pages.
inline constexpr std::int32_t kEntryCountSize = 2;
inline constexpr std::int32_t kEntryHeaderSize = 22;
inline constexpr std::int32_t kEntryID = 0;
inline constexpr std::int32_t kEntryBlockCount = 2;
inline constexpr std::int32_t kEntryDataSize = 6;
inline constexpr std::int32_t kEntryUncompressedSize = 14;

// First page of a large value.
inline constexpr std::int32_t kLargeBlockCount = 2;
inline constexpr std::int32_t kLargeDataSize = 6;
inline constexpr std::int32_t kLargeUncompressedSize = 14;
inline constexpr std::int32_t kLargeListPageNo = 22;
inline constexpr std::int32_t kLargeListOffset = 26;
inline constexpr std::int32_t kLargePageCount = 28;
inline constexpr std::int32_t kLargeHeaderSize = 32;

// The EntryID of a reference to a large value.
inline constexpr std::int16_t kLargeEntryID = -1;
// An EntryID that older files also used for large values; references with
// it are read by looking at the page.
inline constexpr std::int16_t kAmbiguousEntryID = 255;

// Whether a value of `dataSize` stored bytes goes into a shared page of a
// file whose pages have `pageDataSize` bytes of data.
inline bool FitsSharedPage(std::int64_t dataSize, std::int32_t pageDataSize) {
  return dataSize + kEntryHeaderSize + kEntryCountSize < pageDataSize;
}

// Raises the error for a BLOB page whose content cannot be right: "Cannot
// read BLOB field value. Damaged BLOB page %d: %s" (20162).
[[noreturn]] void RaiseDamaged(std::int32_t pageNo, const char* what);

// Raises 20162 unless the page is a BLOB page (pages of files without page
// headers carry no type and always pass).
void CheckBlobPage(const TQELPage* page);

}  // namespace blob_page

// One shared BLOB page, valid while the page is held. Construction checks
// that the entries the page claims all lie inside its data area.
class TQELSmallBlobPage : public TQELPageController {
 public:
  // The fields of one entry; Data points into the page.
  struct TEntry {
    std::int32_t Offset = 0;
    std::int16_t EntryID = 0;
    std::int32_t BlockCount = 0;
    std::int64_t DataSize = 0;
    std::int64_t UncompressedSize = 0;
    const std::uint8_t* Data = nullptr;
    std::int32_t Size() const { return blob_page::kEntryHeaderSize + static_cast<std::int32_t>(DataSize); }
  };

  explicit TQELSmallBlobPage(TQELPage* page);

  // Makes a newly allocated page an empty shared page.
  static void Initialize(TQELPage* page);

  std::uint16_t EntryCount() const { return FEntryCount; }
  // Offset just past the last entry: where the next entry goes.
  std::int32_t EndOffset() const { return FEndOffset; }
  // Bytes the entries take, the page's count in the BLOB page index.
  std::int32_t UsedSize() const { return FEndOffset - blob_page::kEntryCountSize; }

  // The entry with `entryID`; false when there is none.
  bool FindEntry(std::int16_t entryID, TEntry& entry) const;
  TEntry EntryAt(std::int32_t offset) const;
  bool HasEntryID(std::int16_t entryID) const;

  // A free id: from the entry count upwards (wrapping from 32767 to -32768
  // and from -2 to 0), the first that no entry has. 255 is never handed out,
  // so that a new reference is never ambiguous. Raises "Invalid blob field
  // ID" (20172) should the search reach -1.
  std::int16_t NewEntryID() const;

  // Appends an entry (the caller has checked the room) and marks the page
  // changed; answers its id.
  std::int16_t AddEntry(std::int32_t blockCount, std::int64_t uncompressedSize,
                        const std::uint8_t* data, std::int32_t dataSize);
  // Removes the entry, moving the following ones down, and marks the page
  // changed.
  void RemoveEntry(const TEntry& entry);

 private:
  std::uint16_t FEntryCount = 0;
  std::int32_t FEndOffset = blob_page::kEntryCountSize;
};

}  // namespace qel
