#pragma once
// TCipher: a block cipher with the key derivation and the block chaining used
// for database pages.
//
// A key text becomes key bytes through a hash; the cipher then starts from an
// initial vector and chains blocks with a feedback register F:
//   encrypt a whole block P:  C := E(P xor F);  F := C xor F
//   decrypt a whole block C:  P := D(C) xor F;  F := C xor F
//   a final partial block of r bytes (both directions):
//                              S := E(F);  out := in xor S[0..r);  F := S xor F
// The output always has the length of the input; there is no padding. These
// rules are part of the stored file format: changing any of them makes
// existing encrypted files unreadable.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "crypto/Hash.h"

namespace qel {

class TCipher {
 public:
  // Largest block size of any cipher (the 24-byte-block triple DES).
  static constexpr std::size_t kMaxBlockSize = 24;

  virtual ~TCipher();
  TCipher(const TCipher&) = delete;
  TCipher& operator=(const TCipher&) = delete;

  virtual const char* ClassName() const = 0;
  std::size_t BlockSize() const { return FBlockSize; }
  // Longer keys are cut to this length (or rejected under strict checking).
  std::size_t MaxKeySize() const { return FMaxKeySize; }

  THashClass HashClass() const { return FHashClass; }
  void SetHashClass(THashClass hashClass);

  // Sets up the key schedule from raw key bytes. `vector` (BlockSize bytes,
  // may alias the cipher's own vector buffer) becomes the initial vector;
  // without one, the initial vector is E(0xFF...FF) under the new key.
  void Init(const void* key, std::size_t keyLength, const std::uint8_t* vector);
  // Derives the key from a text with the hash class, then as Init.
  void InitKey(std::string_view keyText, const std::uint8_t* vector);

  // Chained encryption and decryption; source and dest may be the same buffer.
  void EncryptBuffer(const void* source, void* dest, std::size_t size);
  void DecryptBuffer(const void* source, void* dest, std::size_t size);
  // Restarts the chain from the initial vector.
  void Done();

  // The raw block cipher on one block, without chaining.
  void EncryptBlock(const std::uint8_t* in, std::uint8_t* out);
  void DecryptBlock(const std::uint8_t* in, std::uint8_t* out);

  // The cipher's own initial-vector buffer (BlockSize bytes).
  const std::uint8_t* Vector() const { return FVector.data(); }
  bool IsInitialized() const { return FInitialized; }

  // Under strict checking a key longer than MaxKeySize raises instead of
  // being cut. It is off unless a caller switches it on.
  static void SetStrictKeySize(bool strict);
  static bool StrictKeySize();

 protected:
  TCipher(std::size_t blockSize, std::size_t maxKeySize);

  // Builds the key schedule; keyLength is already clamped to MaxKeySize.
  virtual void SetupKey(const std::uint8_t* key, std::size_t keyLength) = 0;
  // Destroys the key schedule.
  virtual void ClearKey() = 0;
  virtual void EncodeBlock(const std::uint8_t* in, std::uint8_t* out) const = 0;
  virtual void DecodeBlock(const std::uint8_t* in, std::uint8_t* out) const = 0;
  // Decodes `count` independent blocks; ciphers with a faster bulk path
  // override it (chained decryption can decode all blocks before chaining).
  virtual void DecodeBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const;

 private:
  using TBlock = std::array<std::uint8_t, kMaxBlockSize>;

  void Wipe();
  void CheckReady() const;
  void EncryptPartialBlock(const std::uint8_t* in, std::uint8_t* out, std::size_t size);
  void ChainSixteenByteBlocks(const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* decoded,
                              std::size_t blocks);

  const std::size_t FBlockSize;
  const std::size_t FMaxKeySize;
  THashClass FHashClass;
  TBlock FVector{};
  TBlock FFeedback{};
  TBlock FBuffer{};  // scratch
  bool FInitialized = false;  // a key was derived with InitKey
  bool FReady = false;        // a key schedule is in place
};

}  // namespace qel
