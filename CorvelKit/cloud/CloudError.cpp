#include "CorvelKit/cloud/CloudError.h"

namespace corvel::cloud {

namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "cloud"; }
  std::string message(int value) const override {
    switch (static_cast<CloudError>(value)) {
      case CloudError::unavailable: return "cloud database unavailable";
      case CloudError::zoneNotFound: return "record zone not found";
      case CloudError::recordNotFound: return "record not found";
      case CloudError::conflict: return "record changed on the server";
      case CloudError::invalidRecord: return "record cannot be stored";
      case CloudError::invalidToken: return "unknown change token";
      case CloudError::corruptRecord: return "stored record is corrupt";
      case CloudError::storeFailed: return "cloud database refused the operation";
    }
    return "cloud error";
  }
};

}  // namespace

const std::error_category& cloudErrorCategory() {
  static const Category category;
  return category;
}

}  // namespace corvel::cloud
