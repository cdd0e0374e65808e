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
  // Copies the page's first PageSize bytes into its stored image. A number
  // not in use raises "Not released page is allocated" (10393).
  void WritePage(TQELPage* page) override;

  bool IsAllocated(std::int32_t pageNo) const;
  const TQELBitsArray& AllocatedPages() const { return *FAllocatedPages; }
  std::int32_t Capacity() const { return FCapacity; }
  std::int32_t GrowStep() const { return FGrowStep; }
  // The highest page number ever handed out (0 before the first).
  std::int32_t HighestPageNo() const { return FHighestPageNo; }

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
    // Appends blocks until there are `count`, zero-filled or, for loading,
    // left for the caller to fill.
    void Grow(std::int32_t count, bool zeroFill);
    void Swap(TImages& other) noexcept { FBlocks.swap(other.FBlocks); }

   private:
    std::vector<std::uint8_t*> FBlocks;
  };

  // Grows the capacity (bits and images) so that it covers `pageNo`.
  void Grow(std::int32_t pageNo);
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
};

}  // namespace qel
