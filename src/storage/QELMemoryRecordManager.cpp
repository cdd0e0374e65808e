// TQELMemoryRecordManager: slots, free bits, natural-order stepping and the
// conversion between slots and record numbers.

#include "storage/QELMemoryRecordManager.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>

#include "memory/QELMemory.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

namespace {

// For each byte of the free bits, how many of its slots hold a record (its
// 0 bits).
constexpr auto kLiveBits = [] {
  std::array<std::uint8_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b) table[b] = static_cast<std::uint8_t>(8 - std::popcount(b));
  return table;
}();

constexpr std::int32_t kMaxSlots = std::numeric_limits<std::int32_t>::max();

std::int64_t FreeBytesFor(std::int64_t slotCount) { return (slotCount + 7) / 8; }

}  // namespace

TQELMemoryRecordManager::TQELMemoryRecordManager(std::int32_t recordSize, std::int32_t growStep)
    : TQELBaseRecordManager(recordSize),
      FSlots(recordSize, std::max(growStep, 1),
             std::bit_ceil(static_cast<std::uint32_t>(std::max(growStep, 1)))) {
  if (recordSize <= 0) throw EQELException(10011, "Invalid record size = %d", {recordSize});
}

TQELMemoryRecordManager::~TQELMemoryRecordManager() { Release(); }

void TQELMemoryRecordManager::Release() {
  FSlots.Release();
  void* freeSlots = FFreeSlots;
  FFreeSlots = nullptr;
  // The block carries intact guards; a report of damage could only come
  // from a write past its bits, which no path here makes.
  try {
    QELMemoryManager().FreeAndNillMem(freeSlots);
  } catch (...) {
  }
}

std::int32_t TQELMemoryRecordManager::SlotOf(const TQELRecordID& recordID) {
  return QELReadLE<std::int32_t>(recordID.data());
}

TQELRecordID TQELMemoryRecordManager::IDOfSlot(std::int32_t slot) {
  TQELRecordID id{};
  QELWriteLE<std::int32_t>(id.data(), slot);
  return id;
}

bool TQELMemoryRecordManager::IsLive(std::int32_t slot) const {
  if (slot < 0 || slot >= FSlots.Capacity()) return false;
  return ((FFreeSlots[slot >> 3] >> (slot & 7)) & 1) == 0;
}

void TQELMemoryRecordManager::SetFree(std::int32_t slot, bool isFree) {
  const auto mask = static_cast<std::uint8_t>(1u << (slot & 7));
  if (isFree) {
    FFreeSlots[slot >> 3] |= mask;
  } else {
    FFreeSlots[slot >> 3] &= static_cast<std::uint8_t>(~mask);
  }
}

// A chunk of slots at a time; only the chunk that reaches the largest
// count is cut short, and after it nothing can be added. The slots and
// their free bits grow together or not at all.
bool TQELMemoryRecordManager::Reserve(std::int32_t slot) {
  const std::int32_t oldCount = SlotCount();
  if (slot < oldCount) return true;
  try {
    if (!FSlots.Grow(kMaxSlots)) return false;
  } catch (const std::exception&) {
    return false;
  }
  const std::int32_t count = SlotCount();
  const std::int64_t oldBytes = FreeBytesFor(oldCount);
  const std::int64_t newBytes = FreeBytesFor(count);
  try {
    void* freeSlots = FFreeSlots;
    QELMemoryManager().ReallocMem(freeSlots, false, newBytes);
    FFreeSlots = static_cast<std::uint8_t*>(freeSlots);
  } catch (const std::exception&) {
    FSlots.DropLastChunk();
    return false;
  }
  // New slots are free, and so are the bits past the old count in what
  // was the last byte.
  std::memset(FFreeSlots + oldBytes, 0xFF, static_cast<std::size_t>(newBytes - oldBytes));
  for (std::int32_t s = oldCount; s < std::min<std::int64_t>(oldBytes * 8, count); ++s) {
    SetFree(s, true);
  }
  return true;
}

void TQELMemoryRecordManager::EmptyRecords(std::int32_t) {
  Release();
  FRecordCount = 0;
  FFirstSlot = 0;
  FLastSlot = 0;
  FNoGaps = true;
  NoteChange();
}

bool TQELMemoryRecordManager::InsertRecord(std::int32_t, const std::uint8_t* record,
                                           TQELRecordID& recordID) {
  if (record == nullptr) return false;
  if (FRecordCount > 0 && FLastSlot == kMaxSlots) return false;
  const std::int32_t slot = FRecordCount > 0 ? FLastSlot + 1 : 0;
  if (!Reserve(slot)) return false;
  std::memcpy(FSlots.At(slot), record, static_cast<std::size_t>(FRecordBufferSize));
  SetFree(slot, false);
  if (FRecordCount == 0) {
    FFirstSlot = slot;
  }
  FLastSlot = slot;
  ++FRecordCount;
  NoteChange();
  recordID = IDOfSlot(slot);
  return true;
}

bool TQELMemoryRecordManager::UpdateRecord(std::int32_t, const std::uint8_t* record,
                                           const TQELRecordID& recordID) {
  const std::int32_t slot = SlotOf(recordID);
  if (record == nullptr || !IsLive(slot)) return false;
  std::memcpy(FSlots.At(slot), record, static_cast<std::size_t>(FRecordBufferSize));
  NoteChange();
  return true;
}

bool TQELMemoryRecordManager::DeleteRecord(std::int32_t, TQELRecordID& recordID) {
  recordID[4] = 0;
  recordID[5] = 0;
  const std::int32_t slot = SlotOf(recordID);
  if (FRecordCount == 0 || !IsLive(slot)) return false;
  SetFree(slot, true);
  --FRecordCount;
  if (FRecordCount == 0) {
    FFirstSlot = 0;
    FLastSlot = 0;
  } else {
    if (slot == FFirstSlot) FFirstSlot = NextLive(slot);
    if (slot == FLastSlot) {
      FLastSlot = PriorLive(slot);
      recordID = IDOfSlot(FLastSlot);
    }
  }
  // Taking the last record off the top leaves slots 0..LastSlot as they
  // were: no gap appears.
  if (slot != FLastSlot + 1 && FRecordCount > 0) FNoGaps = false;
  if (FRecordCount == 0 && slot != 0) FNoGaps = false;
  NoteChange();
  return true;
}

// Slots are stepped as int64, so that an id from outside (any int32)
// cannot overflow on the way.
std::int32_t TQELMemoryRecordManager::NextLive(std::int32_t slot) const {
  if (FRecordCount == 0 || slot >= FLastSlot) return -1;
  std::int64_t s = slot < FFirstSlot ? FFirstSlot : std::int64_t{slot} + 1;
  while (s <= FLastSlot) {
    const std::uint8_t bits = FFreeSlots[s >> 3];
    if ((s & 7) == 0 && bits == 0xFF) {
      s += 8;
      continue;
    }
    if (((bits >> (s & 7)) & 1) == 0) return static_cast<std::int32_t>(s);
    ++s;
  }
  return -1;
}

std::int32_t TQELMemoryRecordManager::PriorLive(std::int32_t slot) const {
  if (FRecordCount == 0 || slot <= FFirstSlot) return -1;
  std::int64_t s = slot > FLastSlot ? FLastSlot : std::int64_t{slot} - 1;
  while (s >= FFirstSlot) {
    const std::uint8_t bits = FFreeSlots[s >> 3];
    if ((s & 7) == 7 && bits == 0xFF) {
      s -= 8;
      continue;
    }
    if (((bits >> (s & 7)) & 1) == 0) return static_cast<std::int32_t>(s);
    --s;
  }
  return -1;
}

void TQELMemoryRecordManager::GetRecord(std::int32_t, TQELRecordRequest& request) {
  std::int32_t found = -1;
  if (FRecordCount == 0) {
    request.Result = grEOF;
    return;
  }
  if (request.BeforeFirst) {
    if (request.Mode == grmNext) {
      found = FFirstSlot;
    } else {
      request.Result = request.Mode == grmPrior ? grBOF : grError;
      return;
    }
  } else if (request.AfterLast) {
    if (request.Mode == grmPrior) {
      found = FLastSlot;
    } else {
      request.Result = request.Mode == grmNext ? grEOF : grError;
      return;
    }
  } else {
    const std::int32_t slot = SlotOf(request.RecordID);
    switch (request.Mode) {
      case grmCurrent:
        if (!IsLive(slot)) {
          request.Result = grError;
          return;
        }
        found = slot;
        break;
      case grmNext:
        found = NextLive(slot);
        if (found < 0) {
          request.Result = grEOF;
          request.AfterLast = true;
          return;
        }
        break;
      case grmPrior:
        found = PriorLive(slot);
        if (found < 0) {
          request.Result = grBOF;
          request.BeforeFirst = true;
          return;
        }
        break;
      default:
        request.Result = grError;
        return;
    }
  }
  if (request.Buffer == nullptr) throw EQELException(10019, "Error retreiving record");
  std::memcpy(request.Buffer, FSlots.At(found), static_cast<std::size_t>(FRecordBufferSize));
  request.RecordID = IDOfSlot(found);
  request.BeforeFirst = false;
  request.AfterLast = false;
  request.Result = grOK;
}

std::int32_t TQELMemoryRecordManager::CompareRecordIDs(const TQELRecordID& a,
                                                       const TQELRecordID& b) {
  const std::int32_t x = SlotOf(a);
  const std::int32_t y = SlotOf(b);
  return x > y ? 1 : x < y ? -1 : 0;
}

std::int64_t TQELMemoryRecordManager::GetRecordsBefore(std::int32_t, const TQELRecordID& recordID) {
  const std::int32_t slot = SlotOf(recordID);
  if (FRecordCount == 0 || slot < FFirstSlot || slot > FLastSlot) return -1;
  if (FRecordCount == 1) return 1;
  // The records are spread over FirstSlot..LastSlot: the share of that
  // span below the slot, times the records after the first one. The first
  // slot gives 1, the last the record count, a dense table the exact place.
  const double share = static_cast<double>(slot - FFirstSlot) /
                       static_cast<double>(FLastSlot - FFirstSlot);
  return static_cast<std::int64_t>(
             std::nearbyint(share * static_cast<double>(FRecordCount - 1))) +
         1;
}

std::int64_t TQELMemoryRecordManager::SlotToPosition(std::int32_t slot) const {
  if (slot < 0 || slot >= FSlots.Capacity()) return -1;
  if (FNoGaps) return std::min<std::int64_t>(std::int64_t{slot} + 1, FRecordCount);
  std::int64_t live = 0;
  const std::int32_t lastByte = slot >> 3;
  for (std::int32_t i = 0; i < lastByte; ++i) live += kLiveBits[FFreeSlots[i]];
  const std::uint8_t bits = FFreeSlots[lastByte];
  for (std::int32_t b = 0; b <= (slot & 7); ++b) {
    if (((bits >> b) & 1) == 0) ++live;
  }
  return live;
}

std::int32_t TQELMemoryRecordManager::PositionToSlot(std::int64_t position) const {
  if (position < 0 || position >= FRecordCount) return -1;
  if (FNoGaps) return static_cast<std::int32_t>(position);
  const std::int64_t wanted = position + 1;
  std::int64_t live = 0;
  const std::int64_t bytes = FreeBytesFor(std::int64_t{FLastSlot} + 1);
  std::int64_t i = 0;
  while (i < bytes && live + kLiveBits[FFreeSlots[i]] < wanted) live += kLiveBits[FFreeSlots[i++]];
  for (std::int64_t s = i * 8; s <= FLastSlot; ++s) {
    const auto slot = static_cast<std::int32_t>(s);
    if (IsLive(slot) && ++live == wanted) return slot;
  }
  return -1;
}

}  // namespace qel
