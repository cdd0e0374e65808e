#pragma once
// TQELSystemDirectory: the list of a database file's system files, always at
// page 2. Each 5-byte entry names a file kind and the start page of that
// file: 1 the table list, 2 the active-sessions file.
//
//   0  1  Kind
//   1  4  StartPageNo

#include <cstdint>
#include <vector>

#include "disk/QELInternalDBTransactedAccessFile.h"

namespace qel {

enum TQELSystemFileKind : std::uint8_t { sfkTableList = 1, sfkActiveSessions = 2 };

namespace system_directory_entry {

inline constexpr int kKind = 0;
inline constexpr int kStartPageNo = 1;

}  // namespace system_directory_entry

class TQELSystemDirectory {
 public:
  static constexpr std::int32_t kStartPageNo = 2;
  static constexpr std::int32_t kEntrySize = 5;

  struct TEntry {
    std::uint8_t Kind;
    std::int32_t StartPageNo;
  };

  explicit TQELSystemDirectory(TQELPageManager& pageManager) : FFile(pageManager, ptFileSystemDirectory) {}

  // Creates the directory file under session -2; it must land on page 2.
  void Create();
  void Load();
  void Save();
  void AddEntry(std::uint8_t kind, std::int32_t startPageNo) { FEntries.push_back({kind, startPageNo}); }
  // The start page of the first entry of that kind, or -1.
  std::int32_t FindEntry(std::uint8_t kind) const;
  const std::vector<TEntry>& Entries() const { return FEntries; }

 private:
  TQELInternalDBTransactedAccessFile FFile;
  std::vector<TEntry> FEntries;
};

namespace system_directory_entry {
static_assert(kStartPageNo == kKind + sizeof(TQELSystemDirectory::TEntry::Kind));
static_assert(kStartPageNo + sizeof(TQELSystemDirectory::TEntry::StartPageNo) == TQELSystemDirectory::kEntrySize);
}  // namespace system_directory_entry

}  // namespace qel
