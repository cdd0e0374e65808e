#pragma once
// TQELTableListFile: the tables of a database file, in creation order. Each
// 272-byte entry holds the table's name, its object id and the start pages
// of its three internal files: metadata (type 8), header (type 9) and locks
// (type 7). Names are found by comparing with the letters a-z folded to
// upper case and nothing else.
//
//     0    1  name length
//     1  255  name (the bytes past its length are zero)
//   256    4  ObjectID
//   260    4  MetadataStartPage
//   264    4  HeaderStartPage
//   268    4  LocksStartPage

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk/QELInternalDBTransactedAccessFile.h"

namespace qel {

namespace table_list_entry {

inline constexpr int kNameLength = 0;
inline constexpr int kName = 1;
inline constexpr int kObjectID = 256;
inline constexpr int kMetadataStartPage = 260;
inline constexpr int kHeaderStartPage = 264;
inline constexpr int kLocksStartPage = 268;

}  // namespace table_list_entry

struct TQELTableInfo {
  std::string Name;
  std::int32_t ObjectID = -1;
  std::int32_t MetadataStartPage = -1;
  std::int32_t HeaderStartPage = -1;
  std::int32_t LocksStartPage = -1;
};

class TQELTableListFile {
 public:
  static constexpr std::int32_t kEntrySize = 272;
  static constexpr std::size_t kMaxNameLength = 255;

  explicit TQELTableListFile(TQELPageManager& pageManager) : FFile(pageManager, ptTableList) {}

  // Creates an empty list under session -2 and answers its start page (the
  // list stays closed).
  std::int32_t Create();
  void Open(std::int32_t startPageNo);
  bool IsOpen() const { return FFile.IsOpen(); }
  std::int32_t StartPageNo() const { return FFile.StartPageNo(); }
  void Load();
  void Save();

  void AddTable(std::int32_t objectID, std::string_view name, std::int32_t metadataStart, std::int32_t headerStart,
                std::int32_t locksStart);
  std::optional<TQELTableInfo> GetTableInfo(std::string_view name) const;
  bool DeleteTable(std::string_view name);
  bool RenameTable(std::string_view name, std::string_view newName);
  bool TableExists(std::string_view name) const { return IndexOf(name) >= 0; }
  // Reloads the list, then answers every name in order.
  std::vector<std::string> GetTableNames();
  const std::vector<TQELTableInfo>& Tables() const { return FTables; }

  // The name as stored: at most 255 bytes, cut at a character boundary.
  static std::string StoredName(std::string_view name);
  static bool SameName(std::string_view a, std::string_view b);

 private:
  std::int64_t IndexOf(std::string_view name) const;

  TQELInternalDBTransactedAccessFile FFile;
  std::vector<TQELTableInfo> FTables;
};

// The name has room for its longest length, and the four page and id
// fields fill the rest of the entry.
namespace table_list_entry {
static_assert(kName == kNameLength + 1);
static_assert(kObjectID == kName + TQELTableListFile::kMaxNameLength);
static_assert(kMetadataStartPage == kObjectID + sizeof(TQELTableInfo::ObjectID));
static_assert(kHeaderStartPage == kMetadataStartPage + sizeof(TQELTableInfo::MetadataStartPage));
static_assert(kLocksStartPage == kHeaderStartPage + sizeof(TQELTableInfo::HeaderStartPage));
static_assert(kLocksStartPage + sizeof(TQELTableInfo::LocksStartPage) == TQELTableListFile::kEntrySize);
}  // namespace table_list_entry

}  // namespace qel
