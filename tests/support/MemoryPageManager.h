#pragma once
// A page manager whose storage is a vector of page images in memory, for
// tests of page-structured classes. It counts the pages in use, so that a
// test can tell whether freed pages really went back.

#include <cstdint>
#include <cstring>
#include <vector>

#include "pagecache/QELPageManager.h"

namespace qel::test {

class TMemoryPageManager final : public TQELPageManager {
 public:
  explicit TMemoryPageManager(std::uint16_t pageSize = 4096)
      : TQELPageManager(pageSize, kQELPageHeaderSize) {}

  void AllocatePage(TQELPage* page) override {
    std::int32_t pageNo;
    if (!FFree.empty()) {
      pageNo = FFree.back();
      FFree.pop_back();
    } else {
      pageNo = static_cast<std::int32_t>(FStored.size());
      FStored.emplace_back();
      FUsed.push_back(false);
      FPageCount = pageNo + 1;
    }
    FUsed[static_cast<std::size_t>(pageNo)] = true;
    ++FUsedCount;
    page->PageNo = pageNo;
    page->AllocateBuffer();
  }
  void FreePage(std::int32_t pageNo) override {
    const auto index = static_cast<std::size_t>(pageNo);
    if (index >= FUsed.size() || !FUsed[index]) return;
    FUsed[index] = false;
    --FUsedCount;
    FStored[index].clear();
    FFree.push_back(pageNo);
  }
  bool ReadPage(TQELPage* page) override {
    if (page->Buffer() == nullptr) page->AllocateBuffer();
    const auto index = static_cast<std::size_t>(page->PageNo);
    if (index >= FStored.size() || FStored[index].empty()) return false;
    std::memcpy(page->Buffer(), FStored[index].data(), PageSize());
    return true;
  }
  void WritePage(TQELPage* page) override {
    FStored[static_cast<std::size_t>(page->PageNo)].assign(page->Buffer(),
                                                           page->Buffer() + PageSize());
  }

  // Pages allocated and not freed.
  std::int32_t UsedPages() const { return FUsedCount; }

 private:
  std::vector<std::vector<std::uint8_t>> FStored;
  std::vector<bool> FUsed;
  std::vector<std::int32_t> FFree;
  std::int32_t FUsedCount = 0;
};

}  // namespace qel::test
