#include "storage/QELMemoryPageManager.h"

#include <algorithm>
#include <cstring>
#include <limits>

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

TQELMemoryPageManager::~TQELMemoryPageManager() = default;

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
  page->PageNo = pageNo;
}

void TQELMemoryPageManager::FreePage(std::int32_t pageNo) {
  if (!IsAllocated(pageNo)) return;
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

void TQELMemoryPageManager::WritePage(TQELPage* page) {
  CheckAllocated(page, 10393);
  if (page->Buffer() == nullptr) throw EQELException(20038, "Invalid page buffer. Buffer is Nil");
  if (page->Buffer() != FImages[page->PageNo]) std::memcpy(FImages[page->PageNo], page->Buffer(), kPageSize);
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

  // Cached pages are copies of the old images; they go, unless a session
  // still has changes (20097), in which case nothing is replaced.
  FreeAllPages();
  FImages.Swap(images);
  FAllocatedPages = std::move(bits);
  FCapacity = capacity;
  FHighestPageNo = highest;
  FGrowStep = growStep;
  FPageCount = pageCount;
  FLowestFree = 0;
}

}  // namespace qel
