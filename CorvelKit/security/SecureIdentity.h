#pragma once

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "CorvelKit/base/Bytes.h"

namespace corvel::security {

// This installation's long-lived signing identity, an ML-DSA-87 key pair. Peers pin it by its
// fingerprint. There is no secure element on this platform: the key is a software key whose 32-byte
// seed is kept in the keychain, and it is rebuilt from that seed at every start.
class SecureIdentity {
 public:
  enum class IdentityError { biometricUnavailable };

  struct Failure : std::runtime_error {
    explicit Failure(IdentityError e);
    IdentityError error;
  };

  static constexpr const char* servicePrefix = "com.pinebay.corvel.identity.";
  static constexpr const char* enclaveAccount = "identity.mldsa87.enclave";
  static constexpr const char* seedAccount = "identity.mldsa87.seed";
  static constexpr const char* biometricFlag = "identity.biometric";

  // The process-wide identity, loaded (or made) on first use.
  static SecureIdentity& shared();
  // The keychain service of this program: the prefix followed by the process name.
  static std::string defaultService();

  // Loads the identity kept under `service`, making and storing a new one when there is none.
  explicit SecureIdentity(std::string service);
  ~SecureIdentity();
  SecureIdentity(const SecureIdentity&) = delete;
  SecureIdentity& operator=(const SecureIdentity&) = delete;

  const std::string& service() const { return service_; }

  // The raw public key.
  Bytes publicKey() const;
  bool isHardwareBacked() const;
  std::string fingerprint() const;
  // SHA-256 of a raw public key, first 16 bytes, upper-case hex in 8 groups of 4.
  static std::string fingerprint(ByteView publicKey);

  // An ML-DSA-87 signature over `message`. Throws CryptoFailure when signing fails.
  Bytes sign(ByteView message) const;

  bool isBiometricProtected() const;
  // Whether a secure element with device-owner authentication is there: never on this platform.
  static bool biometricAvailable();
  // Replaces the key (and with it the fingerprint). With `biometric`, throws
  // Failure(biometricUnavailable) and keeps the current key.
  void regenerate(bool biometric);

 private:
  class Key;
  void install(std::shared_ptr<const Key> key, bool hardwareBacked);

  const std::string service_;
  mutable std::mutex lock_;
  std::shared_ptr<const Key> key_;
  Bytes publicKey_;
  bool isHardwareBacked_ = false;
};

}  // namespace corvel::security
