#include "CorvelKit/security/RandomBytes.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <openssl/rand.h>

namespace corvel::security {

namespace {
thread_local ScopedSeededRandom* currentSeed = nullptr;
}  // namespace

void fillRandom(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    const std::size_t n = std::min<std::size_t>(out.size(), std::numeric_limits<int>::max());
    if (RAND_bytes(out.data(), static_cast<int>(n)) != 1) {
      std::abort();  // no usable randomness: nothing secure can be made from here on
    }
    out = out.subspan(n);
  }
}

Bytes randomBytes(std::size_t count) {
  Bytes out(count);
  fillRandom(out);
  return out;
}

ScopedSeededRandom::ScopedSeededRandom(ByteView seed) : seed_(seed), previous_(currentSeed) {
  currentSeed = this;
}

ScopedSeededRandom::~ScopedSeededRandom() { currentSeed = previous_; }

bool ScopedSeededRandom::consumedExactly() const {
  return !overrun_ && position_ == seed_.size();
}

struct SeededRandomAccess {
  // Serves `out` from the innermost seed of this thread; false when there is none.
  static bool serve(std::uint8_t* out, std::size_t n) {
    ScopedSeededRandom* s = currentSeed;
    if (s == nullptr) return false;
    const std::size_t available = s->seed_.size() - s->position_;
    if (n > available) {
      // Asked for more than the seed holds: the result cannot be what the seed describes. Fill
      // with zeros and remember, so that the caller's consumedExactly() check refuses the result.
      std::memset(out, 0, n);
      s->overrun_ = true;
      s->position_ = s->seed_.size();
      return true;
    }
    std::memcpy(out, s->seed_.data() + s->position_, n);
    s->position_ += n;
    return true;
  }
};

}  // namespace corvel::security

// PQClean takes its randomness from this one function (common/randombytes.h).
extern "C" int PQCLEAN_randombytes(std::uint8_t* output, std::size_t n) {
  if (!corvel::security::SeededRandomAccess::serve(output, n)) {
    corvel::security::fillRandom({output, n});
  }
  return 0;
}
