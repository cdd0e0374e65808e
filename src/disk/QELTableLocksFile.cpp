#include "disk/QELTableLocksFile.h"

#include <algorithm>
#include <vector>

#include "disk/QELLockGuard.h"
#include "platform/QELException.h"

namespace qel {

TQELTableLocksFile::TQELTableLocksFile(TQELInternalDBDirectAccessFile& file) : FFile(file) {}

// The byte positions need the file's size and page chain, which a file
// opened with Open alone has not read yet. They are read on first use, not
// at once: a table being created has its lock file only in pages that are
// not committed yet.
void TQELTableLocksFile::CheckOpen(std::int32_t nativeCode) const {
  if (!FFile.IsOpen()) throw EQELException(nativeCode, "Nil pointer occured");
  if (FFile.PageNos().empty()) FFile.OpenAndLoad(FFile.StartPageNo());
}

std::int32_t TQELTableLocksFile::GetTableID() const {
  if (!FFile.IsOpen()) throw EQELException(10483, "Nil pointer occured");
  return FFile.StartPageNo();
}

std::int32_t TQELTableLocksFile::SessionCount() const {
  CheckOpen(10483);
  return std::max(std::min(FFile.StoredSize(), FFile.FileSize()), 0) / kQELTableLockBytesPerSession;
}

std::int32_t TQELTableLocksFile::BytePosition(std::int32_t s, std::uint8_t k) const {
  const std::int32_t n = SessionCount();
  if (s < 0 || s >= n || k >= kQELTableLockByteKinds) {
    throw EQELException(20200,
                        "Cannot set table lock. Try to repair database or to increase number of allowed connections");
  }
  return k * n + s;
}

std::int32_t TQELTableLocksFile::SlotPosition(std::int32_t s) const {
  return kQELTableLockByteKinds * SessionCount() + kQELRecordIDSize * s;
}

bool TQELTableLocksFile::LockFile() {
  CheckOpen(10489);
  return FFile.LockFile();
}

bool TQELTableLocksFile::UnlockFile() {
  CheckOpen(10490);
  return FFile.UnlockFile();
}

bool TQELTableLocksFile::SetLockByte(std::int32_t s, std::uint8_t k) {
  CheckOpen(10491);
  return FFile.LockByte(BytePosition(s, k));
}

bool TQELTableLocksFile::ClearLockByte(std::int32_t s, std::uint8_t k) {
  CheckOpen(10491);
  return FFile.UnlockByte(BytePosition(s, k));
}

bool TQELTableLocksFile::OtherSessionHolds(std::int32_t s, std::uint8_t k) {
  CheckOpen(10492);
  if (k >= kQELTableLockByteKinds) return false;
  const std::int32_t n = SessionCount();
  const std::int32_t first = k * n;
  // The bytes before and after session s's own one.
  const std::int32_t own = std::clamp(s, -1, n);
  if (own > 0 && FFile.IsRegionLocked(first, own)) return true;
  const std::int32_t after = std::max(own + 1, 0);
  return after < n && FFile.IsRegionLocked(first + after, n - after);
}

bool TQELTableLocksFile::IsGrantable(std::int32_t s, std::uint8_t k, std::uint8_t flag) {
  CheckOpen(10492);
  for (std::uint8_t held = 0; held < kQELTableLockByteKinds; ++held) {
    if (QELLockKindConflicts(k, flag, held) && OtherSessionHolds(s, held)) return false;
  }
  return true;
}

bool TQELTableLocksFile::SetRecordLock(std::int32_t s, const TQELRecordID& recordID) {
  CheckOpen(10493);
  if (!FFile.LockByte(BytePosition(s, tlkRecord))) return false;
  // A lock whose slot could not be written would guard the wrong record.
  TQELLockGuard byte([&] { FFile.UnlockByte(BytePosition(s, tlkRecord)); });
  FFile.DirectWriteBuffer(recordID.data(), SlotPosition(s), kQELRecordIDSize);
  byte.Release();
  return true;
}

bool TQELTableLocksFile::ClearRecordLock(std::int32_t s) {
  CheckOpen(10493);
  return FFile.UnlockByte(BytePosition(s, tlkRecord));
}

bool TQELTableLocksFile::RecordLockedByOther(std::int32_t s, const TQELRecordID& recordID) {
  CheckOpen(10494);
  if (!OtherSessionHolds(s, tlkRecord)) return false;
  const std::int32_t n = SessionCount();
  std::vector<std::uint8_t> slots(static_cast<std::size_t>(n) * kQELRecordIDSize);
  FFile.DirectReadBuffer(slots.data(), SlotPosition(0), static_cast<std::int32_t>(slots.size()));
  for (std::int32_t t = 0; t < n; ++t) {
    if (t == s) continue;
    const std::uint8_t* slot = slots.data() + static_cast<std::size_t>(t) * kQELRecordIDSize;
    // A slot keeps the id of a released lock: only a held byte counts.
    if (std::equal(recordID.begin(), recordID.end(), slot) &&
        FFile.IsByteLocked(tlkRecord * n + t)) {
      return true;
    }
  }
  return false;
}

}  // namespace qel
