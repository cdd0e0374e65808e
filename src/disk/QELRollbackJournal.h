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
// Layout: a header sector of 512 bytes, then the regions, each its offset
// in the database file (int64), its size (int32) and its bytes. The header:
// signature "QELJRNL1", nonce (uint64), the database file's size before the
// change (int64), region count (int32), size of the regions part (int64),
// CRC-32 of the regions part seeded with the nonce (uint32), and the CRC-32
// of the header fields before it (uint32). All numbers little-endian.

#include <cstdint>
#include <string>
#include <vector>

#include "disk/QELDatabaseFile.h"

namespace qel {

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
  // database file to itself may, since others keep the file open.
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
  // Writes a valid journal's bytes back into `database`, restores its size,
  // flushes it, then invalidates the journal durably. False when there was
  // no valid journal.
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
