#pragma once
// TQELPageWriteSet: the writes of a change to a database file that have not
// reached the file yet.
//
// A change (a commit, an allocation, a release of pages) writes the
// database header, free-space pages and the version words of freed pages
// (a whole page image each). Those writes are
// held here, so that a change that fails half way leaves the file as it
// was, and so that a commit can put all of them into the file at once
// behind the rollback journal. Reads made during the change see them.
//
// It holds whole page images by page number, the header's bytes, and the
// size the file will have. A savepoint taken when a change starts lets the
// change be undone alone while earlier changes stay held: a single-user
// database keeps its allocations here until the next commit writes them.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace qel {

class TQELPageWriteSet {
 public:
  struct TPageImage {
    // The savepoint generation that last changed the image.
    std::uint32_t Generation = 0;
    std::unique_ptr<std::uint8_t[]> Bytes;
  };

  void Configure(std::uint16_t pageSize, std::int32_t headerSize);

  // Starts holding writes for a file of `storedSize` bytes (when empty).
  void Start(std::int64_t storedSize);
  bool Started() const { return FStarted; }
  // True when nothing is held that the file does not already have.
  bool Empty() const {
    return FPages.empty() && !FHeaderChanged && FSize == FStoredSize;
  }
  // Forgets everything: the writes reached the file, or are given up.
  void Clear();

  std::int64_t StoredSize() const { return FStoredSize; }
  std::int64_t Size() const { return FSize; }
  void SetSize(std::int64_t size) { FSize = size; }

  // A savepoint: Undo reverts every change made after it.
  void Mark();
  void Undo();

  const std::uint8_t* FindPage(std::int32_t pageNo) const;
  // The page's image, to be changed. A page not held yet starts as a copy
  // of `stored` (a whole page), or zeroed when that is null.
  std::uint8_t* ChangePage(std::int32_t pageNo, const std::uint8_t* stored);
  // The held pages by page number.
  const std::map<std::int32_t, TPageImage>& Pages() const { return FPages; }


  bool HeaderChanged() const { return FHeaderChanged; }
  const std::uint8_t* Header() const { return FHeader.data(); }
  void SetHeader(const std::uint8_t* bytes);

 private:
  struct TUndo {
    std::int32_t PageNo;
    // Empty: the page was not held before the savepoint.
    std::unique_ptr<std::uint8_t[]> Bytes;
  };

  std::uint16_t FPageSize = 0;
  bool FStarted = false;
  std::int64_t FStoredSize = 0;
  std::int64_t FSize = 0;
  std::map<std::int32_t, TPageImage> FPages;
  std::vector<std::uint8_t> FHeader;
  bool FHeaderChanged = false;

  std::uint32_t FGeneration = 0;
  std::vector<TUndo> FUndo;
  std::int64_t FSizeAtMark = 0;
  std::vector<std::uint8_t> FHeaderAtMark;
  bool FHeaderChangedAtMark = false;
};

}  // namespace qel
