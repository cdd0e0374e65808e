#include "disk/QELDiskPageManager.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "disk/QELLockGuard.h"
#include "platform/QELCrc32.h"
#include "platform/QELException.h"
#include "platform/QELFile.h"
#include "platform/QELRandom.h"

namespace qel {

namespace {

// Pages smaller than this leave no useful data area.
constexpr std::uint16_t kMinPageSize = 128;

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) { return QELCrc32(0, data, size); }

// The version a page gets when it is written: one more, skipping the three
// highest values, which mark freed or unreadable pages.
std::int32_t NextPageVersion(std::int32_t version) {
  const std::int64_t next = std::int64_t{version} + 1;
  return next < 0 || next >= 0x7FFFFFFD ? 0 : static_cast<std::int32_t>(next);
}

}  // namespace

TQELDiskPageManager::TQELDiskPageManager() : TQELPageManager(4096, kQELPageHeaderSize) {}

TQELDiskPageManager::~TQELDiskPageManager() {
  try {
    CloseDatabase();
  } catch (...) {
    // Closing is best effort here: a destructor cannot report.
  }
}

void TQELDiskPageManager::SetGeometry(std::uint16_t pageSize) {
  SetPageGeometry(pageSize, kQELPageHeaderSize);
  FLoadBuffer.reset();
  // Made at the first encrypted write; a plain file never needs it.
  FWriteBuffer.reset();
  FHeld.Configure(pageSize, kQELHeaderSize);
}

void TQELDiskPageManager::CheckFileOpen(std::int32_t nativeCode) const {
  if (!FFile.IsOpen()) throw EQELException(nativeCode, "Error - database file is not opened.");
}

// --- Creating, opening, closing -------------------------------------------

void TQELDiskPageManager::CreateDatabase(const std::string& fileName, const TQELPassword& password,
                                         std::uint16_t pageCountInExtent, std::uint16_t pageSize) {
  if (FFile.IsOpen()) throw EQELException(10461, "Error - database file %s is in use.", {FFile.FileName()});
  if (pageSize < kMinPageSize) throw EQELException(30384, "Invalid page size: %d", {pageSize});
  if (pageCountInExtent == 0) {
    throw EQELException(30385, "Invalid page count in extent: %d", {pageCountInExtent});
  }
  SetGeometry(pageSize);
  FPassword = password;
  FFile.CreateFile(fileName);
  try {
    // A journal left by an earlier file of this name must never be rolled
    // back onto the new one.
    const std::string journal = TQELRollbackJournal::PathFor(fileName);
    if (QELFileExists(journal) && !QELDeleteFile(journal)) {
      throw EQELException(20300, "Cannot create journal file '%s': an old journal cannot be removed", {journal});
    }
    FJournal.Attach(fileName, true);
    // Nor an old list of taken pages given back on it.
    const std::string taken = TQELTakenPagesFile::PathFor(fileName);
    if (QELFileExists(taken) && !QELDeleteFile(taken)) {
      throw EQELException(20305, "Cannot create file '%s': an old file cannot be removed", {taken});
    }
    FTaken.Attach(fileName, true);
    FRolledBackChanges = 0;
    FHeader = TQELDatabaseHeader();
    FHeader.PageSize = pageSize;
    FHeader.PageCountInExtent = pageCountInExtent;
    FHeader.Encrypted = password.Password.empty() ? 0 : 0xFF;
    FExtendedHeader = TQELExtendedHeader();
    if (IsEncrypted()) {
      FExtendedHeader.CryptoAlgorithm = password.CryptoAlgorithm;
      for (std::uint8_t& byte : FExtendedHeader.PasswordCheckBlock) {
        byte = static_cast<std::uint8_t>(QELRandom(255));
      }
      FExtendedHeader.PasswordCheckCRC = Crc32(FExtendedHeader.PasswordCheckBlock.data(), kQELPasswordCheckSize);
      EncryptData(password.CryptoAlgorithm, FExtendedHeader.PasswordCheckBlock.data(), kQELPasswordCheckSize,
                  password.Password);
    }
    FBaseOffset = 0;
    FExtendedHeaderOffset = kQELHeaderSize;
    FLockAreaOffset = FExtendedHeaderOffset + kQELExtendedHeaderSize;
    FNextObjectIDOffset = FLockAreaOffset + kQELLockAreaSize;
    FPage0Offset = FNextObjectIDOffset + kQELNextObjectIDSize;
    FExclusive = false;
    FMultiUser = false;
    WriteHeader();
    WriteExtendedHeader();
    WriteLockArea();
    InitNextObjectID();
    FFreeSpace = std::make_unique<TQELDatabaseFreeSpaceManager>(static_cast<TQELFreeSpaceFile&>(*this));
  } catch (...) {
    CloseDatabase();
    throw;
  }
}

bool TQELDiskPageManager::IsFileReadOnly(const std::string& fileName, bool& multiUser) {
  if (QELFileHasReadOnlyAttribute(fileName)) {
    multiUser = false;
    return true;
  }
  TQELFile probe;
  if (!probe.Open(fileName, faReadWrite, fsReadWrite)) return true;
  // Writing a byte back proves the file system takes writes.
  std::uint8_t byte = 0;
  std::size_t bytesRead = 0;
  bool readOnly = false;
  if (probe.ReadAt(&byte, 0, 1, bytesRead) && bytesRead == 1) readOnly = !probe.WriteAt(&byte, 0, 1);
  probe.Close();
  return readOnly;
}

TQELOpenResult TQELDiskPageManager::OpenDatabase(const std::string& fileName, const TQELPassword& password,
                                                 const TQELOpenOptions& options) {
  if (FFile.IsOpen()) throw EQELException(10462, "Error - database file %s is in use.", {FFile.FileName()});
  TQELOpenResult result;
  try {
    OpenChecked(fileName, password, options, result);
  } catch (...) {
    CloseDatabase();
    throw;
  }
  return result;
}

void TQELDiskPageManager::OpenChecked(const std::string& fileName, const TQELPassword& password,
                                      const TQELOpenOptions& options, TQELOpenResult& result) {
  FPassword = password;
  bool multiUser = options.MultiUser;
  bool readOnly = options.ReadOnly;
  if (!readOnly && QELFileExists(fileName)) readOnly = IsFileReadOnly(fileName, multiUser);
  if (options.Exclusive && !readOnly) multiUser = false;
  result.MultiUser = multiUser;
  result.ReadOnly = readOnly;
  FMultiUser = multiUser;
  FExclusive = options.Exclusive;
  const TQELFileAccess accessMode = readOnly ? faRead : faReadWrite;
  const TQELFileShare shareMode = readOnly || !options.Exclusive ? fsReadWrite : fsNone;
  FFile.OpenFile(fileName, accessMode, shareMode);
  // The header lock below rolls back a journal a dead writer left hot
  // before the header is read.
  FJournal.Attach(fileName, !readOnly);
  FTaken.Attach(fileName, !readOnly);
  FJournalMayBeHot = true;
  // Earlier handles may have left writes the system has not flushed yet.
  FUnflushedWrites = true;
  FRolledBackChanges = 0;

  // The header lock must be the one writers hold, or this opener could
  // roll back a live writer's journal. Where the database starts in its
  // file and the size of its header fix the lock area; neither changes in
  // the life of a file, so both are read before the lock.
  std::int64_t base = 0;
  FBaseOffset = FFile.FindSignature(base) ? base : 0;
  FExtendedHeaderOffset = FBaseOffset + StoredHeaderSize();
  FLockAreaOffset = FExtendedHeaderOffset + kQELExtendedHeaderSize;
  if (!RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20230, "Database is locked");
  }
  {
    TQELLockGuard header([this] { UnlockHeader(); });
    ReadHeader();
    result.NeedRepair =
        FHeader.WriteState != kQELWriteStateConsistent || FHeader.FormatVersion < kQELOldestCurrentFormat;
  }

  if (!FHeader.HasSignature()) {
    throw EQELException(10470, "Invalid file format. Found signature: '%s', expected: '%s'",
                        {FHeader.SignatureText(), kQELDatabaseSignature});
  }
  FExtendedHeaderOffset = FBaseOffset + FHeader.HeaderSize;
  FLockAreaOffset = FExtendedHeaderOffset + kQELExtendedHeaderSize;
  ReadExtendedHeader();
  if (IsEncrypted()) {
    FPassword.CryptoAlgorithm = FExtendedHeader.CryptoAlgorithm;
    CheckPassword();
  }
  // A damaged header must not give a page size the page frame cannot hold.
  if (FExtendedHeaderOffset + FExtendedHeader.ExtendedHeaderSize != FLockAreaOffset ||
      FHeader.PageSize < kMinPageSize || FHeader.PageCountInExtent == 0) {
    throw EQELException(20237, "Invalid database format");
  }
  SetGeometry(FHeader.PageSize);
  ReadLockArea();
  FFreeSpace = std::make_unique<TQELDatabaseFreeSpaceManager>(static_cast<TQELFreeSpaceFile&>(*this));
  result.CryptoAlgorithm = FPassword.CryptoAlgorithm;
}

// The header size the file's header gives, read without the header lock
// (it never changes); the usual size when the file is too short or the
// value cannot be one.
std::int16_t TQELDiskPageManager::StoredHeaderSize() {
  std::uint8_t bytes[2] = {};
  std::int64_t bytesRead = 0;
  if (!FFile.ReadBuffer(bytes, FBaseOffset + database_header::kHeaderSizeField, 2, bytesRead) || bytesRead < 2) {
    return kQELHeaderSize;
  }
  const auto size = QELReadLE<std::int16_t>(bytes);
  return size > kQELSignatureSize ? size : static_cast<std::int16_t>(kQELHeaderSize);
}

void TQELDiskPageManager::CheckPassword() {
  auto block = FExtendedHeader.PasswordCheckBlock;
  DecryptData(FPassword.CryptoAlgorithm, block.data(), block.size(), FPassword.Password);
  if (Crc32(block.data(), block.size()) != FExtendedHeader.PasswordCheckCRC) {
    throw EQELException(30445, "Cannot open database because incorrect password");
  }
}

void TQELDiskPageManager::CloseDatabase(bool onlyOpener) {
  std::exception_ptr failure;
  try {
    WriteHeldPendingOnClose(FExclusive || onlyOpener);
  } catch (...) {
    // The file is closed all the same; the failure is reported after.
    failure = std::current_exception();
  }
  FHeld.Clear();
  FTaken.ClearHeld();
  FChangeDepth = 0;
  FChangeLocked = false;
  FStructureOwner = -1;
  if (FJournal.Attached()) {
    // The journal is removed under the header lock, which every writer
    // holds while it writes its journal: a writer that opened the file
    // before then finds its journal file gone and makes a new one.
    bool remove = false;
    bool locked = false;
    try {
      if ((FExclusive || onlyOpener) && !failure && FFile.IsOpen() && !IsReadOnly()) {
        locked = FHeaderLockCount == 0 && LockHeader();
        remove = locked && !FJournal.HasValidHeader();
      }
    } catch (const EQELException&) {
      remove = false;
    }
    // The taken-pages file goes too when no list holds a page.
    bool removeTaken = false;
    try {
      removeTaken = remove && FFreeSpace && ListedTakenPages().empty();
    } catch (const EQELException&) {
      removeTaken = false;
    }
    removeTaken ? FTaken.DetachAndRemove() : FTaken.Detach();
    remove ? FJournal.DetachAndRemove() : FJournal.Detach();
    if (locked) {
      try {
        UnlockHeader();
      } catch (const EQELException&) {
        // Closing the file below gives the lock up anyway.
      }
    }
  }
  FFreeSpace.reset();
  FHeaderLockCount = 0;
  FFile.CloseFile();
  if (failure) std::rethrow_exception(failure);
}

// Pages that sessions allocated and never committed go back first (their
// transactions end with the file). A single-user file's held allocations
// and releases then cancel out, except for a page another session's commit
// wrote as used and whose allocation was given back later: it is marked
// free only here. Dropped (when this fails) they leave such pages marked
// used, never a committed page free. The only opener also cuts off the
// free pages at the end, so that a closed file carries no room grown ahead
// of need (nobody else can be allocating).
void TQELDiskPageManager::WriteHeldPendingOnClose(bool trimFreeTail) {
  if (!FFile.IsOpen() || FChangeDepth != 0 || IsReadOnly() || !FFreeSpace) return;
  CancelAllNewPages();
  if (trimFreeTail) {
    try {
      FFreeSpace->TrimFreeTail();
    } catch (const EQELException&) {
      // Only room is at stake; the trim is undone and the rest still goes.
    }
  }
  if (FHeld.Empty() && FTaken.Empty()) return;
  RunChangeSequence(20213, true, [&] { WriteHeldChange({}, {}, FFlushEveryCommit); }, [] {});
}

// --- The prologue -----------------------------------------------------------

void TQELDiskPageManager::ReadHeader() {
  CheckFileOpen(10459);
  std::uint8_t bytes[kQELHeaderSize] = {};
  ReadBytesChecked(bytes, 10464, FBaseOffset, kQELHeaderSize);
  FHeader.Load(bytes);
}

void TQELDiskPageManager::WriteHeader() {
  CheckFileOpen(10460);
  std::uint8_t bytes[kQELHeaderSize];
  FHeader.Store(bytes);
  WriteBytes(bytes, 10462, FBaseOffset, kQELHeaderSize);
}

void TQELDiskPageManager::ReadExtendedHeader() {
  CheckFileOpen(30436);
  std::uint8_t bytes[kQELExtendedHeaderSize] = {};
  FFile.ReadBufferChecked(bytes, 30439, FExtendedHeaderOffset, kQELExtendedHeaderSize);
  FExtendedHeader.Load(bytes);
}

void TQELDiskPageManager::WriteExtendedHeader() {
  CheckFileOpen(30437);
  std::uint8_t bytes[kQELExtendedHeaderSize];
  FExtendedHeader.Store(bytes);
  FFile.WriteBuffer(bytes, 30438, FExtendedHeaderOffset, kQELExtendedHeaderSize);
}

void TQELDiskPageManager::ReadLockArea() {
  CheckFileOpen(30441);
  std::uint8_t bytes[sizeof(std::int16_t)] = {};
  FFile.ReadBufferChecked(bytes, 30442, FLockAreaOffset + kQELLockAreaSizeField, sizeof bytes);
  FNextObjectIDOffset = FLockAreaOffset + QELReadLE<std::int16_t>(bytes);
  FPage0Offset = FNextObjectIDOffset + kQELNextObjectIDSize;
}

void TQELDiskPageManager::WriteLockArea() {
  CheckFileOpen(30443);
  std::uint8_t bytes[kQELLockAreaSize] = {};
  QELWriteLE(bytes + kQELLockAreaSizeField, kQELLockAreaSize);
  FFile.WriteBuffer(bytes, 30444, FLockAreaOffset, kQELLockAreaSize);
}

// --- Pages ------------------------------------------------------------------

std::int64_t TQELDiskPageManager::GetPageOffset(std::int32_t pageNo) const {
  if (pageNo < 0) throw EQELException(10471, "Invalid PageNo = %d", {pageNo});
  return std::int64_t{pageNo} * PageSize() + FPage0Offset;
}

void TQELDiskPageManager::ReadPagePart(void* buffer, std::int32_t pageNo, std::int32_t offsetInPage,
                                       std::int32_t count) {
  if (offsetInPage < 0 || count < 0 || std::int64_t{offsetInPage} + count > PageSize()) {
    throw EQELException(10476, "Error - invalid page offset = %d, page size = %d",
                        {std::int64_t{offsetInPage} + count, PageSize()});
  }
  ReadBytesChecked(buffer, 10474, GetPageOffset(pageNo) + offsetInPage, count);
}

void TQELDiskPageManager::WritePagePart(const void* buffer, std::int32_t pageNo, std::int32_t offsetInPage,
                                        std::int32_t count) {
  if (offsetInPage < 0 || count < 0 || std::int64_t{offsetInPage} + count > PageSize()) {
    throw EQELException(10477, "Error - invalid page offset = %d, page size = %d",
                        {std::int64_t{offsetInPage} + count, PageSize()});
  }
  WriteBytes(buffer, 10475, GetPageOffset(pageNo) + offsetInPage, count);
}

std::int32_t TQELDiskPageManager::ReadPageVersion(std::int32_t pageNo) {
  try {
    std::uint8_t bytes[4];
    ReadBytesChecked(bytes, 20197, GetPageOffset(pageNo) + page_header::kPageVersion, 4);
    return QELReadLE<std::int32_t>(bytes);
  } catch (const EQELException&) {
    return kQELInvalidPageVersion;
  }
}

// Inside a change the whole page is held, not just its version word: a
// commit that frees the last pages of the file also cuts them off, and
// only a whole before-image in the journal brings their content back if
// the commit is rolled back.
void TQELDiskPageManager::WritePageVersion(std::int32_t pageNo, std::int32_t value) {
  std::uint8_t bytes[4];
  QELWriteLE(bytes, value);
  WriteBytes(bytes, 20198, GetPageOffset(pageNo) + page_header::kPageVersion, 4);
}

// Space pages are plain page objects of this manager's geometry that never
// enter the page cache.
std::unique_ptr<TQELPage> TQELDiskPageManager::NewSpacePage() { return std::make_unique<TQELPage>(this, -1); }

bool TQELDiskPageManager::IsPlainPage(std::int32_t pageNo) const {
  return !IsEncrypted() || FFreeSpace == nullptr || FFreeSpace->IsSpacePage(pageNo);
}

bool TQELDiskPageManager::ReadPage(TQELPage* page) {
  if (page->Buffer() == nullptr || page->BufferSize() < PageSize()) page->AllocateBuffer();
  const std::int64_t offset = GetPageOffset(page->PageNo);
  std::int64_t bytesRead = 0;
  // A read the system refused is raised with the file and the error
  // (after the one more try every read gets), never served as a page.
  if (!ReadBytes(page->Buffer(), offset, PageSize(), bytesRead) &&
      !ReadBytes(page->Buffer(), offset, PageSize(), bytesRead)) {
    FFile.RaiseReadError(10474, offset, PageSize());
  }
  // A page cut short by the end of the file is damage, not an I/O error:
  // it arrives zeroed and unversioned, and fails its type check.
  if (bytesRead < PageSize()) {
    std::memset(page->Buffer(), 0, PageSize());
    page->SetPageVersion(kQELInvalidPageVersion);
    return false;
  }
  if (!IsPlainPage(page->PageNo)) {
    DecryptData(page_header::CryptoAlgorithm(page->Header()), page->Data(), page->DataSize(),
                FPassword.Password);
    if (Crc32(page->Data(), page->DataSize()) != page_header::DataCRC(page->Header())) {
      throw EQELException(30446, "Decrypt page error. Check CRC failed. PageNo: %d", {page->PageNo});
    }
  }
  return true;
}

// The bytes a page is stored as, with its version moved on: its own
// buffer, or an encrypted copy in slot `slot` of the write scratch, so
// that the cached page stays plain.
const std::uint8_t* TQELDiskPageManager::StoredBytes(TQELPage* page, std::size_t slot) {
  page->SetPageVersion(NextPageVersion(page->PageVersion()));
  if (IsPlainPage(page->PageNo)) return page->Buffer();
  std::uint8_t* header = page->Header();
  if (page->EncryptOnWrite) {
    page_header::SetCryptoAlgorithm(header, FPassword.CryptoAlgorithm);
    page_header::SetDataCRC(header, Crc32(page->Data(), page->DataSize()));
  }
  if (FWriteBuffer == nullptr) FWriteBuffer = std::make_unique<std::uint8_t[]>(kPagesPerWrite * PageSize());
  std::uint8_t* copy = FWriteBuffer.get() + slot * PageSize();
  std::memcpy(copy, page->Buffer(), PageSize());
  if (page->EncryptOnWrite) {
    EncryptData(FPassword.CryptoAlgorithm, copy + HeaderSize(), DataSize(), FPassword.Password);
  }
  return copy;
}

void TQELDiskPageManager::WritePage(TQELPage* page) {
  WriteBytes(StoredBytes(page, 0), 10469, GetPageOffset(page->PageNo), PageSize());
}

// Pages that follow each other in the file (`pages` is sorted by number)
// go out as one gathered write of up to kPagesPerWrite pages, instead of a
// system call each.
void TQELDiskPageManager::WritePagesToFile(const std::vector<TQELPage*>& pages) {
  TQELWritePart parts[kPagesPerWrite];
  for (std::size_t i = 0; i < pages.size();) {
    const std::int32_t first = pages[i]->PageNo;
    std::size_t n = 0;
    while (i + n < pages.size() && n < kPagesPerWrite &&
           std::int64_t{pages[i + n]->PageNo} == std::int64_t{first} + static_cast<std::int64_t>(n)) {
      parts[n] = {StoredBytes(pages[i + n], n), PageSize()};
      ++n;
    }
    FFile.WriteGather(parts, n, 10469, GetPageOffset(first));
    i += n;
  }
}

// A multi-user allocation lists its page under the session in the same
// change (see TQELTakenPagesFile).
void TQELDiskPageManager::AllocatePage(TQELPage* page) {
  const std::int32_t slot = TakenSlot(page->SessionID);
  if (slot < 0) {
    page->PageNo = FFreeSpace->AllocatePageNo();
  } else {
    RunChange(20231, [&] {
      page->PageNo = FFreeSpace->AllocatePageNo();
      FTaken.Append(slot, page->PageNo);
    });
  }
  page->AllocateBuffer();
}

std::int32_t TQELDiskPageManager::TakenSlot(std::int32_t sessionID) const {
  if (!FMultiUser || IsReadOnly() || !FTaken.Attached()) return -1;
  if (sessionID >= 0) return TQELTakenPagesFile::OwnSlot(sessionID);
  if (sessionID == -2 && FStructureOwner >= 0) return TQELTakenPagesFile::StructureSlot(FStructureOwner);
  return -1;
}

std::int32_t TQELDiskPageManager::ReclaimTakenPages(std::int32_t sessionID) {
  return sessionID < 0 ? 0 : ReclaimSlots(false, sessionID);
}

std::int32_t TQELDiskPageManager::ReclaimAllTakenPages() { return ReclaimSlots(true, -1); }

// Nobody else can be changing these lists: their session ids are this
// handle's now (or every id is), and every change runs under the header
// lock. A page listed but already free was never taken for good.
std::int32_t TQELDiskPageManager::ReclaimSlots(bool allSlots, std::int32_t sessionID) {
  if (!FFile.IsOpen() || IsReadOnly() || !FTaken.Attached() || !FFreeSpace) return 0;
  // A file that never had a multi-user allocation has nothing to give back.
  if (!QELFileExists(FTaken.Path())) return 0;
  std::int32_t released = 0;
  RunChange(20232, [&] {
    const std::vector<std::int32_t> slots =
        allSlots ? FTaken.SlotsInUse()
                 : std::vector<std::int32_t>{TQELTakenPagesFile::OwnSlot(sessionID),
                                             TQELTakenPagesFile::StructureSlot(sessionID)};
    std::vector<std::int32_t> pageNos;
    for (const std::int32_t slot : slots) {
      for (const std::int32_t pageNo : FTaken.Pages(slot)) pageNos.push_back(pageNo);
    }
    if (pageNos.empty()) return;
    std::sort(pageNos.begin(), pageNos.end());
    pageNos.erase(std::unique(pageNos.begin(), pageNos.end()), pageNos.end());
    released = FFreeSpace->ReleaseAbandonedPageNos(pageNos);
    for (const std::int32_t slot : slots) FTaken.Clear(slot);
  });
  return released;
}

std::vector<std::int32_t> TQELDiskPageManager::ListedTakenPages() {
  std::vector<std::int32_t> pageNos;
  if (!FFile.IsOpen() || !FTaken.Attached() || !QELFileExists(FTaken.Path())) return pageNos;
  // Read under the header lock, as every change of the lists is made.
  const bool lock = FHeaderLockCount == 0 && FChangeDepth == 0;
  if (lock && !RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20230, "Database is locked");
  }
  TQELLockGuard header([this] { UnlockHeader(); }, lock);
  if (FChangeDepth == 0 && FTaken.Empty()) FTaken.Start();
  for (const std::int32_t slot : FTaken.SlotsInUse()) {
    for (const std::int32_t pageNo : FTaken.Pages(slot)) pageNos.push_back(pageNo);
  }
  std::sort(pageNos.begin(), pageNos.end());
  pageNos.erase(std::unique(pageNos.begin(), pageNos.end()), pageNos.end());
  return pageNos;
}

// The freed page's version is marked first, so that other processes drop
// their cached copies. A page beyond the end of the file is refused before
// anything is written, rather than growing the file by a stray word.
void TQELDiskPageManager::FreePage(std::int32_t pageNo) {
  FFreeSpace->CheckNotSpacePage(pageNo);
  RunChange(20232, [&] {
    ReadHeader();
    if (pageNo >= FHeader.TotalPageCount) {
      throw EQELException(30430, "Page: %d cannot be addressed. TotalPageCount=%d",
                          {pageNo, FHeader.TotalPageCount});
    }
    WritePageVersion(pageNo, kQELInvalidPageVersion);
    FFreeSpace->FreePageNo(pageNo);
  });
}

std::int64_t TQELDiskPageManager::StorageMark() { return FFreeSpace->TotalPageCount(); }

// A rolled-back session's new pages were never written, so nobody can hold
// a copy of them: they go back without a version mark, and a file the
// session grew goes back to its size.
void TQELDiskPageManager::ReleaseNewPages(std::int32_t sessionID, const std::vector<std::int32_t>& pageNos,
                                          std::int64_t mark) {
  const std::int32_t slot = TakenSlot(sessionID);
  if (slot < 0) {
    FFreeSpace->ReleaseUncommittedPageNos(pageNos, static_cast<std::int32_t>(mark));
    return;
  }
  RunChange(20232, [&] {
    FFreeSpace->ReleaseUncommittedPageNos(pageNos, static_cast<std::int32_t>(mark));
    FTaken.Clear(slot);
  });
}

void TQELDiskPageManager::RemovePage(std::int32_t sessionID, std::int32_t pageNo) {
  FFreeSpace->CheckNotSpacePage(pageNo);
  TQELPageManager::RemovePage(sessionID, pageNo);
}

TQELPage* TQELDiskPageManager::GetPage(std::int32_t sessionID, std::int32_t pageNo, bool checkVersion,
                                       std::uint16_t pageType) {
  if (FFreeSpace) FFreeSpace->CheckNotSpacePage(pageNo);
  return TQELPageManager::GetPage(sessionID, pageNo, checkVersion, pageType);
}

std::int32_t TQELDiskPageManager::GetPageCount() {
  // Another process holds the header for a moment only: wait for it as
  // every other reader of the header does.
  if (!RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20236, "Database is locked");
  }
  {
    TQELLockGuard header([this] { UnlockHeader(); });
    ReadHeader();
  }
  FPageCount = FHeader.TotalPageCount;
  return FHeader.TotalPageCount;
}

bool TQELDiskPageManager::IsPageCurrent(std::int32_t sessionID, TQELPage* page) {
  if (!FMultiUser) return true;
  TQELTableKey table = nullptr;
  const void* seenTable = nullptr;
  std::int32_t epoch = 0, seen = 0;
  return FPagesCache.GetCurrentEpoch(sessionID, table, epoch) &&
         page->SessionVersion(sessionID, seenTable, seen) && seenTable == table && seen == epoch;
}

void TQELDiskPageManager::RememberPageVersion(std::int32_t sessionID, TQELPage* page) {
  TQELTableKey table = nullptr;
  std::int32_t epoch = 0;
  if (FMultiUser && FPagesCache.GetCurrentEpoch(sessionID, table, epoch)) {
    page->SetSessionVersion(sessionID, table, epoch);
  }
}

void TQELDiskPageManager::RefreshPageIfChanged(TQELPage* page) {
  if (!FMultiUser) return;
  const std::int32_t stored = ReadPageVersion(page->PageNo);
  if (stored == page->PageVersion() || stored == kQELInvalidPageVersion) {
    page->SetPageVersion(stored);
    return;
  }
  ReadPage(page);
}

void TQELDiskPageManager::ApplyChanges(std::int32_t sessionID) { Commit(sessionID, FFlushEveryCommit); }

// A commit is one change: the removed pages are freed and the header
// counts one more commit in the held writes, then all of it and the
// session's pages go to the file together. The session's pages become
// clean only when the file has them.
void TQELDiskPageManager::Commit(std::int32_t sessionID, bool flush) {
  if (!HasChanges(sessionID)) {
    // Nothing to write; a flush still makes earlier commits durable.
    if (flush && FFile.IsOpen() && !IsReadOnly()) FFile.FlushFileBuffers();
    return;
  }
  TSessionRecord* session = SessionToCommit(sessionID);
  if (session == nullptr) return;
  RunChangeSequence(
      20213, true,
      [&] {
        ReadHeader();
        for (const std::int32_t pageNo : session->RemovedPageNos) FreePage(pageNo);
        // The session's new pages are settled by this commit: written, or
        // freed with its removed ones.
        if (const std::int32_t slot = TakenSlot(sessionID); slot >= 0 && !session->NewPageNos.empty()) {
          FTaken.Clear(slot);
        }
        ++FHeader.CommitCounter;
        FHeader.WriteState = kQELWriteStateConsistent;
        WriteHeader();
        CollectCommitPages(*session, FCommitPages, FFreshPageNos);
        WriteHeldChange(FCommitPages, FFreshPageNos, flush);
      },
      [&] { FinishCommit(*session); });
}

// --- Changes ------------------------------------------------------------------

void TQELDiskPageManager::BeginChange(std::int32_t lockFailureCode, bool commit) {
  if (FChangeDepth > 0) {
    ++FChangeDepth;
    return;
  }
  CheckFileOpen(20213);
  // A single-user writer's allocations stay in memory, so only what goes
  // to the file needs the lock.
  const bool lock = commit || FMultiUser || FJournalMayBeHot;
  if (lock && !RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(lockFailureCode, "Database is locked");
  }
  TQELLockGuard header([this] { UnlockHeader(); }, lock);
  if (!FHeld.Started()) FHeld.Start(FFile.GetSize());
  // The change holds the lock from here; EndChange or AbortChange gives it
  // back.
  header.Release();
  FHeld.Mark();
  FTaken.Start();
  FHeaderAtChange = FHeader;
  FChangeLocked = lock;
  FChangeDepth = 1;
}

void TQELDiskPageManager::FinishChange() {
  if (FChangeDepth == 1 && FMultiUser) WriteHeldChange({}, {}, FFlushEveryCommit);
}

void TQELDiskPageManager::EndChange() {
  if (--FChangeDepth > 0) return;
  if (FChangeLocked) UnlockHeader();
  FChangeLocked = false;
}

void TQELDiskPageManager::AbortChange() {
  if (--FChangeDepth > 0) return;
  FHeld.Undo();
  if (FHeld.Empty()) FHeld.Clear();
  FTaken.Undo();
  FHeader = FHeaderAtChange;
  if (FChangeLocked) UnlockHeader();
  FChangeLocked = false;
}

// The journal first: the stored bytes of everything the change overwrites
// (new pages have nothing worth keeping, and bytes past the stored end
// are cut off by the rollback). Then the file, between a header that says
// pages are being written and the header of the finished change. The
// journal is cleared last. With `flush` each step is durable before the
// next starts. A failure once the journal is written rolls the file back
// from it.
void TQELDiskPageManager::WriteHeldChange(const std::vector<TQELPage*>& pages,
                                          const std::vector<std::int32_t>& fresh, bool flush) {
  if (FHeld.Empty() && pages.empty() && FTaken.Empty()) {
    FHeld.Clear();
    return;
  }
  const auto isFresh = [&](std::int32_t pageNo) { return std::binary_search(fresh.begin(), fresh.end(), pageNo); };
  // A durable change stands on durable ground: what earlier changes wrote
  // without a flush is flushed first, or a power loss could leave them half
  // written under it.
  if (flush && FUnflushedWrites) {
    FFile.FlushFileBuffers();
    FTaken.Flush();
    FUnflushedWrites = false;
  }
  const std::int64_t size = FHeld.Size();
  FJournal.Start(FHeld.StoredSize());
  if (FHeld.HeaderChanged()) JournalOriginal(FBaseOffset, kQELHeaderSize);
  for (const auto& [pageNo, image] : FHeld.Pages()) {
    if (!isFresh(pageNo)) JournalOriginal(GetPageOffset(pageNo), PageSize());
  }
  for (TQELPage* page : pages) {
    if (!isFresh(page->PageNo)) JournalOriginal(GetPageOffset(page->PageNo), PageSize());
  }
  FTaken.JournalOriginals(FJournal);
  try {
    FJournal.Write();
    if (flush) FJournal.Sync();
  } catch (...) {
    // The file is untouched; a journal that got written must not be
    // rolled back later over changes made after it.
    try {
      FJournal.Invalidate(false);
    } catch (const EQELException&) {
      FJournalMayBeHot = true;
    }
    throw;
  }
  try {
    if (size > FHeld.StoredSize()) FFile.SetSize(size);
    if (FHeld.HeaderChanged() && !pages.empty()) {
      TQELDatabaseHeader writing;
      writing.Load(FHeld.Header());
      writing.WriteState = kQELWriteStateWriting;
      std::uint8_t bytes[kQELHeaderSize];
      writing.Store(bytes);
      FFile.WriteBuffer(bytes, 10462, FBaseOffset, kQELHeaderSize);
    }
    WritePagesToFile(pages);
    for (const auto& [pageNo, image] : FHeld.Pages()) {
      const std::int64_t offset = GetPageOffset(pageNo);
      if (offset < size) FFile.WriteBuffer(image.Bytes.get(), 10469, offset, std::min<std::int64_t>(PageSize(), size - offset));
    }
    if (size < FHeld.StoredSize()) FFile.SetSize(size);
    FTaken.WriteHeld(flush);
    if (FHeld.HeaderChanged()) FFile.WriteBuffer(FHeld.Header(), 10462, FBaseOffset, kQELHeaderSize);
    if (flush) FFile.FlushFileBuffers();
    FJournal.ClearSignature();
  } catch (...) {
    FUnflushedWrites = true;
    try {
      RollBackJournal();
    } catch (const EQELException&) {
      // Still hot: the next holder of the header lock rolls it back.
      FJournalMayBeHot = true;
    }
    throw;
  }
  // The change is in the file, and the journal no longer undoes it. What
  // is left only makes the clearing durable: a failure there cannot take
  // the change back, so it is reported once the change is finished.
  FUnflushedWrites = !flush;
  FHeld.Clear();
  FTaken.ClearHeld();
  try {
    FJournal.FinishClearing(flush);
  } catch (...) {
    FFinishedChangeFailure = std::current_exception();
  }
}

void TQELDiskPageManager::RaiseFinishedChangeFailure() {
  if (!FFinishedChangeFailure) return;
  std::exception_ptr failure = FFinishedChangeFailure;
  FFinishedChangeFailure = nullptr;
  std::rethrow_exception(failure);
}

void TQELDiskPageManager::JournalOriginal(std::int64_t position, std::int64_t count) {
  const std::int64_t stored = FHeld.StoredSize();
  if (position >= stored) return;
  const std::int64_t n = std::min(count, stored - position);
  std::uint8_t* original = FJournal.AddRegion(position, static_cast<std::int32_t>(n));
  FFile.ReadBufferChecked(original, 10474, position, n);
}

// The held writes over what the file has: bytes the change added past the
// stored end read as zeros (as a grown file's do), bytes it cut off are
// gone, and held pages and header replace the stored ones.
bool TQELDiskPageManager::ReadBytes(void* buffer, std::int64_t position, std::int64_t count,
                                    std::int64_t& bytesRead) {
  if (FJournalMayBeHot && FHeaderLockCount == 0 && FChangeDepth == 0) [[unlikely]] {
    if (LockHeader()) UnlockHeader();
  }
  if (!FHeld.Started()) return FFile.ReadBuffer(buffer, position, count, bytesRead);
  auto* out = static_cast<std::uint8_t*>(buffer);
  // The header as a change holds it needs no file access either: every
  // allocation of a long transaction reads it.
  if (position == FBaseOffset && count == kQELHeaderSize && FHeld.HeaderChanged()) {
    std::memcpy(out, FHeld.Header(), static_cast<std::size_t>(count));
    bytesRead = count;
    return true;
  }
  // A read within one held page needs no file access.
  if (position >= FPage0Offset && position + count <= FHeld.Size()) {
    const std::int64_t inPage = (position - FPage0Offset) % PageSize();
    if (inPage + count <= PageSize()) {
      const std::uint8_t* image = FHeld.FindPage(static_cast<std::int32_t>((position - FPage0Offset) / PageSize()));
      if (image != nullptr) {
        std::memcpy(out, image + inPage, static_cast<std::size_t>(count));
        bytesRead = count;
        return true;
      }
    }
  }
  if (!FFile.ReadBuffer(buffer, position, count, bytesRead)) return false;
  const std::int64_t end = std::min(position + count, FHeld.Size());
  if (end > position + bytesRead) {
    std::memset(out + bytesRead, 0, static_cast<std::size_t>(end - position - bytesRead));
  }
  bytesRead = std::max<std::int64_t>(0, end - position);
  OverlayHeldWrites(out, position, bytesRead);
  return true;
}

void TQELDiskPageManager::OverlayHeldWrites(std::uint8_t* buffer, std::int64_t position,
                                            std::int64_t count) const {
  const auto overlay = [&](const std::uint8_t* bytes, std::int64_t at, std::int64_t size) {
    const std::int64_t from = std::max(position, at);
    const std::int64_t to = std::min(position + count, at + size);
    if (from < to) std::memcpy(buffer + (from - position), bytes + (from - at), static_cast<std::size_t>(to - from));
  };
  if (FHeld.HeaderChanged()) overlay(FHeld.Header(), FBaseOffset, kQELHeaderSize);
  if (FHeld.Pages().empty() || count <= 0 || position + count <= FPage0Offset) return;
  const std::int64_t first = std::max<std::int64_t>(position - FPage0Offset, 0) / PageSize();
  const std::int64_t last = (position + count - 1 - FPage0Offset) / PageSize();
  for (std::int64_t pageNo = first; pageNo <= last; ++pageNo) {
    if (const std::uint8_t* image = FHeld.FindPage(static_cast<std::int32_t>(pageNo))) {
      overlay(image, GetPageOffset(static_cast<std::int32_t>(pageNo)), PageSize());
    }
  }
}

// One more try, as every read gets, then the failure with the file and the
// system's error; held writes are never bypassed.
void TQELDiskPageManager::ReadBytesChecked(void* buffer, std::int32_t nativeCode, std::int64_t position,
                                           std::int64_t count) {
  std::int64_t bytesRead = 0;
  if (ReadBytes(buffer, position, count, bytesRead) || ReadBytes(buffer, position, count, bytesRead)) return;
  FFile.RaiseReadError(nativeCode, position, count);
}

// Inside a change the header and page bytes are held; the rest of the
// prologue (lock area, object ids) belongs to no change and is written at
// once.
void TQELDiskPageManager::WriteBytes(const void* buffer, std::int32_t nativeCode, std::int64_t position,
                                     std::int64_t count) {
  if (FChangeDepth == 0 || count <= 0) {
    FFile.WriteBuffer(buffer, nativeCode, position, count);
    return;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (position == FBaseOffset && count == kQELHeaderSize) {
    FHeld.SetHeader(bytes);
    return;
  }
  if (position < FPage0Offset) {
    FFile.WriteBuffer(buffer, nativeCode, position, count);
    return;
  }
  for (std::int64_t done = 0; done < count;) {
    const std::int64_t at = position + done;
    const auto pageNo = static_cast<std::int32_t>((at - FPage0Offset) / PageSize());
    const std::int64_t inPage = (at - FPage0Offset) % PageSize();
    const std::int64_t n = std::min<std::int64_t>(count - done, PageSize() - inPage);
    // Part of a page not held yet starts from the page as the change sees it.
    const std::uint8_t* stored = nullptr;
    if (n < PageSize() && FHeld.FindPage(pageNo) == nullptr) {
      if (!FLoadBuffer) FLoadBuffer = std::make_unique<std::uint8_t[]>(PageSize());
      std::memset(FLoadBuffer.get(), 0, PageSize());
      ReadBytesChecked(FLoadBuffer.get(), nativeCode, GetPageOffset(pageNo), PageSize());
      stored = FLoadBuffer.get();
    }
    std::memcpy(FHeld.ChangePage(pageNo, stored) + inPage, bytes + done, static_cast<std::size_t>(n));
    done += n;
  }
  FHeld.SetSize(std::max(FHeld.Size(), position + count));
}

void TQELDiskPageManager::SetFileSize(std::int64_t size) {
  if (FChangeDepth > 0) {
    FHeld.SetSize(size);
  } else {
    FFile.SetSize(size);
  }
}

// --- The journal ----------------------------------------------------------------

// Rolls a valid journal back. Called with the header lock taken, so the
// journal's writer is gone: it died, or it is this process, whose own
// rollback failed.
void TQELDiskPageManager::RecoverJournal() {
  if (!FJournal.HasValidHeader()) {
    FJournalMayBeHot = false;
    return;
  }
  if (IsReadOnly()) {
    throw EQELException(20303,
                        "Database file '%s' has an unfinished change in its journal '%s'. Open it once "
                        "with write access to roll the change back",
                        {FFile.FileName(), FJournal.Path()});
  }
  // A journal whose regions are damaged was never complete, so the file
  // was never touched: it is only cleared.
  if (RollBackJournal()) {
    ++FRolledBackChanges;
  } else {
    FJournal.Invalidate(true);
  }
  FJournalMayBeHot = false;
}

// The journal covers the taken-pages file's bytes too.
bool TQELDiskPageManager::RollBackJournal() {
  const bool rolledBack =
      FJournal.RollBack(FFile, [this]() -> TQELDatabaseFile& { return FTaken.FileForRollBack(); });
  // What this handle knew of the taken-pages file's size is stale now.
  if (FTaken.Empty()) FTaken.Start();
  return rolledBack;
}

void TQELDiskPageManager::RecoverIfJournalHot() {
  if (!FMultiUser || FHeaderLockCount > 0 || FChangeDepth > 0 || !FJournal.HasValidHeader()) return;
  // While the journal is valid, whoever holds the header lock is a writer
  // finishing its change or a process rolling back a dead writer's: the
  // pages are whole only once the lock is free. Taking it waits for that,
  // and rolls the journal back when its writer is gone.
  if (!RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20230, "Database is locked");
  }
  UnlockHeader();
}

// --- Locks ------------------------------------------------------------------

bool TQELDiskPageManager::LockTables() {
  if (!RetryWithSleep(RetryPolicy, [this] { return FFile.LockByte(FLockAreaOffset + kQELTablesLockOffset, 1); })) {
    throw EQELException(20210, "Database tables are locked");
  }
  return true;
}

bool TQELDiskPageManager::UnlockTables() {
  if (!FFile.UnlockByte(FLockAreaOffset + kQELTablesLockOffset, 1)) {
    throw EQELException(20211, "Cannot unlock database tables");
  }
  return true;
}

// The outermost lock of a multi-user file (or of one whose journal may be
// hot) first rolls back a journal a dead writer left.
bool TQELDiskPageManager::LockHeader() {
  if (FHeaderLockCount == 0) {
    if (!FFile.LockByte(FLockAreaOffset + kQELHeaderLockOffset, 1)) return false;
    if ((FMultiUser || FJournalMayBeHot) && FJournal.Attached()) {
      TQELLockGuard byte([this] { FFile.UnlockByte(FLockAreaOffset + kQELHeaderLockOffset, 1); });
      RecoverJournal();
      byte.Release();
    }
  }
  ++FHeaderLockCount;
  return true;
}

// A failed unlock is tried once more; when it keeps failing the handle
// still holds the lock and knows it, rather than believe it free and be
// refused by its own lock from then on.
bool TQELDiskPageManager::UnlockHeader() {
  if (FHeaderLockCount <= 0) return true;
  if (FHeaderLockCount > 1) {
    --FHeaderLockCount;
    return true;
  }
  const std::int64_t byte = FLockAreaOffset + kQELHeaderLockOffset;
  if (!FFile.UnlockByte(byte, 1) && !FFile.UnlockByte(byte, 1)) return false;
  FHeaderLockCount = 0;
  return true;
}

bool TQELDiskPageManager::LockNextObjectID() { return FFile.LockByte(FNextObjectIDOffset, 1); }
bool TQELDiskPageManager::UnlockNextObjectID() { return FFile.UnlockByte(FNextObjectIDOffset, 1); }

bool TQELDiskPageManager::LockPageByte(std::int32_t pageNo, std::int32_t offsetInPage) {
  return FFile.LockByte(GetPageOffset(pageNo) + offsetInPage, 1);
}

bool TQELDiskPageManager::UnlockPageByte(std::int32_t pageNo, std::int32_t offsetInPage) {
  return FFile.UnlockByte(GetPageOffset(pageNo) + offsetInPage, 1);
}

bool TQELDiskPageManager::IsPageByteLocked(std::int32_t pageNo, std::int32_t offsetInPage) {
  return FFile.IsByteLocked(GetPageOffset(pageNo) + offsetInPage);
}

bool TQELDiskPageManager::IsPageRegionLocked(std::int32_t pageNo, std::int32_t offsetInPage,
                                             std::int32_t count) {
  return FFile.IsRegionLocked(GetPageOffset(pageNo) + offsetInPage, count);
}

// --- Object ids and file size -----------------------------------------------

std::int32_t TQELDiskPageManager::GetNextObjectID() {
  CheckFileOpen(30399);
  if (!RetryWithSleep(RetryPolicy, [this] { return LockNextObjectID(); })) {
    throw EQELException(30401, "Cannot get NextObjectID. File area is Locked.");
  }
  TQELLockGuard idLock([this] { UnlockNextObjectID(); });
  std::uint8_t bytes[kQELNextObjectIDSize] = {};
  FFile.ReadBufferChecked(bytes, 30400, FNextObjectIDOffset, kQELNextObjectIDSize);
  std::int32_t id = QELReadLE<std::int32_t>(bytes) + 1;
  if (!IsReadOnly()) {
    QELWriteLE(bytes, id);
    FFile.WriteBuffer(bytes, 30404, FNextObjectIDOffset, kQELNextObjectIDSize);
  } else {
    // Nothing can be stored: a random addition makes clashes unlikely.
    id += static_cast<std::int32_t>(QELRandom(10000));
  }
  return id;
}

void TQELDiskPageManager::InitNextObjectID() {
  if (!RetryWithSleep(RetryPolicy, [this] { return LockNextObjectID(); })) {
    throw EQELException(30401, "Cannot get NextObjectID. File area is Locked.");
  }
  TQELLockGuard idLock([this] { UnlockNextObjectID(); });
  if (!IsReadOnly()) {
    const std::uint8_t zero[kQELNextObjectIDSize] = {};
    FFile.WriteBuffer(zero, 30406, FNextObjectIDOffset, kQELNextObjectIDSize);
  }
}

void TQELDiskPageManager::ShrinkFile(std::int32_t pageCount) {
  if (pageCount <= 0 || pageCount > FHeader.TotalPageCount) return;
  FHeader.TotalPageCount -= pageCount;
  SetFileSize(FPage0Offset + std::int64_t{FHeader.TotalPageCount} * PageSize());
  WriteHeader();
}

void TQELDiskPageManager::GrowFile(std::int32_t pageCount) {
  if (pageCount <= 0) return;
  SetFileSize(FPage0Offset + (std::int64_t{FHeader.TotalPageCount} + pageCount) * PageSize());
  FHeader.TotalPageCount += pageCount;
}

}  // namespace qel
