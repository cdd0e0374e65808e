#include "crypto/BlockCiphers.h"

#include <crypto++/secblock.h>

#include <cstring>

namespace qel {

namespace {

// Key bytes zero-padded to `length`, wiped when they go out of scope.
CryptoPP::SecByteBlock PaddedKey(const std::uint8_t* key, std::size_t keyLength, std::size_t length) {
  CryptoPP::SecByteBlock padded(length);
  std::memset(padded.data(), 0, length);
  if (key != nullptr) std::memcpy(padded.data(), key, std::min(keyLength, length));
  return padded;
}

}  // namespace

template <class Algo>
void TLibraryCipher<Algo>::SetupKey(const std::uint8_t* key, std::size_t keyLength) {
  const CryptoPP::SecByteBlock padded = PaddedKey(key, keyLength, KeyLength(keyLength));
  FEncryption.SetKey(padded.data(), padded.size());
  FDecryption.SetKey(padded.data(), padded.size());
}

template class TLibraryCipher<CryptoPP::AES>;
template class TLibraryCipher<CryptoPP::DES>;
template class TLibraryCipher<CryptoPP::Blowfish>;
template class TLibraryCipher<CryptoPP::Twofish>;
template class TLibraryCipher<CryptoPP::Square>;

std::size_t TCipher_Rijndael::KeyLength(std::size_t keyLength) const {
  if (keyLength <= 16) return 16;
  if (keyLength <= 24) return 24;
  return 32;
}

std::size_t TCipher_Twofish::KeyLength(std::size_t keyLength) const {
  if (keyLength == 16) return 16;
  if (keyLength == 24) return 24;
  return 32;
}

// Blowfish mixes the key into its P-array cyclically, so a key shorter than
// the library's 4-byte minimum is repeated until it is long enough; that
// gives the same schedule. An empty key mixes in nothing, like zero bytes.
void TCipher_Blowfish::SetupKey(const std::uint8_t* key, std::size_t keyLength) {
  constexpr std::size_t kMinLength = CryptoPP::Blowfish::MIN_KEYLENGTH;
  if (keyLength >= kMinLength) {
    TLibraryCipher::SetupKey(key, keyLength);
    return;
  }
  CryptoPP::SecByteBlock repeated(kMinLength * (keyLength == 0 ? 1 : keyLength));
  std::memset(repeated.data(), 0, repeated.size());
  for (std::size_t i = 0; keyLength != 0 && i < repeated.size(); ++i) {
    repeated[i] = key[i % keyLength];
  }
  TLibraryCipher::SetupKey(repeated.data(), repeated.size());
}

void TTripleDESSchedules::Setup(const std::uint8_t* key, std::size_t keyLength) {
  const CryptoPP::SecByteBlock padded = PaddedKey(key, keyLength, 24);
  const std::uint8_t* k1 = padded.data();
  const std::uint8_t* k2 = padded.data() + 8;
  const std::uint8_t* k3 = padded.data() + 16;
  FEnc1.SetKey(k1, 8);
  FDec2.SetKey(k2, 8);
  FEnc3.SetKey(k3, 8);
  FDec3.SetKey(k3, 8);
  FEnc2.SetKey(k2, 8);
  FDec1.SetKey(k1, 8);
}

void TTripleDESSchedules::Apply(int index, const std::uint8_t* in, std::uint8_t* out) const {
  switch (index) {
    case 0: FEnc1.ProcessBlock(in, out); break;
    case 1: FDec2.ProcessBlock(in, out); break;
    case 2: FEnc3.ProcessBlock(in, out); break;
    case 3: FDec3.ProcessBlock(in, out); break;
    case 4: FEnc2.ProcessBlock(in, out); break;
    default: FDec1.ProcessBlock(in, out); break;
  }
}

void TCipher_3TDES::SetupKey(const std::uint8_t* key, std::size_t keyLength) {
  FSchedules.Setup(key, keyLength);
}

void TCipher_3TDES::ApplyLayers(const int (&schedules)[3], const std::uint8_t* in,
                                std::uint8_t* out) const {
  std::uint8_t block[24];
  std::memcpy(block, in, 24);
  for (int layer = 0; layer < 3; ++layer) {
    if (layer > 0) {
      // Exchange w1 (bytes 4..7) and w2 (bytes 8..11) between layers.
      std::uint8_t w1[4];
      std::memcpy(w1, block + 4, 4);
      std::memmove(block + 4, block + 8, 4);
      std::memcpy(block + 8, w1, 4);
    }
    for (int part = 0; part < 3; ++part) {
      FSchedules.Apply(schedules[layer], block + 8 * part, block + 8 * part);
    }
  }
  std::memcpy(out, block, 24);
}

void TCipher_3TDES::EncodeBlock(const std::uint8_t* in, std::uint8_t* out) const {
  static constexpr int kEncrypt[3] = {0, 1, 2};
  ApplyLayers(kEncrypt, in, out);
}

void TCipher_3TDES::DecodeBlock(const std::uint8_t* in, std::uint8_t* out) const {
  static constexpr int kDecrypt[3] = {3, 4, 5};
  ApplyLayers(kDecrypt, in, out);
}

void TCipher_3DES::SetupKey(const std::uint8_t* key, std::size_t keyLength) {
  FSchedules.Setup(key, keyLength);
}

void TCipher_3DES::EncodeBlock(const std::uint8_t* in, std::uint8_t* out) const {
  FSchedules.Apply(0, in, out);
  FSchedules.Apply(1, out, out);
  FSchedules.Apply(2, out, out);
}

void TCipher_3DES::DecodeBlock(const std::uint8_t* in, std::uint8_t* out) const {
  FSchedules.Apply(3, in, out);
  FSchedules.Apply(4, out, out);
  FSchedules.Apply(5, out, out);
}

}  // namespace qel
