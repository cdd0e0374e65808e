#pragma once
// Page encryption: the eight cipher types a database can use and the
// operations that encrypt and decrypt a page's data area or the password
// check block in place.
//
// For cipher type t the key is the first n bytes of HASH_t(password), the
// initial vector is a block of 0xFF bytes, and the chaining is TCipher's.
// Every buffer starts again from the initial vector, so equal plaintexts
// under one password give equal ciphertexts.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "crypto/Cipher.h"

namespace qel {

enum TQELCryptoAlgorithm : std::uint8_t {
  caRijndael_128 = 0,
  caRijndael_256 = 1,
  caDES_Single = 2,
  caDES_Triple = 3,
  caBlowfish = 4,
  caTwofish_128 = 5,
  caTwofish_256 = 6,
  caSquare = 7,
};

constexpr int kQELCryptoAlgorithmCount = 8;

// A database password: the text (empty for a plain file) and the cipher
// type. Opening a file replaces the cipher type by the one the file uses.
struct TQELPassword {
  std::string Password;
  std::uint8_t CryptoAlgorithm = caRijndael_128;
};

// The display name of a cipher type ("Rijndael_128", ...), or empty for an
// id that is not a cipher type.
std::string_view CryptoAlgorithmName(std::uint8_t cryptoAlgorithm);
// The cipher type with that display name (exact spelling), if any.
std::optional<TQELCryptoAlgorithm> CryptoAlgorithmFromName(std::string_view name);

// A cipher of type `cryptoAlgorithm` keyed from `password` and positioned at
// its initial vector, built step by step as the key derivation prescribes;
// null for an id that is not a cipher type. EncryptData/DecryptData give the
// same bytes as this cipher's EncryptBuffer/DecryptBuffer.
std::unique_ptr<TCipher> CreatePageCipher(std::uint8_t cryptoAlgorithm, std::string_view password);

// Encrypt or decrypt `size` bytes in place. An id that is not a cipher type
// leaves the buffer as it is and succeeds; a failure inside the cipher
// answers false. Derived keys are cached per thread for recent passwords, so
// a page costs only its blocks.
bool EncryptData(std::uint8_t cryptoAlgorithm, void* buffer, std::size_t size,
                 std::string_view password);
bool DecryptData(std::uint8_t cryptoAlgorithm, void* buffer, std::size_t size,
                 std::string_view password);

}  // namespace qel
