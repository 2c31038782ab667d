#include "CorvelKit/security/SecureIdentity.h"

#include <cerrno>
#include <optional>

#include "CorvelKit/base/Base64.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/security/Crypto.h"
#include "CorvelKit/security/Keychain.h"
#include "CorvelKit/security/MLDSA87.h"

namespace corvel::security {

namespace {

spdlog::logger& log() {
  static auto& logger = Log::core("security");
  return logger;
}

// Rebuilds the software key stored under `account`, or nothing when it is missing or does not
// decode to a valid seed.
std::optional<MLDSA87::PrivateKey> loadSoftwareKey(const std::string& service) {
  auto text = Keychain::get(SecureIdentity::seedAccount, service);
  if (!text) return std::nullopt;
  auto seed = Base64::decode(*text);
  secureWipe(text->data(), text->size());
  if (!seed || seed->size() != MLDSA87::seedSize) return std::nullopt;
  std::optional<MLDSA87::PrivateKey> key;
  try {
    key = MLDSA87::PrivateKey::fromSeed(*seed);
  } catch (const std::exception&) {
  }
  secureWipe(*seed);
  return key;
}

void storeSoftwareKey(const std::string& service, const MLDSA87::PrivateKey& key) {
  std::string text = Base64::encode(key.seed());
  // A failed write leaves the key in use for this run only; the next start makes another.
  if (!Keychain::set(text, SecureIdentity::seedAccount, service, /*synchronizable=*/false)) {
    log().error("could not store the identity key; it will change at the next start");
  }
  secureWipe(text.data(), text.size());
}

}  // namespace

// The private key. A secure-element key would be a second kind; this platform has only software
// keys.
class SecureIdentity::Key {
 public:
  explicit Key(MLDSA87::PrivateKey key) : key_(std::move(key)) {}
  const Bytes& publicKey() const { return key_.publicKey(); }
  Bytes sign(ByteView message) const { return key_.sign(message); }

 private:
  MLDSA87::PrivateKey key_;
};

SecureIdentity::Failure::Failure(IdentityError e)
    : std::runtime_error("Device-owner authentication is not available on this computer."),
      error(e) {}

SecureIdentity& SecureIdentity::shared() {
  static SecureIdentity identity(defaultService());
  return identity;
}

std::string SecureIdentity::defaultService() {
  // No bundle identifier here: the process name stands in for it.
  return std::string(servicePrefix) + program_invocation_short_name;
}

SecureIdentity::SecureIdentity(std::string service) : service_(std::move(service)) {
  // A stored secure-element key cannot be rebuilt here (there is none); like any item that no
  // longer loads, it is passed over silently and the software seed is tried next.
  if (auto key = loadSoftwareKey(service_)) {
    install(std::make_shared<const Key>(std::move(*key)), false);
    return;
  }
  auto key = MLDSA87::PrivateKey::generate();
  storeSoftwareKey(service_, key);
  install(std::make_shared<const Key>(std::move(key)), false);
}

SecureIdentity::~SecureIdentity() = default;

void SecureIdentity::install(std::shared_ptr<const Key> key, bool hardwareBacked) {
  Bytes publicKey = key->publicKey();
  std::lock_guard lock(lock_);
  key_ = std::move(key);
  publicKey_ = std::move(publicKey);
  isHardwareBacked_ = hardwareBacked;
}

Bytes SecureIdentity::publicKey() const {
  std::lock_guard lock(lock_);
  return publicKey_;
}

bool SecureIdentity::isHardwareBacked() const {
  std::lock_guard lock(lock_);
  return isHardwareBacked_;
}

std::string SecureIdentity::fingerprint() const { return fingerprint(publicKey()); }

std::string SecureIdentity::fingerprint(ByteView publicKey) {
  static constexpr char digits[] = "0123456789ABCDEF";
  auto digest = crypto::sha256({publicKey});
  std::string out;
  out.reserve(39);
  for (std::size_t i = 0; i < 16; ++i) {
    if (i > 0 && i % 2 == 0) out.push_back(' ');
    out.push_back(digits[digest[i] >> 4]);
    out.push_back(digits[digest[i] & 0x0F]);
  }
  return out;
}

Bytes SecureIdentity::sign(ByteView message) const {
  std::shared_ptr<const Key> key;
  {
    std::lock_guard lock(lock_);
    key = key_;
  }
  return key->sign(message);
}

bool SecureIdentity::isBiometricProtected() const {
  return Keychain::get(biometricFlag, service_) == "1";
}

bool SecureIdentity::biometricAvailable() { return false; }

void SecureIdentity::regenerate(bool biometric) {
  if (biometric) {
    // Requiring device-owner authentication needs a secure element, which this platform lacks.
    throw Failure(IdentityError::biometricUnavailable);
  }
  Keychain::remove(biometricFlag, service_);
  auto key = MLDSA87::PrivateKey::generate();
  storeSoftwareKey(service_, key);
  Keychain::remove(enclaveAccount, service_);
  install(std::make_shared<const Key>(std::move(key)), false);
}

}  // namespace corvel::security
