#include "disk/QELInternalDBTransactedAccessFile.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "disk/QELInternalFileFormat.h"
#include "platform/QELException.h"
#include "streams/QELCompression.h"

namespace qel {

using internal_file::kHeaderSize;
using internal_file::PagesNeeded;
using internal_file::THeader;

void TQELInternalDBTransactedAccessFile::CheckOpen(const char* operation) const {
  if (FStartPageNo == -1) {
    throw EQELException(30389, "Cannot perform this operation (%s) on closed internal file", {operation});
  }
}

TQELPage* TQELInternalDBTransactedAccessFile::Page(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion) {
  return FPageManager.GetPage(sessionID, pageNo, checkVersion, FPageType);
}

void TQELInternalDBTransactedAccessFile::Open(std::int32_t startPageNo) {
  if (startPageNo != -1) FStartPageNo = startPageNo;
}

void TQELInternalDBTransactedAccessFile::Create(std::int32_t sessionID) {
  if (FStartPageNo != -1) {
    throw EQELException(30383, "Cannot create Internal file. File already exists. StartPageNo=%d", {FStartPageNo});
  }
  TQELPageGuard first(FPageManager, FPageManager.AddNewPage(sessionID, FPageType));
  THeader().Store(first->Data());
  FStartPageNo = first->PageNo;
}

// A chain that loops or runs into a page of another type is damage; walks
// are bounded so that it is reported rather than followed forever.
std::int32_t TQELInternalDBTransactedAccessFile::ChainPageNo(std::int32_t sessionID, std::int64_t position) {
  std::int32_t pageNo = FStartPageNo;
  for (std::int64_t step = 0; step < position; ++step) {
    TQELPageGuard page(FPageManager, Page(sessionID, pageNo, false));
    pageNo = page_header::NextPageNo(page->Header());
    if (pageNo < 0) {
      throw EQELException(30388, "Cannot read internal file. The chain of page %d ends after %d pages",
                          {FStartPageNo, step + 1});
    }
  }
  return pageNo;
}

void TQELInternalDBTransactedAccessFile::Delete(std::int32_t sessionID, std::int32_t startPageNo) {
  Open(startPageNo);
  CheckOpen("Delete");
  std::vector<std::int32_t> chain;
  const std::int64_t limit = std::max<std::int64_t>(FPageManager.GetPageCount(), 1);
  for (std::int32_t pageNo = FStartPageNo; pageNo >= 0;) {
    if (static_cast<std::int64_t>(chain.size()) >= limit || std::find(chain.begin(), chain.end(), pageNo) != chain.end()) {
      throw EQELException(30388, "Cannot delete internal file. The chain of page %d loops", {FStartPageNo});
    }
    chain.push_back(pageNo);
    TQELPageGuard page(FPageManager, Page(sessionID, pageNo, false));
    pageNo = page_header::NextPageNo(page->Header());
  }
  for (const std::int32_t pageNo : chain) FPageManager.RemovePage(sessionID, pageNo);
  FStartPageNo = -1;
}

TQELInternalDBTransactedAccessFile::TSize TQELInternalDBTransactedAccessFile::GetSize(std::int32_t sessionID,
                                                                                    bool checkVersion) {
  CheckOpen("GetSize");
  TQELPageGuard first(FPageManager, Page(sessionID, FStartPageNo, checkVersion));
  THeader header;
  header.Load(first->Data());
  return {header.StoredSize, header.UncompressedSize, header.CompressionAlgorithm, first->WasRead};
}

std::int32_t TQELInternalDBTransactedAccessFile::GetUncompressedSize(std::int32_t sessionID) {
  return GetSize(sessionID, true).UncompressedSize;
}

void TQELInternalDBTransactedAccessFile::SetSize(std::int32_t sessionID, std::int32_t storedSize,
                                                 std::uint8_t algorithm, std::int32_t uncompressedSize) {
  CheckOpen("SetSize");
  if (storedSize < 0 || uncompressedSize < 0) {
    throw EQELException(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", {storedSize, uncompressedSize});
  }
  TQELPageGuard first(FPageManager, Page(sessionID, FStartPageNo, false));
  THeader header;
  header.Load(first->Data());
  const std::int64_t current = PagesNeeded(header.StoredSize < 0 ? storedSize : header.StoredSize, DataSize());
  const std::int64_t needed = PagesNeeded(storedSize, DataSize());
  if (needed > current) {
    std::int32_t lastNo = ChainPageNo(sessionID, current - 1);
    for (std::int64_t added = current; added < needed; ++added) {
      TQELPageGuard last(FPageManager, Page(sessionID, lastNo, false));
      TQELPageGuard page(FPageManager, FPageManager.AddNewPage(sessionID, FPageType));
      page_header::SetNextPageNo(last->Header(), page->PageNo);
      last->IsDirty = true;
      lastNo = page->PageNo;
    }
  } else if (needed < current) {
    // The pages after the new end go back to free space when the session
    // commits, rather than staying allocated to nothing.
    const std::int32_t lastNo = ChainPageNo(sessionID, needed - 1);
    TQELPageGuard last(FPageManager, Page(sessionID, lastNo, false));
    std::int32_t cut = page_header::NextPageNo(last->Header());
    page_header::SetNextPageNo(last->Header(), -1);
    last->IsDirty = true;
    for (std::int64_t dropped = needed; dropped < current && cut >= 0; ++dropped) {
      TQELPageGuard page(FPageManager, Page(sessionID, cut, false));
      const std::int32_t next = page_header::NextPageNo(page->Header());
      FPageManager.RemovePage(sessionID, cut);
      cut = next;
    }
  }
  header.StoredSize = storedSize;
  header.UncompressedSize = uncompressedSize;
  header.CompressionAlgorithm = algorithm;
  header.Store(first->Data());
  first->IsDirty = true;
}

void TQELInternalDBTransactedAccessFile::WriteFile(std::int32_t sessionID, const void* buffer, std::uint8_t level,
                                                   std::uint8_t algorithm, std::int32_t count) {
  CheckOpen("WriteFile");
  const auto* stored = static_cast<const std::uint8_t*>(buffer);
  std::int32_t storedSize = count;
  std::vector<std::uint8_t> compressed;
  // An empty content has nothing to compress and is stored as it is.
  if (count == 0) algorithm = cmNone;
  if (algorithm != cmNone) {
    TQELCompressedBlockHeader blockHeader;
    if (!CompressBuffer(algorithm, level, buffer, count, blockHeader, compressed)) {
      throw EQELException(20187, "Table file compression error");
    }
    stored = compressed.data();
    storedSize = static_cast<std::int32_t>(compressed.size());
  }
  SetSize(sessionID, storedSize, algorithm, count);
  std::int32_t pageNo = FStartPageNo;
  std::int32_t offset = kHeaderSize;
  for (std::int32_t done = 0; done < storedSize;) {
    TQELPageGuard page(FPageManager, Page(sessionID, pageNo, false));
    const std::int32_t n = std::min(DataSize() - offset, storedSize - done);
    std::memcpy(page->Data() + offset, stored + done, static_cast<std::size_t>(n));
    page->IsDirty = true;
    done += n;
    offset = 0;
    pageNo = page_header::NextPageNo(page->Header());
    if (done < storedSize && pageNo < 0) {
      throw EQELException(30388, "Cannot write internal file. The chain of page %d is too short", {FStartPageNo});
    }
  }
}

void TQELInternalDBTransactedAccessFile::ReadFile(std::int32_t sessionID, void* buffer, bool checkVersion,
                                                  std::int32_t count) {
  CheckOpen("ReadFile");
  const TSize size = GetSize(sessionID, checkVersion);
  if (size.UncompressedSize < count || size.StoredSize < 0 || count < 0) {
    throw EQELException(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d", {size.UncompressedSize, count});
  }
  if (size.CompressionAlgorithm == cmNone) {
    CopyChain(sessionID, checkVersion, static_cast<std::uint8_t*>(buffer), count);
    return;
  }
  std::vector<std::uint8_t> packed(static_cast<std::size_t>(size.StoredSize));
  CopyChain(sessionID, checkVersion, packed.data(), size.StoredSize);
  const std::vector<std::uint8_t> plain = Decompress(size, packed);
  std::memcpy(buffer, plain.data(), static_cast<std::size_t>(count));
}

// The sizes are checked before memory is taken for the content: sizes
// below zero, plain content larger than what is stored, and a chain too
// short for the stored bytes are damage, reported rather than allocated.
void TQELInternalDBTransactedAccessFile::ReadAll(std::int32_t sessionID, const TSize& size, bool checkVersion,
                                                 std::vector<std::uint8_t>& content) {
  CheckOpen("ReadFile");
  const bool compressed = size.CompressionAlgorithm != cmNone;
  if (size.StoredSize < 0 || size.UncompressedSize < 0 || (!compressed && size.UncompressedSize > size.StoredSize)) {
    throw EQELException(30387, "Cannot Read internal file. FileSize=%d. ReadSize=%d",
                        {size.StoredSize, size.UncompressedSize});
  }
  const std::int32_t wanted = compressed ? size.StoredSize : size.UncompressedSize;
  ChainPageNo(sessionID, PagesNeeded(wanted, DataSize()) - 1);
  content.resize(static_cast<std::size_t>(wanted));
  CopyChain(sessionID, checkVersion, content.data(), wanted);
  if (!compressed) return;
  content = Decompress(size, content);
  content.resize(static_cast<std::size_t>(size.UncompressedSize));
}

void TQELInternalDBTransactedAccessFile::CopyChain(std::int32_t sessionID, bool checkVersion, std::uint8_t* target,
                                                   std::int32_t wanted) {
  std::int32_t collected = 0;
  std::int32_t offset = kHeaderSize;
  const std::int64_t maxPages = PagesNeeded(wanted, DataSize());
  std::int32_t pageNo = FStartPageNo;
  for (std::int64_t visited = 0; collected < wanted && pageNo >= 0 && visited < maxPages; ++visited) {
    TQELPageGuard page(FPageManager, Page(sessionID, pageNo, checkVersion));
    const std::int32_t n = std::min(DataSize() - offset, wanted - collected);
    std::memcpy(target + collected, page->Data() + offset, static_cast<std::size_t>(n));
    collected += n;
    offset = 0;
    pageNo = page_header::NextPageNo(page->Header());
  }
  if (collected < wanted) {
    throw EQELException(30388, "Cannot read internal file. Wanted %d bytes, but the chain holds %d",
                        {wanted, collected});
  }
}

// The plain content of `packed`, at least as long as the recorded size.
// The output grows as it is produced rather than being sized from the
// recorded size first: a damaged size must not take gigabytes. (PPM needs
// its size in advance; the engine never stores these files with it, and a
// file that claims it is refused.)
std::vector<std::uint8_t> TQELInternalDBTransactedAccessFile::Decompress(const TSize& size,
                                                                         const std::vector<std::uint8_t>& packed) {
  std::vector<std::uint8_t> plain;
  std::int64_t produced = 0;
  if (!DecompressBuffer(size.CompressionAlgorithm, packed.data(), static_cast<std::int64_t>(packed.size()), produced,
                        plain) ||
      produced < size.UncompressedSize) {
    throw EQELException(20189, "Table file decompression error. Probably table is corrupted");
  }
  return plain;
}

}  // namespace qel
