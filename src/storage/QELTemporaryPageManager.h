#pragma once
// TQELTemporaryPageManager: the page manager of temporary tables and of the
// temporary indexes of disk tables.
//
// Page numbers below MaxMemoryPages (a tenth of the memory available when
// the manager is created, unless given) live in a memory page manager;
// numbers from there on are file pages, stored at PageSize x page number of
// a spill file created on first need. The spill file is a temporary file
// "QEL..." that vanishes when the manager closes it. With MemoryOnly every
// page stays in memory and no file is ever made.
//
// Numbers are handed out in rising order; only memory numbers are reused
// once freed, and only while no page has gone to the file. File space of a
// freed page is not reused.
//
// Like every page manager, pages are private copies while a session changes
// them: memory and file pages alike are stored only by ApplyChanges, so that
// CancelChanges leaves a structure spanning both kinds as it was.

#include <cstdint>
#include <memory>

#include "pagecache/QELPageManager.h"
#include "storage/QELBitsArray.h"
#include "storage/QELMemoryPageManager.h"
#include "streams/QELFileStream.h"

namespace qel {

class TQELTemporaryPageManager : public TQELPageManager {
 public:
  static constexpr std::uint16_t kPageSize = 4096;
  // Pass as maxMemoryPages to take a tenth of the available memory.
  static constexpr std::int32_t kMemoryShare = -1;

  // maxMemoryPages other than kMemoryShare fixes how many page numbers stay
  // in memory (tests use it to spill after a few pages).
  explicit TQELTemporaryPageManager(bool memoryOnly, std::int32_t maxMemoryPages = kMemoryShare);
  ~TQELTemporaryPageManager() override;

  // A memory page (possibly a freed number again) while memory pages are
  // allowed, else the next file page, growing the spill file to one and a
  // half times what it needs whenever it is too short. The page gets a
  // zero-filled buffer of its own.
  void AllocatePage(TQELPage* page) override;
  // A number not in use is left alone.
  void FreePage(std::int32_t pageNo) override;
  // A number not in use raises "Not released page is allocated" (10396); a
  // file page without spill file "Invalid pointer" (30482); a file page the
  // file does not hold in full "Cannot read from stream. ..." (10377).
  bool ReadPage(TQELPage* page) override;
  // A number not in use raises "Not released page is allocated" (10397); a
  // file page that cannot be written in full "Cannot write to stream. ..."
  // (10378).
  void WritePage(TQELPage* page) override;

  bool IsMemoryPage(std::int32_t pageNo) const { return FMemoryOnly || pageNo < FMaxMemoryPages; }
  bool IsAllocated(std::int32_t pageNo) const;
  const TQELBitsArray& AllocatedPages() const { return FAllocatedPages; }
  // One more than the highest page number handed out.
  std::int32_t PageLimit() const { return FPageLimit; }
  std::int32_t MaxMemoryPages() const { return FMaxMemoryPages; }
  bool MemoryOnly() const { return FMemoryOnly; }
  const TQELMemoryPageManager& MemoryPages() const { return *FMemoryPages; }
  // None until the first file page.
  TQELFileStream* SpillFile() const { return FSpillFile.get(); }

 private:
  // Makes the bits cover page numbers below `limit`, growing them in
  // doubling steps so that handing out pages one by one stays linear.
  void CoverPages(std::int32_t limit);
  void CheckAllocated(const TQELPage* page, std::int32_t nativeError) const;
  // Positions the spill file at the file page's offset.
  std::int64_t SeekPage(const TQELPage* page, std::int32_t nativeError, bool reading);

  TQELBitsArray FAllocatedPages;
  std::int32_t FPageLimit = 0;
  std::int32_t FMaxMemoryPages;
  std::unique_ptr<TQELMemoryPageManager> FMemoryPages;
  std::unique_ptr<TQELFileStream> FSpillFile;
  bool FMemoryOnly;
};

}  // namespace qel
