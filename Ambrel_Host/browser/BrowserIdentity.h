#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/SecretBytes.h"

namespace corvel {
class Defaults;
}

namespace ambrel {

// A server certificate with its private key, both DER.
struct TlsIdentity {
  corvel::Bytes certificate;
  corvel::security::SecretBytes privateKey;
};

// The browser server's TLS identity: a self-signed RSA 2048 certificate for "Ambrel Host (<computer
// name>)", valid 825 days, serverAuth, made once and kept as a PKCS#12 file (mode 0600) whose
// random passphrase lives in the settings under "browserTLSPassphrase". A file whose passphrase
// is gone or does not open it is replaced by a new certificate with a new passphrase.
//
// Loading and creating run under one process-wide mutex, so concurrent starts never make two
// certificates; the identity is cached once loaded.
class BrowserIdentity {
 public:
  static constexpr const char* passphraseKey = "browserTLSPassphrase";
  static constexpr const char* fileName = "browser-tls.p12";
  static constexpr int validityDays = 825;

  // `folder`: where the file lives (the host's data folder).
  BrowserIdentity(std::shared_ptr<corvel::Defaults> defaults, std::filesystem::path folder,
                  std::string computerName);

  // The identity, loaded or made at the first call; nothing when it can be neither.
  std::optional<TlsIdentity> identity();

  std::filesystem::path file() const { return folder_ / fileName; }
  // "Ambrel Host (" + the name reduced to ASCII without "/" + ")"; "Mac" stands in for an empty name.
  static std::string subject(std::string_view computerName);

 private:
  std::optional<TlsIdentity> load() const;
  bool create() const;

  const std::shared_ptr<corvel::Defaults> defaults_;
  const std::filesystem::path folder_;
  const std::string computerName_;
  std::optional<TlsIdentity> cached_;  // under the process-wide mutex
};

}  // namespace ambrel
