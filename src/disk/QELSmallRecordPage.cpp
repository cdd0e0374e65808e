#include "disk/QELSmallRecordPage.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// Slots are numbered by an unsigned 16-bit value in a record id.
constexpr std::int64_t kMaxSlotCount = 0x10000;

}  // namespace

TQELSmallRecordPage::TQELSmallRecordPage(TQELPage* page, std::int32_t slotCount,
                                         std::int32_t diskRecordSize)
    : TQELPageController(page),
      FSlotCount(slotCount),
      FBitmapSize(BitmapSizeFor(slotCount)),
      FDiskRecordSize(diskRecordSize) {
  if (slotCount <= 0 || slotCount > kMaxSlotCount || diskRecordSize <= 0 ||
      FBitmapSize + std::int64_t{slotCount} * diskRecordSize > std::int64_t{DataSize()}) {
    throw EQELException(20140, "Invalid number of records on page");
  }
}

std::int32_t TQELSmallRecordPage::RecordsPerPage(std::int32_t pageDataSize,
                                                 std::int32_t diskRecordSize) {
  if (diskRecordSize <= 0 || pageDataSize <= 1) return 0;
  // The stored layout of existing files depends on exactly this rounding.
  return static_cast<std::int32_t>((pageDataSize - 1) / (diskRecordSize + 0.125));
}

std::int32_t TQELSmallRecordPage::PageNoOf(const TQELRecordID& recordID) {
  return QELReadLE<std::int32_t>(recordID.data() + record_id::kPageNo);
}

std::int32_t TQELSmallRecordPage::SlotOf(const TQELRecordID& recordID) {
  return QELReadLE<std::uint16_t>(recordID.data() + record_id::kSlot);
}

TQELRecordID TQELSmallRecordPage::MakeRecordID(std::int32_t pageNo, std::int32_t slot) {
  TQELRecordID recordID;
  QELWriteLE(recordID.data() + record_id::kPageNo, pageNo);
  QELWriteLE(recordID.data() + record_id::kSlot, static_cast<std::uint16_t>(slot));
  return recordID;
}

std::uint8_t TQELSmallRecordPage::BitmapByte(std::int32_t index) const {
  const std::int32_t slotsInByte = FSlotCount - index * 8;
  const std::uint8_t mask =
      slotsInByte >= 8 ? 0xFF : static_cast<std::uint8_t>((1u << slotsInByte) - 1u);
  return Data()[index] & mask;
}

std::uint8_t* TQELSmallRecordPage::Slot(std::int32_t slot) const {
  return Data() + FBitmapSize + static_cast<std::ptrdiff_t>(slot) * FDiskRecordSize;
}

bool TQELSmallRecordPage::IsUsed(std::int32_t slot) const {
  return slot >= 0 && slot < FSlotCount && ((Data()[slot >> 3] >> (slot & 7)) & 1) != 0;
}

std::int32_t TQELSmallRecordPage::NextUsed(std::int32_t from) const {
  if (from < 0) from = 0;
  const std::uint8_t* bits = Data();
  while (from < FSlotCount) {
    const auto byte = static_cast<std::uint8_t>(bits[from >> 3] >> (from & 7));
    if (byte != 0) {
      const std::int32_t slot = from + std::countr_zero(byte);
      // Set bits past the last slot are damage, not records.
      return slot < FSlotCount ? slot : -1;
    }
    from = (from | 7) + 1;
  }
  return -1;
}

std::int32_t TQELSmallRecordPage::PriorUsed(std::int32_t from) const {
  if (from >= FSlotCount) from = FSlotCount - 1;
  const std::uint8_t* bits = Data();
  while (from >= 0) {
    // Bits 0..(from mod 8) of the byte, moved to the top.
    const auto byte = static_cast<std::uint8_t>(bits[from >> 3] << (7 - (from & 7)));
    if (byte != 0) return from - std::countl_zero(byte);
    from = (from & ~7) - 1;
  }
  return -1;
}

bool TQELSmallRecordPage::FindFreeSlot(std::int32_t& slot) const {
  for (std::int32_t i = 0; i < FBitmapSize; ++i) {
    const std::uint8_t byte = Data()[i];
    if (byte == 0xFF) continue;
    const std::int32_t candidate = i * 8 + std::countr_one(byte);
    if (candidate >= FSlotCount) return false;
    slot = candidate;
    return true;
  }
  return false;
}

std::int64_t TQELSmallRecordPage::GetUsedCount() const {
  std::int64_t count = 0;
  for (std::int32_t i = 0; i < FBitmapSize; ++i) count += std::popcount(BitmapByte(i));
  return count;
}

void TQELSmallRecordPage::AddRecord(const std::uint8_t* source, TQELRecordID& recordID) {
  std::int32_t slot;
  if (!FindFreeSlot(slot)) throw EQELException(20141, "Cannot add record to page. Page is full");
  Data()[slot >> 3] |= static_cast<std::uint8_t>(1u << (slot & 7));
  std::memcpy(Slot(slot), source, static_cast<std::size_t>(FDiskRecordSize));
  SetDirty();
  recordID = MakeRecordID(PageNo(), slot);
}

bool TQELSmallRecordPage::UpdateRecord(const std::uint8_t* source, const TQELRecordID& recordID) {
  const std::int32_t slot = SlotOf(recordID);
  if (!IsUsed(slot)) return false;
  std::memcpy(Slot(slot), source, static_cast<std::size_t>(FDiskRecordSize));
  SetDirty();
  return true;
}

bool TQELSmallRecordPage::DeleteRecord(const TQELRecordID& recordID) {
  const std::int32_t slot = SlotOf(recordID);
  if (!IsUsed(slot)) return false;
  Data()[slot >> 3] &= static_cast<std::uint8_t>(~(1u << (slot & 7)));
  SetDirty();
  return true;
}

bool TQELSmallRecordPage::ReadRecord(const TQELRecordID& recordID, std::uint8_t* target) const {
  const std::int32_t slot = SlotOf(recordID);
  if (!IsUsed(slot)) return false;
  std::memcpy(target, Slot(slot), static_cast<std::size_t>(FDiskRecordSize));
  return true;
}

void TQELSmallRecordPage::GetFirstRecordID(TQELRecordID& recordID) const {
  const std::int32_t slot = NextUsed(0);
  if (slot < 0) {
    throw EQELException(20143, "Record not found. PageNo=%d, PageRecordCount=%d",
                        {PageNo(), static_cast<long long>(GetUsedCount())});
  }
  recordID = MakeRecordID(PageNo(), slot);
}

void TQELSmallRecordPage::GetLastRecordID(TQELRecordID& recordID) const {
  const std::int32_t slot = PriorUsed(FSlotCount - 1);
  if (slot < 0) throw EQELException(20144, "Record not found");
  recordID = MakeRecordID(PageNo(), slot);
}

bool TQELSmallRecordPage::GetNextRecordID(TQELRecordID& recordID) const {
  const std::int32_t slot = NextUsed(SlotOf(recordID) + 1);
  if (slot < 0) return false;
  recordID = MakeRecordID(PageNo(), slot);
  return true;
}

bool TQELSmallRecordPage::GetPriorRecordID(TQELRecordID& recordID) const {
  const std::int32_t slot = PriorUsed(SlotOf(recordID) - 1);
  if (slot < 0) return false;
  recordID = MakeRecordID(PageNo(), slot);
  return true;
}

void TQELSmallRecordPage::GetRecordIDByIndex(std::int64_t n, TQELRecordID& recordID) const {
  if (n >= 0) {
    for (std::int32_t i = 0; i < FBitmapSize; ++i) {
      std::uint8_t byte = BitmapByte(i);
      const std::int32_t count = std::popcount(byte);
      if (n >= count) {
        n -= count;
        continue;
      }
      // Drop the n lowest set bits; the lowest one left is the slot.
      for (; n > 0; --n) byte &= static_cast<std::uint8_t>(byte - 1);
      recordID = MakeRecordID(PageNo(), i * 8 + std::countr_zero(byte));
      return;
    }
  }
  throw EQELException(20146, "Record not found");
}

std::int32_t TQELSmallRecordPage::CountRecordsBefore(const TQELRecordID& recordID) const {
  const std::int32_t limit = std::min(SlotOf(recordID), FSlotCount);
  std::int32_t count = 0;
  for (std::int32_t i = 0; i < limit >> 3; ++i) count += std::popcount(Data()[i]);
  if ((limit & 7) != 0) {
    count += std::popcount(static_cast<std::uint8_t>(Data()[limit >> 3] & ((1u << (limit & 7)) - 1u)));
  }
  return count;
}

}  // namespace qel
