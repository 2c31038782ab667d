// A record's fields are read from a database the owner's other devices write to: any stored text
// must decode or be refused, and whatever decodes must encode and decode to the same fields.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "CorvelKit/cloud/CloudFieldCoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using corvel::cloud::CloudFieldCoding;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto fields = CloudFieldCoding::decode(text);
  if (!fields) return 0;
  auto encoded = CloudFieldCoding::encode(*fields);
  if (!encoded) return 0;  // text that is not UTF-8 is refused on the way back
  auto again = CloudFieldCoding::decode(*encoded);
  if (!again || *again != *fields) std::abort();
  return 0;
}
