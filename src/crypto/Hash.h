#pragma once
// Message digests used to turn a password into key bytes: RIPEMD-128 and
// RIPEMD-256, as published, over the key text's bytes.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace qel {

class THash {
 public:
  virtual ~THash() = default;

  virtual const char* ClassName() const = 0;
  // Starts a new digest; Calc adds bytes; Done finishes it, after which
  // DigestKey holds DigestSize bytes (the state words in little-endian order).
  virtual void Init() = 0;
  virtual void Calc(const void* data, std::size_t size) = 0;
  virtual void Done() = 0;
  virtual const std::uint8_t* DigestKey() const = 0;
  virtual std::size_t DigestSize() const = 0;
};

// A hash "class": a factory that makes a fresh hash object of one kind.
// Two hash classes are the same exactly when their factories are.
using THashClass = std::unique_ptr<THash> (*)();

class THash_RipeMD128 {
 public:
  static std::unique_ptr<THash> Create();
};

class THash_RipeMD256 {
 public:
  static std::unique_ptr<THash> Create();
};

}  // namespace qel
