#include "disk/QELInternalDBDirectAccessFile.h"

#include <algorithm>

#include "disk/QELInternalFileFormat.h"
#include "platform/QELException.h"

namespace qel {

using internal_file::kHeaderSize;
using internal_file::PagesNeeded;
using internal_file::THeader;

void TQELInternalDBDirectAccessFile::CheckOpen(const char* operation) const {
  if (FStartPageNo == -1) {
    throw EQELException(20156, "Cannot perform this operation (%s) on closed internal file", {operation});
  }
}

void TQELInternalDBDirectAccessFile::Open(std::int32_t startPageNo) {
  FStartPageNo = startPageNo;
  FPageNos.clear();
  FFileSize = 0;
  FStoredSize = 0;
}

void TQELInternalDBDirectAccessFile::Close() { Open(-1); }

std::int32_t TQELInternalDBDirectAccessFile::NextPageOf(std::int32_t pageNo) {
  std::uint8_t header[kQELPageHeaderSize] = {};
  FPageManager.ReadPagePart(header + 1, pageNo, 1, kQELPageHeaderSize - 1);
  const std::uint16_t type = page_header::PageType(header);
  if (type != FPageType) {
    throw EQELException(20155, "Invalid PageType found: %d but wanted: %d", {type, FPageType});
  }
  return page_header::NextPageNo(header);
}

std::int32_t TQELInternalDBDirectAccessFile::GetSize() {
  CheckOpen("GetSize");
  std::uint8_t bytes[4];
  FPageManager.ReadPagePart(bytes, FStartPageNo, kQELPageHeaderSize + internal_file::kStoredSize, 4);
  return QELReadLE<std::int32_t>(bytes);
}

void TQELInternalDBDirectAccessFile::OpenAndLoad(std::int32_t startPageNo) {
  Open(startPageNo);
  CheckOpen("OpenAndLoad");
  const std::int32_t size = GetSize();
  FStoredSize = size;
  if (size < 0) throw EQELException(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {size, 0});
  const std::int64_t pages = PagesNeeded(size, DataSize());
  std::int32_t pageNo = FStartPageNo;
  for (std::int64_t i = 0; i < pages && pageNo >= 0; ++i) {
    if (std::find(FPageNos.begin(), FPageNos.end(), pageNo) != FPageNos.end()) break;  // a looping chain
    FPageNos.push_back(pageNo);
    pageNo = NextPageOf(pageNo);
    if (i == 0 && pageNo < 0) {
      FFileSize = DataSize() - kHeaderSize;  // a lone first page offers all of itself
      return;
    }
  }
  // A chain shorter than its size says offers what it holds.
  FFileSize = static_cast<std::int32_t>(std::min<std::int64_t>(
      size, static_cast<std::int64_t>(FPageNos.size()) * DataSize() - kHeaderSize));
}

void TQELInternalDBDirectAccessFile::Create(std::int32_t size) {
  if (FStartPageNo != -1) {
    throw EQELException(20157, "Cannot create Internal file. File already exists. StartPageNo=%d", {FStartPageNo});
  }
  const std::int64_t pages = PagesNeeded(std::max(size, 0), DataSize());
  std::vector<TQELPage*> created;
  try {
    for (std::int64_t i = 0; i < pages; ++i) {
      TQELPage* page = FPageManager.AddNewPage(-2, FPageType);
      page->EncryptOnWrite = false;
      if (!created.empty()) page_header::SetNextPageNo(created.back()->Header(), page->PageNo);
      created.push_back(page);
    }
    THeader header;
    header.StoredSize = size;
    header.Store(created.front()->Data());
  } catch (...) {
    for (TQELPage* page : created) FPageManager.ReleasePage(page);
    throw;
  }
  FPageNos.clear();
  for (TQELPage* page : created) {
    FPageNos.push_back(page->PageNo);
    FPageManager.ReleasePage(page);
  }
  FStartPageNo = FPageNos.front();
  FFileSize = FStoredSize = size;
}

void TQELInternalDBDirectAccessFile::Delete(std::int32_t startPageNo) {
  Open(startPageNo);
  CheckOpen("Delete");
  std::vector<std::int32_t> chain;
  const std::int64_t limit = std::max<std::int64_t>(FPageManager.GetPageCount(), 1);
  for (std::int32_t pageNo = FStartPageNo; pageNo >= 0 && static_cast<std::int64_t>(chain.size()) < limit;) {
    if (std::find(chain.begin(), chain.end(), pageNo) != chain.end()) break;
    chain.push_back(pageNo);
    pageNo = NextPageOf(pageNo);
  }
  for (const std::int32_t pageNo : chain) FPageManager.RemovePage(-2, pageNo);
  Close();
}

TQELInternalDBDirectAccessFile::TPlace TQELInternalDBDirectAccessFile::Locate(std::int32_t position) const {
  if (position < 0 || position > FFileSize) {
    throw EQELException(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {FFileSize, position});
  }
  const std::int64_t x = std::int64_t{position} + kHeaderSize;
  const auto chain = static_cast<std::size_t>(x / DataSize());
  if (chain >= FPageNos.size()) {
    throw EQELException(20159, "Seek position bigger then file size. FileSize=%d. Position=%d", {FFileSize, position});
  }
  return {chain, static_cast<std::int32_t>(kQELPageHeaderSize + x % DataSize())};
}

// Moves `count` bytes page by page from `position` on, checking each page's
// type first; answers the bytes moved.
template <class Transfer>
std::int32_t TQELInternalDBDirectAccessFile::Walk(std::int32_t position, std::int32_t count, Transfer transfer) {
  if (count <= 0) return 0;
  TPlace place = Locate(position);
  std::int32_t done = 0;
  while (done < count && place.Chain < FPageNos.size()) {
    const std::int32_t pageNo = FPageNos[place.Chain];
    NextPageOf(pageNo);
    const std::int32_t n = std::min(FPageManager.PageSize() - place.InPage, count - done);
    transfer(pageNo, place.InPage, done, n);
    done += n;
    ++place.Chain;
    place.InPage = kQELPageHeaderSize;
  }
  return done;
}

std::int32_t TQELInternalDBDirectAccessFile::DirectReadBuffer(void* buffer, std::int32_t position, std::int32_t count) {
  CheckOpen("DirectReadBuffer");
  auto* out = static_cast<std::uint8_t*>(buffer);
  return Walk(position, count, [&](std::int32_t pageNo, std::int32_t inPage, std::int32_t done, std::int32_t n) {
    FPageManager.ReadPagePart(out + done, pageNo, inPage, n);
  });
}

std::int32_t TQELInternalDBDirectAccessFile::DirectWriteBuffer(const void* buffer, std::int32_t position,
                                                              std::int32_t count) {
  CheckOpen("DirectWriteBuffer");
  const std::int32_t stored = GetSize();
  if (count < 0 || std::int64_t{position} + count > stored) {
    throw EQELException(20158, "Cannot write after end of file. FileSize=%d. Position=%d, Count=%d",
                        {stored, position, count});
  }
  const auto* in = static_cast<const std::uint8_t*>(buffer);
  return Walk(position, count, [&](std::int32_t pageNo, std::int32_t inPage, std::int32_t done, std::int32_t n) {
    FPageManager.WritePagePart(in + done, pageNo, inPage, n);
  });
}

bool TQELInternalDBDirectAccessFile::LockFile() {
  CheckOpen("LockFile");
  return FPageManager.LockPageByte(FStartPageNo, 0);
}

bool TQELInternalDBDirectAccessFile::UnlockFile() {
  CheckOpen("UnlockFile");
  return FPageManager.UnlockPageByte(FStartPageNo, 0);
}

bool TQELInternalDBDirectAccessFile::LockByte(std::int32_t position) {
  CheckOpen("LockByte");
  const TPlace place = Locate(position);
  return FPageManager.LockPageByte(FPageNos[place.Chain], place.InPage);
}

bool TQELInternalDBDirectAccessFile::UnlockByte(std::int32_t position) {
  CheckOpen("UnlockByte");
  const TPlace place = Locate(position);
  return FPageManager.UnlockPageByte(FPageNos[place.Chain], place.InPage);
}

bool TQELInternalDBDirectAccessFile::IsByteLocked(std::int32_t position) {
  CheckOpen("IsByteLocked");
  const TPlace place = Locate(position);
  return FPageManager.IsPageByteLocked(FPageNos[place.Chain], place.InPage);
}

bool TQELInternalDBDirectAccessFile::IsRegionLocked(std::int32_t position, std::int32_t count) {
  CheckOpen("IsRegionLocked");
  if (count <= 0) return false;
  TPlace place = Locate(position);
  for (std::int32_t done = 0; done < count && place.Chain < FPageNos.size();) {
    const std::int32_t n = std::min(FPageManager.PageSize() - place.InPage, count - done);
    if (FPageManager.IsPageRegionLocked(FPageNos[place.Chain], place.InPage, n)) return true;
    done += n;
    ++place.Chain;
    place.InPage = kQELPageHeaderSize;
  }
  return false;
}

}  // namespace qel
