#pragma once

#include <utility>

#include "CorvelKit/base/Bytes.h"

namespace corvel {

// A byte string that overwrites its memory before giving it back: for decrypted payloads and
// other secrets that pass through the heap. Copies are wiped in their turn; a moved-from one is
// empty.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(Bytes bytes) noexcept : bytes_(std::move(bytes)) {}
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
      bytes_.swap(other.bytes_);
    }
    return *this;
  }
  ~SecretBytes() { wipe(); }

  // Wipes and empties the bytes now.
  void wipe() noexcept { secureWipe(bytes_); }

  Bytes& bytes() noexcept { return bytes_; }
  const Bytes& bytes() const noexcept { return bytes_; }

 private:
  Bytes bytes_;
};

}  // namespace corvel
