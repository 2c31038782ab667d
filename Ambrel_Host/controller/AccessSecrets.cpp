#include "Ambrel_Host/controller/AccessSecrets.h"

#include "Ambrel_Host/controller/HostObservers.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/security/AccessCode.h"
#include "CorvelKit/security/AuthToken.h"
#include "CorvelKit/security/Keychain.h"

namespace ambrel {

namespace {
using corvel::security::AccessCode;
using corvel::security::AuthToken;
using corvel::security::Keychain;

auto& log() { return corvel::Log::host("net"); }
}  // namespace

void AccessSecrets::load() {
  auto stored = Keychain::get(accessCodeAccount, keychainService);
  if (stored && AccessCode::characterCount(AccessCode::normalize(*stored)) == AccessCode::length) {
    accessCode_ = *stored;
  } else {
    accessCode_ = AccessCode::generate();
  }
  auto token = Keychain::get(ownerTokenAccount, keychainService);
  ownerToken_ = token && !token->empty() ? *token : AuthToken::generate();
  save();
  observers_.notify(HostProperty::accessCode);
  observers_.notify(HostProperty::iCloudAuthToken);
}

void AccessSecrets::regenerate() {
  accessCode_ = AccessCode::generate();
  ownerToken_ = AuthToken::generate();
  save();
  observers_.notify(HostProperty::accessCode);
  observers_.notify(HostProperty::iCloudAuthToken);
}

// The code as a synchronizable item, the token local-only.
void AccessSecrets::save() {
  if (!Keychain::set(accessCode_, accessCodeAccount, keychainService, true)) {
    log().error("couldn't save the access code; it is kept for this run only");
  }
  if (!Keychain::set(ownerToken_, ownerTokenAccount, keychainService, false)) {
    log().error("couldn't save the owner token; it is kept for this run only");
  }
}

void AccessSecrets::startSupport() {
  observers_.assign(supportCode_, std::optional(AccessCode::generate()), HostProperty::supportCode);
}

bool AccessSecrets::endSupport() {
  return observers_.assign(supportCode_, std::optional<std::string>(), HostProperty::supportCode);
}

bool AccessSecrets::ownerTokenMatches(std::string_view presented) const {
  return AuthToken::matches(presented, ownerToken_);
}

}  // namespace ambrel
