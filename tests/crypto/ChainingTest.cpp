// Pins the page chaining independently of the code under test: the expected
// bytes are computed here from the library's raw block functions, the
// published hashes and the chaining rules, and must equal what EncryptData
// and DecryptData produce.

#include <crypto++/aes.h>
#include <crypto++/blowfish.h>
#include <crypto++/des.h>
#include <crypto++/ripemd.h>
#include <crypto++/square.h>
#include <crypto++/twofish.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crypto/QELCipher.h"
#include "support/Hex.h"

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using BlockFunction = std::function<void(const std::uint8_t* in, std::uint8_t* out)>;

struct RawCipher {
  std::size_t BlockSize;
  BlockFunction Encrypt;
  BlockFunction Decrypt;
};

template <class Algo>
RawCipher LibraryCipher(const Bytes& key) {
  auto enc = std::make_shared<typename Algo::Encryption>(key.data(), key.size());
  auto dec = std::make_shared<typename Algo::Decryption>(key.data(), key.size());
  return {Algo::BLOCKSIZE, [enc](const std::uint8_t* in, std::uint8_t* out) { enc->ProcessBlock(in, out); },
          [dec](const std::uint8_t* in, std::uint8_t* out) { dec->ProcessBlock(in, out); }};
}

// Triple DES on 24-byte blocks written out from its definition: three layers
// of DES over the 8-byte parts, with words w1 (bytes 4..7) and w2 (bytes
// 8..11) exchanged between layers; K3 is zero for a 16-byte key.
RawCipher TripleDES24(const Bytes& key16) {
  Bytes k(24, 0);
  std::memcpy(k.data(), key16.data(), 16);
  auto e1 = std::make_shared<CryptoPP::DES::Encryption>(k.data(), 8);
  auto d1 = std::make_shared<CryptoPP::DES::Decryption>(k.data(), 8);
  auto e2 = std::make_shared<CryptoPP::DES::Encryption>(k.data() + 8, 8);
  auto d2 = std::make_shared<CryptoPP::DES::Decryption>(k.data() + 8, 8);
  auto e3 = std::make_shared<CryptoPP::DES::Encryption>(k.data() + 16, 8);
  auto d3 = std::make_shared<CryptoPP::DES::Decryption>(k.data() + 16, 8);
  auto layers = [](std::vector<std::shared_ptr<CryptoPP::BlockTransformation>> des) {
    return [des](const std::uint8_t* in, std::uint8_t* out) {
      std::uint8_t block[24];
      std::memcpy(block, in, 24);
      for (std::size_t layer = 0; layer < 3; ++layer) {
        if (layer > 0) {
          for (int i = 0; i < 4; ++i) std::swap(block[4 + i], block[8 + i]);
        }
        for (int part = 0; part < 3; ++part) des[layer]->ProcessBlock(block + 8 * part);
      }
      std::memcpy(out, block, 24);
    };
  };
  return {24, layers({e1, d2, e3}), layers({d3, e2, d1})};
}

Bytes Digest(bool ripemd256, const std::string& text) {
  Bytes digest(ripemd256 ? 32 : 16);
  if (ripemd256) {
    CryptoPP::RIPEMD256().CalculateDigest(digest.data(), reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
  } else {
    CryptoPP::RIPEMD128().CalculateDigest(digest.data(), reinterpret_cast<const CryptoPP::byte*>(text.data()), text.size());
  }
  return digest;
}

// The raw cipher of each cipher type, keyed from the password as the type
// prescribes (hash, number of key bytes).
RawCipher RawCipherFor(int type, const std::string& password) {
  const Bytes d128 = Digest(false, password);
  const Bytes d256 = Digest(true, password);
  switch (type) {
    case caRijndael_128: return LibraryCipher<CryptoPP::AES>(d128);
    case caRijndael_256: return LibraryCipher<CryptoPP::AES>(d256);
    case caDES_Single: return LibraryCipher<CryptoPP::DES>(Bytes(d128.begin(), d128.begin() + 8));
    case caDES_Triple: return TripleDES24(d128);
    case caBlowfish: return LibraryCipher<CryptoPP::Blowfish>(d256);
    case caTwofish_128: return LibraryCipher<CryptoPP::Twofish>(d128);
    case caTwofish_256: return LibraryCipher<CryptoPP::Twofish>(d256);
    default: return LibraryCipher<CryptoPP::Square>(d128);
  }
}

// The chaining, from its rules, starting from an all-0xFF vector.
Bytes ReferenceChain(const RawCipher& raw, const Bytes& input, bool encrypt) {
  const std::size_t b = raw.BlockSize;
  Bytes feedback(b, 0xFF), output(input.size()), block(b);
  std::size_t pos = 0;
  for (; pos + b <= input.size(); pos += b) {
    const std::uint8_t* in = input.data() + pos;
    std::uint8_t* out = output.data() + pos;
    if (encrypt) {
      for (std::size_t i = 0; i < b; ++i) block[i] = in[i] ^ feedback[i];
      raw.Encrypt(block.data(), out);
      for (std::size_t i = 0; i < b; ++i) feedback[i] ^= out[i];
    } else {
      raw.Decrypt(in, block.data());
      for (std::size_t i = 0; i < b; ++i) out[i] = block[i] ^ feedback[i];
      for (std::size_t i = 0; i < b; ++i) feedback[i] ^= in[i];
    }
  }
  if (pos < input.size()) {
    raw.Encrypt(feedback.data(), block.data());  // the encryption also when decrypting
    for (std::size_t i = pos; i < input.size(); ++i) output[i] = input[i] ^ block[i - pos];
  }
  return output;
}

Bytes Pattern(std::size_t size, unsigned seed = 3) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(i * 7 + seed * (i >> 3));
  return data;
}

TEST(PageChainingTest, EveryTypeMatchesTheChainComputedFromItsRawPrimitive) {
  const std::string password = "kata sandi";
  for (int type = 0; type < kQELCryptoAlgorithmCount; ++type) {
    const RawCipher raw = RawCipherFor(type, password);
    // Two whole blocks and a partial one (40 bytes for AES), and a page's data area.
    for (const std::size_t size : {2 * raw.BlockSize + raw.BlockSize / 2, std::size_t{4056}}) {
      SCOPED_TRACE(std::string(CryptoAlgorithmName(type)) + " size " + std::to_string(size));
      const Bytes plain = Pattern(size);
      const Bytes expected = ReferenceChain(raw, plain, true);
      Bytes buffer = plain;
      ASSERT_TRUE(EncryptData(type, buffer.data(), buffer.size(), password));
      EXPECT_EQ(test::ToHex(buffer), test::ToHex(expected));
      // Decrypting foreign ciphertext (not produced by EncryptData) pins the
      // decryption rules as well.
      const Bytes foreign = Pattern(size, 11);
      buffer = foreign;
      ASSERT_TRUE(DecryptData(type, buffer.data(), buffer.size(), password));
      EXPECT_EQ(test::ToHex(buffer), test::ToHex(ReferenceChain(raw, foreign, false)));
    }
  }
}

TEST(PageChainingTest, AesFortyBytesAreTwoChainedBlocksAndAStreamTail) {
  // The same rule written out block by block for AES-128, as a readable pin.
  const std::string password = "rahasia";
  CryptoPP::AES::Encryption aes(Digest(false, password).data(), 16);
  const Bytes plain = Pattern(40);
  Bytes f(16, 0xFF), expected(40), x(16);
  for (int blockIndex = 0; blockIndex < 2; ++blockIndex) {
    for (int i = 0; i < 16; ++i) x[i] = plain[16 * blockIndex + i] ^ f[i];
    aes.ProcessBlock(x.data(), expected.data() + 16 * blockIndex);
    for (int i = 0; i < 16; ++i) f[i] ^= expected[16 * blockIndex + i];
  }
  aes.ProcessBlock(f.data(), x.data());
  for (int i = 0; i < 8; ++i) expected[32 + i] = plain[32 + i] ^ x[i];

  Bytes buffer = plain;
  ASSERT_TRUE(EncryptData(caRijndael_128, buffer.data(), buffer.size(), password));
  EXPECT_EQ(buffer, expected);
}

TEST(PageChainingTest, TripleDesWithZeroThirdKeyIsNotTwoKeyEde) {
  const std::string password = "tiga";
  const Bytes key = Digest(false, password);
  Bytes ours = Pattern(24);
  const Bytes plain = ours;
  ASSERT_TRUE(EncryptData(caDES_Triple, ours.data(), ours.size(), password));
  // Two-key EDE triple DES on the three 8-byte parts with the same chaining.
  CryptoPP::DES_EDE2::Encryption ede(key.data(), 16);
  Bytes ede24(24), x(24);
  for (int i = 0; i < 24; ++i) x[i] = plain[i] ^ 0xFF;
  for (int part = 0; part < 3; ++part) ede.ProcessBlock(x.data() + 8 * part, ede24.data() + 8 * part);
  EXPECT_NE(ours, ede24);
}

}  // namespace
}  // namespace qel
