#pragma once
// TQELInternalDBTransactedAccessFile: an internal file read and written
// through the page cache under a session, so that its changes become
// visible to others at that session's commit, like any table change. Its
// content may be stored compressed.

#include <cstdint>
#include <vector>

#include "pagecache/QELPageManager.h"

namespace qel {

class TQELInternalDBTransactedAccessFile {
 public:
  TQELInternalDBTransactedAccessFile(TQELPageManager& pageManager, std::uint16_t pageType)
      : FPageManager(pageManager), FPageType(pageType) {}

  std::int32_t StartPageNo() const { return FStartPageNo; }
  bool IsOpen() const { return FStartPageNo != -1; }

  void Open(std::int32_t startPageNo);
  void Close() { FStartPageNo = -1; }
  // A new, empty file; its first page is the start page.
  void Create(std::int32_t sessionID);
  // Gives every page of the file at `startPageNo` back (at commit).
  void Delete(std::int32_t sessionID, std::int32_t startPageNo);

  struct TSize {
    std::int32_t StoredSize = 0;
    std::int32_t UncompressedSize = 0;
    std::uint8_t CompressionAlgorithm = 0;
    bool WasRead = false;  // the first page came from storage during this call
  };
  TSize GetSize(std::int32_t sessionID, bool checkVersion);
  std::int32_t GetUncompressedSize(std::int32_t sessionID);
  // Makes the chain just long enough for `storedSize` bytes and records the
  // sizes; pages cut off the end are given back at commit.
  void SetSize(std::int32_t sessionID, std::int32_t storedSize, std::uint8_t algorithm,
               std::int32_t uncompressedSize);
  // Reads the first `count` bytes of the content (decompressing if needed).
  void ReadFile(std::int32_t sessionID, void* buffer, bool checkVersion, std::int32_t count);
  // Puts the whole content whose sizes GetSize gave into `content` (whose
  // memory is reused), its pages read with `checkVersion`; sizes a damaged
  // file gives raise before they are used.
  void ReadAll(std::int32_t sessionID, const TSize& size, bool checkVersion, std::vector<std::uint8_t>& content);
  // Replaces the content by `count` bytes, compressed with `algorithm` at
  // `level` unless the algorithm is 0.
  void WriteFile(std::int32_t sessionID, const void* buffer, std::uint8_t level, std::uint8_t algorithm,
                 std::int32_t count);

 private:
  void CheckOpen(const char* operation) const;
  TQELPage* Page(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion);
  // The page at chain position `position`, walking from the start.
  std::int32_t ChainPageNo(std::int32_t sessionID, std::int64_t position);
  // Copies the first `wanted` stored bytes of the chain; raises 30388 when
  // the chain holds fewer.
  void CopyChain(std::int32_t sessionID, bool checkVersion, std::uint8_t* target, std::int32_t wanted);
  static std::vector<std::uint8_t> Decompress(const TSize& size, const std::vector<std::uint8_t>& packed);
  std::int32_t DataSize() const { return FPageManager.DataSize(); }

  TQELPageManager& FPageManager;
  std::uint16_t FPageType;
  std::int32_t FStartPageNo = -1;
};

}  // namespace qel
