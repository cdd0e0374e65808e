#pragma once
// The kinds of pages in a database file, as stored in every page header.

#include <cstdint>
#include <string_view>

namespace qel {

enum TQELPageType : std::uint16_t {
  ptUnknown = 0,
  ptEmpty = 1,
  ptEAM = 2,
  ptPFS = 3,
  ptFileSystemDirectory = 4,
  ptActiveSessionList = 5,
  ptTableList = 6,
  ptTableLocks = 7,
  ptTableMetaData = 8,
  ptTableMostUpdated = 9,
  ptTableRecord = 10,
  ptTableBlob = 11,
  ptTableIndex = 12,
};

// A page request naming this type accepts a page of any type.
inline constexpr std::uint16_t kQELAnyPageType = 255;

// The name used in messages ("EAM Page", ...); a value above 12 raises
// "Unknown Page Type: (%d)" (30382).
std::string_view PageTypeName(std::uint16_t pageType);

// Raises "Wrong page type. Found '%s', but wanted: '%s'" with the caller's
// native code when the found type is not the wanted one.
void CheckPageType(std::uint16_t found, std::uint16_t wanted, std::int32_t nativeError);

}  // namespace qel
