#pragma once


#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::protocol {

// Ends (or cancels) the transfer of an offered file.
struct FileEnd {
  // The offer's identifier.
  UUID id;
  bool cancelled = false;

  friend bool operator==(const FileEnd&, const FileEnd&) = default;
};

void encodeJSON(nlohmann::json& out, const FileEnd& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, FileEnd& out, DecodingError& error);

}  // namespace corvel::protocol
