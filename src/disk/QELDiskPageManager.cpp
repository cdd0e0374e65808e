#include "disk/QELDiskPageManager.h"

#include <zlib.h>

#include <cstring>

#include "platform/QELException.h"
#include "platform/QELFile.h"
#include "platform/QELRandom.h"

namespace qel {

namespace {

// Pages smaller than this leave no useful data area.
constexpr std::uint16_t kMinPageSize = 128;

std::uint32_t Crc32(const std::uint8_t* data, std::size_t size) {
  return static_cast<std::uint32_t>(crc32(0, data, static_cast<uInt>(size)));
}

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
  FWriteBuffer = std::make_unique<std::uint8_t[]>(pageSize);
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
    FPage0Offset = FNextObjectIDOffset + 4;
    FExclusive = false;
    FMultiUser = false;
    WriteHeader();
    WriteExtendedHeader();
    WriteLockArea();
    InitNextObjectID();
    FFreeSpace = std::make_unique<TQELDatabaseFreeSpaceManager>(*this);
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
  if (probe.ReadAt(&byte, 1, 0, bytesRead) && bytesRead == 1) readOnly = !probe.WriteAt(&byte, 1, 0);
  probe.Close();
  return readOnly;
}

void TQELDiskPageManager::OpenDatabase(const std::string& fileName, TQELPassword& password,
                                       bool& multiUser, bool exclusive, bool& needRepair,
                                       bool& readOnly) {
  if (FFile.IsOpen()) throw EQELException(10462, "Error - database file %s is in use.", {FFile.FileName()});
  try {
    OpenChecked(fileName, password, multiUser, exclusive, needRepair, readOnly);
  } catch (...) {
    CloseDatabase();
    throw;
  }
}

void TQELDiskPageManager::OpenChecked(const std::string& fileName, TQELPassword& password,
                                      bool& multiUser, bool exclusive, bool& needRepair,
                                      bool& readOnly) {
  FPassword = password;
  if (!readOnly && QELFileExists(fileName)) readOnly = IsFileReadOnly(fileName, multiUser);
  if (exclusive && !readOnly) multiUser = false;
  FMultiUser = multiUser;
  FExclusive = exclusive;
  const std::uint8_t accessMode = readOnly ? 0 : 1;
  const std::uint8_t shareMode = readOnly ? 1 : (exclusive ? 0 : 1);
  FFile.OpenFile(fileName, accessMode, shareMode);

  // The prologue's default places: the header lock is taken before the
  // header tells where the lock area really is.
  FBaseOffset = 0;
  FExtendedHeaderOffset = kQELHeaderSize;
  FLockAreaOffset = FExtendedHeaderOffset + kQELExtendedHeaderSize;
  if (!RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20230, "Database is locked");
  }
  try {
    std::int64_t base = 0;
    FBaseOffset = FFile.FindSignature(base) ? base : 0;
    ReadHeader();
    needRepair = FHeader.WriteState != kQELWriteStateConsistent || FHeader.FormatVersion < kQELOldestCurrentFormat;
  } catch (...) {
    UnlockHeader();
    throw;
  }
  UnlockHeader();

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
  FFreeSpace = std::make_unique<TQELDatabaseFreeSpaceManager>(*this);
  password.CryptoAlgorithm = FPassword.CryptoAlgorithm;
}

void TQELDiskPageManager::CheckPassword() {
  auto block = FExtendedHeader.PasswordCheckBlock;
  DecryptData(FPassword.CryptoAlgorithm, block.data(), block.size(), FPassword.Password);
  if (Crc32(block.data(), block.size()) != FExtendedHeader.PasswordCheckCRC) {
    throw EQELException(30445, "Cannot open database because incorrect password");
  }
}

void TQELDiskPageManager::CloseDatabase() {
  FFreeSpace.reset();
  FHeaderLockCount = 0;
  FFile.CloseFile();
}

// --- The prologue -----------------------------------------------------------

void TQELDiskPageManager::ReadHeader() {
  CheckFileOpen(10459);
  std::uint8_t bytes[kQELHeaderSize] = {};
  FFile.ReadBufferChecked(bytes, 10464, FBaseOffset, kQELHeaderSize);
  FHeader.Load(bytes);
}

void TQELDiskPageManager::WriteHeader() {
  CheckFileOpen(10460);
  std::uint8_t bytes[kQELHeaderSize];
  FHeader.Store(bytes);
  FFile.WriteBuffer(bytes, 10462, FBaseOffset, kQELHeaderSize);
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
  std::uint8_t bytes[2] = {};
  FFile.ReadBufferChecked(bytes, 30442, FLockAreaOffset, 2);
  FNextObjectIDOffset = FLockAreaOffset + QELReadLE<std::int16_t>(bytes);
  FPage0Offset = FNextObjectIDOffset + 4;
}

void TQELDiskPageManager::WriteLockArea() {
  CheckFileOpen(30443);
  std::uint8_t bytes[kQELLockAreaSize] = {};
  QELWriteLE(bytes, kQELLockAreaSize);
  FFile.WriteBuffer(bytes, 30444, FLockAreaOffset, kQELLockAreaSize);
}

// --- Pages ------------------------------------------------------------------

std::int64_t TQELDiskPageManager::GetPageOffset(std::int32_t pageNo) const {
  if (pageNo < 0) throw EQELException(10471, "Invalid PageNo = %d", {pageNo});
  return std::int64_t{pageNo} * PageSize() + FPage0Offset;
}

void TQELDiskPageManager::ReadPagePart(void* buffer, std::int32_t pageNo, std::int32_t count,
                                       std::int32_t offsetInPage) {
  if (offsetInPage < 0 || count < 0 || std::int64_t{offsetInPage} + count > PageSize()) {
    throw EQELException(10476, "Error - invalid page offset = %d, page size = %d",
                        {std::int64_t{offsetInPage} + count, PageSize()});
  }
  FFile.ReadBufferChecked(buffer, 10474, GetPageOffset(pageNo) + offsetInPage, count);
}

void TQELDiskPageManager::WritePagePart(const void* buffer, std::int32_t pageNo, std::int32_t count,
                                        std::int32_t offsetInPage) {
  if (offsetInPage < 0 || count < 0 || std::int64_t{offsetInPage} + count > PageSize()) {
    throw EQELException(10477, "Error - invalid page offset = %d, page size = %d",
                        {std::int64_t{offsetInPage} + count, PageSize()});
  }
  FFile.WriteBuffer(buffer, 10475, GetPageOffset(pageNo) + offsetInPage, count);
}

std::int32_t TQELDiskPageManager::ReadPageVersion(std::int32_t pageNo) {
  try {
    std::uint8_t bytes[4];
    FFile.ReadBufferChecked(bytes, 20197, GetPageOffset(pageNo) + page_header::kPageVersion, 4);
    return QELReadLE<std::int32_t>(bytes);
  } catch (const EQELException&) {
    return kQELInvalidPageVersion;
  }
}

void TQELDiskPageManager::WritePageVersion(std::int32_t pageNo, std::int32_t value) {
  std::uint8_t bytes[4];
  QELWriteLE(bytes, value);
  FFile.WriteBuffer(bytes, 20198, GetPageOffset(pageNo) + page_header::kPageVersion, 4);
}

bool TQELDiskPageManager::IsPlainPage(std::int32_t pageNo) const {
  return !IsEncrypted() || FFreeSpace == nullptr || FFreeSpace->IsSpacePage(pageNo);
}

bool TQELDiskPageManager::ReadPage(TQELPage* page) {
  if (page->Buffer() == nullptr || page->BufferSize() < PageSize()) page->AllocateBuffer();
  std::int64_t bytesRead = 0;
  // A page cut short by the end of the file is as unreadable as a failed
  // read: its tail would be stale bytes.
  if (!FFile.ReadBuffer(page->Buffer(), GetPageOffset(page->PageNo), PageSize(), bytesRead) ||
      bytesRead < PageSize()) {
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

void TQELDiskPageManager::WritePage(TQELPage* page) {
  page->SetPageVersion(NextPageVersion(page->PageVersion()));
  const std::int64_t offset = GetPageOffset(page->PageNo);
  if (IsPlainPage(page->PageNo)) {
    FFile.WriteBuffer(page->Buffer(), 10469, offset, PageSize());
    return;
  }
  // Encrypt a copy, so that the cached page stays plain.
  std::uint8_t* header = page->Header();
  if (page->EncryptOnWrite) {
    page_header::SetCryptoAlgorithm(header, FPassword.CryptoAlgorithm);
    page_header::SetDataCRC(header, Crc32(page->Data(), page->DataSize()));
  }
  std::memcpy(FWriteBuffer.get(), page->Buffer(), PageSize());
  if (page->EncryptOnWrite) {
    EncryptData(FPassword.CryptoAlgorithm, FWriteBuffer.get() + HeaderSize(), DataSize(),
                FPassword.Password);
  }
  FFile.WriteBuffer(FWriteBuffer.get(), 10469, offset, PageSize());
}

void TQELDiskPageManager::AllocatePage(TQELPage* page) {
  page->PageNo = FFreeSpace->AllocatePageNo();
  page->AllocateBuffer();
}

// The freed page's version is marked on disk first, so that other processes
// drop their cached copies. A page beyond the end of the file is refused
// before anything is written, rather than growing the file by a stray word.
void TQELDiskPageManager::FreePage(std::int32_t pageNo) {
  FFreeSpace->CheckNotSpacePage(pageNo);
  if (!RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20232, "Database is locked");
  }
  try {
    ReadHeader();
    if (pageNo >= FHeader.TotalPageCount) {
      throw EQELException(30430, "Page: %d cannot be addressed. TotalPageCount=%d",
                          {pageNo, FHeader.TotalPageCount});
    }
    WritePageVersion(pageNo, kQELInvalidPageVersion);
    FFreeSpace->FreePageNo(pageNo);
  } catch (...) {
    UnlockHeader();
    throw;
  }
  UnlockHeader();
}

std::int64_t TQELDiskPageManager::StorageMark() { return FFreeSpace->TotalPageCount(); }

// A rolled-back session's new pages were never written, so nobody can hold
// a copy of them: they go back without a version mark, and a file the
// session grew goes back to its size.
void TQELDiskPageManager::ReleaseNewPages(const std::vector<std::int32_t>& pageNos,
                                          std::int64_t mark) {
  FFreeSpace->ReleaseUncommittedPageNos(pageNos, static_cast<std::int32_t>(mark));
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
  if (!LockHeader()) throw EQELException(20236, "Database is locked");
  try {
    ReadHeader();
  } catch (...) {
    UnlockHeader();
    throw;
  }
  UnlockHeader();
  FPageCount = FHeader.TotalPageCount;
  return FHeader.TotalPageCount;
}

bool TQELDiskPageManager::IsPageCurrent(std::int32_t sessionID, TQELPage* page) {
  if (!FMultiUser) return true;
  std::int32_t epoch = 0, seen = 0;
  return FPagesCache.GetCurrentEpoch(sessionID, epoch) && page->SessionVersion(sessionID, seen) &&
         seen == epoch;
}

void TQELDiskPageManager::RememberPageVersion(std::int32_t sessionID, TQELPage* page) {
  std::int32_t epoch = 0;
  if (FMultiUser && FPagesCache.GetCurrentEpoch(sessionID, epoch)) page->SetSessionVersion(sessionID, epoch);
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

// A commit is bracketed by two header writes: WriteState 1 while pages are
// being written, 2 (and one more commit counted) when they all are.
void TQELDiskPageManager::ApplyChanges(std::int32_t sessionID) {
  if (!HasChanges(sessionID)) return;
  if (!RetryWithSleep(RetryPolicy, [this] { return LockHeader(); })) {
    throw EQELException(20213, "Database is locked");
  }
  try {
    ReadHeader();
    FHeader.WriteState = kQELWriteStateWriting;
    WriteHeader();
    TQELPageManager::ApplyChanges(sessionID);
    ++FHeader.CommitCounter;
    FHeader.WriteState = kQELWriteStateConsistent;
    WriteHeader();
  } catch (...) {
    UnlockHeader();
    throw;
  }
  UnlockHeader();
}

// --- Locks ------------------------------------------------------------------

bool TQELDiskPageManager::LockTables() {
  if (!RetryWithSleep(RetryPolicy, [this] { return FFile.LockByte(1, FLockAreaOffset + 3); })) {
    throw EQELException(20210, "Database tables are locked");
  }
  return true;
}

bool TQELDiskPageManager::UnlockTables() {
  if (!FFile.UnlockByte(1, FLockAreaOffset + 3)) throw EQELException(20211, "Cannot unlock database tables");
  return true;
}

bool TQELDiskPageManager::LockHeader() {
  if (FHeaderLockCount == 0 && !FFile.LockByte(1, FLockAreaOffset + 4)) return false;
  ++FHeaderLockCount;
  return true;
}

bool TQELDiskPageManager::UnlockHeader() {
  if (FHeaderLockCount <= 0) return true;
  if (--FHeaderLockCount > 0) return true;
  return FFile.UnlockByte(1, FLockAreaOffset + 4);
}

bool TQELDiskPageManager::LockNextObjectID() { return FFile.LockByte(1, FNextObjectIDOffset); }
bool TQELDiskPageManager::UnlockNextObjectID() { return FFile.UnlockByte(1, FNextObjectIDOffset); }

bool TQELDiskPageManager::LockPageByte(std::int32_t pageNo, std::int32_t offsetInPage) {
  return FFile.LockByte(1, GetPageOffset(pageNo) + offsetInPage);
}

bool TQELDiskPageManager::UnlockPageByte(std::int32_t pageNo, std::int32_t offsetInPage) {
  return FFile.UnlockByte(1, GetPageOffset(pageNo) + offsetInPage);
}

bool TQELDiskPageManager::IsPageByteLocked(std::int32_t pageNo, std::int32_t offsetInPage) {
  return FFile.IsByteLocked(GetPageOffset(pageNo) + offsetInPage);
}

bool TQELDiskPageManager::IsPageRegionLocked(std::int32_t pageNo, std::int32_t offsetInPage,
                                             std::int32_t count) {
  return FFile.IsRegionLocked(count, GetPageOffset(pageNo) + offsetInPage);
}

// --- Object ids and file size -----------------------------------------------

std::int32_t TQELDiskPageManager::GetNextObjectID() {
  CheckFileOpen(30399);
  if (!RetryWithSleep(RetryPolicy, [this] { return LockNextObjectID(); })) {
    throw EQELException(30401, "Cannot get NextObjectID. File area is Locked.");
  }
  try {
    std::uint8_t bytes[4] = {};
    FFile.ReadBufferChecked(bytes, 30400, FNextObjectIDOffset, 4);
    std::int32_t id = QELReadLE<std::int32_t>(bytes) + 1;
    if (!IsReadOnly()) {
      QELWriteLE(bytes, id);
      FFile.WriteBuffer(bytes, 30404, FNextObjectIDOffset, 4);
    } else {
      // Nothing can be stored: a random addition makes clashes unlikely.
      id += static_cast<std::int32_t>(QELRandom(10000));
    }
    UnlockNextObjectID();
    return id;
  } catch (...) {
    UnlockNextObjectID();
    throw;
  }
}

void TQELDiskPageManager::InitNextObjectID() {
  if (!RetryWithSleep(RetryPolicy, [this] { return LockNextObjectID(); })) {
    throw EQELException(30401, "Cannot get NextObjectID. File area is Locked.");
  }
  try {
    if (!IsReadOnly()) {
      const std::uint8_t zero[4] = {};
      FFile.WriteBuffer(zero, 30406, FNextObjectIDOffset, 4);
    }
  } catch (...) {
    UnlockNextObjectID();
    throw;
  }
  UnlockNextObjectID();
}

void TQELDiskPageManager::TruncateUnusedPages() {
  const std::int32_t unused = FHeader.TotalPageCount - 1 - FHeader.LastUsedPageNo;
  if (unused > 0) ShrinkFile(unused);
}

void TQELDiskPageManager::ShrinkFile(std::int32_t pageCount) {
  if (pageCount <= 0 || pageCount > FHeader.TotalPageCount) return;
  FHeader.TotalPageCount -= pageCount;
  FFile.SetSize(FPage0Offset + std::int64_t{FHeader.TotalPageCount} * PageSize());
  WriteHeader();
}

void TQELDiskPageManager::GrowFile(std::int32_t pageCount) {
  if (pageCount <= 0) return;
  FFile.SetSize(FPage0Offset + (std::int64_t{FHeader.TotalPageCount} + pageCount) * PageSize());
  FHeader.TotalPageCount += pageCount;
}

}  // namespace qel
