#pragma once
// TQELMemoryPageManager: a page manager whose storage is memory. Memory
// tables keep their index pages here, and temporary page managers their
// first pages.
//
// Every page number has a stored image: a zero-filled block of the engine
// memory manager, created in steps of GrowStep page numbers and kept when
// the number is freed, so that it can be handed out again. A bit per page
// number tells which numbers are in use; a new page takes the lowest free
// number.
//
// A page object works on a private copy of its stored image: ReadPage copies
// the image in and WritePage copies it back. This keeps the page cache's
// promise that a session's changes stay its own until ApplyChanges and that
// CancelChanges throws them away (a B-tree split rolled back would otherwise
// leave a parent pointing at a page number that went back to storage). The
// copy is made only when a page is not in the cache.
//
// Reading needs no copy: while the manager is lending (TQELPageLending, set
// by the owner around operations that only read pages), GetPage hands out
// a page object over the stored image itself, unless the session has a
// changed copy of its own. Such a page must not be changed: a change would
// reach storage at once and could not be cancelled.
//
// An owner that applies or cancels every change through this class (not
// through a TQELPageManager reference, whose CancelChanges and HasChanges
// this class hides) may have it keep working copies instead of the page
// cache's (UseWorkingCopies): a page got outside lending is a copy that the
// manager finds by its number at once, without the cache's sorted lists.
// The session's copies handed out since its last ApplyChanges or
// CancelChanges are its change: ApplyChanges makes each changed copy's
// block the stored image (no copying) and CancelChanges drops the changed
// copies. Unchanged copies stay for the next change, up to the cache's
// size, those not handed out for longest going first. New pages stay with
// the page cache.

#include <cstdint>
#include <memory>
#include <vector>

#include "pagecache/QELPageManager.h"
#include "storage/QELBitsArray.h"

namespace qel {

class TQELMemoryPageManager : public TQELPageManager {
 public:
  static constexpr std::uint16_t kPageSize = 4096;
  static constexpr std::int32_t kGrowStep = 50;
  // The largest grow step a stream may carry: a bigger one can only come
  // from damage and would make the next growth allocate gigabytes.
  static constexpr std::int32_t kMaxGrowStep = 65536;

  TQELMemoryPageManager();
  ~TQELMemoryPageManager() override;

  // Capacity, HighestPageNo, GrowStep (int32), PageSize, header size
  // (uint16), page count (int32), the bits of the numbers in use, then
  // Capacity page images. A short write raises "Cannot write to stream. ..."
  // (10362 to 10367 for the fields in that order, 10368 for the images).
  void SaveToStream(TQELStream& stream) override;
  // Reads what SaveToStream wrote and replaces the stored pages and every
  // cached page by it. A short read raises "Cannot read from stream. ..."
  // (10369 to 10374 for the fields, 10375 for the images); so does a field
  // that contradicts the others (the code of that field), and images the
  // stream does not hold are refused before any memory is allocated for
  // them. On any failure the manager keeps its pages. Pending changes of a
  // session raise "Cannot free not commited pages" (20097).
  void LoadFromStream(TQELStream& stream) override;

  // The lowest free page number, growing the capacity when there is none; the
  // page gets a zero-filled buffer of its own.
  void AllocatePage(TQELPage* page) override;
  // Returns the number for reuse. A number not in use is left alone, so that
  // freeing twice cannot corrupt the page count.
  void FreePage(std::int32_t pageNo) override;
  // Copies the stored image into the page's own buffer. A number not in use
  // raises "Not released page is allocated" (10392).
  bool ReadPage(TQELPage* page) override;
  // While lending: the stored image itself, or the session's changed copy.
  // Otherwise the session's working copy when the manager keeps them, else
  // the page cache's page. A number not in use raises 10392.
  TQELPage* GetPage(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                    std::uint16_t pageType) override;
  // With working copies: stores what the page cache holds of the session
  // (new pages, freed ones), then the session's changed copies. A copy
  // still in use raises "Cannot write used page" (20086) when changed,
  // "Some session pages are not released" (20152) otherwise, and nothing is
  // stored.
  void ApplyChanges(std::int32_t sessionID) override;
  // Hide the page cache's: with working copies, the session's changed
  // copies count as its changes, and cancelling drops them (a copy still in
  // use raises "Cannot remove used page" (20088), changing nothing).
  void CancelChanges(std::int32_t sessionID);
  bool HasChanges(std::int32_t sessionID) const;

  // Makes the manager keep working copies, as many unchanged ones as the
  // page cache would keep pages (which then keeps only pages in use). Only
  // before any page was got.
  void UseWorkingCopies();
  bool UsesWorkingCopies() const { return FWorkingCopies; }
  // Working copies held, changed or not.
  std::int32_t WorkingCopyCount() const;
  // Copies the page's first PageSize bytes into its stored image. A number
  // not in use raises "Not released page is allocated" (10393).
  void WritePage(TQELPage* page) override;

  bool IsAllocated(std::int32_t pageNo) const;
  const TQELBitsArray& AllocatedPages() const { return *FAllocatedPages; }
  std::int32_t Capacity() const { return FCapacity; }
  std::int32_t GrowStep() const { return FGrowStep; }
  // The highest page number ever handed out (0 before the first).
  std::int32_t HighestPageNo() const { return FHighestPageNo; }

  bool Lending() const { return FLending; }
  void SetLending(bool lending) { FLending = lending; }

 private:
  // The stored page images, one engine memory block per page number.
  class TImages {
   public:
    TImages() = default;
    ~TImages();
    TImages(const TImages&) = delete;
    TImages& operator=(const TImages&) = delete;

    std::int32_t Count() const { return static_cast<std::int32_t>(FBlocks.size()); }
    std::uint8_t* operator[](std::int32_t pageNo) const { return FBlocks[static_cast<std::size_t>(pageNo)]; }
    // The block of a page number itself, for exchanging it with a block of
    // the same size.
    std::uint8_t*& Block(std::int32_t pageNo) { return FBlocks[static_cast<std::size_t>(pageNo)]; }
    // Appends blocks until there are `count`, zero-filled or, for loading,
    // left for the caller to fill.
    void Grow(std::int32_t count, bool zeroFill);
    void Swap(TImages& other) noexcept { FBlocks.swap(other.FBlocks); }

   private:
    std::vector<std::uint8_t*> FBlocks;
  };

  // A working copy: a page object over a block of its own (an engine
  // memory block of a page, like an image).
  struct TCopy {
    std::unique_ptr<TQELPage> Page;
    std::uint8_t* Block = nullptr;
    bool InUse = false;      // holds a page number
    bool Referenced = false; // handed out since the eviction hand last passed
    // Its place among the touched slots (handed out since its session's
    // last apply or cancel), -1 when not touched.
    std::int32_t TouchedAt = -1;
    bool Touched() const { return TouchedAt >= 0; }
  };

  // Grows the capacity (bits and images) so that it covers `pageNo`.
  void Grow(std::int32_t pageNo);
  TQELPage* LendPage(std::int32_t sessionID, std::int32_t pageNo);
  TQELPage* WorkingCopy(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                        std::uint16_t pageType);
  // Whether the session's page cache record holds a changed page `pageNo`.
  bool InSessionDirtyPages(std::int32_t sessionID, std::int32_t pageNo) const;
  // A free copy slot, evicting an unchanged copy not in use when the copies
  // are at their limit.
  std::int32_t TakeCopySlot();
  void NoteTouched(std::int32_t slot);
  void Untouch(std::int32_t slot);
  // Ends the session's change: its copies are no longer touched, and `end`
  // gets the slot of each (to store or drop a changed one).
  template <class TEnd>
  void EndChange(std::int32_t sessionID, TEnd end);
  // Frees the slot of a page number's copy (its block stays with the slot).
  void DropCopy(std::int32_t pageNo);
  void DropAllCopies();
  TCopy* CopyOf(std::int32_t pageNo);
  const TCopy* CopyOf(std::int32_t pageNo) const;
  // The lowest free number below the capacity, if any.
  bool FindFreePage(std::int32_t& pageNo) const;
  void CheckAllocated(const TQELPage* page, std::int32_t nativeError) const;

  std::unique_ptr<TQELBitsArray> FAllocatedPages;
  TImages FImages;
  std::int32_t FCapacity = 0;
  std::int32_t FGrowStep = kGrowStep;
  std::int32_t FHighestPageNo = 0;
  // Every number below this one is in use: the search for a free number
  // starts here.
  std::int32_t FLowestFree = 0;
  // Page objects over stored images, handed out while lending; one not in
  // use (UseCount 0) is taken for the next page lent.
  std::vector<std::unique_ptr<TQELPage>> FLentPages;
  bool FLending = false;

  // Working copies: the slots, the slot of each page number's copy (-1 for
  // none), the slots touched in changes not yet applied or cancelled (each
  // once), the free slots, the eviction hand, and the most copies kept
  // while some are unchanged and not in use.
  bool FWorkingCopies = false;
  std::vector<TCopy> FCopies;
  std::vector<std::int32_t> FCopySlots;
  std::vector<std::int32_t> FTouched;
  std::vector<std::int32_t> FFreeCopySlots;
  std::size_t FClockHand = 0;
  std::int32_t FMaxCopies = 0;
};

// Makes a memory page manager lend its stored pages for the life of the
// object, and restores the previous state afterwards.
class TQELPageLending {
 public:
  explicit TQELPageLending(TQELMemoryPageManager& pages)
      : FPages(pages), FWasLending(pages.Lending()) {
    pages.SetLending(true);
  }
  ~TQELPageLending() { FPages.SetLending(FWasLending); }
  TQELPageLending(const TQELPageLending&) = delete;
  TQELPageLending& operator=(const TQELPageLending&) = delete;

 private:
  TQELMemoryPageManager& FPages;
  bool FWasLending;
};

}  // namespace qel
