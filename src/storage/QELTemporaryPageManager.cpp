#include "storage/QELTemporaryPageManager.h"

#include <algorithm>
#include <limits>

#include "memory/QELMemory.h"
#include "platform/QELException.h"

namespace qel {

namespace {

constexpr const char* kWriteMsg =
    "Cannot write to stream. Position = %d, Stream size = %d, Block size = %d, Bytes Write = %d";
constexpr const char* kReadMsg =
    "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr const char* kNotAllocatedMsg = "Not released page is allocated";

// A tenth of the memory available now, in pages.
std::int32_t MemoryShareInPages() {
  const std::int64_t pages = QELMemoryManager().AvailableMemory() / 10 / TQELTemporaryPageManager::kPageSize;
  return static_cast<std::int32_t>(
      std::clamp<std::int64_t>(pages, 0, std::numeric_limits<std::int32_t>::max()));
}

std::int64_t FileOffset(std::int32_t pageNo) {
  return std::int64_t{TQELTemporaryPageManager::kPageSize} * pageNo;
}

}  // namespace

TQELTemporaryPageManager::TQELTemporaryPageManager(bool memoryOnly, std::int32_t maxMemoryPages)
    : TQELPageManager(kPageSize, 0),
      FMaxMemoryPages(maxMemoryPages == kMemoryShare ? MemoryShareInPages() : std::max(maxMemoryPages, 0)),
      FMemoryPages(std::make_unique<TQELMemoryPageManager>()),
      FMemoryOnly(memoryOnly) {}

// The spill file closes, and so vanishes, with the manager.
TQELTemporaryPageManager::~TQELTemporaryPageManager() = default;

bool TQELTemporaryPageManager::IsAllocated(std::int32_t pageNo) const {
  return pageNo >= 0 && pageNo < FPageLimit && FAllocatedPages.GetBit(pageNo);
}

void TQELTemporaryPageManager::CheckAllocated(const TQELPage* page, std::int32_t nativeError) const {
  if (!IsAllocated(page->PageNo)) throw EQELException(nativeError, kNotAllocatedMsg);
}

void TQELTemporaryPageManager::CoverPages(std::int32_t limit) {
  const std::int32_t size = FAllocatedPages.Size();
  if (limit <= size) return;
  const std::int64_t grown = std::max<std::int64_t>({std::int64_t{size} * 2, limit, 64});
  FAllocatedPages.SetSize(
      static_cast<std::int32_t>(std::min<std::int64_t>(grown, std::numeric_limits<std::int32_t>::max())));
}

void TQELTemporaryPageManager::AllocatePage(TQELPage* page) {
  if (FMemoryOnly || FPageLimit < FMaxMemoryPages) {
    FMemoryPages->AllocatePage(page);
    const std::int32_t pageNo = page->PageNo;
    try {
      CoverPages(pageNo + 1);
    } catch (...) {
      FMemoryPages->FreePage(pageNo);
      page->PageNo = -1;
      throw;
    }
    FPageLimit = std::max(FPageLimit, pageNo + 1);
    FAllocatedPages.SetBit(pageNo, true);
    ++FPageCount;
    return;
  }
  if (FPageLimit == std::numeric_limits<std::int32_t>::max()) {
    throw EQELException(20064, "Invalid page number");
  }
  const std::int32_t pageNo = FPageLimit;
  if (!FSpillFile) FSpillFile = TQELFileStream::CreateTemporary();
  CoverPages(pageNo + 1);
  const std::int64_t needed = FileOffset(pageNo) + kPageSize;
  if (FSpillFile->GetSize() < needed) {
    FSpillFile->SetSize(needed * 3 / 2);
    // A file that could not grow (a full disk) is reported now rather than
    // as a page that cannot be read later.
    const std::int64_t size = FSpillFile->GetSize();
    if (size < needed) {
      throw EQELException(10378, kWriteMsg, {FileOffset(pageNo), size, std::int64_t{kPageSize}, std::int64_t{0}});
    }
  }
  page->AllocateBuffer();
  FPageLimit = pageNo + 1;
  FAllocatedPages.SetBit(pageNo, true);
  ++FPageCount;
  page->PageNo = pageNo;
}

void TQELTemporaryPageManager::FreePage(std::int32_t pageNo) {
  if (!IsAllocated(pageNo)) return;
  FAllocatedPages.SetBit(pageNo, false);
  --FPageCount;
  if (IsMemoryPage(pageNo)) FMemoryPages->FreePage(pageNo);
}

std::int64_t TQELTemporaryPageManager::SeekPage(const TQELPage* page, std::int32_t nativeError,
                                                bool reading) {
  const std::int64_t offset = FileOffset(page->PageNo);
  if (FSpillFile->Seek(offset, soBeginning) != offset) {
    throw EQELException(nativeError, reading ? kReadMsg : kWriteMsg,
                        {offset, FSpillFile->GetSize(), std::int64_t{kPageSize}, std::int64_t{0}});
  }
  return offset;
}

bool TQELTemporaryPageManager::ReadPage(TQELPage* page) {
  CheckAllocated(page, 10396);
  if (IsMemoryPage(page->PageNo)) return FMemoryPages->ReadPage(page);
  if (page->Buffer() == nullptr || !page->OwnsBuffer()) page->AllocateBuffer();
  if (!FSpillFile) throw EQELException(30482, "Invalid pointer");
  const std::int64_t offset = SeekPage(page, 10377, true);
  const std::int64_t read = FSpillFile->Read(page->Buffer(), kPageSize);
  if (read != kPageSize) {
    throw EQELException(10377, kReadMsg, {offset, FSpillFile->GetSize(), std::int64_t{kPageSize}, read});
  }
  return true;
}

void TQELTemporaryPageManager::WritePage(TQELPage* page) {
  CheckAllocated(page, 10397);
  if (IsMemoryPage(page->PageNo)) {
    FMemoryPages->WritePage(page);
    return;
  }
  if (page->Buffer() == nullptr) throw EQELException(20038, "Invalid page buffer. Buffer is Nil");
  if (!FSpillFile) FSpillFile = TQELFileStream::CreateTemporary();
  const std::int64_t offset = SeekPage(page, 10378, false);
  const std::int64_t written = FSpillFile->Write(page->Buffer(), kPageSize);
  if (written != kPageSize) {
    throw EQELException(10378, kWriteMsg, {offset, FSpillFile->GetSize(), std::int64_t{kPageSize}, written});
  }
}

}  // namespace qel
