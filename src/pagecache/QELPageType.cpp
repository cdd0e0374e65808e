#include "pagecache/QELPageType.h"

#include <array>

#include "platform/QELException.h"

namespace qel {

namespace {

constexpr std::array<std::string_view, 13> kPageTypeNames = {
    "Unknown Page",          "Empty Page",          "EAM Page",
    "PFS Page",              "FileSystemDirectory Page", "ActiveSessionList Page",
    "TableList Page",        "TableLocks Page",     "TableMetaData Page",
    "TableMostUpdated Page", "TableRecord Page",    "TableBlob Page",
    "TableIndex Page",
};

}  // namespace

std::string_view PageTypeName(std::uint16_t pageType) {
  if (pageType >= kPageTypeNames.size()) {
    throw EQELException(30382, "Unknown Page Type: (%d)", {pageType});
  }
  return kPageTypeNames[pageType];
}

void CheckPageType(std::uint16_t found, std::uint16_t wanted, std::int32_t nativeError) {
  if (found == wanted) return;
  throw EQELException(nativeError, "Wrong page type. Found '%s', but wanted: '%s'",
                      {PageTypeName(found), PageTypeName(wanted)});
}

}  // namespace qel
