#pragma once
// TQELRollbackJournal: the file beside a database file (the database file's
// name followed by "-journal") that makes a change of many pages atomic.
//
// Before a change overwrites bytes of the database file, the bytes it is
// about to overwrite go to the journal, in one write, under a checksum
// seeded with a fresh random nonce: neither a half-written journal nor the
// leftovers of an older one pass for a whole one. Once every byte of the
// change is in the database file the journal is invalidated by clearing its
// signature. The writer holds the database's header lock from before the
// journal is written until after it is invalidated, so a valid journal
// found by whoever holds the header lock is hot: its writer died (or failed)
// in between, and writing the saved bytes back, with the file's old size,
// undoes whatever part of the change reached the database file.
//
// Layout: a header sector of 512 bytes, then the regions part. The header,
// at the start of its sector (the rest of the sector is zero):
//
//    0  8  signature "QELJRNL1"
//    8  8  Nonce (uint64)
//   16  8  DatabaseSize: the database file's size before the change (int64)
//   24  4  RegionCount (int32)
//   28  8  RegionsSize: bytes of the regions part (int64)
//   36  4  RegionsCRC: CRC-32 of the regions part seeded with the nonce
//   40  4  CRC-32 of the header bytes before it
//
// Each region of the regions part:
//
//    0  8  offset in the database file (int64); with bit 62 set, the
//          offset (without that bit) in the companion file, the list of
//          taken pages beside the database file (TQELTakenPagesFile)
//    8  4  size (int32)
//   12     the region's original bytes
//
// All numbers little-endian.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/QELDatabaseFile.h"
#include "platform/QELFunctionRef.h"

namespace qel {

namespace journal_format {

inline constexpr std::int64_t kHeaderSectorSize = 512;

inline constexpr int kSignature = 0;
inline constexpr int kNonce = 8;
inline constexpr int kDatabaseSize = 16;
inline constexpr int kRegionCount = 24;
inline constexpr int kRegionsSize = 28;
inline constexpr int kRegionsCRC = 36;
inline constexpr int kHeaderCRC = 40;
inline constexpr int kHeaderSize = 44;

inline constexpr int kRegionOffset = 0;
inline constexpr int kRegionSize = 8;
inline constexpr int kRegionPrefixSize = 12;  // where the region's bytes start
// The mark of a region of the companion file; no database file reaches
// this offset.
inline constexpr std::int64_t kCompanionRegion = std::int64_t{1} << 62;

// Every field starts where the one before it ends.
static_assert(kNonce == kSignature + 8);
static_assert(kDatabaseSize == kNonce + sizeof(std::uint64_t));
static_assert(kRegionCount == kDatabaseSize + sizeof(std::int64_t));
static_assert(kRegionsSize == kRegionCount + sizeof(std::int32_t));
static_assert(kRegionsCRC == kRegionsSize + sizeof(std::int64_t));
static_assert(kHeaderCRC == kRegionsCRC + sizeof(std::uint32_t));
static_assert(kHeaderSize == kHeaderCRC + sizeof(std::uint32_t) && kHeaderSize <= kHeaderSectorSize);
static_assert(kRegionSize == kRegionOffset + sizeof(std::int64_t));
static_assert(kRegionPrefixSize == kRegionSize + sizeof(std::int32_t));

}  // namespace journal_format

class TQELRollbackJournal {
 public:
  static std::string PathFor(const std::string& databaseFileName);

  // Points the journal at the database file's journal and opens the journal
  // file when it exists; a writable journal creates its file with the first
  // Write. Closes any journal attached before.
  void Attach(const std::string& databaseFileName, bool writable);
  void Detach();
  bool Attached() const { return !FPath.empty(); }
  const std::string& Path() const { return FPath; }
  // Detaches and removes the journal file; only an opener that has the
  // database file to itself may. A handle that still has the removed file
  // open lets it go at its next look or write (see EnsureOpen).
  void DetachAndRemove();

  // Starts the journal of a change to a database file of `databaseSize`
  // bytes; nothing is written yet.
  void Start(std::int64_t databaseSize);
  // Adds a region of `size` bytes at `offset` of the database file and
  // answers where its original bytes go (the caller fills them in before
  // Write).
  std::uint8_t* AddRegion(std::int64_t offset, std::int32_t size);
  // Writes the started journal whole. From here until Invalidate a crash
  // leaves it hot.
  void Write();
  // Makes the written journal durable.
  void Sync();
  // Clears the signature; with `sync` the clearing is made durable too.
  void Invalidate(bool sync);
  // Invalidate in two steps: the clearing write, after which the journal is
  // no longer valid, then (with `sync`) making it durable.
  void ClearSignature();
  void FinishClearing(bool sync);

  // Whether the journal file has a valid header: a cheap look, which a
  // journal whose regions turn out damaged still passes.
  bool HasValidHeader();
  // Whether the journal file holds a whole, valid journal.
  bool IsValid();
  // Writes a valid journal's bytes back into `database` (and the companion
  // file's into the file `companion` gives, asked only when there are
  // such regions), restores the database's size, flushes what it wrote,
  // then invalidates the journal durably. False when there was no valid
  // journal.
  bool RollBack(TQELDatabaseFile& database, TQELFunctionRef<TQELDatabaseFile&()> companion);
  // For a journal of the database file alone: a companion region raises.
  bool RollBack(TQELDatabaseFile& database);

 private:
  struct THeader {
    std::uint64_t Nonce = 0;
    std::int64_t DatabaseSize = 0;
    std::int32_t RegionCount = 0;
    std::int64_t RegionsSize = 0;
    std::uint32_t RegionsCRC = 0;
  };

  bool EnsureOpen(bool create);
  bool ReadHeader(THeader& header);
  bool ReadRegions(const THeader& header);
  void StoreHeader(const THeader& header);

  std::string FPath;
  bool FWritable = false;
  TQELDatabaseFile FFile;
  // The journal being built: header sector and regions, written at once.
  std::vector<std::uint8_t> FBuffer;
  std::int32_t FRegionCount = 0;
  std::int64_t FDatabaseSize = 0;
  // Whether the journal file's directory entry is known durable.
  bool FEntryDurable = false;
};

}  // namespace qel
