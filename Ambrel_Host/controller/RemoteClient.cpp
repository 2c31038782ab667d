#include "Ambrel_Host/controller/RemoteClient.h"

#include "CorvelKit/net/PeerSource.h"

namespace ambrel {

using corvel::protocol::ClientPlatform;
using corvel::protocol::ClientRole;

RemoteClient::RemoteClient(std::shared_ptr<ClientConnection> connection,
                           std::string address, std::shared_ptr<corvel::Clock> clock,
                           std::uint32_t displayID)
    : id_(corvel::UUID::random()),
      connection_(std::move(connection)),
      connectedAt_(corvel::Date::fromTimePoint(clock->wallNow())),
      clock_(std::move(clock)),
      address_(std::move(address)),
      source_(corvel::net::PeerSource::of(address_)),
      lastActivity_(clock_->now()),
      lastHeard_(lastActivity_),
      displayID_(displayID) {}

std::optional<corvel::protocol::Hello> RemoteClient::hello() const {
  std::lock_guard lock(mutex_);
  return hello_;
}
void RemoteClient::setHello(corvel::protocol::Hello hello) {
  std::lock_guard lock(mutex_);
  hello_ = std::move(hello);
}
bool RemoteClient::authorized() const {
  std::lock_guard lock(mutex_);
  return authorized_;
}
void RemoteClient::setAuthorized(bool on) {
  std::lock_guard lock(mutex_);
  authorized_ = on;
  wasAdmitted_ = wasAdmitted_ || on;
}
bool RemoteClient::wasAdmitted() const {
  std::lock_guard lock(mutex_);
  return wasAdmitted_;
}
bool RemoteClient::canControl() const {
  std::lock_guard lock(mutex_);
  return canControl_;
}
void RemoteClient::setCanControl(bool on) {
  std::lock_guard lock(mutex_);
  canControl_ = on;
}
std::uint32_t RemoteClient::displayID() const {
  std::lock_guard lock(mutex_);
  return displayID_;
}
void RemoteClient::setDisplayID(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  displayID_ = id;
}
corvel::Clock::TimePoint RemoteClient::lastActivity() const {
  std::lock_guard lock(mutex_);
  return lastActivity_;
}
void RemoteClient::markActivity() {
  auto now = clock_->now();
  std::lock_guard lock(mutex_);
  lastActivity_ = now;
}
corvel::Clock::TimePoint RemoteClient::lastHeard() const {
  std::lock_guard lock(mutex_);
  return lastHeard_;
}
void RemoteClient::markHeard() {
  auto now = clock_->now();
  std::lock_guard lock(mutex_);
  lastHeard_ = now;
}
std::optional<corvel::Clock::TimePoint> RemoteClient::videoStalledSince() const {
  std::lock_guard lock(mutex_);
  return stalledSince_;
}

void RemoteClient::withVideoFlow(const std::function<void(VideoFlow&)>& change) {
  const auto now = clock_->now();
  std::lock_guard lock(mutex_);
  flow_.isViewer = authorized_ && !(hello_ && hello_->role == ClientRole::screenSharer);
  const bool wasStalled = flow_.stalled;
  change(flow_);
  if (flow_.stalled && !wasStalled) stalledSince_ = now;
  if (!flow_.stalled) stalledSince_.reset();
}

void RemoteClient::sendVideo(corvel::ByteView wire, std::function<void()> sent) {
  connection_->send(corvel::protocol::MessageType::video, wire,
                    [sent = std::move(sent)](std::error_code) {
                      if (sent) sent();
                    });
}

StreamViewer::Description RemoteClient::describe() const {
  std::lock_guard lock(mutex_);
  const bool sharer = hello_ && hello_->role == ClientRole::screenSharer;
  return {authorized_ && !sharer, displayID_, hello_ ? hello_->supportsHEVC : std::nullopt,
          hello_ && hello_->supportsHDR.value_or(false)};
}

bool RemoteClient::hearsSound() const {
  std::lock_guard lock(mutex_);
  return authorized_ && !(hello_ && hello_->role == ClientRole::screenSharer);
}

void RemoteClient::sendAudioFormat(const corvel::protocol::AudioStreamFormat& format) {
  connection_->sendJSON(corvel::protocol::MessageType::audioFormat, format);
}

void RemoteClient::sendAudio(corvel::ByteView packet) {
  connection_->send(corvel::protocol::MessageType::audio, packet);
}

SessionLog::Participant RemoteClient::participant() const {
  return {id_,           displayName(), symbolName(), address_, connection_->route(),
          isScreenSharer(), isSupport(),  canControl()};
}

bool RemoteClient::isScreenSharer() const {
  std::lock_guard lock(mutex_);
  return hello_ && hello_->role == ClientRole::screenSharer;
}

std::string RemoteClient::displayName() const {
  std::lock_guard lock(mutex_);
  return hello_ ? hello_->deviceName : "Unknown device";
}

std::string RemoteClient::symbolName() const {
  std::lock_guard lock(mutex_);
  if (!hello_) return "display";
  switch (hello_->platform) {
    case ClientPlatform::mac: return "laptopcomputer";
    case ClientPlatform::iPhone: return "iphone";
    case ClientPlatform::iPad: return "ipad";
    case ClientPlatform::vision: return "vision.pro";
    case ClientPlatform::watch: return "applewatch";
    case ClientPlatform::unknown: return "display";
  }
  return "display";
}

}  // namespace ambrel
