// Compressed BLOB streams beside one-shot compression of the same bytes in
// the same run: 16 MB of text written through a ZLIB and a BZIP stream (in
// 64 KiB writes, 102400-byte blocks, mode 6) and read back (64 KiB reads),
// against zlib compress2/uncompress and BZ2_bzBuffToBuff* at the same level.

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "BenchUtil.h"
#include "streams/QELCompressedBLOBStream.h"
#include "streams/QELMemoryStream.h"

namespace qel {
namespace {

using bench::Clock;
using bench::Seconds;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kCorpusSize = 16 * 1024 * 1024;
constexpr std::int64_t kChunk = 64 * 1024;
constexpr std::uint8_t kMode = 6;


// Text from the licence and copyright files every Debian system has, in a
// fixed order, repeated up to the corpus size.
Bytes TextCorpus() {
  std::vector<std::filesystem::path> files;
  for (const char* dir : {"/usr/share/common-licenses", "/usr/share/doc"}) {
    std::error_code ignored;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ignored);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
      const auto& path = it->path();
      if (it->is_regular_file(ignored) && (path.filename() == "copyright" || path.parent_path().filename() == "common-licenses")) {
        files.push_back(path);
      }
    }
  }
  std::sort(files.begin(), files.end());
  Bytes corpus;
  while (corpus.size() < kCorpusSize && !files.empty()) {
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      corpus.insert(corpus.end(), std::istreambuf_iterator<char>(in), {});
      if (corpus.size() >= kCorpusSize) break;
    }
  }
  corpus.resize(kCorpusSize);
  return corpus;
}

struct TMeasure {
  double WriteMBs = 0, ReadMBs = 0;
  std::size_t CompressedSize = 0;
};

TMeasure ThroughStream(std::uint8_t algorithm, const Bytes& corpus) {
  TMeasure m;
  TQELMemoryStream storage;
  TQELCompressedStreamDescriptor descriptor;
  descriptor.BlockSize = 102400;
  descriptor.CompressionAlgorithm = algorithm;
  descriptor.CompressionMode = kMode;
  auto start = Clock::now();
  TQELCompressedBLOBStream writer(storage, false, true, descriptor);
  for (std::size_t done = 0; done < corpus.size(); done += kChunk) {
    writer.Write(corpus.data() + done, std::min<std::int64_t>(kChunk, static_cast<std::int64_t>(corpus.size() - done)));
  }
  m.WriteMBs = static_cast<double>(corpus.size()) / Seconds(start) / 1e6;
  m.CompressedSize = static_cast<std::size_t>(storage.GetSize());
  Bytes back(corpus.size());
  start = Clock::now();
  TQELCompressedBLOBStream reader(storage, false, false, writer.Descriptor());
  for (std::size_t done = 0; done < back.size(); done += kChunk) {
    reader.Read(back.data() + done, std::min<std::int64_t>(kChunk, static_cast<std::int64_t>(back.size() - done)));
  }
  m.ReadMBs = static_cast<double>(corpus.size()) / Seconds(start) / 1e6;
  if (back != corpus) std::printf("MISMATCH reading back %s\n", std::string(CompressionAlgorithmName(algorithm)).c_str());
  return m;
}

TMeasure OneShotZlib(const Bytes& corpus) {
  TMeasure m;
  Bytes packed(compressBound(corpus.size()));
  uLongf packedSize = packed.size();
  auto start = Clock::now();
  compress2(packed.data(), &packedSize, corpus.data(), corpus.size(), kMode);
  m.WriteMBs = static_cast<double>(corpus.size()) / Seconds(start) / 1e6;
  m.CompressedSize = packedSize;
  Bytes back(corpus.size());
  uLongf backSize = back.size();
  start = Clock::now();
  uncompress(back.data(), &backSize, packed.data(), packedSize);
  m.ReadMBs = static_cast<double>(corpus.size()) / Seconds(start) / 1e6;
  return m;
}

TMeasure OneShotBzip(const Bytes& corpus) {
  TMeasure m;
  Bytes packed(corpus.size() + corpus.size() / 100 + 600);
  unsigned packedSize = static_cast<unsigned>(packed.size());
  auto start = Clock::now();
  BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(packed.data()), &packedSize,
                           reinterpret_cast<char*>(const_cast<std::uint8_t*>(corpus.data())),
                           static_cast<unsigned>(corpus.size()), kMode, 0, 0);
  m.WriteMBs = static_cast<double>(corpus.size()) / Seconds(start) / 1e6;
  m.CompressedSize = packedSize;
  Bytes back(corpus.size());
  unsigned backSize = static_cast<unsigned>(back.size());
  start = Clock::now();
  BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(back.data()), &backSize, reinterpret_cast<char*>(packed.data()),
                             packedSize, 0, 0);
  m.ReadMBs = static_cast<double>(corpus.size()) / Seconds(start) / 1e6;
  return m;
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Compressed BLOB streams beside one-shot compression");
  const Bytes corpus = TextCorpus();
  std::printf("corpus: %zu bytes of licence and copyright texts from /usr/share; mode %d;\n"
              "stream: 102400-byte blocks, 64 KiB writes and reads; MB/s = 10^6 uncompressed bytes per second\n\n",
              corpus.size(), kMode);
  std::printf("%-16s %10s %10s %12s %12s %12s\n", "", "write MB/s", "read MB/s", "compressed", "write ratio",
              "read ratio");
  auto row = [](const char* name, const TMeasure& m, const TMeasure& peer) {
    std::printf("%-16s %10.1f %10.1f %12zu %12.2f %12.2f\n", name, m.WriteMBs, m.ReadMBs, m.CompressedSize,
                m.WriteMBs / peer.WriteMBs, m.ReadMBs / peer.ReadMBs);
  };
  const TMeasure zlibPeer = OneShotZlib(corpus);
  const TMeasure zlibStream = ThroughStream(cmZLIB, corpus);
  const TMeasure bzipPeer = OneShotBzip(corpus);
  const TMeasure bzipStream = ThroughStream(cmBZIP, corpus);
  row("zlib one-shot", zlibPeer, zlibPeer);
  row("ZLIB stream", zlibStream, zlibPeer);
  row("bzip2 one-shot", bzipPeer, bzipPeer);
  row("BZIP stream", bzipStream, bzipPeer);
  return 0;
}
