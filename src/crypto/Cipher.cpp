#include "crypto/Cipher.h"

#include <crypto++/misc.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "crypto/CipherExceptions.h"
#include "platform/QELFormat.h"

namespace qel {

namespace {

std::atomic<bool> strictKeySize{false};

// dest := a xor b over `size` bytes (any of them may alias).
inline void XorBlocks(std::uint8_t* dest, const std::uint8_t* a, const std::uint8_t* b,
                      std::size_t size) {
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    x ^= y;
    std::memcpy(dest + i, &x, 8);
  }
  for (; i < size; ++i) dest[i] = a[i] ^ b[i];
}

// Blocks decoded per batch when decrypting: enough for the library's parallel
// paths, small enough for the stack.
constexpr std::size_t kDecodeBatchBytes = 384;

}  // namespace

TCipher::TCipher(std::size_t blockSize, std::size_t maxKeySize)
    : FBlockSize(blockSize), FMaxKeySize(maxKeySize), FHashClass(&THash_RipeMD256::Create) {
  Wipe();
}

TCipher::~TCipher() {
  CryptoPP::SecureWipeBuffer(FVector.data(), FVector.size());
  CryptoPP::SecureWipeBuffer(FFeedback.data(), FFeedback.size());
  CryptoPP::SecureWipeBuffer(FBuffer.data(), FBuffer.size());
}

void TCipher::SetStrictKeySize(bool strict) { strictKeySize = strict; }
bool TCipher::StrictKeySize() { return strictKeySize; }

void TCipher::SetHashClass(THashClass hashClass) {
  if (hashClass != nullptr) FHashClass = hashClass;
}

// Destroys the old key and leaves vector and feedback as 0xFF bytes: a key
// set up without a vector starts from E(0xFF...), and one set up with its own
// vector buffer starts from 0xFF... itself.
void TCipher::Wipe() {
  FVector.fill(0xFF);
  FFeedback.fill(0xFF);
  CryptoPP::SecureWipeBuffer(FBuffer.data(), FBuffer.size());
  FInitialized = false;
  FReady = false;
}

void TCipher::Init(const void* key, std::size_t keyLength, const std::uint8_t* vector) {
  if (keyLength > FMaxKeySize) {
    if (strictKeySize) {
      throw ECipherException(
          ECipherException::kKeySizeInvalid,
          QELFormat("Length from Encryptionkey is invalid.\r\nKeysize for %s must be to %d-%d bytes",
                    {ClassName(), 0, FMaxKeySize}));
    }
    keyLength = FMaxKeySize;
  }
  // The vector may be our own buffer, which the wipe resets: keep what the
  // wipe leaves rather than a copy taken before it.
  const bool ownVector = vector == FVector.data();
  Wipe();
  ClearKey();
  SetupKey(static_cast<const std::uint8_t*>(key), key == nullptr ? 0 : keyLength);
  FReady = true;
  if (vector != nullptr) {
    if (!ownVector) std::memcpy(FVector.data(), vector, FBlockSize);
  } else {
    EncodeBlock(FVector.data(), FVector.data());
  }
  FFeedback = FVector;
}

void TCipher::InitKey(std::string_view keyText, const std::uint8_t* vector) {
  const std::unique_ptr<THash> hash = FHashClass();
  hash->Init();
  hash->Calc(keyText.data(), keyText.size());
  hash->Done();
  const std::size_t digestSize = hash->DigestSize();
  std::array<std::uint8_t, 64> digest{};
  std::memcpy(digest.data(), hash->DigestKey(), digestSize);
  Init(digest.data(), std::min(digestSize, FMaxKeySize), vector);
  // Scramble the digest so the plain key does not stay in memory, then
  // restart the chain from the vector.
  EncryptBuffer(digest.data(), digest.data(), digestSize);
  if (FFeedback != FVector) {
    FBuffer = FFeedback;
    FFeedback = FVector;
  }
  CryptoPP::SecureWipeBuffer(digest.data(), digest.size());
  FInitialized = true;
}

void TCipher::Done() { FFeedback = FVector; }

void TCipher::CheckReady() const {
  if (!FReady) {
    throw ECipherException(ECipherException::kNotInitialized,
                           QELFormat("%s is not initialized call Init() or InitKey() before.",
                                     {ClassName()}));
  }
}

void TCipher::EncryptBlock(const std::uint8_t* in, std::uint8_t* out) {
  CheckReady();
  EncodeBlock(in, out);
}

void TCipher::DecryptBlock(const std::uint8_t* in, std::uint8_t* out) {
  CheckReady();
  DecodeBlock(in, out);
}

void TCipher::DecodeBlocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count) const {
  for (std::size_t i = 0; i < count; ++i) DecodeBlock(in + i * FBlockSize, out + i * FBlockSize);
}

// S := E(F); out := in xor S; F := S xor F.
void TCipher::EncryptPartialBlock(const std::uint8_t* in, std::uint8_t* out, std::size_t size) {
  TBlock stream;
  EncodeBlock(FFeedback.data(), stream.data());
  XorBlocks(out, in, stream.data(), size);
  XorBlocks(FFeedback.data(), stream.data(), FFeedback.data(), FBlockSize);
}

void TCipher::EncryptBuffer(const void* source, void* dest, std::size_t size) {
  CheckReady();
  const auto* in = static_cast<const std::uint8_t*>(source);
  auto* out = static_cast<std::uint8_t*>(dest);
  const std::size_t b = FBlockSize;
  TBlock mixed;
  for (; size >= b; size -= b, in += b, out += b) {
    XorBlocks(mixed.data(), in, FFeedback.data(), b);
    EncodeBlock(mixed.data(), out);
    XorBlocks(FFeedback.data(), out, FFeedback.data(), b);
  }
  if (size > 0) EncryptPartialBlock(in, out, size);
}

// The chaining of DecryptBuffer for the common block size, in two 64-bit
// words held in registers: P = D xor F, then F = F xor C.
void TCipher::ChainSixteenByteBlocks(const std::uint8_t* in, std::uint8_t* out, const std::uint8_t* decoded,
                                     std::size_t blocks) {
  std::uint64_t feedback[2];
  std::memcpy(feedback, FFeedback.data(), 16);
  for (std::size_t i = 0; i < blocks; ++i, in += 16, out += 16, decoded += 16) {
    std::uint64_t cipherWords[2];
    std::uint64_t plainWords[2];
    // Read C before writing P: in and out may be the same buffer.
    std::memcpy(cipherWords, in, 16);
    std::memcpy(plainWords, decoded, 16);
    plainWords[0] ^= feedback[0];
    plainWords[1] ^= feedback[1];
    std::memcpy(out, plainWords, 16);
    feedback[0] ^= cipherWords[0];
    feedback[1] ^= cipherWords[1];
  }
  std::memcpy(FFeedback.data(), feedback, 16);
}

void TCipher::DecryptBuffer(const void* source, void* dest, std::size_t size) {
  CheckReady();
  const auto* in = static_cast<const std::uint8_t*>(source);
  auto* out = static_cast<std::uint8_t*>(dest);
  const std::size_t b = FBlockSize;
  // Each block's feedback depends only on ciphertext, so a batch of blocks is
  // decoded at once and chained afterwards.
  alignas(16) std::uint8_t decoded[kDecodeBatchBytes];
  const std::size_t batchBlocks = kDecodeBatchBytes / b;
  while (size >= b) {
    const std::size_t blocks = std::min(size / b, batchBlocks);
    DecodeBlocks(in, decoded, blocks);
    if (b == 16) {
      ChainSixteenByteBlocks(in, out, decoded, blocks);
      in += blocks * b;
      out += blocks * b;
    } else {
      for (std::size_t i = 0; i < blocks; ++i, in += b, out += b) {
        // Read C before writing P: in and out may be the same buffer.
        TBlock cipherBlock;
        std::memcpy(cipherBlock.data(), in, b);
        XorBlocks(out, decoded + i * b, FFeedback.data(), b);
        XorBlocks(FFeedback.data(), cipherBlock.data(), FFeedback.data(), b);
      }
    }
    size -= blocks * b;
  }
  if (size > 0) EncryptPartialBlock(in, out, size);
}

}  // namespace qel
