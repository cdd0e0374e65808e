// Pages through the disk page manager beside raw pread/pwrite of the same
// pages in the same run: writing and committing 100 000 pages (1000 per
// commit), then reading 100 000 random pages through the cache, for a plain
// file and for one encrypted with AES-128. The raw side writes and reads a
// file of its own one page per system call. The floors read the page
// manager's own files the same way the page manager does, by raw pread of
// the same pages (and, for the encrypted file, decryption of each page's
// data area), nothing else: no cache, no checksum.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "crypto/PageCipher.h"
#include "disk/QELDiskPageManager.h"

namespace qel {
namespace {

constexpr int kPageCount = 100000;
constexpr int kPagesPerCommit = 1000;
constexpr int kReads = 100000;
constexpr std::uint16_t kPageSize = 4096;
constexpr int kRounds = 5;

using bench::Clock;
using bench::Seconds;

std::vector<std::int32_t> RandomPages(const std::vector<std::int32_t>& pages) {
  std::mt19937 random(42);
  std::vector<std::int32_t> order(kReads);
  for (std::int32_t& pageNo : order) pageNo = pages[random() % pages.size()];
  return order;
}

// Before the timed reads (outside the timings): the written pages reach
// the disk, and the whole file is read twice, which the system takes as a
// sign the pages are in use. Timed runs then all read pages in the same
// state; otherwise the first run over freshly written pages also pays for
// the system moving them to its list of pages in use, and a second run
// over the same pages does not.
void SettleFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fsync(fd);
  std::vector<std::uint8_t> chunk(1 << 20);
  for (int pass = 0; pass < 2; ++pass) {
    for (off_t at = 0; ::pread(fd, chunk.data(), chunk.size(), at) > 0; at += static_cast<off_t>(chunk.size())) {
    }
  }
  ::close(fd);
}

struct TResult {
  double WritePagesPerSecond;
  double ReadPagesPerSecond;
};

double RawReads(const std::string& path, const std::vector<std::int32_t>& order, const TQELPassword& password);

// Writes the file through the page manager, then reads it: through the page
// manager, or (`floor`) by raw pread of the same pages, decrypting each
// page's data area when the file is encrypted. Either read meets a file
// freshly written and settled, never pages another timed run just read.
TResult RunEngine(const std::string& path, const TQELPassword& password, bool floor = false) {
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
  SettleFile(path);
  const std::vector<std::int32_t> order = RandomPages(pages);
  if (floor) {
    result.ReadPagesPerSecond = RawReads(path, order, password);
    return result;
  }
  TQELDiskPageManager manager;
  manager.OpenDatabase(path, password);
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
  SettleFile(path);
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

// The engine's reads of a file again, by pread at the pages' offsets, each
// page's data area decrypted in place when the file is encrypted; nothing
// else (no cache, no checksum).
double RawReads(const std::string& path, const std::vector<std::int32_t>& order, const TQELPassword& password) {
  std::vector<std::int64_t> offsets;
  std::uint16_t headerSize = 0;
  {
    TQELDiskPageManager manager;
    manager.OpenDatabase(path, password);
    headerSize = manager.HeaderSize();
    for (const std::int32_t pageNo : order) offsets.push_back(manager.GetPageOffset(pageNo));
  }
  const bool encrypted = !password.Password.empty();
  const int fd = ::open(path.c_str(), O_RDONLY);
  std::vector<std::uint8_t> page(kPageSize);
  std::uint64_t checksum = 0;
  const auto start = Clock::now();
  for (const std::int64_t offset : offsets) {
    if (::pread(fd, page.data(), page.size(), offset) != kPageSize) std::perror("pread");
    if (encrypted) {
      DecryptData(password.CryptoAlgorithm, page.data() + headerSize, kPageSize - headerSize, password.Password);
    }
    checksum += page[headerSize];
  }
  const double perSecond = kReads / Seconds(start);
  ::close(fd);
  if (checksum == 1) std::printf(" ");
  return perSecond;
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
  // The runs take turns for a few rounds and each figure's best counts (the
  // machine is shared). The floors read files written and settled the same
  // way as the page manager's, in runs of their own.
  const TQELPassword aesPassword{"benchmark", caRijndael_128};
  TResult raw{}, plain{}, aes{}, plainFloor{}, aesFloor{};
  const auto keepBest = [](TResult& best, const TResult& round) {
    best.WritePagesPerSecond = std::max(best.WritePagesPerSecond, round.WritePagesPerSecond);
    best.ReadPagesPerSecond = std::max(best.ReadPagesPerSecond, round.ReadPagesPerSecond);
  };
  for (int round = 0; round < kRounds; ++round) {
    keepBest(raw, RunRaw(dir + "/raw.bin"));
    keepBest(plain, RunEngine(dir + "/plain.qel", {"", 0}));
    keepBest(plainFloor, RunEngine(dir + "/plain.qel", {"", 0}, true));
    keepBest(aes, RunEngine(dir + "/aes.qel", aesPassword));
    keepBest(aesFloor, RunEngine(dir + "/aes.qel", aesPassword, true));
  }
  std::printf("best of %d rounds\n", kRounds);
  std::printf("%-34s %14s %14s %10s %10s\n", "", "write pages/s", "read pages/s", "write/raw", "read/raw");
  auto row = [&](const char* name, const TResult& r, bool writes) {
    if (writes) {
      std::printf("%-34s %14.0f %14.0f %10.2f %10.2f\n", name, r.WritePagesPerSecond, r.ReadPagesPerSecond,
                  r.WritePagesPerSecond / raw.WritePagesPerSecond, r.ReadPagesPerSecond / raw.ReadPagesPerSecond);
    } else {
      std::printf("%-34s %14s %14.0f %10s %10.2f\n", name, "-", r.ReadPagesPerSecond, "-",
                  r.ReadPagesPerSecond / raw.ReadPagesPerSecond);
    }
  };
  row("raw pwrite/pread", raw, true);
  row("raw pread of the page manager's file", plainFloor, false);
  row("page manager, plain", plain, true);
  row("raw pread + AES-128 of the same", aesFloor, false);
  row("page manager, AES-128", aes, true);
  const auto goal = [](const char* what, double ratio, double least) {
    std::printf("%-58s %5.2f (goal at least %.2f: %s)\n", what, ratio, least, ratio >= least ? "met" : "MISSED");
  };
  std::printf("\n");
  goal("plain writes against raw pwrite", plain.WritePagesPerSecond / raw.WritePagesPerSecond, 0.8);
  goal("plain reads against raw pread", plain.ReadPagesPerSecond / raw.ReadPagesPerSecond, 0.9);
  goal("plain reads against raw pread of the same file", plain.ReadPagesPerSecond / plainFloor.ReadPagesPerSecond,
       0.9);
  goal("AES-128 reads against raw pread + decryption", aes.ReadPagesPerSecond / aesFloor.ReadPagesPerSecond, 0.8);
  std::filesystem::remove_all(dir);
  return 0;
}
