#pragma once
// TQELFreeSpaceFile: the database file as the free-space manager sees it.
//
// The free-space manager keeps its bitmaps in space pages of the file and
// its page counts in the file's header; this is all it asks of the file.
// The disk page manager implements it for the file it has open.

#include <cstdint>
#include <memory>

#include "disk/QELDiskFormat.h"
#include "platform/QELFunctionRef.h"

namespace qel {

class TQELPage;

class TQELFreeSpaceFile {
 public:
  // The file's geometry, fixed while it is open.
  virtual std::uint16_t PageCountInExtent() const = 0;
  virtual std::uint16_t PageDataSize() const = 0;

  // A page object of the file's page size, outside the page cache, for a
  // space page read and written through ReadPage and WritePage.
  virtual std::unique_ptr<TQELPage> NewSpacePage() = 0;
  // The page's bytes as the change in progress sees them; false when the
  // file ends inside it (the page then arrives zeroed).
  virtual bool ReadPage(TQELPage* page) = 0;
  // Held while a change runs, like every write of a change.
  virtual void WritePage(TQELPage* page) = 0;

  // The header as last read or changed: the free-space manager keeps its
  // page counts in it and writes it back with WriteHeader.
  virtual TQELDatabaseHeader& Header() = 0;
  virtual void ReadHeader() = 0;
  virtual void WriteHeader() = 0;
  // Adds pages at the end of the file, counted in the header's
  // TotalPageCount; ShrinkFile cuts them off again and writes the header.
  virtual void GrowFile(std::int32_t pageCount) = 0;
  virtual void ShrinkFile(std::int32_t pageCount) = 0;

  // Whether other processes share the file, so that its space pages may
  // change between this handle's changes.
  virtual bool IsMultiUser() const = 0;
  // Runs `change` as one atomic change of the file, under the header lock
  // when others share it; a nested change joins the outermost one. When
  // `change` raises, the outermost change's writes and header are undone
  // and the failure goes on. "Database is locked" (`lockFailureCode`) when
  // the lock stays taken.
  virtual void RunChange(std::int32_t lockFailureCode, TQELFunctionRef<void()> change) = 0;
  virtual bool InChange() const = 0;

 protected:
  ~TQELFreeSpaceFile() = default;
};

}  // namespace qel
