#include "disk/QELTableListFile.h"

#include <algorithm>
#include <cstring>

#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

using namespace table_list_entry;

namespace {

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

std::string TQELTableListFile::StoredName(std::string_view name) {
  if (name.size() <= kMaxNameLength) return std::string(name);
  std::size_t length = kMaxNameLength;
  // Never leave half a UTF-8 character at the end.
  while (length > 0 && (static_cast<unsigned char>(name[length]) & 0xC0) == 0x80) --length;
  return std::string(name.substr(0, length));
}

bool TQELTableListFile::SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiUpper(x) == AsciiUpper(y); });
}

std::int32_t TQELTableListFile::Create() {
  FFile.Close();
  FFile.Create(-2);
  const std::int32_t start = FFile.StartPageNo();
  FFile.Close();
  return start;
}

void TQELTableListFile::Open(std::int32_t startPageNo) {
  if (FFile.IsOpen()) throw EQELException(30393, "Table list file already opened.");
  FFile.Open(startPageNo);
}

void TQELTableListFile::Load() {
  std::vector<std::uint8_t> bytes;
  FFile.ReadAll(-2, FFile.GetSize(-2, true), true, bytes);
  const auto count = static_cast<std::int32_t>(bytes.size() / kEntrySize);
  FTables.clear();
  for (std::int32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = bytes.data() + std::size_t(i) * kEntrySize;
    TQELTableInfo info;
    info.Name.assign(reinterpret_cast<const char*>(entry + kName), entry[kNameLength]);
    info.ObjectID = QELReadLE<std::int32_t>(entry + kObjectID);
    info.MetadataStartPage = QELReadLE<std::int32_t>(entry + kMetadataStartPage);
    info.HeaderStartPage = QELReadLE<std::int32_t>(entry + kHeaderStartPage);
    info.LocksStartPage = QELReadLE<std::int32_t>(entry + kLocksStartPage);
    FTables.push_back(std::move(info));
  }
}

void TQELTableListFile::Save() {
  std::vector<std::uint8_t> bytes(FTables.size() * kEntrySize, 0);
  for (std::size_t i = 0; i < FTables.size(); ++i) {
    std::uint8_t* entry = bytes.data() + i * kEntrySize;
    const TQELTableInfo& info = FTables[i];
    entry[kNameLength] = static_cast<std::uint8_t>(info.Name.size());
    std::memcpy(entry + kName, info.Name.data(), info.Name.size());
    QELWriteLE(entry + kObjectID, info.ObjectID);
    QELWriteLE(entry + kMetadataStartPage, info.MetadataStartPage);
    QELWriteLE(entry + kHeaderStartPage, info.HeaderStartPage);
    QELWriteLE(entry + kLocksStartPage, info.LocksStartPage);
  }
  FFile.WriteFile(-2, bytes.data(), 0, 0, static_cast<std::int32_t>(bytes.size()));
}

std::int64_t TQELTableListFile::IndexOf(std::string_view name) const {
  const std::string stored = StoredName(name);
  for (std::size_t i = 0; i < FTables.size(); ++i) {
    if (SameName(FTables[i].Name, stored)) return static_cast<std::int64_t>(i);
  }
  return -1;
}

void TQELTableListFile::AddTable(std::int32_t objectID, std::string_view name, std::int32_t metadataStart,
                                 std::int32_t headerStart, std::int32_t locksStart) {
  FTables.push_back({StoredName(name), objectID, metadataStart, headerStart, locksStart});
}

std::optional<TQELTableInfo> TQELTableListFile::GetTableInfo(std::string_view name) const {
  const std::int64_t index = IndexOf(name);
  if (index < 0) return std::nullopt;
  return FTables[static_cast<std::size_t>(index)];
}

bool TQELTableListFile::DeleteTable(std::string_view name) {
  const std::int64_t index = IndexOf(name);
  if (index < 0) return false;
  FTables.erase(FTables.begin() + index);
  return true;
}

bool TQELTableListFile::RenameTable(std::string_view name, std::string_view newName) {
  const std::int64_t index = IndexOf(name);
  if (index < 0) return false;
  FTables[static_cast<std::size_t>(index)].Name = StoredName(newName);
  return true;
}

std::vector<std::string> TQELTableListFile::GetTableNames() {
  Load();
  std::vector<std::string> names;
  for (const TQELTableInfo& info : FTables) names.push_back(info.Name);
  return names;
}

}  // namespace qel
