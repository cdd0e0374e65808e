#include "storage/QELMemoryPageManager.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "memory/QELMemory.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "streams/QELStream.h"

namespace qel {

namespace {

constexpr const char* kReadMsg =
    "Cannot read from stream. Position = %d, Stream size = %d, Block size = %d, Bytes Read = %d";
constexpr const char* kNotAllocatedMsg = "Not released page is allocated";



template <typename T>
void WriteValue(TQELStream& stream, T value, std::int32_t nativeError) {
  std::uint8_t bytes[sizeof(T)];
  QELWriteLE<T>(bytes, value);
  stream.WriteChecked(bytes, sizeof(T), nativeError);
}

// Reads one field and remembers where it stood, so that a value found to be
// damaged later is reported at its place.
template <typename T>
T ReadValue(TQELStream& stream, std::int32_t nativeError, std::int64_t& position) {
  std::uint8_t bytes[sizeof(T)];
  position = stream.Position();
  stream.ReadChecked(bytes, sizeof(T), nativeError);
  return QELReadLE<T>(bytes);
}

// A field that was read in full but contradicts the rest of the stream.
[[noreturn]] void RefuseField(TQELStream& stream, std::int32_t nativeError, std::int64_t position,
                              std::int64_t size) {
  throw EQELException(nativeError, kReadMsg, {position, stream.GetSize(), size, size});
}

}  // namespace

TQELMemoryPageManager::TImages::~TImages() {
  for (std::uint8_t*& block : FBlocks) {
    void* pointer = block;
    QELMemoryManager().FreeAndNillMem(pointer);
  }
}

void TQELMemoryPageManager::TImages::Grow(std::int32_t count, bool zeroFill) {
  FBlocks.reserve(static_cast<std::size_t>(std::max(count, Count())));
  while (Count() < count) {
    void* block = zeroFill ? QELMemoryManager().AllocMem(kPageSize) : QELMemoryManager().GetMem(kPageSize);
    FBlocks.push_back(static_cast<std::uint8_t*>(block));
  }
}

TQELMemoryPageManager::TQELMemoryPageManager()
    : TQELPageManager(kPageSize, 0), FAllocatedPages(std::make_unique<TQELBitsArray>()) {}

// The copies' page objects lend their blocks and free nothing themselves.
TQELMemoryPageManager::~TQELMemoryPageManager() {
  for (TCopy& copy : FCopies) {
    void* block = copy.Block;
    try {
      QELMemoryManager().FreeAndNillMem(block);
    } catch (...) {
      // A block written past cannot be reported from here.
    }
  }
}

bool TQELMemoryPageManager::IsAllocated(std::int32_t pageNo) const {
  return pageNo >= 0 && pageNo < FAllocatedPages->Size() && FAllocatedPages->GetBit(pageNo);
}

void TQELMemoryPageManager::CheckAllocated(const TQELPage* page, std::int32_t nativeError) const {
  if (!IsAllocated(page->PageNo)) throw EQELException(nativeError, kNotAllocatedMsg);
}

bool TQELMemoryPageManager::FindFreePage(std::int32_t& pageNo) const {
  const std::int32_t size = FAllocatedPages->Size();
  if (FAllocatedPages->SetCount() == size) return false;
  const std::uint8_t* bytes = FAllocatedPages->Bytes();
  for (std::int32_t i = FLowestFree; i < size;) {
    const std::uint8_t byte = bytes[i / 8];
    if (i % 8 == 0 && byte == 0xFF) {
      i += 8;
      continue;
    }
    if (((byte >> (i % 8)) & 1u) == 0) {
      pageNo = i;
      return true;
    }
    ++i;
  }
  return false;
}

void TQELMemoryPageManager::Grow(std::int32_t pageNo) {
  const std::int64_t wanted = std::max<std::int64_t>(std::int64_t{FCapacity} + FGrowStep, std::int64_t{pageNo} + 1);
  const auto capacity =
      static_cast<std::int32_t>(std::min<std::int64_t>(wanted, std::numeric_limits<std::int32_t>::max()));
  // Images first: should memory run out, the capacity stays as it was and
  // the extra images simply wait for the next growth.
  FImages.Grow(capacity, true);
  if (FWorkingCopies) FCopySlots.resize(static_cast<std::size_t>(capacity), -1);
  FAllocatedPages->SetSize(capacity);
  FCapacity = capacity;
}

void TQELMemoryPageManager::AllocatePage(TQELPage* page) {
  std::int32_t pageNo;
  if (!FindFreePage(pageNo)) {
    pageNo = FCapacity == 0 ? 0 : FHighestPageNo + 1;
    if (pageNo >= FCapacity) Grow(pageNo);
  }
  // Every number below the capacity is free or in use by its bit; a number
  // in use here means the bookkeeping was damaged, and handing it out again
  // would give two owners one page.
  if (FAllocatedPages->GetBit(pageNo)) throw EQELException(20037, kNotAllocatedMsg);
  page->AllocateBuffer();
  FAllocatedPages->SetBit(pageNo, true);
  ++FPageCount;
  FHighestPageNo = std::max(FHighestPageNo, pageNo);
  FLowestFree = pageNo + 1;
  // The image may still hold a page freed earlier; another session reading
  // the number before the first commit must not see that.
  std::memset(FImages[pageNo], 0, kPageSize);
  DropCopy(pageNo);
  page->PageNo = pageNo;
}

void TQELMemoryPageManager::FreePage(std::int32_t pageNo) {
  if (!IsAllocated(pageNo)) return;
  DropCopy(pageNo);
  FAllocatedPages->SetBit(pageNo, false);
  --FPageCount;
  FLowestFree = std::min(FLowestFree, pageNo);
}

bool TQELMemoryPageManager::ReadPage(TQELPage* page) {
  CheckAllocated(page, 10392);
  if (page->Buffer() == nullptr || !page->OwnsBuffer()) page->AllocateBuffer();
  std::memcpy(page->Buffer(), FImages[page->PageNo], kPageSize);
  return true;
}

bool TQELMemoryPageManager::InSessionDirtyPages(std::int32_t sessionID,
                                                std::int32_t pageNo) const {
  const TSessionRecord* session = FindSession(sessionID);
  return session != nullptr && session->DirtyPages.Count() > 0 &&
         session->DirtyPages.Find(pageNo) != nullptr;
}

// New pages, and pages read while another session held a working copy,
// live in the page cache: a session finds its changed ones there first.
TQELPage* TQELMemoryPageManager::GetPage(std::int32_t sessionID, std::int32_t pageNo,
                                         bool checkVersion, std::uint16_t pageType) {
  if (sessionID == -1 || InSessionDirtyPages(sessionID, pageNo)) {
    return TQELPageManager::GetPage(sessionID, pageNo, checkVersion, pageType);
  }
  if (FLending) return LendPage(sessionID, pageNo);
  if (FWorkingCopies) return WorkingCopy(sessionID, pageNo, checkVersion, pageType);
  return TQELPageManager::GetPage(sessionID, pageNo, checkVersion, pageType);
}

TQELPage* TQELMemoryPageManager::LendPage(std::int32_t sessionID, std::int32_t pageNo) {
  if (!IsAllocated(pageNo)) throw EQELException(10392, kNotAllocatedMsg);
  // A working copy the session is changing, or holds, is what it sees.
  if (TCopy* copy = CopyOf(pageNo); copy != nullptr && copy->Touched() &&
                                    copy->Page->SessionID == sessionID &&
                                    (copy->Page->IsDirty || copy->Page->UseCount > 0)) {
    ++copy->Page->UseCount;
    return copy->Page.get();
  }
  TQELPage* unused = nullptr;
  for (const std::unique_ptr<TQELPage>& lent : FLentPages) {
    if (lent->UseCount == 0) {
      if (unused == nullptr) unused = lent.get();
    } else if (lent->PageNo == pageNo && lent->SessionID == sessionID) {
      ++lent->UseCount;
      return lent.get();
    }
  }
  if (unused == nullptr) {
    FLentPages.push_back(std::make_unique<TQELPage>(this, pageNo));
    unused = FLentPages.back().get();
  }
  unused->Reuse(pageNo);
  unused->SetForeignBuffer(FImages[pageNo], kPageSize);
  unused->SessionID = sessionID;
  unused->WasRead = true;
  unused->UseCount = 1;
  return unused;
}

// ---- Working copies ---------------------------------------------------------

void TQELMemoryPageManager::UseWorkingCopies() {
  if (FWorkingCopies) return;
  FCopySlots.assign(static_cast<std::size_t>(FCapacity), -1);
  FMaxCopies = std::max(MaxCleanPages(), 1);
  // Clean pages of the cache would not see the copies' changes: it keeps
  // only the pages in use.
  SetMaxCleanPages(0);
  FWorkingCopies = true;
}

std::int32_t TQELMemoryPageManager::WorkingCopyCount() const {
  return static_cast<std::int32_t>(
      std::count_if(FCopies.begin(), FCopies.end(), [](const TCopy& copy) { return copy.InUse; }));
}

TQELMemoryPageManager::TCopy* TQELMemoryPageManager::CopyOf(std::int32_t pageNo) {
  return const_cast<TCopy*>(std::as_const(*this).CopyOf(pageNo));
}

const TQELMemoryPageManager::TCopy* TQELMemoryPageManager::CopyOf(std::int32_t pageNo) const {
  if (pageNo < 0 || static_cast<std::size_t>(pageNo) >= FCopySlots.size()) return nullptr;
  const std::int32_t slot = FCopySlots[static_cast<std::size_t>(pageNo)];
  return slot < 0 ? nullptr : &FCopies[static_cast<std::size_t>(slot)];
}

TQELPage* TQELMemoryPageManager::WorkingCopy(std::int32_t sessionID, std::int32_t pageNo,
                                             bool checkVersion, std::uint16_t pageType) {
  if (!IsAllocated(pageNo)) throw EQELException(10392, kNotAllocatedMsg);
  std::int32_t slot = FCopySlots[static_cast<std::size_t>(pageNo)];
  if (slot >= 0) {
    TQELPage* page = FCopies[static_cast<std::size_t>(slot)].Page.get();
    if (page->SessionID != sessionID && (page->UseCount > 0 || page->IsDirty)) {
      // Another session holds or changes the copy: this one reads what is
      // stored, through the page cache.
      return TQELPageManager::GetPage(sessionID, pageNo, checkVersion, pageType);
    }
    NoteTouched(slot);
    FCopies[static_cast<std::size_t>(slot)].Referenced = true;
    page->SessionID = sessionID;
    ++page->UseCount;
    return page;
  }
  slot = TakeCopySlot();
  TCopy& copy = FCopies[static_cast<std::size_t>(slot)];
  try {
    NoteTouched(slot);
  } catch (...) {
    FFreeCopySlots.push_back(slot);
    throw;
  }
  std::memcpy(copy.Block, FImages[pageNo], kPageSize);
  TQELPage* page = copy.Page.get();
  page->Reuse(pageNo);
  page->SetForeignBuffer(copy.Block, kPageSize);
  page->SessionID = sessionID;
  page->WasRead = true;
  page->UseCount = 1;
  copy.InUse = true;
  copy.Referenced = true;
  FCopySlots[static_cast<std::size_t>(pageNo)] = slot;
  return page;
}

// A free slot, a new one below the limit, or the slot of the first
// unchanged copy not in use that the hand finds not handed out since it
// last passed; beyond the limit only when every copy is held or changed.
// An unchanged copy equals its image, so even one touched by the change
// under way may go (a change reading a whole index keeps no more copies).
std::int32_t TQELMemoryPageManager::TakeCopySlot() {
  if (!FFreeCopySlots.empty()) {
    const std::int32_t slot = FFreeCopySlots.back();
    FFreeCopySlots.pop_back();
    return slot;
  }
  if (static_cast<std::int32_t>(FCopies.size()) >= FMaxCopies) {
    for (std::size_t step = 0; step < 2 * FCopies.size(); ++step) {
      if (FClockHand >= FCopies.size()) FClockHand = 0;
      const std::size_t slot = FClockHand++;
      TCopy& copy = FCopies[slot];
      if (!copy.InUse || copy.Page->UseCount > 0 || copy.Page->IsDirty) continue;
      if (copy.Referenced) {
        copy.Referenced = false;
        continue;
      }
      Untouch(static_cast<std::int32_t>(slot));
      FCopySlots[static_cast<std::size_t>(copy.Page->PageNo)] = -1;
      copy.InUse = false;
      return static_cast<std::int32_t>(slot);
    }
  }
  // A new slot. The free list can then take every slot without growing,
  // so that giving a slot back never fails.
  if (FCopies.size() == FCopies.capacity()) FCopies.reserve(std::max<std::size_t>(16, 2 * FCopies.size()));
  FFreeCopySlots.reserve(FCopies.capacity());
  auto page = std::make_unique<TQELPage>(this, -1);
  TCopy copy;
  copy.Block = static_cast<std::uint8_t*>(QELMemoryManager().GetMem(kPageSize));
  copy.Page = std::move(page);
  FCopies.push_back(std::move(copy));
  return static_cast<std::int32_t>(FCopies.size() - 1);
}

void TQELMemoryPageManager::NoteTouched(std::int32_t slot) {
  TCopy& copy = FCopies[static_cast<std::size_t>(slot)];
  if (copy.Touched()) return;
  FTouched.push_back(slot);
  copy.TouchedAt = static_cast<std::int32_t>(FTouched.size() - 1);
}

void TQELMemoryPageManager::Untouch(std::int32_t slot) {
  TCopy& copy = FCopies[static_cast<std::size_t>(slot)];
  if (!copy.Touched()) return;
  const std::int32_t last = FTouched.back();
  FTouched[static_cast<std::size_t>(copy.TouchedAt)] = last;
  FCopies[static_cast<std::size_t>(last)].TouchedAt = copy.TouchedAt;
  FTouched.pop_back();
  copy.TouchedAt = -1;
}

void TQELMemoryPageManager::DropCopy(std::int32_t pageNo) {
  if (pageNo < 0 || static_cast<std::size_t>(pageNo) >= FCopySlots.size()) return;
  const std::int32_t slot = FCopySlots[static_cast<std::size_t>(pageNo)];
  if (slot < 0) return;
  TCopy& copy = FCopies[static_cast<std::size_t>(slot)];
  // A copy someone holds keeps its page number; nothing frees a page that
  // is in use.
  if (copy.Page->UseCount > 0) return;
  Untouch(slot);
  FCopySlots[static_cast<std::size_t>(pageNo)] = -1;
  copy.InUse = false;
  copy.Page->IsDirty = false;
  FFreeCopySlots.push_back(slot);
}

void TQELMemoryPageManager::DropAllCopies() {
  std::fill(FCopySlots.begin(), FCopySlots.end(), -1);
  FTouched.clear();
  FFreeCopySlots.clear();
  for (std::size_t slot = 0; slot < FCopies.size(); ++slot) {
    TCopy& copy = FCopies[slot];
    copy.InUse = false;
    copy.TouchedAt = -1;
    copy.Referenced = false;
    copy.Page->IsDirty = false;
    FFreeCopySlots.push_back(static_cast<std::int32_t>(slot));
  }
}

void TQELMemoryPageManager::ApplyChanges(std::int32_t sessionID) {
  if (!FWorkingCopies) {
    TQELPageManager::ApplyChanges(sessionID);
    return;
  }
  for (const std::int32_t slot : FTouched) {
    const TQELPage* page = FCopies[static_cast<std::size_t>(slot)].Page.get();
    if (page->SessionID != sessionID || page->UseCount == 0) continue;
    if (page->IsDirty) throw EQELException(20086, "Cannot write used page");
    throw EQELException(20152, "Some session pages are not released");
  }
  // New pages are written and removed ones freed (dropping their copies)
  // first: should that fail, the copies are still the session's change.
  TQELPageManager::ApplyChanges(sessionID);
  EndChange(sessionID, [&](std::int32_t slot) {
    TCopy& copy = FCopies[static_cast<std::size_t>(slot)];
    if (!copy.Page->IsDirty) return;
    // The changed copy becomes the stored image; the old image's block
    // serves the slot from now on, which holds no page until taken again.
    const std::int32_t pageNo = copy.Page->PageNo;
    std::swap(FImages.Block(pageNo), copy.Block);
    copy.Page->IsDirty = false;
    copy.InUse = false;
    FCopySlots[static_cast<std::size_t>(pageNo)] = -1;
    FFreeCopySlots.push_back(slot);
  });
}

// The session's touched slots leave the list, the others keep their order
// and learn their new places; `end` sees each of the session's slots once
// it is no longer touched, and must leave the list alone. Nothing here
// allocates, so a change always ends.
template <class TEnd>
void TQELMemoryPageManager::EndChange(std::int32_t sessionID, TEnd end) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < FTouched.size(); ++i) {
    const std::int32_t slot = FTouched[i];
    TCopy& copy = FCopies[static_cast<std::size_t>(slot)];
    if (copy.Page->SessionID != sessionID) {
      copy.TouchedAt = static_cast<std::int32_t>(kept);
      FTouched[kept++] = slot;
      continue;
    }
    copy.TouchedAt = -1;
    end(slot);
  }
  FTouched.resize(kept);
}

void TQELMemoryPageManager::CancelChanges(std::int32_t sessionID) {
  if (FWorkingCopies) {
    for (const std::int32_t slot : FTouched) {
      const TQELPage* page = FCopies[static_cast<std::size_t>(slot)].Page.get();
      if (page->SessionID == sessionID && page->UseCount > 0) {
        throw EQELException(20088, "Cannot remove used page");
      }
    }
  }
  TQELPageManager::CancelChanges(sessionID);
  if (!FWorkingCopies) return;
  EndChange(sessionID, [&](std::int32_t slot) {
    const TQELPage* page = FCopies[static_cast<std::size_t>(slot)].Page.get();
    if (page->IsDirty) DropCopy(page->PageNo);
  });
}

bool TQELMemoryPageManager::HasChanges(std::int32_t sessionID) const {
  if (TQELPageManager::HasChanges(sessionID)) return true;
  return std::any_of(FTouched.begin(), FTouched.end(), [&](std::int32_t slot) {
    const TQELPage* page = FCopies[static_cast<std::size_t>(slot)].Page.get();
    return page->SessionID == sessionID && page->IsDirty;
  });
}

void TQELMemoryPageManager::WritePage(TQELPage* page) {
  CheckAllocated(page, 10393);
  if (page->Buffer() == nullptr) throw EQELException(20038, "Invalid page buffer. Buffer is Nil");
  if (page->Buffer() != FImages[page->PageNo]) std::memcpy(FImages[page->PageNo], page->Buffer(), kPageSize);
  // An unchanged working copy of the page is older now.
  if (const TCopy* copy = CopyOf(page->PageNo);
      copy != nullptr && copy->Page.get() != page && !copy->Page->IsDirty) {
    DropCopy(page->PageNo);
  }
}

void TQELMemoryPageManager::SaveToStream(TQELStream& stream) {
  WriteValue<std::int32_t>(stream, FCapacity, 10362);
  WriteValue<std::int32_t>(stream, FHighestPageNo, 10363);
  WriteValue<std::int32_t>(stream, FGrowStep, 10364);
  WriteValue<std::uint16_t>(stream, PageSize(), 10365);
  WriteValue<std::uint16_t>(stream, HeaderSize(), 10366);
  WriteValue<std::int32_t>(stream, FPageCount, 10367);
  FAllocatedPages->SaveToStream(stream);
  for (std::int32_t pageNo = 0; pageNo < FCapacity; ++pageNo) {
    stream.WriteChecked(FImages[pageNo], kPageSize, 10368);
  }
}

// Everything is read and checked into local objects first; the manager only
// changes once the whole stream proved sound.
void TQELMemoryPageManager::LoadFromStream(TQELStream& stream) {
  std::int64_t capacityAt, highestAt, growStepAt, pageSizeAt, headerSizeAt, pageCountAt;
  const auto capacity = ReadValue<std::int32_t>(stream, 10369, capacityAt);
  if (capacity < 0) RefuseField(stream, 10369, capacityAt, 4);
  const auto highest = ReadValue<std::int32_t>(stream, 10370, highestAt);
  if (highest < 0 || (capacity == 0 ? highest != 0 : highest >= capacity)) {
    RefuseField(stream, 10370, highestAt, 4);
  }
  const auto growStep = ReadValue<std::int32_t>(stream, 10371, growStepAt);
  if (growStep < 1 || growStep > kMaxGrowStep) RefuseField(stream, 10371, growStepAt, 4);
  const auto pageSize = ReadValue<std::uint16_t>(stream, 10372, pageSizeAt);
  if (pageSize != PageSize()) RefuseField(stream, 10372, pageSizeAt, 2);
  const auto headerSize = ReadValue<std::uint16_t>(stream, 10373, headerSizeAt);
  if (headerSize != HeaderSize()) RefuseField(stream, 10373, headerSizeAt, 2);
  const auto pageCount = ReadValue<std::int32_t>(stream, 10374, pageCountAt);
  if (pageCount < 0 || pageCount > capacity) RefuseField(stream, 10374, pageCountAt, 4);

  auto bits = std::make_unique<TQELBitsArray>();
  bits->LoadFromStream(stream);
  // The bits must cover exactly the capacity, count the pages in use and
  // lie within the numbers ever handed out.
  if (bits->Size() != capacity) RefuseField(stream, 10369, capacityAt, 4);
  if (bits->SetCount() != pageCount) RefuseField(stream, 10374, pageCountAt, 4);
  std::int32_t highestInUse;
  if (bits->FindNextSet(true, false, highestInUse, 0) && highestInUse > highest) {
    RefuseField(stream, 10370, highestAt, 4);
  }

  // A damaged capacity must not become a huge allocation: the images have
  // to be in the stream already.
  const std::int64_t imagesAt = stream.Position();
  const std::int64_t imageBytes = std::int64_t{capacity} * kPageSize;
  const std::int64_t available = stream.GetSize() - imagesAt;
  if (imageBytes > available) {
    throw EQELException(10375, kReadMsg, {imagesAt, stream.GetSize(), imageBytes, available});
  }
  TImages images;
  images.Grow(capacity, false);
  for (std::int32_t pageNo = 0; pageNo < capacity; ++pageNo) {
    stream.ReadChecked(images[pageNo], kPageSize, 10375);
  }

  std::vector<std::int32_t> copySlots;
  if (FWorkingCopies) {
    for (const std::int32_t slot : FTouched) {
      if (FCopies[static_cast<std::size_t>(slot)].Page->IsDirty) {
        throw EQELException(20097, "Cannot free not commited pages");
      }
    }
    copySlots.assign(static_cast<std::size_t>(capacity), -1);
  }
  // Cached pages and working copies are copies of the old images; they go,
  // unless a session still has changes (20097), in which case nothing is
  // replaced.
  FreeAllPages();
  if (FWorkingCopies) {
    DropAllCopies();
    FCopySlots.swap(copySlots);
  }
  FImages.Swap(images);
  FAllocatedPages = std::move(bits);
  FCapacity = capacity;
  FHighestPageNo = highest;
  FGrowStep = growStep;
  FPageCount = pageCount;
  FLowestFree = 0;
}

}  // namespace qel
