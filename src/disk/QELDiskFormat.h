#pragma once
// The fixed prologue of a database file, in front of page 0:
//
//   B + 0    76  header
//   B + 76  280  extended header (cipher and password check block)
//   B + 356  20  lock area:
//     +0      2    its size (20): the NextObjectID counter follows it
//     +3      1    tables lock byte (locked, never read)
//     +4      1    header lock byte (locked, never read)
//   B + 376   4  NextObjectID counter
//   B + 380      page 0, page 1, ...
//
// B is where the signature was found (0 for every file the engine creates).
// All numbers are little-endian.

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/QELEndian.h"

namespace qel {

inline constexpr char kQELDatabaseSignature[] = "QELM0NTEDATABASE";
// The signature's bytes in the header; the header's size follows them.
inline constexpr std::int16_t kQELSignatureSize = 16;
inline constexpr double kQELFormatVersion = 5.06;
// Files older than this are upgraded rather than repaired.
inline constexpr double kQELOldestCurrentFormat = 2.99;

inline constexpr std::int16_t kQELHeaderSize = 76;
inline constexpr std::int16_t kQELExtendedHeaderSize = 280;
inline constexpr std::int16_t kQELLockAreaSize = 20;
// Fields of the lock area, from its start: the size it is stored with, and
// the lock bytes (the tables lock serialises changes to the table list, the
// header lock every change of the file).
inline constexpr std::int16_t kQELLockAreaSizeField = 0;
inline constexpr std::int16_t kQELTablesLockOffset = 3;
inline constexpr std::int16_t kQELHeaderLockOffset = 4;
inline constexpr std::int16_t kQELNextObjectIDSize = 4;
// Where page 0 starts in a file the engine creates (B = 0).
inline constexpr std::int64_t kQELFirstPageOffset =
    kQELHeaderSize + kQELExtendedHeaderSize + kQELLockAreaSize + kQELNextObjectIDSize;
static_assert(kQELFirstPageOffset == 380);
inline constexpr int kQELPasswordCheckSize = 256;

// WriteState values: pages are being written, or the file is consistent.
inline constexpr std::uint8_t kQELWriteStateWriting = 1;
inline constexpr std::uint8_t kQELWriteStateConsistent = 2;

// The header, at B + 0:
//
//    0  16  Signature                        30  4  TotalPageCount
//   16   2  HeaderSize (76)                  34  4  LastUsedPageNo
//   18   8  FormatVersion (double)           38  4  CommitCounter
//   26   2  PageSize                         42  1  WriteState
//   28   2  PageCountInExtent                43  1  Encrypted
//                                            44 32  reserved, zero
namespace database_header {

inline constexpr int kSignature = 0;
inline constexpr int kHeaderSizeField = 16;
inline constexpr int kFormatVersion = 18;
inline constexpr int kPageSize = 26;
inline constexpr int kPageCountInExtent = 28;
inline constexpr int kTotalPageCount = 30;
inline constexpr int kLastUsedPageNo = 34;
inline constexpr int kCommitCounter = 38;
inline constexpr int kWriteState = 42;
inline constexpr int kEncrypted = 43;
inline constexpr int kReserved = 44;
inline constexpr int kReservedSize = 32;

}  // namespace database_header

struct TQELDatabaseHeader {
  std::array<std::uint8_t, 16> Signature{};
  std::int16_t HeaderSize = kQELHeaderSize;
  double FormatVersion = kQELFormatVersion;
  std::uint16_t PageSize = 4096;
  std::uint16_t PageCountInExtent = 8;
  std::int32_t TotalPageCount = 0;
  std::int32_t LastUsedPageNo = -1;
  std::int32_t CommitCounter = 0;
  std::uint8_t WriteState = kQELWriteStateConsistent;
  std::uint8_t Encrypted = 0;

  TQELDatabaseHeader() { std::memcpy(Signature.data(), kQELDatabaseSignature, 16); }

  bool HasSignature() const { return std::memcmp(Signature.data(), kQELDatabaseSignature, 16) == 0; }
  // The signature bytes as found, up to the first zero byte.
  std::string SignatureText() const {
    const auto* bytes = reinterpret_cast<const char*>(Signature.data());
    return std::string(bytes, strnlen(bytes, Signature.size()));
  }

  void Load(const std::uint8_t* b) {
    using namespace database_header;
    std::memcpy(Signature.data(), b + kSignature, Signature.size());
    HeaderSize = QELReadLE<std::int16_t>(b + kHeaderSizeField);
    FormatVersion = QELReadLE<double>(b + kFormatVersion);
    PageSize = QELReadLE<std::uint16_t>(b + kPageSize);
    PageCountInExtent = QELReadLE<std::uint16_t>(b + kPageCountInExtent);
    TotalPageCount = QELReadLE<std::int32_t>(b + kTotalPageCount);
    LastUsedPageNo = QELReadLE<std::int32_t>(b + kLastUsedPageNo);
    CommitCounter = QELReadLE<std::int32_t>(b + kCommitCounter);
    WriteState = b[kWriteState];
    Encrypted = b[kEncrypted];
  }

  void Store(std::uint8_t* b) const {
    using namespace database_header;
    std::memset(b, 0, kQELHeaderSize);
    std::memcpy(b + kSignature, Signature.data(), Signature.size());
    QELWriteLE(b + kHeaderSizeField, HeaderSize);
    QELWriteLE(b + kFormatVersion, FormatVersion);
    QELWriteLE(b + kPageSize, PageSize);
    QELWriteLE(b + kPageCountInExtent, PageCountInExtent);
    QELWriteLE(b + kTotalPageCount, TotalPageCount);
    QELWriteLE(b + kLastUsedPageNo, LastUsedPageNo);
    QELWriteLE(b + kCommitCounter, CommitCounter);
    b[kWriteState] = WriteState;
    b[kEncrypted] = Encrypted;
  }
};

// Every field starts where the one before it ends, and the reserved tail
// ends the header.
namespace database_header {
static_assert(kHeaderSizeField == kSignature + sizeof(TQELDatabaseHeader::Signature));
static_assert(kHeaderSizeField == kQELSignatureSize);
static_assert(kFormatVersion == kHeaderSizeField + sizeof(TQELDatabaseHeader::HeaderSize));
static_assert(kPageSize == kFormatVersion + sizeof(TQELDatabaseHeader::FormatVersion));
static_assert(kPageCountInExtent == kPageSize + sizeof(TQELDatabaseHeader::PageSize));
static_assert(kTotalPageCount == kPageCountInExtent + sizeof(TQELDatabaseHeader::PageCountInExtent));
static_assert(kLastUsedPageNo == kTotalPageCount + sizeof(TQELDatabaseHeader::TotalPageCount));
static_assert(kCommitCounter == kLastUsedPageNo + sizeof(TQELDatabaseHeader::LastUsedPageNo));
static_assert(kWriteState == kCommitCounter + sizeof(TQELDatabaseHeader::CommitCounter));
static_assert(kEncrypted == kWriteState + sizeof(TQELDatabaseHeader::WriteState));
static_assert(kReserved == kEncrypted + sizeof(TQELDatabaseHeader::Encrypted));
static_assert(kReserved + kReservedSize == kQELHeaderSize);
}  // namespace database_header

// The extended header, right after the header:
//
//     0    2  ExtendedHeaderSize (280)
//     2    1  CryptoAlgorithm
//     3    1  reserved, zero
//     4  256  PasswordCheckBlock
//   260    4  PasswordCheckCRC
//   264   16  reserved, zero
namespace extended_header {

inline constexpr int kExtendedHeaderSizeField = 0;
inline constexpr int kCryptoAlgorithm = 2;
inline constexpr int kPasswordCheckBlock = 4;
inline constexpr int kPasswordCheckCRC = 260;
inline constexpr int kReserved = 264;
inline constexpr int kReservedSize = 16;

}  // namespace extended_header

struct TQELExtendedHeader {
  std::int16_t ExtendedHeaderSize = kQELExtendedHeaderSize;
  std::uint8_t CryptoAlgorithm = 0;
  std::array<std::uint8_t, kQELPasswordCheckSize> PasswordCheckBlock{};
  std::uint32_t PasswordCheckCRC = 0;

  void Load(const std::uint8_t* b) {
    using namespace extended_header;
    ExtendedHeaderSize = QELReadLE<std::int16_t>(b + kExtendedHeaderSizeField);
    CryptoAlgorithm = b[kCryptoAlgorithm];
    std::memcpy(PasswordCheckBlock.data(), b + kPasswordCheckBlock, kQELPasswordCheckSize);
    PasswordCheckCRC = QELReadLE<std::uint32_t>(b + kPasswordCheckCRC);
  }

  void Store(std::uint8_t* b) const {
    using namespace extended_header;
    std::memset(b, 0, kQELExtendedHeaderSize);
    QELWriteLE(b + kExtendedHeaderSizeField, ExtendedHeaderSize);
    b[kCryptoAlgorithm] = CryptoAlgorithm;
    std::memcpy(b + kPasswordCheckBlock, PasswordCheckBlock.data(), kQELPasswordCheckSize);
    QELWriteLE(b + kPasswordCheckCRC, PasswordCheckCRC);
  }
};

// As for the header: the fields follow each other, the reserved tail ends it.
namespace extended_header {
static_assert(kCryptoAlgorithm == kExtendedHeaderSizeField + sizeof(TQELExtendedHeader::ExtendedHeaderSize));
static_assert(kPasswordCheckBlock == kCryptoAlgorithm + sizeof(TQELExtendedHeader::CryptoAlgorithm) + 1);  // byte 3
static_assert(kPasswordCheckCRC == kPasswordCheckBlock + sizeof(TQELExtendedHeader::PasswordCheckBlock));
static_assert(kReserved == kPasswordCheckCRC + sizeof(TQELExtendedHeader::PasswordCheckCRC));
static_assert(kReserved + kReservedSize == kQELExtendedHeaderSize);
}  // namespace extended_header

}  // namespace qel
