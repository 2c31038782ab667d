#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "CorvelKit/base/Bytes.h"

namespace corvel::security {

// Bytes that hold a secret (a key, a seed, a shared secret). The buffer is wiped when the value is
// destroyed or overwritten; copies are independent buffers that are wiped on their own.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  explicit SecretBytes(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}
  // Takes over `bytes` without copying it.
  static SecretBytes adopt(Bytes&& bytes) {
    SecretBytes s;
    s.bytes_ = std::move(bytes);
    return s;
  }

  SecretBytes(const SecretBytes&) = default;
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)) { other.bytes_.clear(); }
  SecretBytes& operator=(const SecretBytes& other) {
    if (this != &other) {
      secureWipe(bytes_);
      bytes_ = other.bytes_;
    }
    return *this;
  }
  SecretBytes& operator=(SecretBytes&& other) noexcept {
    if (this != &other) {
      secureWipe(bytes_);
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }
  ~SecretBytes() { secureWipe(bytes_); }

  std::uint8_t* data() { return bytes_.data(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  ByteView view() const { return bytes_; }
  // The buffer itself, for code that reads it in place or moves it on (a decrypted payload handed
  // to its handler); what is left in it is still wiped with this value.
  Bytes& bytes() { return bytes_; }
  operator ByteView() const { return bytes_; }  // NOLINT(google-explicit-constructor)

  // Equality of two secrets in time that does not depend on where they differ.
  friend bool operator==(const SecretBytes& a, const SecretBytes& b);

 private:
  Bytes bytes_;
};

// Constant-time comparison of two byte strings of the same length; false when the lengths differ.
bool constantTimeEqual(ByteView a, ByteView b);

inline bool operator==(const SecretBytes& a, const SecretBytes& b) {
  return constantTimeEqual(a.view(), b.view());
}

}  // namespace corvel::security
