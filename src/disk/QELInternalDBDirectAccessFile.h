#pragma once
// TQELInternalDBDirectAccessFile: an internal file whose bytes are read and
// written in place in the database file, bypassing the page cache, with
// byte locks on its content. The session table and the table lock files are
// built on it: processes sharing the file coordinate through these locks.
// Its pages are stored plain, also in an encrypted database.

#include <cstdint>
#include <vector>

#include "disk/QELDiskPageManager.h"

namespace qel {

class TQELInternalDBDirectAccessFile {
 public:
  TQELInternalDBDirectAccessFile(TQELDiskPageManager& pageManager, std::uint16_t pageType)
      : FPageManager(pageManager), FPageType(pageType) {}

  std::int32_t StartPageNo() const { return FStartPageNo; }
  bool IsOpen() const { return FStartPageNo != -1; }
  // The content size (a one-page file offers its whole first page).
  std::int32_t FileSize() const { return FFileSize; }
  // The size the file was created with (as read by OpenAndLoad).
  std::int32_t StoredSize() const { return FStoredSize; }
  const std::vector<std::int32_t>& PageNos() const { return FPageNos; }

  void Open(std::int32_t startPageNo);
  // Opens and reads the chain's page numbers.
  void OpenAndLoad(std::int32_t startPageNo);
  void Close();
  // A new file of `size` bytes in new pages of session -2 (stored at its
  // commit).
  void Create(std::int32_t size);
  void Delete(std::int32_t startPageNo);
  // StoredSize as it is in the file.
  std::int32_t GetSize();

  std::int32_t DirectReadBuffer(void* buffer, std::int32_t position, std::int32_t count);
  std::int32_t DirectWriteBuffer(const void* buffer, std::int32_t position, std::int32_t count);

  // The file's mutex: byte 0 of its first page.
  bool LockFile();
  bool UnlockFile();
  bool LockByte(std::int32_t position);
  bool UnlockByte(std::int32_t position);
  bool IsByteLocked(std::int32_t position);
  bool IsRegionLocked(std::int32_t position, std::int32_t count);

 private:
  struct TPlace {
    std::size_t Chain;       // index in FPageNos
    std::int32_t InPage;     // byte offset in the page, header included
  };
  void CheckOpen(const char* operation) const;
  TPlace Locate(std::int32_t position) const;
  // Reads a page header straight from the file, skipping its first byte so
  // that a lock on the file's mutex never gets in the way, and checks the type.
  std::int32_t NextPageOf(std::int32_t pageNo);
  template <class Transfer>
  std::int32_t Walk(std::int32_t position, std::int32_t count, Transfer transfer);
  std::int32_t DataSize() const { return FPageManager.DataSize(); }

  TQELDiskPageManager& FPageManager;
  std::uint16_t FPageType;
  std::int32_t FStartPageNo = -1;
  std::int32_t FFileSize = 0;
  std::int32_t FStoredSize = 0;
  std::vector<std::int32_t> FPageNos;
};

}  // namespace qel
