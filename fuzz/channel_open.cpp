// Arbitrary bytes into the sealed channel's open. The first byte picks the mode: open the bytes
// as they are (copying or in place), or seal them and check that they open to themselves.
#include <algorithm>
#include <cstdlib>

#include "CorvelKit/SecureChannel/SecureChannelError.h"
#include "CorvelKit/SecureChannel/SecureMessageChannel.h"

using corvel::Bytes;
using corvel::ByteView;
using corvel::secure::SecureChannelError;
using corvel::secure::SecureMessageChannel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const Bytes keyA(32, 0xA1);
  static const Bytes keyB(32, 0xB2);
  SecureMessageChannel sender(keyA, keyB);
  SecureMessageChannel receiver(keyB, keyA);
  const ByteView input(data + 1, size - 1);
  try {
    switch (data[0] % 3) {
      case 0:
        receiver.open(input);
        break;
      case 1: {
        Bytes buffer(input.begin(), input.end());
        receiver.openInPlace(buffer);
        break;
      }
      default: {
        const Bytes sealed = sender.seal(input);
        if (sealed.size() != input.size() + SecureMessageChannel::tagSize) std::abort();
        const Bytes opened = receiver.open(sealed);
        if (!std::equal(opened.begin(), opened.end(), input.begin(), input.end())) std::abort();
        // The same message again is a replay and must not open.
        try {
          receiver.open(sealed);
          std::abort();
        } catch (const SecureChannelError&) {
        }
        break;
      }
    }
  } catch (const SecureChannelError&) {
  }
  return 0;
}
