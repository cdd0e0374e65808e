#pragma once
// The fixed prologue of a database file, in front of page 0:
//
//   B + 0    76  header
//   B + 76  280  extended header (cipher and password check block)
//   B + 356  20  lock area (bytes +3 and +4 are lock targets)
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
inline constexpr int kQELPasswordCheckSize = 256;

// WriteState values: pages are being written, or the file is consistent.
inline constexpr std::uint8_t kQELWriteStateWriting = 1;
inline constexpr std::uint8_t kQELWriteStateConsistent = 2;

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
    std::memcpy(Signature.data(), b, 16);
    HeaderSize = QELReadLE<std::int16_t>(b + 16);
    FormatVersion = QELReadLE<double>(b + 18);
    PageSize = QELReadLE<std::uint16_t>(b + 26);
    PageCountInExtent = QELReadLE<std::uint16_t>(b + 28);
    TotalPageCount = QELReadLE<std::int32_t>(b + 30);
    LastUsedPageNo = QELReadLE<std::int32_t>(b + 34);
    CommitCounter = QELReadLE<std::int32_t>(b + 38);
    WriteState = b[42];
    Encrypted = b[43];
  }

  void Store(std::uint8_t* b) const {
    std::memset(b, 0, kQELHeaderSize);
    std::memcpy(b, Signature.data(), 16);
    QELWriteLE(b + 16, HeaderSize);
    QELWriteLE(b + 18, FormatVersion);
    QELWriteLE(b + 26, PageSize);
    QELWriteLE(b + 28, PageCountInExtent);
    QELWriteLE(b + 30, TotalPageCount);
    QELWriteLE(b + 34, LastUsedPageNo);
    QELWriteLE(b + 38, CommitCounter);
    b[42] = WriteState;
    b[43] = Encrypted;
  }
};

struct TQELExtendedHeader {
  std::int16_t ExtendedHeaderSize = kQELExtendedHeaderSize;
  std::uint8_t CryptoAlgorithm = 0;
  std::array<std::uint8_t, kQELPasswordCheckSize> PasswordCheckBlock{};
  std::uint32_t PasswordCheckCRC = 0;

  void Load(const std::uint8_t* b) {
    ExtendedHeaderSize = QELReadLE<std::int16_t>(b);
    CryptoAlgorithm = b[2];
    std::memcpy(PasswordCheckBlock.data(), b + 4, kQELPasswordCheckSize);
    PasswordCheckCRC = QELReadLE<std::uint32_t>(b + 260);
  }

  void Store(std::uint8_t* b) const {
    std::memset(b, 0, kQELExtendedHeaderSize);
    QELWriteLE(b, ExtendedHeaderSize);
    b[2] = CryptoAlgorithm;
    std::memcpy(b + 4, PasswordCheckBlock.data(), kQELPasswordCheckSize);
    QELWriteLE(b + 260, PasswordCheckCRC);
  }
};

}  // namespace qel
