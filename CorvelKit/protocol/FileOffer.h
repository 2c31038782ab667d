#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "CorvelKit/base/DecodingError.h"
#include "CorvelKit/base/UUID.h"

namespace corvel::protocol {

// Announces a file that follows in fileChunk messages and ends with a FileEnd.
struct FileOffer {
  // Names the transfer; every chunk and the end carry it.
  UUID id;
  std::string name;
  // The byte count of the whole file.
  std::int64_t size = 0;
  // What the receiver should do with the file.
  std::optional<std::string> purpose;

  friend bool operator==(const FileOffer&, const FileOffer&) = default;
};

void encodeJSON(nlohmann::json& out, const FileOffer& value);
[[nodiscard]] bool decodeJSON(const nlohmann::json& in, FileOffer& out, DecodingError& error);

}  // namespace corvel::protocol
