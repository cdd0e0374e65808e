#include "pagecache/QELPage.h"

#include <cstring>
#include <memory>

#include "pagecache/QELPageManager.h"
#include "platform/QELException.h"

namespace qel {

TQELPage::TQELPage(TQELPageManager* owner, std::int32_t pageNo) : PageNo(pageNo), FOwner(owner) {}

TQELPage::~TQELPage() { FreeBuffer(); }

std::uint16_t TQELPage::HeaderSize() const { return FOwner->HeaderSize(); }
std::uint16_t TQELPage::PageSize() const { return FOwner->PageSize(); }

void TQELPage::Reuse(std::int32_t pageNo) {
  PageNo = pageNo;
  IsDirty = false;
  UseCount = 0;
  OwningList = nullptr;
  SessionID = 0;
  WasRead = false;
  EncryptOnWrite = true;
  FSessionVersions.clear();
}

void TQELPage::AllocateBuffer() {
  FreeBuffer();
  const std::uint16_t pageSize = PageSize();
  FBuffer = new std::uint8_t[pageSize]();
  FBufferSize = pageSize;
  FOwnsBuffer = true;
  if (HeaderSize() != 0) page_header::Initialize(FBuffer);
}

void TQELPage::FreeBuffer() {
  if (FOwnsBuffer) delete[] FBuffer;
  FBuffer = nullptr;
  FBufferSize = 0;
  FOwnsBuffer = true;
}

void TQELPage::ResizeBuffer(std::uint32_t newSize) {
  if (newSize < PageSize()) throw EQELException(20039, "Invalid page modification");
  if (FBuffer == nullptr) throw EQELException(20038, "Invalid page buffer. Buffer is Nil");
  auto* resized = new std::uint8_t[newSize]();
  std::memcpy(resized, FBuffer, std::min(newSize, FBufferSize));
  FreeBuffer();
  FBuffer = resized;
  FBufferSize = newSize;
  FOwnsBuffer = true;
}

void TQELPage::SetForeignBuffer(std::uint8_t* buffer, std::uint32_t size) {
  FreeBuffer();
  FBuffer = buffer;
  FBufferSize = size;
  FOwnsBuffer = false;
}

void TQELPage::RefreshIfChanged() { FOwner->RefreshPageIfChanged(this); }

bool TQELPage::SessionVersion(std::int32_t sessionID, const void*& table, std::int32_t& epoch) const {
  const std::size_t slot = static_cast<std::size_t>(sessionID + 2);
  if (sessionID < -2 || slot >= FSessionVersions.size() || !FSessionVersions[slot].Valid) return false;
  table = FSessionVersions[slot].Table;
  epoch = FSessionVersions[slot].Value;
  return true;
}

void TQELPage::SetSessionVersion(std::int32_t sessionID, const void* table, std::int32_t epoch) {
  if (sessionID < -2) return;
  const std::size_t slot = static_cast<std::size_t>(sessionID + 2);
  if (slot >= FSessionVersions.size()) FSessionVersions.resize(slot + 1);
  FSessionVersions[slot] = {table, epoch, true};
}

}  // namespace qel
