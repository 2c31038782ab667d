#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "Ambrel_Host/controller/ClientConnection.h"

namespace ambrel {

class HostObservers;

// The secrets that let devices in: the everyday access code, the owner token that the owner's
// own devices present, and the one-time code of a running support session. The code and token
// live in the keychain; every change is told to the observers. Controller's executor only.
class AccessSecrets {
 public:
  static constexpr const char* keychainService = "com.pinebay.corvel";
  static constexpr const char* accessCodeAccount = "host.accessCode";
  static constexpr const char* ownerTokenAccount = "host.iCloudToken";

  explicit AccessSecrets(HostObservers& observers) : observers_(observers) {}

  // Reads the code and token from the keychain; a code that doesn't normalise to 12 characters,
  // or a missing item, is replaced by a new one. Both are written back.
  void load();
  // A new code and a new owner token, saved.
  void regenerate();

  const std::string& accessCode() const { return accessCode_; }
  const std::string& ownerToken() const { return ownerToken_; }
  const std::optional<std::string>& supportCode() const { return supportCode_; }

  // A support session's one-time code replaces the access code for new connections.
  void startSupport();
  // False when no support session was running.
  bool endSupport();

  // The code new connections are keyed with, and which one it is.
  KeySource currentSource() const { return supportCode_ ? KeySource::supportCode : KeySource::accessCode; }
  const std::string& currentCode() const { return supportCode_ ? *supportCode_ : accessCode_; }

  // Constant-time comparison with the owner token; an empty token on either side never matches.
  bool ownerTokenMatches(std::string_view presented) const;

 private:
  void save();

  HostObservers& observers_;
  std::string accessCode_;
  std::string ownerToken_;
  std::optional<std::string> supportCode_;
};

}  // namespace ambrel
