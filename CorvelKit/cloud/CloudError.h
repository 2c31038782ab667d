#pragma once

#include <string>
#include <system_error>

namespace corvel::cloud {

// Why a cloud database operation failed.
enum class CloudError {
  unavailable = 1,   // the database cannot be opened or reached; try again on the next cycle
  zoneNotFound,      // the record zone was never saved
  recordNotFound,    // no record has that name
  conflict,          // a save that required an unchanged record found it changed (or present)
  invalidRecord,     // a record this store cannot keep (empty name, a value that is not finite)
  invalidToken,      // a change token this database never gave out
  corruptRecord,     // a stored record that does not decode
  storeFailed,       // the database refused the operation
};

const std::error_category& cloudErrorCategory();

inline std::error_code make_error_code(CloudError e) {
  return {static_cast<int>(e), cloudErrorCategory()};
}

}  // namespace corvel::cloud

template <>
struct std::is_error_code_enum<corvel::cloud::CloudError> : std::true_type {};
