#pragma once
// The 40-byte header at the start of every page of a database file.
//
//   0  4  signature "QELP"          14  4  DataCRC (encrypted pages only)
//   4  4  PageVersion               20  1  CryptoAlgorithm of the data area
//   8  2  PageType                  22  4  ObjectID of the owning table
//  10  4  NextPageNo (page chains)  26  4  owner-defined int32
//                                   30  2  owner-defined int16
// The remaining bytes are reserved and zero. Only the data area after the
// header is ever encrypted.

#include <cstdint>
#include <cstring>

#include "platform/QELEndian.h"

namespace qel {

inline constexpr std::uint16_t kQELPageHeaderSize = 40;

// A page version that is never written by a normal write: it marks a page
// that was freed or could not be read.
inline constexpr std::int32_t kQELInvalidPageVersion = 0x7FFFFFFF;

namespace page_header {

inline constexpr int kSignature = 0;
inline constexpr int kPageVersion = 4;
inline constexpr int kPageType = 8;
inline constexpr int kNextPageNo = 10;
inline constexpr int kDataCRC = 14;
inline constexpr int kCryptoAlgorithm = 20;
inline constexpr int kObjectID = 22;
inline constexpr int kOwnerInt32 = 26;
inline constexpr int kOwnerInt16 = 30;

// Fills a header as a fresh page buffer starts.
inline void Initialize(std::uint8_t* header) {
  std::memset(header, 0, kQELPageHeaderSize);
  std::memcpy(header + kSignature, "QELP", 4);
  QELWriteLE<std::int32_t>(header + kNextPageNo, -1);
  QELWriteLE<std::int32_t>(header + kObjectID, -1);
  QELWriteLE<std::int32_t>(header + kOwnerInt32, -1);
}

inline std::int32_t PageVersion(const std::uint8_t* h) { return QELReadLE<std::int32_t>(h + kPageVersion); }
inline void SetPageVersion(std::uint8_t* h, std::int32_t v) { QELWriteLE(h + kPageVersion, v); }
inline std::uint16_t PageType(const std::uint8_t* h) { return QELReadLE<std::uint16_t>(h + kPageType); }
inline void SetPageType(std::uint8_t* h, std::uint16_t v) { QELWriteLE(h + kPageType, v); }
inline std::int32_t NextPageNo(const std::uint8_t* h) { return QELReadLE<std::int32_t>(h + kNextPageNo); }
inline void SetNextPageNo(std::uint8_t* h, std::int32_t v) { QELWriteLE(h + kNextPageNo, v); }
inline std::uint32_t DataCRC(const std::uint8_t* h) { return QELReadLE<std::uint32_t>(h + kDataCRC); }
inline void SetDataCRC(std::uint8_t* h, std::uint32_t v) { QELWriteLE(h + kDataCRC, v); }
inline std::uint8_t CryptoAlgorithm(const std::uint8_t* h) { return h[kCryptoAlgorithm]; }
inline void SetCryptoAlgorithm(std::uint8_t* h, std::uint8_t v) { h[kCryptoAlgorithm] = v; }
inline std::int32_t ObjectID(const std::uint8_t* h) { return QELReadLE<std::int32_t>(h + kObjectID); }
inline void SetObjectID(std::uint8_t* h, std::int32_t v) { QELWriteLE(h + kObjectID, v); }

}  // namespace page_header
}  // namespace qel
