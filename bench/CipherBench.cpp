// Page encryption throughput: EncryptData followed by DecryptData over one
// page data area (4056 bytes), for every cipher type, beside the raw block
// cipher doing the same number of block operations over the same bytes in
// the same run. Also shows the cost of keying a fresh cipher for every page.

#include <crypto++/aes.h>
#include <crypto++/blowfish.h>
#include <crypto++/des.h>
#include <crypto++/square.h>
#include <crypto++/twofish.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

#include "BenchUtil.h"
#include "crypto/QELCipher.h"

namespace qel {
namespace {

constexpr std::size_t kPageDataSize = 4056;
const char* const kPassword = "benchmark password";

// The raw primitive: one block encryption per whole block plus one for the
// partial tail (what the chaining needs), then the same for decryption.
struct RawPrimitive {
  std::size_t BlockSize;
  std::function<void(std::uint8_t*)> EncryptInPlace;
  std::function<void(std::uint8_t*)> DecryptInPlace;
};

template <class Algo>
RawPrimitive Library(std::size_t keyLength) {
  std::vector<std::uint8_t> key(keyLength, 0x5A);
  auto enc = std::make_shared<typename Algo::Encryption>(key.data(), key.size());
  auto dec = std::make_shared<typename Algo::Decryption>(key.data(), key.size());
  return {Algo::BLOCKSIZE, [enc](std::uint8_t* b) { enc->ProcessBlock(b); },
          [dec](std::uint8_t* b) { dec->ProcessBlock(b); }};
}

RawPrimitive TripleDes24() {
  auto cipher = std::make_shared<TCipher_3TDES>();
  std::vector<std::uint8_t> key(16, 0x5A);
  cipher->Init(key.data(), key.size(), nullptr);
  return {24, [cipher](std::uint8_t* b) { cipher->EncryptBlock(b, b); },
          [cipher](std::uint8_t* b) { cipher->DecryptBlock(b, b); }};
}

RawPrimitive RawFor(int type) {
  switch (type) {
    case caRijndael_128: return Library<CryptoPP::AES>(16);
    case caRijndael_256: return Library<CryptoPP::AES>(32);
    case caDES_Single: return Library<CryptoPP::DES>(8);
    case caDES_Triple: return TripleDes24();
    case caBlowfish: return Library<CryptoPP::Blowfish>(32);
    case caTwofish_128: return Library<CryptoPP::Twofish>(16);
    case caTwofish_256: return Library<CryptoPP::Twofish>(32);
    default: return Library<CryptoPP::Square>(16);
  }
}

void RawRoundTrip(const RawPrimitive& raw, std::uint8_t* page) {
  const std::size_t b = raw.BlockSize;
  const std::size_t whole = kPageDataSize / b * b;
  std::uint8_t tail[TCipher::kMaxBlockSize] = {};
  for (std::size_t pos = 0; pos < whole; pos += b) raw.EncryptInPlace(page + pos);
  if (whole < kPageDataSize) raw.EncryptInPlace(tail);
  for (std::size_t pos = 0; pos < whole; pos += b) raw.DecryptInPlace(page + pos);
  if (whole < kPageDataSize) raw.EncryptInPlace(tail);
}

}  // namespace
}  // namespace qel

int main() {
  using namespace qel;
  bench::PrintMachineFacts("Page cipher: EncryptData + DecryptData of one 4056-byte page data area");
  std::printf("MB/s counts page bytes per round trip (one encryption and one decryption)\n\n");
  std::printf("%-14s %12s %12s %8s %14s\n", "cipher", "page MB/s", "raw MB/s", "ratio",
              "fresh-key MB/s");
  std::vector<std::uint8_t> page(kPageDataSize);
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 13);

  for (int type = 0; type < kQELCryptoAlgorithmCount; ++type) {
    const double pagePath = bench::BestThroughput(
        [&] {
          EncryptData(type, page.data(), page.size(), kPassword);
          DecryptData(type, page.data(), page.size(), kPassword);
        },
        kPageDataSize);
    const RawPrimitive raw = RawFor(type);
    const double rawPath =
        bench::BestThroughput([&] { RawRoundTrip(raw, page.data()); }, kPageDataSize);
    // Keying a new cipher for every page, with no cache.
    const double freshKey = bench::BestThroughput(
        [&] {
          CreatePageCipher(type, kPassword)->EncryptBuffer(page.data(), page.data(), page.size());
          CreatePageCipher(type, kPassword)->DecryptBuffer(page.data(), page.data(), page.size());
        },
        kPageDataSize, 0.1, 3);
    std::printf("%-14s %12.1f %12.1f %8.2f %14.1f\n", std::string(CryptoAlgorithmName(type)).c_str(),
                pagePath, rawPath, pagePath / rawPath, freshKey);
  }
  return 0;
}
