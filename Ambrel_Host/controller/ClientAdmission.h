#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Ambrel_Host/controller/RemoteClient.h"
#include "Ambrel_Host/controller/TrustedDevice.h"
#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/security/BruteForceGuard.h"

namespace ambrel {

class AccessSecrets;
class SessionSupervision;
struct HostContext;

// The answers to the approval question.
enum class ApprovalAnswer { allow, alwaysAllow, deny };

// Who gets in: from a client's hello, the identity its handshake proved, the owner token, the
// trusted devices and the settings, a client is let in at once, asked about, or turned away. Also
// the wrong-code guard. Controller's executor only.
class ClientAdmission {
 public:
  ClientAdmission(HostContext& context, AccessSecrets& secrets, SessionSupervision& supervision);

  // Reads the trusted devices from the settings (absent or undecodable: none).
  void load();

  // A hello (ignored when undecodable, repeated, or from a client stopped meanwhile).
  void handleHello(const std::shared_ptr<RemoteClient>& client, corvel::ByteView payload);
  // Lets a listed client in (a client stopped meanwhile stays out).
  void admit(const std::shared_ptr<RemoteClient>& client);
  // The answer for one waiting client; false when it isn't waiting.
  bool answer(const corvel::UUID& clientID, ApprovalAnswer answer);
  // Clients waiting for an answer, oldest first.
  std::vector<std::shared_ptr<RemoteClient>> pending() const;

  const std::vector<TrustedDevice>& trustedDevices() const { return trustedDevices_; }
  void trustDevice(TrustedDevice device);
  bool forgetTrustedDevice(const std::string& id);

  // The interface's view-only / control switch for one client.
  void setCanControl(const std::shared_ptr<RemoteClient>& client, bool on);

  // A failed TLS step or handshake, or a wrong code at the browser port, from `address`:
  // history, and a lockout of its source after repeated ones (IPv6 by /64), told to the person
  // at the computer once.
  void recordWrongCode(const std::string& address);
  // Any thread (the browser server asks from its own queue). `undecided`: the source's connections
  // still under way before their hello; near the limit they count as wrong codes to come.
  bool isBlocked(const std::string& address, std::size_t undecided = 0) const;

 private:
  void askApproval(const std::shared_ptr<RemoteClient>& client);
  void startSession(const std::shared_ptr<RemoteClient>& client);
  bool isTrusted(const std::string& fingerprint) const;

  HostContext& context_;
  AccessSecrets& secrets_;
  SessionSupervision& supervision_;
  std::vector<TrustedDevice> trustedDevices_;
  mutable std::mutex guardMutex_;  // guards bruteForce_
  corvel::security::BruteForceGuard bruteForce_ = corvel::security::BruteForceGuard::host();
};

}  // namespace ambrel
