#include "disk/QELPageWriteSet.h"

#include <cstring>

namespace qel {

void TQELPageWriteSet::Configure(std::uint16_t pageSize, std::int32_t headerSize) {
  Clear();
  FPageSize = pageSize;
  FHeader.assign(static_cast<std::size_t>(headerSize), 0);
  FHeaderAtMark.assign(FHeader.size(), 0);
}

void TQELPageWriteSet::Start(std::int64_t storedSize) {
  FStarted = true;
  FStoredSize = FSize = FSizeAtMark = storedSize;
}

void TQELPageWriteSet::Clear() {
  FStarted = false;
  FPages.clear();
  FUndo.clear();
  FHeaderChanged = FHeaderChangedAtMark = false;
  FStoredSize = FSize = FSizeAtMark = 0;
}

void TQELPageWriteSet::Mark() {
  ++FGeneration;
  FUndo.clear();
  FSizeAtMark = FSize;
  FHeaderChangedAtMark = FHeaderChanged;
  FHeaderAtMark = FHeader;
}

void TQELPageWriteSet::Undo() {
  for (auto undo = FUndo.rbegin(); undo != FUndo.rend(); ++undo) {
    const auto held = FPages.find(undo->PageNo);
    if (held == FPages.end()) continue;
    if (undo->Bytes) {
      held->second.Bytes = std::move(undo->Bytes);
    } else {
      FPages.erase(held);
    }
  }
  FUndo.clear();
  FSize = FSizeAtMark;
  FHeaderChanged = FHeaderChangedAtMark;
  FHeader = FHeaderAtMark;
  // The restored images belong to no savepoint's generation any more.
  ++FGeneration;
  for (auto& [pageNo, image] : FPages) image.Generation = 0;
}

const std::uint8_t* TQELPageWriteSet::FindPage(std::int32_t pageNo) const {
  if (FPages.empty()) return nullptr;
  const auto held = FPages.find(pageNo);
  return held == FPages.end() ? nullptr : held->second.Bytes.get();
}

std::uint8_t* TQELPageWriteSet::ChangePage(std::int32_t pageNo, const std::uint8_t* stored) {
  const auto held = FPages.find(pageNo);
  if (held != FPages.end()) {
    TPageImage& image = held->second;
    if (image.Generation != FGeneration) {
      // The first change since the savepoint keeps the image as it was.
      auto before = std::make_unique<std::uint8_t[]>(FPageSize);
      std::memcpy(before.get(), image.Bytes.get(), FPageSize);
      FUndo.push_back({pageNo, std::move(before)});
      image.Generation = FGeneration;
    }
    return image.Bytes.get();
  }
  TPageImage image;
  image.Generation = FGeneration;
  image.Bytes = std::make_unique<std::uint8_t[]>(FPageSize);
  if (stored != nullptr) std::memcpy(image.Bytes.get(), stored, FPageSize);
  std::uint8_t* bytes = image.Bytes.get();
  FPages.emplace(pageNo, std::move(image));
  FUndo.push_back({pageNo, nullptr});
  return bytes;
}

void TQELPageWriteSet::SetHeader(const std::uint8_t* bytes) {
  std::memcpy(FHeader.data(), bytes, FHeader.size());
  FHeaderChanged = true;
}

}  // namespace qel
