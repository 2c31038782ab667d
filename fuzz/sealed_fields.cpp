// Sealed fields come from a database other devices write to: any bytes must open or be refused,
// without reading past them, and only what this key sealed for this field may open.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "CorvelKit/cloud/OwnerKey.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvel::cloud::OwnerKey;
  static const OwnerKey key = OwnerKey::fromBytes(corvel::Bytes(32, 0x5A));
  const corvel::ByteView input(data, size);
  if (key.open("Mac", "host", "accessCode", input)) std::abort();  // a forgery
  // What the key seals opens again, whatever text it was.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto sealed = key.seal("Mac", "host", "accessCode", text);
  auto opened = key.open("Mac", "host", "accessCode", sealed);
  const bool utf8 = opened.has_value();
  if (utf8 && *opened != text) std::abort();
  if (key.open("Mac", "host", "identity", sealed)) std::abort();
  return 0;
}
