#pragma once
// TQELPage: one page held in memory by a page manager.
//
// A page sits in exactly one list at a time: the manager's shared list of
// clean pages, or the dirty list of the session that changed it. The links
// for the least-recently-used order of that list live in the page itself.

#include <cstdint>
#include <vector>

#include "pagecache/QELPageHeader.h"

namespace qel {

class TQELPageManager;
class TQELSortedPageList;

class TQELPage {
 public:
  TQELPage(TQELPageManager* owner, std::int32_t pageNo);
  ~TQELPage();
  TQELPage(const TQELPage&) = delete;
  TQELPage& operator=(const TQELPage&) = delete;

  TQELPageManager* Owner() const { return FOwner; }

  // Makes a page object that held another page fit to hold `pageNo`,
  // keeping its buffer (whose bytes the caller overwrites).
  void Reuse(std::int32_t pageNo);

  std::uint8_t* Buffer() const { return FBuffer; }
  std::uint8_t* Header() const { return FBuffer; }
  std::uint16_t HeaderSize() const;
  std::uint16_t PageSize() const;
  std::uint8_t* Data() const { return FBuffer + HeaderSize(); }
  std::uint32_t DataSize() const { return static_cast<std::uint32_t>(PageSize() - HeaderSize()); }
  // Bytes the buffer holds (the page size, or more after ResizeBuffer).
  std::uint32_t BufferSize() const { return FBufferSize; }

  // Gives the page a zero-filled buffer of the page size; its header, if the
  // manager's pages have one, is that of a fresh page. Drops any old buffer.
  void AllocateBuffer();
  void FreeBuffer();
  // Grows the buffer, keeping its bytes. A size below the page size raises
  // "Invalid page modification" (20039); no buffer raises "Invalid page
  // buffer. Buffer is Nil" (20038). A foreign buffer is copied into one the
  // page owns.
  void ResizeBuffer(std::uint32_t newSize);
  // Lends the page a buffer it does not own (at least a page long).
  void SetForeignBuffer(std::uint8_t* buffer, std::uint32_t size);
  bool OwnsBuffer() const { return FOwnsBuffer; }

  // Multi-user: re-reads the page when its version on disk has moved.
  void RefreshIfChanged();

  std::int32_t PageVersion() const { return page_header::PageVersion(FBuffer); }
  void SetPageVersion(std::int32_t value) { page_header::SetPageVersion(FBuffer, value); }
  std::uint16_t PageType() const { return page_header::PageType(FBuffer); }
  void SetPageType(std::uint16_t value) { page_header::SetPageType(FBuffer, value); }

  // The slot of the page-version cache for one session: the table and the
  // epoch in which the session last checked this page against the file.
  // Epochs are per table, so an epoch says nothing without its table.
  bool SessionVersion(std::int32_t sessionID, const void*& table, std::int32_t& epoch) const;
  void SetSessionVersion(std::int32_t sessionID, const void* table, std::int32_t epoch);

  std::int32_t PageNo = -1;
  bool IsDirty = false;
  std::int32_t UseCount = 0;
  TQELSortedPageList* OwningList = nullptr;
  std::int32_t SessionID = 0;
  bool WasRead = false;
  bool EncryptOnWrite = true;

 private:
  friend class TQELSortedPageList;

  struct TSessionVersion {
    const void* Table = nullptr;
    std::int32_t Value = 0;
    bool Valid = false;
  };

  TQELPageManager* FOwner;
  std::uint8_t* FBuffer = nullptr;
  std::uint32_t FBufferSize = 0;
  bool FOwnsBuffer = true;
  std::vector<TSessionVersion> FSessionVersions;  // index: session id + 2

  // Membership in a TQELSortedPageList's recency order.
  std::uint64_t FStamp = 0;
  TQELPage* FOlder = nullptr;
  TQELPage* FNewer = nullptr;
};

}  // namespace qel
