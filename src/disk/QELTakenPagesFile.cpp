#include "disk/QELTakenPagesFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "disk/QELRollbackJournal.h"
#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "platform/QELFile.h"

namespace qel {

namespace {

using namespace taken_format;

constexpr char kSignatureBytes[8] = {'Q', 'E', 'L', 'T', 'A', 'K', 'N', '1'};

// Native codes of the file's own failures.
constexpr std::int32_t kCreateFailed = 20305;
constexpr std::int32_t kWriteFailed = 20306;
constexpr std::int32_t kReadFailed = 20307;

std::int64_t DirectoryEnd(std::int32_t slotCount) { return kDirectory + kEntrySize * slotCount; }

}  // namespace

std::string TQELTakenPagesFile::PathFor(const std::string& databaseFileName) {
  return databaseFileName + "-taken";
}

void TQELTakenPagesFile::Attach(const std::string& databaseFileName, bool writable) {
  Detach();
  FPath = PathFor(databaseFileName);
  FWritable = writable;
  EnsureOpen(false);
}

void TQELTakenPagesFile::Detach() {
  if (FFile.IsOpen()) FFile.CloseFile();
  FPath.clear();
  FEntryDurable = false;
  ClearHeld();
}

void TQELTakenPagesFile::DetachAndRemove() {
  const std::string path = FPath;
  Detach();
  if (!path.empty()) QELDeleteFile(path);
}

// Opens the file when it exists (another process may have created it since
// the last look), or, with `create`, creates it. A file removed by the
// database's last opener is let go, as the journal does.
bool TQELTakenPagesFile::EnsureOpen(bool create) {
  if (FFile.IsOpen()) {
    if (!FFile.IsUnlinked()) return true;
    FFile.CloseFile();
    FEntryDurable = false;
  }
  FSlotCount = -1;
  if (FPath.empty()) return false;
  if (QELFileExists(FPath)) {
    try {
      FFile.OpenFile(FPath, FWritable ? faReadWrite : faRead, fsReadWrite);
      return true;
    } catch (const EQELException&) {
      if (!create) return false;
      throw;
    }
  }
  if (!create) return false;
  if (!FWritable) {
    throw EQELException(kWriteFailed, "Cannot write file '%s': the database file is open read-only", {FPath});
  }
  try {
    FFile.CreateFile(FPath, fsReadWrite);
  } catch (const EQELException& error) {
    throw EQELException(kCreateFailed, "Cannot create file '%s': %s", {FPath, error.what()});
  }
  FEntryDurable = false;
  return true;
}

void TQELTakenPagesFile::Start() {
  // Other processes may have written the file since the last change.
  if (FHeld.empty()) FStoredSize = -1;
  FMark = FHeld.size();
}

void TQELTakenPagesFile::Undo() {
  FHeld.resize(std::min(FHeld.size(), FMark));
  if (FHeld.empty()) FStoredSize = -1;
}

void TQELTakenPagesFile::ClearHeld() {
  FHeld.clear();
  FMark = 0;
  FStoredSize = -1;
}

// Read once per change: one look tells the size and whether the file is
// still the one of that name.
std::int64_t TQELTakenPagesFile::StoredSize() {
  if (FStoredSize >= 0) return FStoredSize;
  FStoredEntries.clear();
  bool unlinked = true;
  if (FFile.IsOpen()) FStoredSize = FFile.GetSize(unlinked);
  if (unlinked) FStoredSize = EnsureOpen(false) ? FFile.GetSize() : 0;
  return FStoredSize;
}

void TQELTakenPagesFile::Read(void* buffer, std::int64_t position, std::int64_t count) {
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::memset(out, 0, static_cast<std::size_t>(count));
  const std::int64_t stored = StoredSize();
  if (position < stored) {
    const std::int64_t n = std::min(count, stored - position);
    FFile.ReadAvailableChecked(out, kReadFailed, position, n);
  }
  for (const THeldWrite& write : FHeld) {
    const std::int64_t from = std::max(position, write.Offset);
    const std::int64_t to = std::min(position + count, write.Offset + static_cast<std::int64_t>(write.Bytes.size()));
    if (from < to) {
      std::memcpy(out + (from - position), write.Bytes.data() + (from - write.Offset),
                  static_cast<std::size_t>(to - from));
    }
  }
}

void TQELTakenPagesFile::Write(std::int64_t position, const void* bytes, std::int64_t count, bool journaled) {
  const auto* in = static_cast<const std::uint8_t*>(bytes);
  FHeld.push_back({position, std::vector<std::uint8_t>(in, in + count), journaled});
}

std::int32_t TQELTakenPagesFile::SlotCount(bool create) {
  // Every allocation asks: the stored file's count is read once.
  StoredSize();
  if (FSlotCount >= 0) return FSlotCount;
  std::uint8_t header[kDirectory];
  Read(header, 0, kDirectory);
  if (std::memcmp(header + kSignature, kSignatureBytes, sizeof kSignatureBytes) == 0) {
    const std::int32_t slotCount = std::max(QELReadLE<std::int32_t>(header + kSlotCount), 0);
    if (FHeld.empty()) FSlotCount = slotCount;
    return slotCount;
  }
  if (!create || FNewSlotCount <= 0) return 0;
  // A new file, or one whose header never got written whole: its directory
  // starts empty.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(DirectoryEnd(FNewSlotCount)), 0);
  std::memcpy(bytes.data() + kSignature, kSignatureBytes, sizeof kSignatureBytes);
  QELWriteLE(bytes.data() + kSlotCount, FNewSlotCount);
  Write(0, bytes.data(), static_cast<std::int64_t>(bytes.size()));
  return FNewSlotCount;
}

TQELTakenPagesFile::TEntry TQELTakenPagesFile::ReadEntry(std::int32_t slot) {
  const std::int32_t slotCount = SlotCount(false);
  if (slot < 0 || slot >= slotCount) return {};
  const std::int64_t entryAt = kDirectory + kEntrySize * slot;
  TStoredEntry stored{entryAt, {}};
  Read(stored.Bytes.data(), entryAt, kEntrySize);
  // Bytes the file has as they are: the journal's before-image, should
  // the change write the entry.
  if (entryAt + kEntrySize <= StoredSize() && !HeldOverlaps(entryAt, kEntrySize)) FStoredEntries.push_back(stored);
  return ParseEntry(stored.Bytes.data(), slotCount, End());
}

bool TQELTakenPagesFile::HeldOverlaps(std::int64_t position, std::int64_t count) const {
  return std::any_of(FHeld.begin(), FHeld.end(), [&](const THeldWrite& write) {
    return write.Offset < position + count && position < write.Offset + static_cast<std::int64_t>(write.Bytes.size());
  });
}

TQELTakenPagesFile::TEntry TQELTakenPagesFile::ParseEntry(const std::uint8_t* bytes, std::int32_t slotCount,
                                                          std::int64_t end) {
  TEntry entry;
  entry.Area = QELReadLE<std::int64_t>(bytes + kEntryArea);
  entry.Capacity = QELReadLE<std::int32_t>(bytes + kEntryCapacity);
  entry.Count = QELReadLE<std::int32_t>(bytes + kEntryCount);
  // A damaged entry lists nothing: giving back a page on its word could
  // free one that is in use.
  if (entry.Count < 0 || entry.Capacity < entry.Count || entry.Area < DirectoryEnd(slotCount) ||
      entry.Area > end - std::int64_t{entry.Count} * 4) {
    return {};
  }
  return entry;
}

void TQELTakenPagesFile::WriteEntry(std::int32_t slot, const TEntry& entry) {
  std::uint8_t bytes[kEntrySize] = {};
  QELWriteLE(bytes + kEntryArea, entry.Area);
  QELWriteLE(bytes + kEntryCapacity, entry.Capacity);
  QELWriteLE(bytes + kEntryCount, entry.Count);
  Write(kDirectory + kEntrySize * slot, bytes, kEntrySize);
}

std::int64_t TQELTakenPagesFile::End() {
  std::int64_t end = std::max(StoredSize(), DirectoryEnd(SlotCount(false)));
  for (const THeldWrite& write : FHeld) {
    end = std::max(end, write.Offset + static_cast<std::int64_t>(write.Bytes.size()));
  }
  return (end + 7) / 8 * 8;
}

bool TQELTakenPagesFile::Append(std::int32_t slot, std::int32_t pageNo) {
  if (slot < 0 || slot >= SlotCount(true)) return false;
  TEntry entry = ReadEntry(slot);
  if (entry.Count >= entry.Capacity) {
    if (entry.Capacity > std::numeric_limits<std::int32_t>::max() / 2) return false;
    // The new area is written whole, so that the next area of this change
    // starts past it.
    TEntry moved;
    moved.Capacity = std::max(kFirstCapacity, entry.Capacity * 2);
    moved.Area = End();
    moved.Count = entry.Count;
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(moved.Capacity) * 4, 0);
    if (entry.Count > 0) Read(bytes.data(), entry.Area, std::int64_t{entry.Count} * 4);
    Write(moved.Area, bytes.data(), static_cast<std::int64_t>(bytes.size()), false);
    entry = moved;
  }
  // The number goes past the list's stored Count, where a rollback that
  // restores the entry leaves nothing to restore; unless this change
  // already changed the entry (emptied the list, say).
  const bool entryChanged = HeldOverlaps(kDirectory + kEntrySize * slot, kEntrySize);
  std::uint8_t bytes[4];
  QELWriteLE(bytes, pageNo);
  Write(entry.Area + std::int64_t{entry.Count} * 4, bytes, 4, entryChanged);
  ++entry.Count;
  WriteEntry(slot, entry);
  return true;
}

void TQELTakenPagesFile::Clear(std::int32_t slot) {
  TEntry entry = ReadEntry(slot);
  if (entry.Count == 0) return;
  entry.Count = 0;
  WriteEntry(slot, entry);
}

std::vector<std::int32_t> TQELTakenPagesFile::Pages(std::int32_t slot) {
  const TEntry entry = ReadEntry(slot);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(entry.Count) * 4);
  if (!bytes.empty()) Read(bytes.data(), entry.Area, static_cast<std::int64_t>(bytes.size()));
  std::vector<std::int32_t> pageNos(static_cast<std::size_t>(entry.Count));
  for (std::size_t i = 0; i < pageNos.size(); ++i) pageNos[i] = QELReadLE<std::int32_t>(bytes.data() + 4 * i);
  return pageNos;
}

std::vector<std::int32_t> TQELTakenPagesFile::SlotsInUse() {
  std::vector<std::int32_t> slots;
  const std::int32_t slotCount = SlotCount(false);
  if (slotCount == 0) return slots;
  std::vector<std::uint8_t> directory(static_cast<std::size_t>(kEntrySize * slotCount));
  Read(directory.data(), kDirectory, static_cast<std::int64_t>(directory.size()));
  const std::int64_t end = End();
  for (std::int32_t slot = 0; slot < slotCount; ++slot) {
    if (ParseEntry(directory.data() + kEntrySize * slot, slotCount, end).Count > 0) slots.push_back(slot);
  }
  return slots;
}

void TQELTakenPagesFile::JournalOriginals(TQELRollbackJournal& journal) {
  const std::int64_t stored = StoredSize();
  for (const THeldWrite& write : FHeld) {
    if (!write.Journaled || write.Offset >= stored) continue;
    const std::int64_t n = std::min(static_cast<std::int64_t>(write.Bytes.size()), stored - write.Offset);
    std::uint8_t* original =
        journal.AddRegion(journal_format::kCompanionRegion | write.Offset, static_cast<std::int32_t>(n));
    const auto known = std::find_if(FStoredEntries.begin(), FStoredEntries.end(), [&](const TStoredEntry& entry) {
      return entry.Offset == write.Offset && n == kEntrySize;
    });
    if (known != FStoredEntries.end()) {
      std::memcpy(original, known->Bytes.data(), kEntrySize);
    } else {
      FFile.ReadBufferChecked(original, kReadFailed, write.Offset, n);
    }
  }
}

void TQELTakenPagesFile::WriteHeld(bool flush) {
  if (FHeld.empty()) return;
  // The change looked at the file under the header lock, where nobody
  // removes it: a file open then is still the one.
  if (FStoredSize < 0 || !FFile.IsOpen()) EnsureOpen(true);
  for (const THeldWrite& write : FHeld) {
    FFile.WriteBuffer(write.Bytes.data(), kWriteFailed, write.Offset, static_cast<std::int64_t>(write.Bytes.size()));
  }
  if (!flush) return;
  FFile.FlushFileBuffers();
  if (!FEntryDurable) {
    // A file just created must survive power loss by name too.
    if (!QELFlushDirectoryOf(FPath)) {
      throw EQELException(30379, "Cannot flush file buffers for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                          {FPath, errno, QELFileErrorText(errno)});
    }
    FEntryDurable = true;
  }
}

void TQELTakenPagesFile::Flush() {
  if (FFile.IsOpen() && FWritable) FFile.FlushFileBuffers();
}

TQELDatabaseFile& TQELTakenPagesFile::FileForRollBack() {
  EnsureOpen(true);
  return FFile;
}

}  // namespace qel
