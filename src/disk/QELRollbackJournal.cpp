#include "disk/QELRollbackJournal.h"

#include <zlib.h>

#include <array>
#include <atomic>
#include <cstring>
#include <random>

#include "platform/QELEndian.h"
#include "platform/QELException.h"
#include "platform/QELFile.h"

namespace qel {

namespace {

using namespace journal_format;

constexpr char kSignatureBytes[8] = {'Q', 'E', 'L', 'J', 'R', 'N', 'L', '1'};
constexpr std::size_t kHeaderFieldsSize = kHeaderCRC;  // the bytes the header CRC covers
constexpr std::size_t kKeptJournalSize = std::size_t{4} << 20;

// Native codes of the journal's own failures.
constexpr std::int32_t kCreateFailed = 20300;
constexpr std::int32_t kWriteFailed = 20301;
constexpr std::int32_t kReadFailed = 20302;

std::uint32_t Crc32(std::uint32_t seed, const std::uint8_t* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32_z(seed, data, size));
}

// A nonce no earlier journal of this file is likely to have had: a random
// seed per process, stepped per journal.
std::uint64_t NextNonce() {
  static const std::uint64_t seed = (std::uint64_t{std::random_device{}()} << 32) ^ std::random_device{}();
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ULL * (counter.fetch_add(1) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return (z ^ (z >> 31)) | 1;
}

}  // namespace

std::string TQELRollbackJournal::PathFor(const std::string& databaseFileName) {
  return databaseFileName + "-journal";
}

void TQELRollbackJournal::Attach(const std::string& databaseFileName, bool writable) {
  Detach();
  FPath = PathFor(databaseFileName);
  FWritable = writable;
  EnsureOpen(false);
}

void TQELRollbackJournal::Detach() {
  if (FFile.IsOpen()) FFile.CloseFile();
  FPath.clear();
  FEntryDurable = false;
}

void TQELRollbackJournal::DetachAndRemove() {
  const std::string path = FPath;
  Detach();
  if (!path.empty()) QELDeleteFile(path);
}

// Opens the journal file when it exists, or, with `create`, creates it. The
// file is shared: every process of a multi-user database uses the same one.
//
// A journal file removed by a handle that closed the database as its last
// opener is let go: its bytes would reach no one who looks for a journal,
// so the file of that name is opened (or created) instead.
bool TQELRollbackJournal::EnsureOpen(bool create) {
  if (FFile.IsOpen()) {
    if (!FFile.IsUnlinked()) return true;
    FFile.CloseFile();
    FEntryDurable = false;
  }
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
    throw EQELException(kWriteFailed, "Cannot write journal file '%s': the database file is open read-only",
                        {FPath});
  }
  try {
    FFile.CreateFile(FPath, fsReadWrite);
  } catch (const EQELException& error) {
    throw EQELException(kCreateFailed, "Cannot create journal file '%s': %s", {FPath, error.what()});
  }
  FEntryDurable = false;
  return true;
}

void TQELRollbackJournal::Start(std::int64_t databaseSize) {
  FBuffer.assign(kHeaderSectorSize, 0);
  FRegionCount = 0;
  FDatabaseSize = databaseSize;
}

std::uint8_t* TQELRollbackJournal::AddRegion(std::int64_t offset, std::int32_t size) {
  const std::size_t at = FBuffer.size();
  FBuffer.resize(at + kRegionPrefixSize + static_cast<std::size_t>(size));
  QELWriteLE(FBuffer.data() + at + kRegionOffset, offset);
  QELWriteLE(FBuffer.data() + at + kRegionSize, size);
  ++FRegionCount;
  return FBuffer.data() + at + kRegionPrefixSize;
}

void TQELRollbackJournal::StoreHeader(const THeader& header) {
  std::uint8_t* b = FBuffer.data();
  std::memcpy(b + kSignature, kSignatureBytes, sizeof(kSignatureBytes));
  QELWriteLE(b + kNonce, header.Nonce);
  QELWriteLE(b + kDatabaseSize, header.DatabaseSize);
  QELWriteLE(b + kRegionCount, header.RegionCount);
  QELWriteLE(b + kRegionsSize, header.RegionsSize);
  QELWriteLE(b + kRegionsCRC, header.RegionsCRC);
  QELWriteLE(b + kHeaderCRC, Crc32(0, b, kHeaderFieldsSize));
}

void TQELRollbackJournal::Write() {
  EnsureOpen(true);
  THeader header;
  header.Nonce = NextNonce();
  header.DatabaseSize = FDatabaseSize;
  header.RegionCount = FRegionCount;
  header.RegionsSize = static_cast<std::int64_t>(FBuffer.size()) - kHeaderSectorSize;
  std::uint8_t nonceBytes[8];
  QELWriteLE(nonceBytes, header.Nonce);
  header.RegionsCRC = Crc32(Crc32(0, nonceBytes, 8), FBuffer.data() + kHeaderSectorSize,
                            static_cast<std::size_t>(header.RegionsSize));
  StoreHeader(header);
  FFile.WriteBuffer(FBuffer.data(), kWriteFailed, 0, static_cast<std::int64_t>(FBuffer.size()));
}

void TQELRollbackJournal::Sync() {
  FFile.FlushFileBuffers();
  if (!FEntryDurable) {
    // A journal file just created must survive power loss by name too.
    if (!QELFlushDirectoryOf(FPath)) {
      throw EQELException(30379, "Cannot flush file buffers for file: '%s'. ErrorCode:%d. ErrorMessage: %s",
                          {FPath, errno, QELFileErrorText(errno)});
    }
    FEntryDurable = true;
  }
}

void TQELRollbackJournal::Invalidate(bool sync) {
  ClearSignature();
  FinishClearing(sync);
}

void TQELRollbackJournal::ClearSignature() {
  static constexpr std::uint8_t kCleared[sizeof(kSignatureBytes)] = {};
  FFile.WriteBuffer(kCleared, kWriteFailed, kSignature, sizeof(kCleared));
}

void TQELRollbackJournal::FinishClearing(bool sync) {
  // After a large change the journal's file and buffer give their space
  // back; small ones keep theirs for the next change. Only space is at
  // stake, so a failure to cut the file is not one to report.
  if (FBuffer.capacity() > kKeptJournalSize) {
    FBuffer = {};
    try {
      FFile.SetSize(kHeaderSectorSize);
    } catch (const EQELException&) {
    }
  }
  if (sync) FFile.FlushFileBuffers();
}

bool TQELRollbackJournal::ReadHeader(THeader& header) {
  std::array<std::uint8_t, kHeaderSize> b{};
  const std::int64_t bytesRead =
      FFile.ReadAvailableChecked(b.data(), kReadFailed, 0, static_cast<std::int64_t>(b.size()));
  if (bytesRead < static_cast<std::int64_t>(b.size()) ||
      std::memcmp(b.data() + kSignature, kSignatureBytes, sizeof(kSignatureBytes)) != 0 ||
      QELReadLE<std::uint32_t>(b.data() + kHeaderCRC) != Crc32(0, b.data(), kHeaderFieldsSize)) {
    return false;
  }
  header.Nonce = QELReadLE<std::uint64_t>(b.data() + kNonce);
  header.DatabaseSize = QELReadLE<std::int64_t>(b.data() + kDatabaseSize);
  header.RegionCount = QELReadLE<std::int32_t>(b.data() + kRegionCount);
  header.RegionsSize = QELReadLE<std::int64_t>(b.data() + kRegionsSize);
  header.RegionsCRC = QELReadLE<std::uint32_t>(b.data() + kRegionsCRC);
  return header.DatabaseSize >= 0 && header.RegionCount >= 0 && header.RegionsSize >= 0;
}

// Reads the regions part into the buffer and checks it whole: the checksum,
// and that the regions fill it exactly.
bool TQELRollbackJournal::ReadRegions(const THeader& header) {
  const std::int64_t journalSize = FFile.GetSize();
  if (header.RegionsSize > journalSize - kHeaderSectorSize) return false;
  FBuffer.resize(static_cast<std::size_t>(header.RegionsSize));
  FFile.ReadBufferChecked(FBuffer.data(), kReadFailed, kHeaderSectorSize, header.RegionsSize);
  std::uint8_t nonceBytes[8];
  QELWriteLE(nonceBytes, header.Nonce);
  if (Crc32(Crc32(0, nonceBytes, 8), FBuffer.data(), FBuffer.size()) != header.RegionsCRC) return false;
  std::size_t at = 0;
  for (std::int32_t i = 0; i < header.RegionCount; ++i) {
    if (FBuffer.size() - at < kRegionPrefixSize) return false;
    const auto offset = QELReadLE<std::int64_t>(FBuffer.data() + at + kRegionOffset);
    const auto size = QELReadLE<std::int32_t>(FBuffer.data() + at + kRegionSize);
    if (offset < 0 || size < 0 || FBuffer.size() - at - kRegionPrefixSize < static_cast<std::size_t>(size)) {
      return false;
    }
    at += kRegionPrefixSize + static_cast<std::size_t>(size);
  }
  return at == FBuffer.size();
}

bool TQELRollbackJournal::HasValidHeader() {
  if (!EnsureOpen(false)) return false;
  THeader header;
  return ReadHeader(header);
}

bool TQELRollbackJournal::IsValid() {
  if (!EnsureOpen(false)) return false;
  THeader header;
  return ReadHeader(header) && ReadRegions(header);
}

bool TQELRollbackJournal::RollBack(TQELDatabaseFile& database) {
  return RollBack(database, [this]() -> TQELDatabaseFile& {
    throw EQELException(kReadFailed, "Journal file '%s' restores a file beside the database that is not open",
                        {FPath});
  });
}

bool TQELRollbackJournal::RollBack(TQELDatabaseFile& database, TQELFunctionRef<TQELDatabaseFile&()> companion) {
  if (!EnsureOpen(false)) return false;
  THeader header;
  if (!ReadHeader(header) || !ReadRegions(header)) return false;
  TQELDatabaseFile* companionFile = nullptr;
  std::size_t at = 0;
  for (std::int32_t i = 0; i < header.RegionCount; ++i) {
    const auto offset = QELReadLE<std::int64_t>(FBuffer.data() + at + kRegionOffset);
    const auto size = QELReadLE<std::int32_t>(FBuffer.data() + at + kRegionSize);
    const std::uint8_t* bytes = FBuffer.data() + at + kRegionPrefixSize;
    if ((offset & kCompanionRegion) != 0) {
      if (companionFile == nullptr) companionFile = &companion();
      companionFile->WriteBuffer(bytes, 10469, offset & ~kCompanionRegion, size);
    } else {
      database.WriteBuffer(bytes, 10469, offset, size);
    }
    at += kRegionPrefixSize + static_cast<std::size_t>(size);
  }
  database.SetSize(header.DatabaseSize);
  database.FlushFileBuffers();
  if (companionFile != nullptr) companionFile->FlushFileBuffers();
  Invalidate(true);
  return true;
}

}  // namespace qel
