#pragma once
// TQELTakenPagesFile: the file beside a multi-user database file (the
// database file's name followed by "-taken") that lists, for every session
// id, the pages that session took from free space and has not committed
// yet.
//
// A multi-user allocation reaches the database file at once, as a change of
// its own, so that other processes see the page taken; the pages it gives
// are written only by the session's commit. A process killed in between
// would leave them marked used with nothing owning them. Each allocation
// therefore appends its page to its session's list in the same atomic
// change, and the commit (or rollback) that settles the pages empties the
// list in its own change: the rollback journal covers this file's bytes
// together with the database file's, so the lists always agree with the
// free-space pages. Whoever takes a dead session's id next, or opens the
// file alone, finds what the dead session left in its list and gives those
// pages back.
//
// Every session id s has two lists: slot 2s for the session's own
// transactions, slot 2s + 1 for the structural changes (committed at once)
// that the process holding s makes.
//
// Layout, all numbers little-endian:
//
//    0  8  signature "QELTAKN1"
//    8  4  SlotCount (int32): the slots in the directory
//   12  4  reserved (0)
//   16     the directory: 16 bytes per slot
//             0  8  Area (int64): where the slot's page numbers are
//             8  4  Capacity (int32): how many page numbers the area holds
//            12  4  Count (int32): how many of them are in the list
//          then the areas, each a row of int32 page numbers.
//
// An area that fills up is copied to a new one of twice the size at the end
// of the file. Only the directory entries and the page numbers below Count
// mean anything, so bytes past the file's stored end never need restoring.
//
// The file's writes are held while a change runs, like the database file's,
// and go to the file with the change behind the journal (see
// TQELDiskPageManager).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "disk/QELDatabaseFile.h"

namespace qel {

class TQELRollbackJournal;

namespace taken_format {

inline constexpr std::int64_t kSignature = 0;
inline constexpr std::int64_t kSlotCount = 8;
inline constexpr std::int64_t kDirectory = 16;
inline constexpr std::int64_t kEntrySize = 16;
inline constexpr std::int64_t kEntryArea = 0;
inline constexpr std::int64_t kEntryCapacity = 8;
inline constexpr std::int64_t kEntryCount = 12;
inline constexpr std::int32_t kFirstCapacity = 64;

}  // namespace taken_format

class TQELTakenPagesFile {
 public:
  static std::string PathFor(const std::string& databaseFileName);

  // The slots of a session id's own pages and of its process's structural
  // changes.
  static std::int32_t OwnSlot(std::int32_t sessionID) { return 2 * sessionID; }
  static std::int32_t StructureSlot(std::int32_t sessionID) { return 2 * sessionID + 1; }

  // Points at the database file's list file, opening it when it exists; a
  // writable one creates the file with its first write.
  void Attach(const std::string& databaseFileName, bool writable);
  void Detach();
  // Detaches and removes the file: only for the database file's only
  // opener, and only when no list holds a page.
  void DetachAndRemove();
  bool Attached() const { return !FPath.empty(); }
  const std::string& Path() const { return FPath; }

  // The slots a new file's directory gets: two for each session id.
  void SetSessionCount(std::int32_t sessionCount) { FNewSlotCount = 2 * sessionCount; }

  // The list operations, each seeing the writes held so far. Append is
  // false when the slot has no room in the directory (a file made for
  // fewer sessions) or its list cannot grow: the page is then not listed.
  bool Append(std::int32_t slot, std::int32_t pageNo);
  // Empties the slot's list; writes nothing when it is empty.
  void Clear(std::int32_t slot);
  std::vector<std::int32_t> Pages(std::int32_t slot);
  // The slots whose lists hold pages.
  std::vector<std::int32_t> SlotsInUse();

  // --- Held writes, driven by the page manager's changes ---
  // Starts holding (the stored size is read once per change).
  void Start();
  bool Empty() const { return FHeld.empty(); }
  void Mark() { FMark = FHeld.size(); }
  void Undo();
  void ClearHeld();
  // Adds the stored bytes that the held writes overwrite to the journal,
  // as regions of the journal's companion file.
  void JournalOriginals(TQELRollbackJournal& journal);
  // Puts the held writes into the file (creating it); with `flush` they are
  // durable when this returns.
  void WriteHeld(bool flush);
  // Makes what earlier changes wrote durable.
  void Flush();
  // The file for the journal's rollback of companion regions, opened (or
  // created) for writing.
  TQELDatabaseFile& FileForRollBack();

 private:
  struct TEntry {
    std::int64_t Area = 0;
    std::int32_t Capacity = 0;
    std::int32_t Count = 0;
  };
  struct THeldWrite {
    std::int64_t Offset;
    std::vector<std::uint8_t> Bytes;
    // Whether a rollback must restore the bytes it overwrites: false for
    // page numbers at or past their list's Count, which mean nothing once
    // the directory entry is restored.
    bool Journaled;
  };

  bool EnsureOpen(bool create);
  std::int64_t StoredSize();
  // The bytes as the held writes leave them; zeros past the end.
  void Read(void* buffer, std::int64_t position, std::int64_t count);
  void Write(std::int64_t position, const void* bytes, std::int64_t count, bool journaled = true);
  bool HeldOverlaps(std::int64_t position, std::int64_t count) const;
  // The directory's slot count, creating the header when the file has none.
  std::int32_t SlotCount(bool create);
  TEntry ReadEntry(std::int32_t slot);
  // A directory entry as stored; a damaged one (pointing outside the file's
  // `end`, say) lists nothing.
  static TEntry ParseEntry(const std::uint8_t* bytes, std::int32_t slotCount, std::int64_t end);
  void WriteEntry(std::int32_t slot, const TEntry& entry);
  // Where the next area goes: past the directory and everything written.
  std::int64_t End();

  std::string FPath;
  bool FWritable = false;
  TQELDatabaseFile FFile;
  bool FEntryDurable = false;
  std::int32_t FNewSlotCount = 0;
  // The stored file's slot count, which never changes in its life; -1
  // until read, and again when the file is opened or created anew.
  std::int32_t FSlotCount = -1;
  // The stored size at the start of the change; -1 when not read yet.
  std::int64_t FStoredSize = -1;
  std::vector<THeldWrite> FHeld;
  std::size_t FMark = 0;
  // Directory entries as the stored file has them, read this change.
  struct TStoredEntry {
    std::int64_t Offset;
    std::array<std::uint8_t, taken_format::kEntrySize> Bytes;
  };
  std::vector<TStoredEntry> FStoredEntries;
};

}  // namespace qel
