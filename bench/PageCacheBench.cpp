// Pages through the disk page manager beside raw pread/pwrite of the same
// pages in the same run: writing and committing 100 000 pages (1000 per
// commit), then reading 100 000 random pages through the cache, for a plain
// file and for one encrypted with AES-128.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "disk/QELDiskPageManager.h"

namespace qel {
namespace {

constexpr int kPageCount = 100000;
constexpr int kPagesPerCommit = 1000;
constexpr int kReads = 100000;
constexpr std::uint16_t kPageSize = 4096;

using bench::Clock;
using bench::Seconds;

std::vector<std::int32_t> RandomPages(const std::vector<std::int32_t>& pages) {
  std::mt19937 random(42);
  std::vector<std::int32_t> order(kReads);
  for (std::int32_t& pageNo : order) pageNo = pages[random() % pages.size()];
  return order;
}

struct TResult {
  double WritePagesPerSecond;
  double ReadPagesPerSecond;
};

TResult RunEngine(const std::string& path, const TQELPassword& password) {
  TResult result{};
  std::vector<std::int32_t> pages;
  {
    TQELDiskPageManager manager;
    manager.CreateDatabase(path, password, 8, kPageSize);
    const auto start = Clock::now();
    for (int written = 0; written < kPageCount;) {
      for (int i = 0; i < kPagesPerCommit; ++i, ++written) {
        TQELPage* page = manager.AddNewPage(0, ptTableRecord);
        std::memset(page->Data(), written & 0xFF, page->DataSize());
        pages.push_back(page->PageNo);
        manager.ReleasePage(page);
      }
      manager.ApplyChanges(0);
    }
    result.WritePagesPerSecond = kPageCount / Seconds(start);
  }
  TQELDiskPageManager manager;
  manager.OpenDatabase(path, password);
  const std::vector<std::int32_t> order = RandomPages(pages);
  std::uint64_t checksum = 0;
  const auto start = Clock::now();
  for (const std::int32_t pageNo : order) {
    TQELPage* page = manager.GetPage(0, pageNo, false, ptTableRecord);
    checksum += page->Data()[0];
    manager.ReleasePage(page);
  }
  result.ReadPagesPerSecond = kReads / Seconds(start);
  if (checksum == 1) std::printf(" ");  // keep the reads
  return result;
}

// The same pages with plain pwrite (in commits of the same size, without
// any frame) and pread, at the same offsets.
TResult RunRaw(const std::string& path) {
  TResult result{};
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  std::vector<std::uint8_t> page(kPageSize);
  std::vector<std::int32_t> pages;
  const auto start = Clock::now();
  for (int pageNo = 0; pageNo < kPageCount; ++pageNo) {
    std::memset(page.data(), pageNo & 0xFF, page.size());
    if (::pwrite(fd, page.data(), page.size(), 380 + off_t{pageNo} * kPageSize) != kPageSize) std::perror("pwrite");
    pages.push_back(pageNo);
  }
  result.WritePagesPerSecond = kPageCount / Seconds(start);
  const std::vector<std::int32_t> order = RandomPages(pages);
  std::uint64_t checksum = 0;
  const auto readStart = Clock::now();
  for (const std::int32_t pageNo : order) {
    if (::pread(fd, page.data(), page.size(), 380 + off_t{pageNo} * kPageSize) != kPageSize) std::perror("pread");
    checksum += page[40];
  }
  result.ReadPagesPerSecond = kReads / Seconds(readStart);
  ::close(fd);
  if (checksum == 1) std::printf(" ");
  return result;
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Disk pages: the page manager beside raw pread/pwrite");
  std::printf("%d pages of %d bytes written (%d per commit), then %d random page reads;\n"
              "the page cache holds at most 1000 pages, the file stays in the OS cache\n\n",
              kPageCount, kPageSize, kPagesPerCommit, kReads);
  const std::string dir = std::filesystem::temp_directory_path() / "qel-page-bench";
  std::filesystem::create_directories(dir);
  const TResult raw = RunRaw(dir + "/raw.bin");
  const TResult plain = RunEngine(dir + "/plain.qel", {"", 0});
  const TResult aes = RunEngine(dir + "/aes.qel", {"benchmark", caRijndael_128});
  std::printf("%-22s %14s %14s %10s %10s\n", "", "write pages/s", "read pages/s", "write/raw", "read/raw");
  auto row = [&](const char* name, const TResult& r) {
    std::printf("%-22s %14.0f %14.0f %10.2f %10.2f\n", name, r.WritePagesPerSecond, r.ReadPagesPerSecond,
                r.WritePagesPerSecond / raw.WritePagesPerSecond, r.ReadPagesPerSecond / raw.ReadPagesPerSecond);
  };
  row("raw pwrite/pread", raw);
  row("page manager, plain", plain);
  row("page manager, AES-128", aes);
  std::filesystem::remove_all(dir);
  return 0;
}
