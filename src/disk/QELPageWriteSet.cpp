#include "disk/QELPageWriteSet.h"

#include <algorithm>
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

void TQELPageWriteSet::SetSize(std::int64_t size) {
  FSize = size;
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
    const auto held = std::find_if(FPages.begin(), FPages.end(),
                                   [&](const TPageImage& image) { return image.PageNo == undo->PageNo; });
    if (held == FPages.end()) continue;
    if (undo->Bytes) {
      held->Bytes = std::move(undo->Bytes);
    } else {
      FPages.erase(held);
    }
  }
  FUndo.clear();
  FSize = FSizeAtMark;
  FHeaderChanged = FHeaderChangedAtMark;
  FHeader = FHeaderAtMark;
  // The restored images belong to the savepoint's generation again.
  ++FGeneration;
  for (TPageImage& image : FPages) image.Generation = 0;
}

TQELPageWriteSet::TPageImage* TQELPageWriteSet::Find(std::int32_t pageNo) {
  for (TPageImage& image : FPages) {
    if (image.PageNo == pageNo) return &image;
  }
  return nullptr;
}

const std::uint8_t* TQELPageWriteSet::FindPage(std::int32_t pageNo) const {
  for (const TPageImage& image : FPages) {
    if (image.PageNo == pageNo) return image.Bytes.get();
  }
  return nullptr;
}

std::uint8_t* TQELPageWriteSet::ChangePage(std::int32_t pageNo, bool& loaded) {
  if (TPageImage* image = Find(pageNo)) {
    if (image->Generation != FGeneration) {
      // The first change since the savepoint keeps the image as it was.
      auto before = std::make_unique<std::uint8_t[]>(FPageSize);
      std::memcpy(before.get(), image->Bytes.get(), FPageSize);
      FUndo.push_back({pageNo, std::move(before)});
      image->Generation = FGeneration;
    }
    loaded = true;
    return image->Bytes.get();
  }
  FUndo.push_back({pageNo, nullptr});
  TPageImage image;
  image.PageNo = pageNo;
  image.Generation = FGeneration;
  image.Bytes = std::make_unique<std::uint8_t[]>(FPageSize);
  FPages.push_back(std::move(image));
  loaded = false;
  return FPages.back().Bytes.get();
}

void TQELPageWriteSet::SetHeader(const std::uint8_t* bytes) {
  std::memcpy(FHeader.data(), bytes, FHeader.size());
  FHeaderChanged = true;
}

}  // namespace qel
