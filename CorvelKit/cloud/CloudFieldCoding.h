#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Expected.h"
#include "CorvelKit/cloud/CloudError.h"
#include "CorvelKit/cloud/CloudRecord.h"

namespace corvel::cloud {

// How the stores keep a record's fields: one JSON object mapping each key to a one-member object
// naming the value's type: {"name": {"string": "Desk"}, "port": {"int": 5895},
// "seen": {"date": 786000000.5}, "blob": {"bytes": "<Base64>"}, "tags": {"strings": ["a"]},
// "ratio": {"double": 0.5}}. Dates are seconds since 2001-01-01 UTC.
struct CloudFieldCoding {
  // Nothing when a double or date is not finite, or a text is not UTF-8: JSON cannot keep them.
  static std::optional<std::string> encode(const std::map<std::string, CloudValue>& fields);
  // Stored text comes from a database other devices write to: anything malformed is refused with
  // `corruptRecord`, never thrown.
  static Expected<std::map<std::string, CloudValue>, std::error_code> decode(std::string_view text);
};

}  // namespace corvel::cloud
