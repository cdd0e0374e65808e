#include "disk/QELDatabaseFreeSpaceManager.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "disk/QELFreeSpaceFile.h"
#include "pagecache/QELPage.h"
#include "pagecache/QELPageType.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// The index of the first of `size` bytes that has a bit of `mask` clear, or
// -1. Full stretches are skipped eight bytes at a time.
std::int64_t FirstByteNotMatching(const std::uint8_t* bytes, std::int64_t size, std::uint8_t mask) {
  const std::uint64_t wordMask = 0x0101010101010101ULL * mask;
  std::int64_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, bytes + i, 8);
    if ((word & wordMask) != wordMask) break;
  }
  for (; i < size; ++i) {
    if ((bytes[i] & mask) != mask) return i;
  }
  return -1;
}

}  // namespace

// One PFS or EAM page, read straight from the file.
class TQELDatabaseFreeSpaceManager::TSpacePage {
 public:
  explicit TSpacePage(TQELFreeSpaceFile& file) : FPage(file.NewSpacePage()) {}
  TQELPage& Page() { return *FPage; }
  std::uint8_t* Data() { return FPage->Data(); }
  bool Loaded = false;

 private:
  std::unique_ptr<TQELPage> FPage;
};

TQELDatabaseFreeSpaceManager::TQELDatabaseFreeSpaceManager(TQELFreeSpaceFile& file)
    : FFile(file),
      FPageCountInExtent(std::max<std::int32_t>(file.PageCountInExtent(), 1)),
      FPagesPerPFS(std::int64_t{file.PageDataSize()} * 8),
      FExtentsPerEAM(std::int64_t{file.PageDataSize()} * 4),
      FPagesPerEAM(FExtentsPerEAM * FPageCountInExtent),
      FLastUsedPageNo(file.Header().LastUsedPageNo),
      FTotalPageCount(file.Header().TotalPageCount),
      FPFS(std::make_unique<TSpacePage>(file)),
      FEAM(std::make_unique<TSpacePage>(file)) {}

TQELDatabaseFreeSpaceManager::~TQELDatabaseFreeSpaceManager() = default;

std::int64_t TQELDatabaseFreeSpaceManager::EAMPageNo(std::int64_t index) const {
  const std::int64_t pageNo = index * FPagesPerEAM;
  return pageNo % FPagesPerPFS == 0 ? pageNo + 1 : pageNo;
}

// Asked on every page access: 32-bit arithmetic (page numbers and the
// spacings of space pages fit), and the divisions only near a multiple.
bool TQELDatabaseFreeSpaceManager::IsSpacePage(std::int32_t pageNo) const {
  if (pageNo < 0) return false;
  const auto p = static_cast<std::uint32_t>(pageNo);
  const auto pfs = static_cast<std::uint32_t>(FPagesPerPFS);
  const auto eam = static_cast<std::uint32_t>(FPagesPerEAM);
  const std::uint32_t inPFS = p % pfs;
  if (inPFS == 0) return true;
  if (p % eam == 0) return true;
  // The EAM page that would fall on a PFS page sits right after it.
  return inPFS == 1 && (p - 1) % eam == 0;
}

void TQELDatabaseFreeSpaceManager::CheckNotSpacePage(std::int32_t pageNo) const {
  if (IsSpacePage(pageNo)) throw EQELException(30434, "Cannot delete PFS or EAM page. PageNo=%d", {pageNo});
}

std::int32_t TQELDatabaseFreeSpaceManager::GrowthIncrement() const {
  if (FTotalPageCount == 0) return 6;
  return std::max(FTotalPageCount / 10, FPageCountInExtent);
}

std::int32_t TQELDatabaseFreeSpaceManager::StepOverSpacePages(std::int64_t pageNo) const {
  while (IsSpacePage(static_cast<std::int32_t>(pageNo))) ++pageNo;
  return static_cast<std::int32_t>(pageNo);
}

TQELDatabaseFreeSpaceManager::TSpacePage& TQELDatabaseFreeSpaceManager::LoadSpacePage(
    TSpacePage& slot, std::int64_t pageNo, std::uint16_t pageType, std::int32_t wrongTypeCode) {
  if (!slot.Loaded || slot.Page().PageNo != pageNo) {
    slot.Loaded = false;
    slot.Page().PageNo = static_cast<std::int32_t>(pageNo);
    FFile.ReadPage(&slot.Page());
    slot.Loaded = true;
  }
  // A page that could not be read arrives zeroed and fails the type check.
  CheckPageType(slot.Page().PageType(), pageType, wrongTypeCode);
  return slot;
}

void TQELDatabaseFreeSpaceManager::ForgetSpacePages() {
  FPFS->Loaded = false;
  FEAM->Loaded = false;
}

void TQELDatabaseFreeSpaceManager::ReloadCounts() {
  ForgetSpacePages();
  FFile.ReadHeader();
  FLastUsedPageNo = FFile.Header().LastUsedPageNo;
  FTotalPageCount = FFile.Header().TotalPageCount;
}

void TQELDatabaseFreeSpaceManager::StoreCounts() {
  TQELDatabaseHeader& header = FFile.Header();
  if (header.LastUsedPageNo == FLastUsedPageNo && header.TotalPageCount == FTotalPageCount) return;
  header.LastUsedPageNo = FLastUsedPageNo;
  header.TotalPageCount = FTotalPageCount;
  FFile.WriteHeader();
}

// Runs an operation as one change of the file (see TQELFreeSpaceFile):
// the counts are reloaded first and stored last, and a failure leaves the
// file and the held writes as they were.
template <class Operation>
auto TQELDatabaseFreeSpaceManager::AsOneChange(std::int32_t lockFailureCode, Operation operation) {
  decltype(operation()) result{};
  FFile.RunChange(lockFailureCode, [&] {
    try {
      ReloadCounts();
      result = operation();
      StoreCounts();
    } catch (...) {
      ForgetSpacePages();
      throw;
    }
    ForgetSpacePages();
  });
  return result;
}

std::int32_t TQELDatabaseFreeSpaceManager::AllocatePageNo() {
  return AsOneChange(20231, [this] {
    std::int32_t pageNo = FindFreePage();
    if (pageNo == -1) pageNo = ExtendFile();
    FLastUsedPageNo = std::max(FLastUsedPageNo, pageNo);
    return pageNo;
  });
}

void TQELDatabaseFreeSpaceManager::FreePageNo(std::int32_t pageNo) {
  AsOneChange(20232, [this, pageNo] {
    SetPageState(pageNo, false);
    FLastUsedPageNo = FindLastUsedPage();
    ShrinkIfMuchFree();
    return 0;
  });
}

void TQELDatabaseFreeSpaceManager::ReleaseUncommittedPageNos(
    const std::vector<std::int32_t>& pageNos, std::int32_t totalBefore) {
  AsOneChange(20232, [&] {
    for (const std::int32_t pageNo : pageNos) SetPageState(pageNo, false);
    FLastUsedPageNo = FindLastUsedPage();
    if (totalBefore > 0 && FTotalPageCount > totalBefore && FLastUsedPageNo < totalBefore) {
      CutTail(totalBefore);
    } else {
      ShrinkIfMuchFree();
    }
    return 0;
  });
}

std::int32_t TQELDatabaseFreeSpaceManager::ReleaseAbandonedPageNos(const std::vector<std::int32_t>& pageNos) {
  return AsOneChange(20232, [&] {
    std::int32_t released = 0;
    for (const std::int32_t pageNo : pageNos) {
      if (pageNo < 0 || pageNo >= FTotalPageCount || IsSpacePage(pageNo) || !PageBitIsSet(pageNo)) continue;
      SetPageState(pageNo, false);
      ++released;
    }
    if (released > 0) {
      FLastUsedPageNo = FindLastUsedPage();
      ShrinkIfMuchFree();
    }
    return released;
  });
}

void TQELDatabaseFreeSpaceManager::TrimFreeTail() {
  AsOneChange(20232, [&] {
    FLastUsedPageNo = FindLastUsedPage();
    // The last used page is never a space page, so the file does not end
    // with one.
    if (FLastUsedPageNo >= 0 && FLastUsedPageNo + 1 < FTotalPageCount) CutTail(FLastUsedPageNo + 1);
    return 0;
  });
}

// Clears what the growth beyond `totalBefore` left in space pages that stay
// (the bits of space pages created in the tail, the states of its
// extents), then cuts the file.
void TQELDatabaseFreeSpaceManager::CutTail(std::int32_t totalBefore) {
  for (std::int32_t pageNo = totalBefore; pageNo < FTotalPageCount; ++pageNo) {
    if (PFSPageNo(pageNo / FPagesPerPFS) < totalBefore && PFSBit(pageNo)) SetPFSBit(pageNo, false);
  }
  const std::int64_t firstWholeExtent = (std::int64_t{totalBefore} + FPageCountInExtent - 1) / FPageCountInExtent;
  const std::int64_t lastExtent = (std::int64_t{FTotalPageCount} - 1) / FPageCountInExtent;
  for (std::int64_t extent = firstWholeExtent; extent <= lastExtent; ++extent) {
    if (EAMPageNo(extent * FPageCountInExtent / FPagesPerEAM) < totalBefore) SetExtentPair(extent, 0);
  }
  FFile.ShrinkFile(FTotalPageCount - totalBefore);
  FTotalPageCount = FFile.Header().TotalPageCount;
  if (totalBefore % FPageCountInExtent != 0) UpdateExtentState(totalBefore - 1);
}

bool TQELDatabaseFreeSpaceManager::PFSBit(std::int32_t pageNo) {
  TSpacePage& pfs = LoadSpacePage(*FPFS, PFSPageNo(pageNo / FPagesPerPFS), ptPFS, 30424);
  const std::int64_t bitIndex = pageNo % FPagesPerPFS;
  return (pfs.Data()[bitIndex / 8] & (1 << (bitIndex % 8))) != 0;
}

void TQELDatabaseFreeSpaceManager::SetExtentPair(std::int64_t extent, std::uint8_t pairValue) {
  TSpacePage& eam = LoadSpacePage(*FEAM, EAMPageNo(extent * FPageCountInExtent / FPagesPerEAM), ptEAM, 30428);
  const std::int64_t localExtent = extent % FExtentsPerEAM;
  std::uint8_t& byte = eam.Data()[localExtent / 4];
  const int shift = static_cast<int>(2 * (localExtent % 4));
  const auto updated = static_cast<std::uint8_t>((byte & ~(3 << shift)) | (pairValue << shift));
  if (updated == byte) return;
  byte = updated;
  FFile.WritePage(&eam.Page());
}

std::int32_t TQELDatabaseFreeSpaceManager::FindFreePage() {
  if (FLastUsedPageNo == -1) return -1;
  const std::int64_t lastEAM = std::max(FTotalPageCount - 1, 0) / FPagesPerEAM;
  std::int32_t pageNo = SearchEAMPage(lastEAM);
  for (std::int64_t eam = 0; pageNo == -1 && eam < lastEAM; ++eam) pageNo = SearchEAMPage(eam);
  return pageNo;
}

// The first extent of the EAM page that may have a free page, then the
// first free page of the PFS pages covering that extent.
std::int32_t TQELDatabaseFreeSpaceManager::SearchEAMPage(std::int64_t eamIndex) {
  TSpacePage& eam = LoadSpacePage(*FEAM, EAMPageNo(eamIndex), ptEAM, 30423);
  // The first byte with a pair whose high bit is clear: an extent that may
  // have a free page.
  const std::int64_t i = FirstByteNotMatching(eam.Data(), FExtentsPerEAM / 4, 0xAA);
  if (i < 0) return -1;
  const int pair = std::countr_one(static_cast<std::uint8_t>(eam.Data()[i] | 0x55)) / 2;
  const std::int64_t extent = eamIndex * FExtentsPerEAM + 4 * i + pair;
  const std::int64_t firstPFS = extent * FPageCountInExtent / FPagesPerPFS;
  const std::int64_t lastPFS = (extent * FPageCountInExtent + FPageCountInExtent - 1) / FPagesPerPFS;
  for (std::int64_t pfs = firstPFS; pfs <= lastPFS && PFSPageNo(pfs) < FTotalPageCount; ++pfs) {
    TSpacePage& page = LoadSpacePage(*FPFS, PFSPageNo(pfs), ptPFS, 30423);
    const std::int64_t byte = FirstByteNotMatching(page.Data(), FPagesPerPFS / 8, 0xFF);
    if (byte < 0) continue;
    const std::int64_t found = pfs * FPagesPerPFS + 8 * byte + std::countr_one(page.Data()[byte]);
    if (found >= FTotalPageCount) return -1;
    SetPageState(static_cast<std::int32_t>(found), true);
    return static_cast<std::int32_t>(found);
  }
  return -1;
}

std::int32_t TQELDatabaseFreeSpaceManager::ExtendFile() {
  const bool wasEmpty = FLastUsedPageNo == -1;
  const std::int64_t oldLastPFS = wasEmpty ? -1 : (FTotalPageCount - 1) / FPagesPerPFS;
  const std::int64_t oldLastEAM = wasEmpty ? -1 : (FTotalPageCount - 1) / FPagesPerEAM;
  const std::int32_t newPage = StepOverSpacePages(std::int64_t{FLastUsedPageNo} + 1);

  std::int32_t growth = GrowthIncrement();
  if (newPage >= std::int64_t{FTotalPageCount} + growth) growth = newPage - FTotalPageCount + 1;
  // The file never ends with a space page.
  while (IsSpacePage(FTotalPageCount + growth - 1)) ++growth;
  FFile.GrowFile(growth);
  FTotalPageCount = FFile.Header().TotalPageCount;

  const std::int64_t newLastPFS = (FTotalPageCount - 1) / FPagesPerPFS;
  const std::int64_t newLastEAM = (FTotalPageCount - 1) / FPagesPerEAM;
  auto writeFresh = [this](TSpacePage& slot, std::int64_t pageNo, std::uint16_t pageType) {
    slot.Page().PageNo = static_cast<std::int32_t>(pageNo);
    slot.Page().AllocateBuffer();
    slot.Page().SetPageType(pageType);
    slot.Data()[0] = 1;  // PFS: its own bit; EAM: the first extent has free pages
    FFile.WritePage(&slot.Page());
    slot.Loaded = true;
  };
  for (std::int64_t pfs = oldLastPFS + 1; pfs <= newLastPFS; ++pfs) writeFresh(*FPFS, PFSPageNo(pfs), ptPFS);
  for (std::int64_t eam = oldLastEAM + 1; eam <= newLastEAM; ++eam) writeFresh(*FEAM, EAMPageNo(eam), ptEAM);

  FLastUsedPageNo = StepOverSpacePages(newPage);
  for (std::int64_t eam = oldLastEAM + 1; eam <= newLastEAM; ++eam) {
    SetPFSBit(static_cast<std::int32_t>(EAMPageNo(eam)), true);
  }
  for (std::int64_t pfs = oldLastPFS + 1; pfs <= newLastPFS; ++pfs) {
    UpdateExtentState(static_cast<std::int32_t>(PFSPageNo(pfs)));
  }
  SetPageState(FLastUsedPageNo, true);
  return FLastUsedPageNo;
}

std::int32_t TQELDatabaseFreeSpaceManager::FindLastUsedPage() {
  if (FLastUsedPageNo == -1 || FTotalPageCount <= 0) return -1;
  for (std::int64_t pfs = (FTotalPageCount - 1) / FPagesPerPFS; pfs >= 0; --pfs) {
    TSpacePage& page = LoadSpacePage(*FPFS, PFSPageNo(pfs), ptPFS, 30432);
    const std::uint8_t* data = page.Data();
    for (std::int64_t i = FPagesPerPFS / 8 - 1; i >= 0; --i) {
      if (data[i] == 0) continue;
      for (int bit = 7; bit >= 0; --bit) {
        const std::int64_t pageNo = pfs * FPagesPerPFS + 8 * i + bit;
        if ((data[i] & (1 << bit)) != 0 && !IsSpacePage(static_cast<std::int32_t>(pageNo))) {
          return static_cast<std::int32_t>(pageNo);
        }
      }
    }
  }
  return -1;
}

void TQELDatabaseFreeSpaceManager::ShrinkIfMuchFree() {
  const std::int32_t growth = GrowthIncrement();
  const std::int32_t freeAtEnd = FTotalPageCount - FLastUsedPageNo - 1;
  if (growth <= 0 || freeAtEnd < growth) return;
  FFile.ShrinkFile(freeAtEnd / growth * growth);
  FTotalPageCount = FFile.Header().TotalPageCount;
}

void TQELDatabaseFreeSpaceManager::SetPFSBit(std::int32_t pageNo, bool used) {
  if (pageNo < 0 || pageNo >= FTotalPageCount) {
    throw EQELException(30430, "Page: %d cannot be addressed. TotalPageCount=%d", {pageNo, FTotalPageCount});
  }
  TSpacePage& pfs = LoadSpacePage(*FPFS, PFSPageNo(pageNo / FPagesPerPFS), ptPFS, 30424);
  const std::int64_t bitIndex = pageNo % FPagesPerPFS;
  std::uint8_t& byte = pfs.Data()[bitIndex / 8];
  const std::uint8_t mask = static_cast<std::uint8_t>(1 << (bitIndex % 8));
  if (used && (byte & mask) != 0) throw EQELException(30425, "Page: %d already used", {pageNo});
  if (!used && (byte & mask) == 0) throw EQELException(30427, "Page: %d already free", {pageNo});
  byte = static_cast<std::uint8_t>(used ? byte | mask : byte & ~mask);
  FFile.WritePage(&pfs.Page());
}

// Outside a change of this handle, the space pages of a multi-user file
// are read afresh under the header lock: another process may have taken or
// freed pages since they were last read.
bool TQELDatabaseFreeSpaceManager::IsPageUsed(std::int32_t pageNo) {
  if (FFile.IsMultiUser() && !FFile.InChange()) {
    return AsOneChange(20230, [&] { return PageBitIsSet(pageNo); });
  }
  return PageBitIsSet(pageNo);
}

bool TQELDatabaseFreeSpaceManager::PageBitIsSet(std::int32_t pageNo) {
  const std::int64_t pfsPageNo = PFSPageNo(pageNo / FPagesPerPFS);
  if (pfsPageNo > FLastUsedPageNo) return false;
  TSpacePage& pfs = LoadSpacePage(*FPFS, pfsPageNo, ptPFS, 30430);
  const std::int64_t bitIndex = pageNo % FPagesPerPFS;
  return (pfs.Data()[bitIndex / 8] & (1 << (bitIndex % 8))) != 0;
}

void TQELDatabaseFreeSpaceManager::UpdateExtentState(std::int32_t pageNo) {
  if (pageNo < 0 || pageNo >= FTotalPageCount) {
    throw EQELException(30431, "Page: %d cannot be addressed. TotalPageCount=%d", {pageNo, FTotalPageCount});
  }
  const std::int64_t extent = pageNo / FPageCountInExtent;
  bool sawUsed = false, sawFree = false;
  int counted = 0;
  for (std::int64_t p = extent * FPageCountInExtent;
       p < (extent + 1) * FPageCountInExtent && !(sawUsed && sawFree); ++p, ++counted) {
    (IsPageUsed(static_cast<std::int32_t>(p)) ? sawUsed : sawFree) = true;
  }
  const std::uint8_t pairValue = counted == 0 ? 0 : (sawFree ? 1 : 3);
  TSpacePage& eam = LoadSpacePage(*FEAM, EAMPageNo(pageNo / FPagesPerEAM), ptEAM, 30428);
  const std::int64_t localExtent = extent % FExtentsPerEAM;
  std::uint8_t& byte = eam.Data()[localExtent / 4];
  const int shift = static_cast<int>(2 * (localExtent % 4));
  const std::uint8_t updated =
      static_cast<std::uint8_t>((byte & ~(3 << shift)) | (pairValue << shift));
  if (updated == byte) return;
  byte = updated;
  FFile.WritePage(&eam.Page());
}

void TQELDatabaseFreeSpaceManager::SetPageState(std::int32_t pageNo, bool used) {
  SetPFSBit(pageNo, used);
  UpdateExtentState(pageNo);
}

}  // namespace qel
