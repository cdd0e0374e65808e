#include "crypto/Hash.h"

#include <crypto++/ripemd.h>
#include <crypto++/secblock.h>

#include <algorithm>

namespace qel {

namespace {

// Adapts one of the library's RIPEMD implementations to THash.
template <class Digest>
class TLibraryHash final : public THash {
 public:
  explicit TLibraryHash(const char* className) : FClassName(className) {}

  const char* ClassName() const override { return FClassName; }
  void Init() override {
    FDigest.Restart();
    std::fill(FResult.begin(), FResult.end(), 0);
  }
  void Calc(const void* data, std::size_t size) override {
    if (size != 0) FDigest.Update(static_cast<const CryptoPP::byte*>(data), size);
  }
  void Done() override { FDigest.Final(FResult.data()); }
  const std::uint8_t* DigestKey() const override { return FResult.data(); }
  std::size_t DigestSize() const override { return Digest::DIGESTSIZE; }

 private:
  const char* FClassName;
  Digest FDigest;
  // Wiped when the hash is destroyed, like every buffer that held key bytes.
  CryptoPP::FixedSizeSecBlock<std::uint8_t, Digest::DIGESTSIZE> FResult;
};

}  // namespace

std::unique_ptr<THash> THash_RipeMD128::Create() {
  return std::make_unique<TLibraryHash<CryptoPP::RIPEMD128>>("THash_RipeMD128");
}

std::unique_ptr<THash> THash_RipeMD256::Create() {
  return std::make_unique<TLibraryHash<CryptoPP::RIPEMD256>>("THash_RipeMD256");
}

}  // namespace qel
