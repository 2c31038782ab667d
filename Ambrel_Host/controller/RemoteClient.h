#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Ambrel_Host/capture/SoundTarget.h"
#include "Ambrel_Host/capture/StreamViewer.h"
#include "Ambrel_Host/controller/ClientConnection.h"
#include "Ambrel_Host/controller/SessionLog.h"
#include "CorvelKit/base/Clock.h"
#include "CorvelKit/base/Date.h"
#include "CorvelKit/base/UUID.h"
#include "CorvelKit/protocol/Hello.h"

namespace ambrel {

// One connected device, admitted or not. Fields that the connection's queue reads for every
// message live under `mutex_`; the rest are constant or touched on the controller's executor only.
class RemoteClient final : public StreamViewer, public SoundTarget {
 public:
  RemoteClient(std::shared_ptr<ClientConnection> connection, std::string address,
               std::shared_ptr<corvel::Clock> clock, std::uint32_t displayID);

  const corvel::UUID& id() const { return id_; }
  const std::shared_ptr<ClientConnection>& connection() const { return connection_; }
  corvel::Date connectedAt() const { return connectedAt_; }
  const std::string& address() const { return address_; }
  // Who stands behind the address, for limits and lockouts (IPv6 by /64).
  const std::string& source() const { return source_; }

  // Under the lock.
  std::optional<corvel::protocol::Hello> hello() const;
  void setHello(corvel::protocol::Hello hello);
  bool authorized() const;
  void setAuthorized(bool on);
  // Whether the client was ever admitted (stays true after a stop takes `authorized` away).
  bool wasAdmitted() const;
  bool canControl() const;
  void setCanControl(bool on);
  std::uint32_t displayID() const;
  void setDisplayID(std::uint32_t id);
  corvel::Clock::TimePoint lastActivity() const;
  void markActivity();
  corvel::Clock::TimePoint lastHeard() const;
  void markHeard();
  // Since when its video has been stalled (packets outstanding and none delivered for a while),
  // by this client's clock.
  std::optional<corvel::Clock::TimePoint> videoStalledSince() const;
  // Video flow control, under the lock: a viewer is admitted and not only sharing its screen.
  void withVideoFlow(const std::function<void(VideoFlow&)>& change) override;
  // A `video` message on the connection; `sent` runs on the connection's queue.
  void sendVideo(corvel::ByteView wire, std::function<void()> sent) override;
  Description describe() const override;
  // Sound goes to the same clients as video: admitted, and not only sharing their own screen.
  bool hearsSound() const override;
  void sendAudioFormat(const corvel::protocol::AudioStreamFormat& format) override;
  void sendAudio(corvel::ByteView packet) override;

  // A support client: its connection is keyed with the support session's code. Fixed for the
  // connection's life, whatever happens to the support session meanwhile.
  bool isSupport() const { return connection_->keySource() == KeySource::supportCode; }

  // Controller executor only.
  // Stopped from this side: never admitted again, whatever arrives before it is removed.
  bool isStopped() const { return stopped_; }
  void markStopped() { stopped_ = true; }
  const std::optional<std::string>& endReason() const { return endReason_; }
  // The first reason set stays.
  void setEndReasonIfUnset(std::string reason) {
    if (!endReason_) endReason_ = std::move(reason);
  }

  // Derived.
  bool isScreenSharer() const;
  std::string displayName() const;  // the hello's device name, or "Unknown device"
  std::string symbolName() const;
  std::optional<std::string> peerFingerprint() const { return connection_->peerFingerprint(); }
  // What the session history records of it.
  SessionLog::Participant participant() const;

 private:
  const corvel::UUID id_;
  const std::shared_ptr<ClientConnection> connection_;
  const corvel::Date connectedAt_;
  const std::shared_ptr<corvel::Clock> clock_;
  const std::string address_;
  const std::string source_;

  mutable std::mutex mutex_;
  std::optional<corvel::protocol::Hello> hello_;
  bool authorized_ = false;
  bool wasAdmitted_ = false;
  VideoFlow flow_;  // isViewer is worked out afresh for every look
  std::optional<corvel::Clock::TimePoint> stalledSince_;
  bool canControl_ = true;
  corvel::Clock::TimePoint lastActivity_;
  corvel::Clock::TimePoint lastHeard_;
  std::uint32_t displayID_;

  bool stopped_ = false;
  std::optional<std::string> endReason_;
};

}  // namespace ambrel
