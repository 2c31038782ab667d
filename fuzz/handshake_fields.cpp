// Arbitrary bytes into the handshake's field decoder. The first byte picks the expected field
// count; whatever decodes must encode back to exactly the input.
#include <algorithm>
#include <cstdlib>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/SecureChannel/SecureHandshake.h"

using corvel::ByteView;
using corvel::secure::SecureChannelError;
using corvel::secure::SecureHandshake;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t expected = data[0] % 5;
  const ByteView message(data + 1, size - 1);
  try {
    auto fields = SecureHandshake::decodeFields(message, expected);
    if (fields.size() != expected) std::abort();
    for (ByteView f : fields) {
      if (f.size() > SecureHandshake::maxFieldLength) std::abort();
      if (f.data() < message.data() || f.data() + f.size() > message.data() + message.size()) {
        std::abort();
      }
    }
    const auto encoded = SecureHandshake::encodeFields(fields);
    if (!std::equal(encoded.begin(), encoded.end(), message.begin(), message.end())) std::abort();
  } catch (const SecureChannelError&) {
  }
  return 0;
}
