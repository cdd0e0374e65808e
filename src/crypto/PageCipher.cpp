#include "crypto/PageCipher.h"

#include <crypto++/misc.h>

#include <array>
#include <string>

#include "crypto/BlockCiphers.h"

namespace qel {

namespace {

struct TCipherType {
  std::string_view Name;
  std::unique_ptr<TCipher> (*MakeCipher)();
  THashClass KeyHash;
};

template <class Cipher>
std::unique_ptr<TCipher> Make() {
  return std::make_unique<Cipher>();
}

// Cipher types by id. The key length follows from the hash's digest size
// and the cipher's largest key: 16 for AES-128, Twofish-128, Square and
// triple DES (K3 is zero), 32 for AES-256, Twofish-256 and Blowfish, 8 for DES.
const std::array<TCipherType, kQELCryptoAlgorithmCount> kCipherTypes = {{
    {"Rijndael_128", &Make<TCipher_Rijndael>, &THash_RipeMD128::Create},
    {"Rijndael_256", &Make<TCipher_Rijndael>, &THash_RipeMD256::Create},
    {"DES_Single", &Make<TCipher_1DES>, &THash_RipeMD128::Create},
    {"DES_Triple", &Make<TCipher_3TDES>, &THash_RipeMD128::Create},
    {"Blowfish", &Make<TCipher_Blowfish>, &THash_RipeMD256::Create},
    {"Twofish_128", &Make<TCipher_Twofish>, &THash_RipeMD128::Create},
    {"Twofish_256", &Make<TCipher_Twofish>, &THash_RipeMD256::Create},
    {"Square", &Make<TCipher_Square>, &THash_RipeMD128::Create},
}};

// A few recently used keyed ciphers per thread. A page operation finds its
// cipher here and only restarts the chain, instead of hashing the password
// and building key schedules again; the bytes produced are the same. The
// cipher objects are not shared between threads, so no lock is needed.
class TKeyedCipherCache {
 public:
  ~TKeyedCipherCache() {
    for (TEntry& entry : FEntries) Forget(entry);
  }

  TCipher* Find(std::uint8_t cryptoAlgorithm, std::string_view password) {
    ++FClock;
    TEntry* victim = &FEntries[0];
    for (TEntry& entry : FEntries) {
      if (entry.Cipher && entry.Algorithm == cryptoAlgorithm && entry.Password == password) {
        entry.LastUse = FClock;
        entry.Cipher->Done();
        return entry.Cipher.get();
      }
      if (entry.LastUse < victim->LastUse) victim = &entry;
    }
    Forget(*victim);
    victim->Cipher = CreatePageCipher(cryptoAlgorithm, password);
    victim->Algorithm = cryptoAlgorithm;
    victim->Password.assign(password);
    victim->LastUse = FClock;
    return victim->Cipher.get();
  }

 private:
  struct TEntry {
    std::unique_ptr<TCipher> Cipher;
    std::uint8_t Algorithm = 0;
    std::string Password;
    std::uint64_t LastUse = 0;
  };

  static void Forget(TEntry& entry) {
    entry.Cipher.reset();
    CryptoPP::SecureWipeBuffer(entry.Password.data(), entry.Password.size());
    entry.Password.clear();
    entry.LastUse = 0;
  }

  std::array<TEntry, 4> FEntries;
  std::uint64_t FClock = 0;
};

TKeyedCipherCache& ThreadCipherCache() {
  thread_local TKeyedCipherCache cache;
  return cache;
}

bool IsCipherType(std::uint8_t cryptoAlgorithm) {
  return cryptoAlgorithm < kQELCryptoAlgorithmCount;
}

template <class Operation>
bool RunOnBuffer(std::uint8_t cryptoAlgorithm, void* buffer, std::size_t size,
                 std::string_view password, Operation operation) {
  if (!IsCipherType(cryptoAlgorithm) || size == 0) return true;
  if (buffer == nullptr) return false;
  try {
    TCipher* cipher = ThreadCipherCache().Find(cryptoAlgorithm, password);
    operation(*cipher, buffer, size);
    return true;
  } catch (...) {
    // The caller sees a failed cipher as a CRC or password-check failure.
    return false;
  }
}

}  // namespace

std::string_view CryptoAlgorithmName(std::uint8_t cryptoAlgorithm) {
  return IsCipherType(cryptoAlgorithm) ? kCipherTypes[cryptoAlgorithm].Name : std::string_view();
}

std::optional<TQELCryptoAlgorithm> CryptoAlgorithmFromName(std::string_view name) {
  for (std::size_t id = 0; id < kCipherTypes.size(); ++id) {
    if (kCipherTypes[id].Name == name) return static_cast<TQELCryptoAlgorithm>(id);
  }
  return std::nullopt;
}

std::unique_ptr<TCipher> CreatePageCipher(std::uint8_t cryptoAlgorithm, std::string_view password) {
  if (!IsCipherType(cryptoAlgorithm)) return nullptr;
  const TCipherType& type = kCipherTypes[cryptoAlgorithm];
  std::unique_ptr<TCipher> cipher = type.MakeCipher();
  cipher->SetHashClass(type.KeyHash);
  // Keying with the cipher's own vector buffer, which the key setup resets to
  // 0xFF bytes, makes the initial vector a block of 0xFF bytes.
  cipher->InitKey(password, cipher->Vector());
  return cipher;
}

bool EncryptData(std::uint8_t cryptoAlgorithm, void* buffer, std::size_t size,
                 std::string_view password) {
  return RunOnBuffer(cryptoAlgorithm, buffer, size, password,
                     [](TCipher& cipher, void* data, std::size_t length) {
                       cipher.EncryptBuffer(data, data, length);
                     });
}

bool DecryptData(std::uint8_t cryptoAlgorithm, void* buffer, std::size_t size,
                 std::string_view password) {
  return RunOnBuffer(cryptoAlgorithm, buffer, size, password,
                     [](TCipher& cipher, void* data, std::size_t length) {
                       cipher.DecryptBuffer(data, data, length);
                     });
}

}  // namespace qel
