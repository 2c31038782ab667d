#pragma once

#include <cstddef>
#include <span>

#include "CorvelKit/base/Bytes.h"

namespace corvel::security {

// The system's secure random generator (OpenSSL's DRBG). A generator that fails is not something
// the process can carry on from: it aborts rather than hand out predictable bytes.
void fillRandom(std::span<std::uint8_t> out);
Bytes randomBytes(std::size_t count);

// Feeds PQClean's randomness from a given seed instead of the system generator, on the calling
// thread only, for as long as the object lives. This is how keys are rebuilt from their seeds and
// how known-answer tests run. Scopes nest; other threads are never affected.
class ScopedSeededRandom {
 public:
  explicit ScopedSeededRandom(ByteView seed);
  ~ScopedSeededRandom();
  ScopedSeededRandom(const ScopedSeededRandom&) = delete;
  ScopedSeededRandom& operator=(const ScopedSeededRandom&) = delete;

  // True when exactly the whole seed was consumed and nothing more was asked for.
  bool consumedExactly() const;

 private:
  friend struct SeededRandomAccess;
  ByteView seed_;
  std::size_t position_ = 0;
  bool overrun_ = false;
  ScopedSeededRandom* previous_;
};

}  // namespace corvel::security
