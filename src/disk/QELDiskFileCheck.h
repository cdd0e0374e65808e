#pragma once
// A consistency check of an open database file at the page level: every
// page's frame, type, CRC and decryption, and its place in the free-space
// pages. Later layers add their own checks on top of this one.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qel {

class TQELDiskPageManager;

struct TQELFileFault {
  std::int32_t PageNo;  // -1 for faults of the file as a whole
  std::string Message;
};

struct TQELDiskFileSummary {
  std::int64_t FileSize = 0;
  std::int32_t TotalPageCount = 0;
  std::int32_t UsedPageCount = 0;
  std::int32_t FreePageCount = 0;
  // Used pages that sessions took and have not committed (those of a
  // killed writer until its session id is taken again); their content is
  // not checked.
  std::int32_t TakenPageCount = 0;
  // Used pages by page type.
  std::map<std::uint16_t, std::int32_t> PagesByType;
  std::vector<TQELFileFault> Faults;
};

// Reads every page of the file (bypassing the page cache) and answers what
// it found. Never raises for a damaged page: damage becomes a fault.
TQELDiskFileSummary CheckDiskFile(TQELDiskPageManager& manager);

}  // namespace qel
