// PPMd compression beside its peers on one text corpus: our coder at order
// 8 with 25 MB, zlib level 9 and bzip2 level 9 in this process, and the 7zz
// program with -m0=PPMd:o=8:mem=25m run as a child process in the same run.
//
// The corpus is the system's own text: the files under
// /usr/share/common-licenses and /usr/share/doc in path order (gzip files
// unpacked, files with NUL bytes skipped) up to the requested size.
//
// In-process figures are the best of five runs of one whole-buffer call.
// The 7zz figures are the best of five wall-clock runs of the program,
// alternating with our own coder's runs, and so include its start-up,
// reading the corpus file and writing the archive (or the restored file);
// its size is the packed size it reports, without the archive headers.
// Nothing is subtracted from either side.
//
// Usage: qel_ppmd_bench [corpus MB (default 8)]

#include <bzlib.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "BenchUtil.h"
#include "streams/ppmd/QELPpmd.h"

extern char** environ;

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

constexpr int kRuns = 5;
constexpr int kOrder = 8;
constexpr int kMemoryMB = 25;

bool ReadFile(const fs::path& path, Bytes& bytes) {
  if (path.extension() == ".gz") {
    gzFile file = gzopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    std::uint8_t chunk[65536];
    int got = 0;
    while ((got = gzread(file, chunk, sizeof chunk)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    gzclose(file);
    return got == 0;
  }
  std::ifstream in(path, std::ios::binary);
  bytes.assign(std::istreambuf_iterator<char>(in), {});
  return static_cast<bool>(in) || in.eof();
}

Bytes BuildCorpus(std::size_t size, std::size_t& files) {
  std::vector<fs::path> paths;
  for (const char* root : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    std::error_code error;
    for (fs::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
      if (it->is_regular_file(error) && !it->is_symlink(error)) paths.push_back(it->path());
    }
  }
  std::sort(paths.begin(), paths.end());
  Bytes corpus;
  files = 0;
  for (const fs::path& path : paths) {
    if (corpus.size() >= size) break;
    Bytes bytes;
    if (!ReadFile(path, bytes) || bytes.empty()) continue;
    if (std::find(bytes.begin(), bytes.end(), 0) != bytes.end()) continue;  // not text
    corpus.insert(corpus.end(), bytes.begin(), bytes.end());
    ++files;
  }
  if (corpus.size() > size) corpus.resize(size);
  return corpus;
}

// Wall-clock seconds of one call, and the best of kRuns calls.
double Seconds(const std::function<void()>& body) {
  const auto start = std::chrono::steady_clock::now();
  body();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double BestSeconds(const std::function<void()>& body) {
  double best = 1e30;
  for (int run = 0; run < kRuns; ++run) best = std::min(best, Seconds(body));
  return best;
}

struct TResult {
  std::string Name;
  std::size_t Size = 0;
  double CompressSeconds = 0;
  double DecompressSeconds = 0;
  bool RoundTrip = false;
};

// The codec as compressed BLOBs use it: independent blocks, each with a
// fresh model.
TResult MeasurePpmdBlocks(const Bytes& corpus, int mode, std::size_t blockSize) {
  TQELPpmdModelParameters model{};
  PpmdParametersForMode(mode, model);
  TResult r{"PPMd mode " + std::to_string(mode) + ", " + std::to_string(blockSize / 1024) + " KB blocks"};
  std::vector<Bytes> blocks;
  r.CompressSeconds = BestSeconds([&] {
    blocks.clear();
    for (std::size_t at = 0; at < corpus.size(); at += blockSize) {
      blocks.emplace_back();
      PpmdCompress(corpus.data() + at, std::min(blockSize, corpus.size() - at), model.Order, model.MemoryMB,
                   blocks.back());
    }
  });
  Bytes restored(corpus.size());
  r.DecompressSeconds = BestSeconds([&] {
    r.RoundTrip = true;
    for (std::size_t i = 0, at = 0; i < blocks.size(); ++i, at += blockSize) {
      r.RoundTrip &= PpmdDecompress(blocks[i].data(), blocks[i].size(), model.Order, model.MemoryMB,
                                    restored.data() + at, std::min(blockSize, corpus.size() - at));
    }
  });
  r.RoundTrip = r.RoundTrip && restored == corpus;
  for (const Bytes& block : blocks) r.Size += block.size() + 4;  // with each block's parameter word
  return r;
}

TResult MeasureZlib(const Bytes& corpus) {
  TResult r{"zlib level 9"};
  uLongf size = compressBound(static_cast<uLong>(corpus.size()));
  Bytes coded(size);
  r.CompressSeconds = BestSeconds([&] {
    size = compressBound(static_cast<uLong>(corpus.size()));
    compress2(coded.data(), &size, corpus.data(), static_cast<uLong>(corpus.size()), 9);
  });
  Bytes restored(corpus.size());
  uLongf restoredSize = 0;
  r.DecompressSeconds = BestSeconds([&] {
    restoredSize = static_cast<uLongf>(restored.size());
    r.RoundTrip = uncompress(restored.data(), &restoredSize, coded.data(), size) == Z_OK;
  });
  r.RoundTrip = r.RoundTrip && restored == corpus;
  r.Size = size;
  return r;
}

TResult MeasureBzip2(const Bytes& corpus) {
  TResult r{"bzip2 level 9"};
  Bytes coded(corpus.size() + corpus.size() / 100 + 600);
  unsigned size = 0;
  std::vector<char> in(corpus.begin(), corpus.end());
  r.CompressSeconds = BestSeconds([&] {
    size = static_cast<unsigned>(coded.size());
    BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(coded.data()), &size, in.data(),
                             static_cast<unsigned>(in.size()), 9, 0, 0);
  });
  Bytes restored(corpus.size());
  r.DecompressSeconds = BestSeconds([&] {
    unsigned restoredSize = static_cast<unsigned>(restored.size());
    r.RoundTrip = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(restored.data()), &restoredSize,
                                             reinterpret_cast<char*>(coded.data()), size, 0, 0) == BZ_OK;
  });
  r.RoundTrip = r.RoundTrip && restored == corpus;
  r.Size = size;
  return r;
}

// Runs a program with its output discarded; true when it exits with 0.
bool Run(std::vector<std::string> args, const std::string& outputFile = "/dev/null") {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The "Packed Size = n" line of `7zz l -slt`.
std::size_t PackedSize(const std::string& archive, const std::string& listing) {
  if (!Run({"7zz", "l", "-slt", archive}, listing)) return 0;
  std::ifstream in(listing);
  const std::string key = "Packed Size = ";
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(key.size()));
  }
  return 0;
}

// Our coder at order 8 with 25 MB and 7zz with the same model, timed in
// alternation (7zz compress, ours, 7zz decompress, ours) so that a change in
// the machine's load falls on both.
void MeasurePpmdAndPeer(const Bytes& corpus, const std::string& dir, TResult& ours, TResult& peer) {
  ours = {"PPMd o8 25 MB (ours)"};
  peer = {"7zz -m0=PPMd:o=8:mem=25m"};
  const std::string input = dir + "/corpus.txt", archive = dir + "/corpus.7z",
                    restored = dir + "/restored.txt";
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(corpus.data()), static_cast<std::streamsize>(corpus.size()));
  Bytes coded, back(corpus.size());
  bool peerOk = true, oursOk = true;
  ours.CompressSeconds = ours.DecompressSeconds = peer.CompressSeconds = peer.DecompressSeconds = 1e30;
  const auto peerCompress = [&] {
    peerOk &= Run({"7zz", "a", "-bd", "-m0=PPMd:o=8:mem=25m", archive, input});
  };
  const auto peerDecompress = [&] { peerOk &= Run({"7zz", "e", "-bd", "-so", archive}, restored); };
  const auto oursCompress = [&] {
    oursOk &= PpmdCompress(corpus.data(), corpus.size(), kOrder, kMemoryMB, coded);
  };
  const auto oursDecompress = [&] {
    oursOk &= PpmdDecompress(coded.data(), coded.size(), kOrder, kMemoryMB, back.data(), back.size());
  };
  for (int run = 0; run < kRuns; ++run) {
    fs::remove(archive);
    peer.CompressSeconds = std::min(peer.CompressSeconds, Seconds(peerCompress));
    ours.CompressSeconds = std::min(ours.CompressSeconds, Seconds(oursCompress));
    peer.DecompressSeconds = std::min(peer.DecompressSeconds, Seconds(peerDecompress));
    ours.DecompressSeconds = std::min(ours.DecompressSeconds, Seconds(oursDecompress));
  }
  ours.RoundTrip = oursOk && back == corpus;
  ours.Size = coded.size();
  Bytes peerBack;
  peer.RoundTrip = peerOk && ReadFile(restored, peerBack) && peerBack == corpus;
  peer.Size = peer.RoundTrip ? PackedSize(archive, dir + "/listing.txt") : 0;
}

void Print(const TResult& r, std::size_t corpusSize, const TResult* peer) {
  const double mb = static_cast<double>(corpusSize) / 1e6;
  std::printf("%-34s %10zu %7.3f %9.2f %9.2f  %s", r.Name.c_str(), r.Size,
              static_cast<double>(r.Size) * 8 / static_cast<double>(corpusSize), mb / r.CompressSeconds,
              mb / r.DecompressSeconds, r.RoundTrip ? "ok" : "FAILED");
  if (peer != nullptr && peer->Size != 0) {
    std::printf("   size %+.2f%%, speed %.0f%% / %.0f%% of 7zz",
                (static_cast<double>(r.Size) / static_cast<double>(peer->Size) - 1) * 100,
                peer->CompressSeconds / r.CompressSeconds * 100,
                peer->DecompressSeconds / r.DecompressSeconds * 100);
  }
  std::printf("\n");
}

}  // namespace
}  // namespace qel

int main(int argc, char** argv) {
  using namespace qel;
  const std::size_t corpusMB = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 8;
  bench::PrintMachineFacts("PPMd compression of one text corpus beside zlib, bzip2 and 7zz");
  std::size_t files = 0;
  const Bytes corpus = BuildCorpus(corpusMB << 20, files);
  std::printf(
      "corpus: %zu bytes of text from %zu files under /usr/share/common-licenses and /usr/share/doc\n",
      corpus.size(), files);
  std::printf(
      "in-process: best of %d whole-buffer calls; 7zz: best of %d program runs alternating with ours "
      "(start-up and file I/O included), packed size without archive headers\n\n",
      kRuns, kRuns);

  char dirTemplate[] = "/tmp/qelppmdbench-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::printf("no temporary directory\n");
    return 1;
  }
  TResult ours, peer;
  MeasurePpmdAndPeer(corpus, dir, ours, peer);
  fs::remove_all(dir);
  const TResult results[] = {ours, MeasureZlib(corpus), MeasureBzip2(corpus),
                             MeasurePpmdBlocks(corpus, 6, 1 << 20), MeasurePpmdBlocks(corpus, 9, 1536 << 10)};

  std::printf("%-34s %10s %7s %9s %9s\n", "coder", "bytes", "bits/B", "comp MB/s", "dec MB/s");
  Print(peer, corpus.size(), nullptr);
  // Only our whole-buffer run uses the peer's model; the others are shown
  // beside it, not against it.
  for (const TResult& r : results) Print(r, corpus.size(), &r == &results[0] ? &peer : nullptr);
  if (peer.Size == 0) std::printf("\n7zz did not run (apt-get install 7zip): no peer figures\n");
  return 0;
}
