// Page encryption through EncryptData/DecryptData: round trips, the fixed
// initial vector, ids that are not cipher types, bad input, the key cache,
// and the cipher classes' own errors.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "crypto/QELCipher.h"

namespace qel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t size, std::uint8_t seed) {
  Bytes data(size);
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<std::uint8_t>(seed + i * 31 + (i >> 5));
  return data;
}

TEST(PageCipherTest, EveryTypeRoundTripsEveryLength) {
  const std::size_t lengths[] = {0, 1, 7, 15, 16, 17, 24, 25, 4056};
  for (int type = 0; type < kQELCryptoAlgorithmCount; ++type) {
    for (const std::size_t length : lengths) {
      SCOPED_TRACE(std::string(CryptoAlgorithmName(type)) + " length " + std::to_string(length));
      const Bytes plain = Pattern(length, 5);
      Bytes buffer = plain;
      ASSERT_TRUE(EncryptData(type, buffer.data(), buffer.size(), "password"));
      if (length >= 8) {
        EXPECT_NE(buffer, plain);
      }
      ASSERT_TRUE(DecryptData(type, buffer.data(), buffer.size(), "password"));
      EXPECT_EQ(buffer, plain);
    }
  }
}

TEST(PageCipherTest, EqualPagesGiveEqualCiphertextAndPasswordsMatter) {
  for (int type = 0; type < kQELCryptoAlgorithmCount; ++type) {
    SCOPED_TRACE(CryptoAlgorithmName(type));
    Bytes first = Pattern(4056, 9), second = Pattern(4056, 9), other = Pattern(4056, 9);
    ASSERT_TRUE(EncryptData(type, first.data(), first.size(), "same"));
    ASSERT_TRUE(EncryptData(type, second.data(), second.size(), "same"));
    ASSERT_TRUE(EncryptData(type, other.data(), other.size(), "Same"));
    EXPECT_EQ(first, second);
    EXPECT_NE(first, other);
    // A wrong password does not give the plaintext back.
    ASSERT_TRUE(DecryptData(type, other.data(), other.size(), "same"));
    EXPECT_NE(other, Pattern(4056, 9));
  }
}

TEST(PageCipherTest, EmptyPasswordStillEncrypts) {
  const Bytes plain = Pattern(100, 1);
  Bytes buffer = plain;
  ASSERT_TRUE(EncryptData(caRijndael_128, buffer.data(), buffer.size(), ""));
  EXPECT_NE(buffer, plain);
  ASSERT_TRUE(DecryptData(caRijndael_128, buffer.data(), buffer.size(), ""));
  EXPECT_EQ(buffer, plain);
}

TEST(PageCipherTest, IdsThatAreNotCipherTypesLeaveTheBufferAndSucceed) {
  for (const int type : {8, 9, 100, 255}) {
    const Bytes plain = Pattern(40, 2);
    Bytes buffer = plain;
    EXPECT_TRUE(EncryptData(static_cast<std::uint8_t>(type), buffer.data(), buffer.size(), "pw"));
    EXPECT_TRUE(DecryptData(static_cast<std::uint8_t>(type), buffer.data(), buffer.size(), "pw"));
    EXPECT_EQ(buffer, plain) << "type " << type;
    EXPECT_TRUE(CryptoAlgorithmName(static_cast<std::uint8_t>(type)).empty());
  }
}

TEST(PageCipherTest, EmptyAndMissingBuffers) {
  EXPECT_TRUE(EncryptData(caSquare, nullptr, 0, "pw"));
  EXPECT_TRUE(DecryptData(caSquare, nullptr, 0, "pw"));
  EXPECT_FALSE(EncryptData(caSquare, nullptr, 16, "pw"));
  EXPECT_FALSE(DecryptData(caSquare, nullptr, 16, "pw"));
}

TEST(PageCipherTest, NamesAndIdsAgree) {
  const char* names[] = {"Rijndael_128", "Rijndael_256", "DES_Single", "DES_Triple",
                         "Blowfish",     "Twofish_128",  "Twofish_256", "Square"};
  for (int type = 0; type < kQELCryptoAlgorithmCount; ++type) {
    EXPECT_EQ(CryptoAlgorithmName(type), names[type]);
    EXPECT_EQ(CryptoAlgorithmFromName(names[type]), static_cast<TQELCryptoAlgorithm>(type));
  }
  EXPECT_FALSE(CryptoAlgorithmFromName("rijndael_128").has_value());
  EXPECT_FALSE(CryptoAlgorithmFromName("").has_value());
}

// The per-thread key cache must give exactly the bytes of a freshly keyed
// cipher, also when more passwords are in use than it holds.
TEST(PageCipherTest, CachedKeysGiveTheBytesOfAFreshCipher) {
  const Bytes plain = Pattern(4056, 7);
  for (int round = 0; round < 3; ++round) {
    for (int p = 0; p < 7; ++p) {
      const std::string password = "password " + std::to_string(p);
      const std::uint8_t type = static_cast<std::uint8_t>((p + round) % kQELCryptoAlgorithmCount);
      Bytes cached = plain, fresh = plain;
      ASSERT_TRUE(EncryptData(type, cached.data(), cached.size(), password));
      CreatePageCipher(type, password)->EncryptBuffer(fresh.data(), fresh.data(), fresh.size());
      ASSERT_EQ(cached, fresh) << password << " type " << int(type);
    }
  }
}

TEST(PageCipherTest, ThreadsEncryptIndependently) {
  const Bytes plain = Pattern(4056, 3);
  Bytes expected = plain;
  ASSERT_TRUE(EncryptData(caTwofish_256, expected.data(), expected.size(), "shared"));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        Bytes buffer = plain;
        EncryptData(caTwofish_256, buffer.data(), buffer.size(), "shared");
        if (buffer != expected) ++mismatches[t];
        // Another password on the same thread between uses of the first.
        Bytes noise = plain;
        EncryptData(caTwofish_256, noise.data(), noise.size(), "thread " + std::to_string(t));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(CipherTest, UsingACipherWithoutAKeyRaisesNotInitialized) {
  TCipher_Rijndael cipher;
  std::uint8_t block[16] = {};
  try {
    cipher.EncryptBuffer(block, block, sizeof block);
    FAIL() << "no exception";
  } catch (const ECipherException& e) {
    EXPECT_EQ(e.ErrorCode(), 3);
    EXPECT_STREQ(e.what(), "TCipher_Rijndael is not initialized call Init() or InitKey() before.");
  }
}

TEST(CipherTest, OverlongKeysAreCutUnlessStrictChecking) {
  Bytes longKey(40), cutKey(32);
  for (std::size_t i = 0; i < longKey.size(); ++i) longKey[i] = static_cast<std::uint8_t>(i);
  std::copy(longKey.begin(), longKey.begin() + 32, cutKey.begin());
  TCipher_Rijndael fromLong, fromCut;
  fromLong.Init(longKey.data(), longKey.size(), nullptr);
  fromCut.Init(cutKey.data(), cutKey.size(), nullptr);
  Bytes a = Pattern(48, 4), b = a;
  fromLong.EncryptBuffer(a.data(), a.data(), a.size());
  fromCut.EncryptBuffer(b.data(), b.data(), b.size());
  EXPECT_EQ(a, b);

  TCipher::SetStrictKeySize(true);
  try {
    TCipher_Square square;
    square.Init(longKey.data(), longKey.size(), nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const ECipherException& e) {
    EXPECT_EQ(e.ErrorCode(), 2);
    EXPECT_STREQ(e.what(), "Length from Encryptionkey is invalid.\r\nKeysize for TCipher_Square must be to 0-16 bytes");
  }
  TCipher::SetStrictKeySize(false);
}

// Keyed without a vector, the chain starts from E(0xFF...) rather than from
// 0xFF... itself; with its own vector buffer it starts from 0xFF...
TEST(CipherTest, InitialVectorWithAndWithoutAGivenVector) {
  const Bytes zero(16, 0);
  TCipher_Rijndael own, none;
  own.SetHashClass(&THash_RipeMD128::Create);
  none.SetHashClass(&THash_RipeMD128::Create);
  own.InitKey("iv", own.Vector());
  none.InitKey("iv", nullptr);
  EXPECT_EQ(Bytes(own.Vector(), own.Vector() + 16), Bytes(16, 0xFF));
  Bytes expectedIV(16);
  own.EncryptBlock(own.Vector(), expectedIV.data());
  EXPECT_EQ(Bytes(none.Vector(), none.Vector() + 16), expectedIV);
  // Chained calls continue the chain; Done restarts it.
  Bytes first = zero, again = zero;
  own.EncryptBuffer(first.data(), first.data(), 16);
  own.EncryptBuffer(again.data(), again.data(), 16);
  EXPECT_NE(first, again);
  own.Done();
  Bytes restarted = zero;
  own.EncryptBuffer(restarted.data(), restarted.data(), 16);
  EXPECT_EQ(first, restarted);
}

}  // namespace
}  // namespace qel
