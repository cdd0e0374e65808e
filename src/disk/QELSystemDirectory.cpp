#include "disk/QELSystemDirectory.h"

#include "platform/QELEndian.h"
#include "platform/QELException.h"

namespace qel {

void TQELSystemDirectory::Create() {
  FFile.Create(-2);
  if (FFile.StartPageNo() != kStartPageNo) {
    throw EQELException(30392, "Error Creating SystemDirectory. SystemDirectoryPageNo=%d. Real PageNo=%d.",
                        {FFile.StartPageNo(), kStartPageNo});
  }
}

void TQELSystemDirectory::Load() {
  FFile.Open(kStartPageNo);
  std::vector<std::uint8_t> bytes;
  FFile.ReadAll(-2, FFile.GetSize(-2, true), true, bytes);
  const auto count = static_cast<std::int32_t>(bytes.size() / kEntrySize);
  FEntries.clear();
  for (std::int32_t i = 0; i < count; ++i) {
    const std::uint8_t* entry = bytes.data() + i * kEntrySize;
    FEntries.push_back({entry[system_directory_entry::kKind],
                        QELReadLE<std::int32_t>(entry + system_directory_entry::kStartPageNo)});
  }
}

void TQELSystemDirectory::Save() {
  FFile.Open(kStartPageNo);
  std::vector<std::uint8_t> bytes(FEntries.size() * kEntrySize);
  for (std::size_t i = 0; i < FEntries.size(); ++i) {
    std::uint8_t* entry = &bytes[i * kEntrySize];
    entry[system_directory_entry::kKind] = FEntries[i].Kind;
    QELWriteLE(entry + system_directory_entry::kStartPageNo, FEntries[i].StartPageNo);
  }
  FFile.WriteFile(-2, bytes.data(), 0, 0, static_cast<std::int32_t>(bytes.size()));
}

std::int32_t TQELSystemDirectory::FindEntry(std::uint8_t kind) const {
  for (const TEntry& entry : FEntries) {
    if (entry.Kind == kind) return entry.StartPageNo;
  }
  return -1;
}

}  // namespace qel
