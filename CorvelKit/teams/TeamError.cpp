#include "CorvelKit/teams/TeamError.h"

#include <string>

namespace corvel::teams {

namespace {

class Category final : public std::error_category {
 public:
  const char* name() const noexcept override { return "team"; }
  std::string message(int value) const override {
    switch (static_cast<TeamError>(value)) {
      case TeamError::notPermitted: return "Your role in this team doesn't allow that.";
      case TeamError::notFound: return "No such team, member, computer or invitation.";
      case TeamError::invitationInvalid: return "The invitation was used already or has expired.";
      case TeamError::alreadyMember: return "That person is in the team already.";
      case TeamError::lastOwner: return "A team needs an owner.";
      case TeamError::invalid: return "That value can't be used.";
      case TeamError::unavailable: return "The team database can't be reached.";
      case TeamError::storeFailed: return "The team database refused the change.";
    }
    return "Unknown team error.";
  }
};

}  // namespace

const std::error_category& teamErrorCategory() {
  static const Category category;
  return category;
}

}  // namespace corvel::teams
