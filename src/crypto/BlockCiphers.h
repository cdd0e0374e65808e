#pragma once
// The block ciphers behind the page cipher types. AES, DES, Blowfish,
// Twofish and Square are the published algorithms from the crypto library;
// the two triple-DES constructions are built here from single DES.

#include <crypto++/aes.h>
#include <crypto++/blowfish.h>
#include <crypto++/des.h>
#include <crypto++/square.h>
#include <crypto++/twofish.h>

#include <cstddef>
#include <cstdint>

#include "crypto/Cipher.h"

namespace qel {

// A cipher whose block function comes from the crypto library. `Algo` is the
// library's block cipher; KeyLength maps a clamped key length onto the
// length the key schedule is built from (shorter keys are zero-padded).
template <class Algo>
class TLibraryCipher : public TCipher {
 protected:
  explicit TLibraryCipher(std::size_t maxKeySize) : TCipher(Algo::BLOCKSIZE, maxKeySize) {}

  virtual std::size_t KeyLength(std::size_t keyLength) const = 0;
  void SetupKey(const std::uint8_t* key, std::size_t keyLength) override;
  void ClearKey() override {}  // the library wipes the schedule it replaces
  void EncodeBlock(const std::uint8_t* in, std::uint8_t* out) const override {
    FEncryption.ProcessBlock(in, out);
  }
  void DecodeBlock(const std::uint8_t* in, std::uint8_t* out) const override {
    FDecryption.ProcessBlock(in, out);
  }
  void DecodeBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const override {
    FDecryption.AdvancedProcessBlocks(in, nullptr, out, count * Algo::BLOCKSIZE,
                                      CryptoPP::BlockTransformation::BT_AllowParallel);
  }

 private:
  typename Algo::Encryption FEncryption;
  typename Algo::Decryption FDecryption;
};

// AES; rounds follow the key length (16, 24 or 32 bytes after padding).
class TCipher_Rijndael final : public TLibraryCipher<CryptoPP::AES> {
 public:
  TCipher_Rijndael() : TLibraryCipher(32) {}
  const char* ClassName() const override { return "TCipher_Rijndael"; }

 protected:
  std::size_t KeyLength(std::size_t keyLength) const override;
};

// FIPS 46 DES; parity bits are ignored.
class TCipher_1DES final : public TLibraryCipher<CryptoPP::DES> {
 public:
  TCipher_1DES() : TLibraryCipher(8) {}
  const char* ClassName() const override { return "TCipher_1DES"; }

 protected:
  std::size_t KeyLength(std::size_t) const override { return 8; }
};

// Blowfish with big-endian words; key bytes are used cyclically.
class TCipher_Blowfish final : public TLibraryCipher<CryptoPP::Blowfish> {
 public:
  TCipher_Blowfish() : TLibraryCipher(56) {}
  const char* ClassName() const override { return "TCipher_Blowfish"; }

 protected:
  std::size_t KeyLength(std::size_t keyLength) const override { return keyLength; }
  void SetupKey(const std::uint8_t* key, std::size_t keyLength) override;
};

// Twofish: the 128-bit schedule for a 16-byte key, the 192-bit one for 24
// bytes, the 256-bit one otherwise.
class TCipher_Twofish final : public TLibraryCipher<CryptoPP::Twofish> {
 public:
  TCipher_Twofish() : TLibraryCipher(32) {}
  const char* ClassName() const override { return "TCipher_Twofish"; }

 protected:
  std::size_t KeyLength(std::size_t keyLength) const override;
};

// Square with a 16-byte key and 8 rounds.
class TCipher_Square final : public TLibraryCipher<CryptoPP::Square> {
 public:
  TCipher_Square() : TLibraryCipher(16) {}
  const char* ClassName() const override { return "TCipher_Square"; }

 protected:
  std::size_t KeyLength(std::size_t) const override { return 16; }
};

// The six DES key schedules of the triple-DES constructions, from a 24-byte
// key K1 | K2 | K3 (zero-padded): S0 = K1 enc, S1 = K2 dec, S2 = K3 enc,
// S3 = K3 dec, S4 = K2 enc, S5 = K1 dec.
class TTripleDESSchedules {
 public:
  void Setup(const std::uint8_t* key, std::size_t keyLength);
  // Applies schedule `index` (0..5) to one 8-byte block.
  void Apply(int index, const std::uint8_t* in, std::uint8_t* out) const;

 private:
  CryptoPP::DES::Encryption FEnc1, FEnc3, FEnc2;  // S0, S2, S4
  CryptoPP::DES::Decryption FDec2, FDec3, FDec1;  // S1, S3, S5
};

// Triple DES on 24-byte blocks: each layer applies DES to the three 8-byte
// parts A, B, C, and between layers the 32-bit words w1 (bytes 4..7) and w2
// (bytes 8..11) trade places.
class TCipher_3TDES final : public TCipher {
 public:
  TCipher_3TDES() : TCipher(24, 24) {}
  const char* ClassName() const override { return "TCipher_3TDES"; }

 protected:
  void SetupKey(const std::uint8_t* key, std::size_t keyLength) override;
  void ClearKey() override {}
  void EncodeBlock(const std::uint8_t* in, std::uint8_t* out) const override;
  void DecodeBlock(const std::uint8_t* in, std::uint8_t* out) const override;

 private:
  void ApplyLayers(const int (&schedules)[3], const std::uint8_t* in, std::uint8_t* out) const;
  TTripleDESSchedules FSchedules;
};

// Triple DES on 8-byte blocks with the same six schedules (not used by the
// page cipher types).
class TCipher_3DES final : public TCipher {
 public:
  TCipher_3DES() : TCipher(8, 24) {}
  const char* ClassName() const override { return "TCipher_3DES"; }

 protected:
  void SetupKey(const std::uint8_t* key, std::size_t keyLength) override;
  void ClearKey() override {}
  void EncodeBlock(const std::uint8_t* in, std::uint8_t* out) const override;
  void DecodeBlock(const std::uint8_t* in, std::uint8_t* out) const override;

 private:
  TTripleDESSchedules FSchedules;
};

}  // namespace qel
