#pragma once
// TQELDiskPageManager: a database file as numbered pages of one fixed size.
//
// It creates and opens database files (signature, format and password
// checks), maps page numbers to file offsets, reads and writes pages with
// their frame (a CRC and encryption of the data area for encrypted files),
// owns the free-space manager (and is the TQELFreeSpaceFile it works on),
// hands out object ids, and provides the lock bytes that sharing a file
// between processes rests on. Pages are cached and kept per session by the
// TQELPageManager it derives from.
//
// Every change of the file's pages and header runs as an atomic change
// under the header lock: its writes are held in a TQELPageWriteSet until
// the change is complete, then go to the file behind a rollback journal,
// so that a crash or an I/O error at any moment leaves the file as the
// last complete change left it. Whoever takes the header lock next (and
// every opener) rolls a journal left hot by a dead writer back first. A
// single-user writer keeps its allocations and releases in memory until
// the next commit, which writes them with its pages. A multi-user
// allocation goes to the file at once, and lists its page under its
// session id in the taken-pages file in the same change, until the commit
// or rollback that settles the page empties the list: the pages a killed
// writer took are given back by the next holder of its session id, or by
// the file's next only opener.

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "crypto/PageCipher.h"
#include "disk/QELDatabaseFile.h"
#include "disk/QELDatabaseFreeSpaceManager.h"
#include "disk/QELDiskFormat.h"
#include "disk/QELDiskTablePagesCacheManager.h"
#include "disk/QELFreeSpaceFile.h"
#include "disk/QELPageWriteSet.h"
#include "disk/QELRetry.h"
#include "disk/QELRollbackJournal.h"
#include "disk/QELTakenPagesFile.h"
#include "pagecache/QELPageManager.h"
#include "platform/QELFunctionRef.h"

namespace qel {

// What a file is opened with.
struct TQELOpenOptions {
  // Shared with other processes, each taking its locks in the file.
  bool MultiUser = false;
  // No other process may open the file while this one has it.
  bool Exclusive = false;
  // This process does not write the file.
  bool ReadOnly = false;
};

// What an open ended with: the options as the file granted them.
struct TQELOpenResult {
  // As asked, but off for an exclusive open that writes, and off when the
  // file turned out to carry the read-only attribute.
  bool MultiUser = false;
  // As asked, or on because the file cannot be written.
  bool ReadOnly = false;
  // The file was not closed cleanly or is of an old format.
  bool NeedRepair = false;
  // The file's cipher type; the password's for a plain file.
  std::uint8_t CryptoAlgorithm = 0;
};

class TQELDiskPageManager : public TQELPageManager, private TQELFreeSpaceFile {
 public:
  TQELDiskPageManager();
  ~TQELDiskPageManager() override;

  // Creates a new file (replacing an existing one): 380 bytes of prologue
  // and no pages yet.
  void CreateDatabase(const std::string& fileName, const TQELPassword& password,
                      std::uint16_t pageCountInExtent, std::uint16_t pageSize);
  // Opens an existing file. The password's cipher type does not matter:
  // an encrypted file names its own, which comes back in the result.
  TQELOpenResult OpenDatabase(const std::string& fileName, const TQELPassword& password,
                              const TQELOpenOptions& options = {});
  // Closes the file. When this handle is the file's only opener (opened
  // exclusively, or `onlyOpener` as the caller knows: no other process has
  // a session in the file) the free pages at the end of the file are cut
  // off and the journal file goes with the close. The journal stays when
  // it is hot, or when the header lock is taken.
  void CloseDatabase(bool onlyOpener = false);
  bool IsOpen() const { return FFile.IsOpen(); }

  // Writes the session's changes as one atomic change; with `flush` the
  // change is durable (journal, database file and the journal's clearing
  // are flushed in that order) before this returns.
  void Commit(std::int32_t sessionID, bool flush);
  // Whether every commit (and, in multi-user mode, every allocation) is
  // flushed; off by default, when a commit survives a crash of the process
  // but not necessarily a power loss.
  bool FlushEveryCommit() const { return FFlushEveryCommit; }
  void SetFlushEveryCommit(bool flush) { FFlushEveryCommit = flush; }
  // In multi-user mode, when the journal is valid: waits while another
  // handle holds the header lock (raising 20230 when it stays taken), and
  // rolls back the journal of a writer that died. Readers call it before
  // they read pages that a dead writer may have left half written.
  void RecoverIfJournalHot();
  // How many unfinished changes this manager rolled back from the journal
  // since it opened the file.
  std::int32_t RolledBackChanges() const { return FRolledBackChanges; }

  // The session ids the file has (its MaxConnections): the lists of taken
  // pages a new taken-pages file makes room for.
  void SetSessionCount(std::int32_t sessionCount) { FTaken.SetSessionCount(sessionCount); }
  // The session id whose structural list takes the pages of this handle's
  // structural changes (session -2); -1 leaves them unlisted.
  void SetStructureOwner(std::int32_t sessionID) { FStructureOwner = sessionID; }
  // Gives back the pages listed under `sessionID`, whose holder ended
  // without committing or rolling them back (it was killed): for the
  // next holder of the id. One atomic change; in single-user mode it is
  // held for the next commit, like every change there. Answers how many
  // pages went back.
  std::int32_t ReclaimTakenPages(std::int32_t sessionID);
  // The same for every session id: for the file's only opener.
  std::int32_t ReclaimAllTakenPages();
  // The pages listed under any session id: taken from free space, not
  // committed yet (or given up by a killed writer).
  std::vector<std::int32_t> ListedTakenPages();

  const TQELDatabaseHeader& GetHeader() const { return FHeader; }
  const TQELExtendedHeader& GetExtendedHeader() const { return FExtendedHeader; }
  bool IsEncrypted() const { return FHeader.Encrypted != 0; }
  bool IsExclusive() const { return FExclusive; }
  bool IsReadOnly() const { return FFile.AccessMode() == faRead; }
  TQELDatabaseFile& File() { return FFile; }
  TQELDatabaseFreeSpaceManager* FreeSpaceManager() const { return FFreeSpace.get(); }
  TQELDiskTablePagesCacheManager& PagesCache() { return FPagesCache; }
  // Reads the header again, as the change in progress sees it: another
  // process sharing the file may have changed it since.
  void ReadHeader() override;

  std::int64_t BaseOffset() const { return FBaseOffset; }
  std::int64_t GetPageOffset(std::int32_t pageNo) const;
  // Uncached reads and writes of part of a page, for the internal files
  // that keep their pages in place.
  void ReadPagePart(void* buffer, std::int32_t pageNo, std::int32_t offsetInPage, std::int32_t count);
  void WritePagePart(const void* buffer, std::int32_t pageNo, std::int32_t offsetInPage,
                     std::int32_t count);

  // The tables lock serialises changes to the table list between processes;
  // taking it waits, and failing raises.
  bool LockTables();
  bool UnlockTables();
  bool LockPageByte(std::int32_t pageNo, std::int32_t offsetInPage);
  bool UnlockPageByte(std::int32_t pageNo, std::int32_t offsetInPage);
  bool IsPageByteLocked(std::int32_t pageNo, std::int32_t offsetInPage);
  bool IsPageRegionLocked(std::int32_t pageNo, std::int32_t offsetInPage, std::int32_t count);

  // The next object id, counted in the file (read-only files answer a
  // likely-unique id without storing it).
  std::int32_t GetNextObjectID();

  // How long lock waits poll; tests shorten it.
  TQELRetryPolicy RetryPolicy;

  // TQELPageManager; ReadPage and WritePage serve TQELFreeSpaceFile too.
  std::int32_t GetPageCount() override;
  bool IsPageCurrent(std::int32_t sessionID, TQELPage* page) override;
  void RememberPageVersion(std::int32_t sessionID, TQELPage* page) override;
  void AllocatePage(TQELPage* page) override;
  void FreePage(std::int32_t pageNo) override;
  bool ReadPage(TQELPage* page) override;
  void WritePage(TQELPage* page) override;
  void RemovePage(std::int32_t sessionID, std::int32_t pageNo) override;
  TQELPage* GetPage(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                    std::uint16_t pageType) override;
  void ApplyChanges(std::int32_t sessionID) override;
  std::int64_t StorageMark() override;
  void ReleaseNewPages(std::int32_t sessionID, const std::vector<std::int32_t>& pageNos,
                       std::int64_t mark) override;
  void RefreshPageIfChanged(TQELPage* page) override;

 private:
  // Tests that play another process take the header lock by hand.
  friend struct TQELDiskPageManagerTestAccess;

  // TQELFreeSpaceFile (ReadPage, WritePage and ReadHeader are public above)
  std::uint16_t PageCountInExtent() const override { return FHeader.PageCountInExtent; }
  std::uint16_t PageDataSize() const override { return DataSize(); }
  std::unique_ptr<TQELPage> NewSpacePage() override;
  TQELDatabaseHeader& Header() override { return FHeader; }
  void WriteHeader() override;
  void GrowFile(std::int32_t pageCount) override;
  void ShrinkFile(std::int32_t pageCount) override;
  bool IsMultiUser() const override { return FMultiUser; }
  // Runs `change` as one atomic change (see above); nested changes join
  // the outermost one.
  void RunChange(std::int32_t lockFailureCode, TQELFunctionRef<void()> change) override;
  bool InChange() const override { return FChangeDepth > 0; }

  void SetGeometry(std::uint16_t pageSize);
  void CheckFileOpen(std::int32_t nativeCode) const;
  void CheckPassword();
  std::int16_t StoredHeaderSize();
  bool IsPlainPage(std::int32_t pageNo) const;
  // Whether the file cannot be written; one with the read-only attribute
  // also turns `multiUser` off.
  static bool IsFileReadOnly(const std::string& fileName, bool& multiUser);
  void OpenChecked(const std::string& fileName, const TQELPassword& password,
                   const TQELOpenOptions& options, TQELOpenResult& result);

  void ReadExtendedHeader();
  void WriteExtendedHeader();
  void ReadLockArea();
  void WriteLockArea();
  void InitNextObjectID();
  // The version word of a page straight from the file (0x7FFFFFFF when it
  // cannot be read).
  std::int32_t ReadPageVersion(std::int32_t pageNo);
  void WritePageVersion(std::int32_t pageNo, std::int32_t value);

  // The header lock nests: only the outermost call takes the byte.
  bool LockHeader();
  bool UnlockHeader();
  bool LockNextObjectID();
  bool UnlockNextObjectID();

  // The file's bytes as the change in progress sees them, and writes that
  // the change holds back; outside a change both go to the file.
  bool ReadBytes(void* buffer, std::int64_t position, std::int64_t count, std::int64_t& bytesRead);
  void ReadBytesChecked(void* buffer, std::int32_t nativeCode, std::int64_t position, std::int64_t count);
  void WriteBytes(const void* buffer, std::int32_t nativeCode, std::int64_t position, std::int64_t count);
  void SetFileSize(std::int64_t size);
  void OverlayHeldWrites(std::uint8_t* buffer, std::int64_t position, std::int64_t count) const;

  // A change: BeginChange, the change's writes, FinishChange (which may
  // raise and then changes nothing), then EndChange; or AbortChange, which
  // undoes the change's held writes, after a failure anywhere.
  void BeginChange(std::int32_t lockFailureCode, bool commit);
  // Raises what failed after a change was already in the file (making its
  // journal's clearing durable), once the change is finished.
  void RaiseFinishedChangeFailure();
  // The outermost change of a multi-user file goes to the file here; a
  // single-user one stays held for the next commit.
  void FinishChange();
  void EndChange();
  void AbortChange();
  // The whole sequence, written once for every kind of change: BeginChange,
  // `body`, EndChange, `ended` (what needs the change over but must come
  // before a failure of its journal's clearing is raised), then
  // RaiseFinishedChangeFailure; AbortChange when `body` fails.
  template <class TBody, class TEnded>
  void RunChangeSequence(std::int32_t lockFailureCode, bool commit, TBody body, TEnded ended);
  // Puts the held writes and `pages` (the commit's pages, `fresh` those
  // never stored before, sorted) into the file behind the journal.
  void WriteHeldChange(const std::vector<TQELPage*>& pages, const std::vector<std::int32_t>& fresh,
                       bool flush);
  void JournalOriginal(std::int64_t position, std::int64_t count);
  // The most pages one gathered write of a commit takes.
  static constexpr std::size_t kPagesPerWrite = 64;
  const std::uint8_t* StoredBytes(TQELPage* page, std::size_t slot);
  void WritePagesToFile(const std::vector<TQELPage*>& pages);
  void WriteHeldPendingOnClose(bool trimFreeTail);
  void RecoverJournal();
  bool RollBackJournal();
  // The taken-pages list a session's allocations go to; -1 for none
  // (single-user, read-only, or a session without a list).
  std::int32_t TakenSlot(std::int32_t sessionID) const;
  std::int32_t ReclaimSlots(bool allSlots, std::int32_t sessionID);

  TQELDatabaseFile FFile;
  std::unique_ptr<TQELDatabaseFreeSpaceManager> FFreeSpace;
  TQELDatabaseHeader FHeader;
  TQELExtendedHeader FExtendedHeader;
  TQELPassword FPassword;
  bool FExclusive = false;
  TQELDiskTablePagesCacheManager FPagesCache;
  std::int32_t FHeaderLockCount = 0;
  std::int64_t FBaseOffset = 0;
  std::int64_t FExtendedHeaderOffset = kQELHeaderSize;
  std::int64_t FLockAreaOffset = kQELHeaderSize + kQELExtendedHeaderSize;
  std::int64_t FNextObjectIDOffset = FLockAreaOffset + kQELLockAreaSize;
  std::int64_t FPage0Offset = kQELFirstPageOffset;
  // Scratch for writing encrypted copies of pages (kPagesPerWrite of
  // them), so the cached pages stay plain without being decrypted again.
  std::unique_ptr<std::uint8_t[]> FWriteBuffer;

  // Scratch for the stored bytes of a page part of which a change writes.
  std::unique_ptr<std::uint8_t[]> FLoadBuffer;

  TQELRollbackJournal FJournal;
  TQELPageWriteSet FHeld;
  TQELTakenPagesFile FTaken;
  std::int32_t FStructureOwner = -1;
  std::int32_t FChangeDepth = 0;
  bool FChangeLocked = false;
  TQELDatabaseHeader FHeaderAtChange;
  // Set when a journal may be hot although this process is single-user:
  // at open, and after a rollback of its own failed.
  bool FJournalMayBeHot = false;
  bool FFlushEveryCommit = false;
  std::exception_ptr FFinishedChangeFailure;
  // Whether a change wrote to the file since its last flush.
  bool FUnflushedWrites = false;
  std::int32_t FRolledBackChanges = 0;
  // The commit's pages and which of them are new, reused between commits.
  std::vector<TQELPage*> FCommitPages;
  std::vector<std::int32_t> FFreshPageNos;
};

template <class TBody, class TEnded>
void TQELDiskPageManager::RunChangeSequence(std::int32_t lockFailureCode, bool commit, TBody body,
                                            TEnded ended) {
  BeginChange(lockFailureCode, commit);
  try {
    body();
  } catch (...) {
    AbortChange();
    throw;
  }
  EndChange();
  ended();
  RaiseFinishedChangeFailure();
}

inline void TQELDiskPageManager::RunChange(std::int32_t lockFailureCode, TQELFunctionRef<void()> change) {
  RunChangeSequence(
      lockFailureCode, false,
      [&] {
        change();
        FinishChange();
      },
      [] {});
}

}  // namespace qel
