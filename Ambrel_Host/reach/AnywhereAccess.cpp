#include "Ambrel_Host/reach/AnywhereAccess.h"

#include <chrono>
#include <cmath>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>

#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/reach/NatHostPuncher.h"
#include "Ambrel_Host/reach/PortMapper.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/cloud/OwnerKey.h"

namespace ambrel {

namespace {

auto& log() {
  static auto& logger = corvel::Log::host("cloud");
  return logger;
}

}  // namespace

AnywhereAccess::AnywhereAccess(HostContext& context,
                               std::shared_ptr<corvel::cloud::CloudDatabase> database, std::string macID,
                               Describe describe, Perform perform)
    : context_(context),
      cloud_(std::make_shared<corvel::cloud::CorvelCloud>(std::move(database))),
      macID_(std::move(macID)),
      describe_(std::move(describe)),
      perform_(std::move(perform)),
      way_(std::make_shared<Way>()) {
  way_->executor = context.executor;
}

AnywhereAccess::~AnywhereAccess() {
  stop();
  std::lock_guard lock(way_->mutex);
  way_->executor.reset();
}

std::function<void(std::function<void()>)> AnywhereAccess::backHere() {
  // The weak flag tells whether this object still lives when the work runs on the executor.
  std::weak_ptr<bool> alive = alive_;
  return [alive, way = way_](std::function<void()> work) {
    std::lock_guard lock(way->mutex);
    if (!way->executor) return;
    boost::asio::post(*way->executor, [alive, work = std::move(work)] {
      if (!alive.expired()) work();
    });
  };
}

void AnywhereAccess::usePortMapper(std::shared_ptr<PortMapper> mapper, std::uint16_t port) {
  portMapper_ = std::move(mapper);
  mappedPort_ = port;
}

void AnywhereAccess::useHolePunching(std::shared_ptr<NatHostPuncher> puncher) {
  puncher_ = std::move(puncher);
}

void AnywhereAccess::start() {
  if (running_) return;
  running_ = true;
  if (portMapper_) {
    portMapper_->setChangeHandler([this](const std::optional<PortMapper::External>&) {
      if (running_) publish();
    });
    portMapper_->start(mappedPort_);
  }
  if (puncher_) {
    puncher_->prepare([this](const std::optional<corvel::net::StunReflexive>& reflexive) {
      if (reflexive && running_) publish();
    });
  }
  {
    auto back = backHere();
    std::lock_guard lock(waker_->mutex);
    waker_->wake = [back, this] { back([this] { poll(); }); };
  }
  bringUp();
  scheduleTick();
}

void AnywhereAccess::stop() {
  if (!running_) return;
  running_ = false;
  timer_.reset();
  if (portMapper_) {
    portMapper_->setChangeHandler(nullptr);
    portMapper_->stop();
  }
  if (puncher_) puncher_->stop();
  {
    std::lock_guard lock(waker_->mutex);
    waker_->wake = nullptr;
  }
  // Queued work after this must not subscribe again.
  queue_.post([cloud = cloud_, setUp = setUp_] {
    cloud->unsubscribe();
    setUp->done = true;
  });
  perform_ = nullptr;
}

void AnywhereAccess::scheduleTick() {
  timer_ = context_.schedule(tickInterval, [this] {
    tick();
    if (running_) scheduleTick();
  });
}

double AnywhereAccess::wallSeconds() const {
  return std::chrono::duration<double>(context_.clock->wallNow().time_since_epoch()).count();
}

std::vector<std::string> AnywhereAccess::setUpOnQueue(corvel::cloud::CorvelCloud& cloud, SetUp& setUp,
                                                       const std::weak_ptr<Waker>& waker) {
  if (setUp.done) return {};
  std::vector<std::string> failures;
  if (auto ec = cloud.ensureZone()) failures.push_back(ec.message());
  auto signal = [waker] {
    auto w = waker.lock();
    if (!w) return;
    std::lock_guard lock(w->mutex);
    if (w->wake) w->wake();
  };
  if (auto ec = cloud.subscribeToChanges(signal)) failures.push_back(ec.message());
  setUp.done = failures.empty();
  return failures;
}

void AnywhereAccess::failed(const std::string& what, const std::string& error) {
  log().error("{}: {}", what, error);
  lastError_ = what + ": " + error;
}

void AnywhereAccess::bringUp() {
  auto back = backHere();
  std::weak_ptr<Waker> waker = waker_;
  queue_.post([cloud = cloud_, setUp = setUp_, back, waker, this] {
    setUp->done = false;
    auto failures = setUpOnQueue(*cloud, *setUp, waker);
    auto summary = cloud->accountSummary();
    auto account = cloud->accountStatus();
    back([this, failures, summary, account] {
      for (const auto& f : failures) {
        log().warn("iCloud setup failed: {}", f);
        lastError_ = "iCloud setup failed: " + f;
        status_ = "iCloud unavailable: " + f;
      }
      accountStatus_ = account;
      log().info("iCloud: {}", summary);
      publish();
      poll();
    });
  });
}

void AnywhereAccess::useOwnerSecret(std::optional<std::string> secret) {
  auto back = backHere();
  // Stretching the secret takes a moment: not on the executor.
  queue_.post([cloud = cloud_, back, secret = std::move(secret), this]() mutable {
    std::shared_ptr<const corvel::cloud::OwnerKey> key;
    if (secret) {
      if (auto derived = corvel::cloud::OwnerKey::derive(*secret)) {
        key = std::make_shared<corvel::cloud::OwnerKey>(std::move(*derived));
      }
      corvel::secureWipe(secret->data(), secret->size());
    }
    const bool sealing = key != nullptr;
    cloud->setOwnerKey(std::move(key));
    back([this, sealing] {
      hasOwnerKey_ = sealing;
      if (running_) publish();
    });
  });
}

void AnywhereAccess::tick() {
  poll();
  auto seconds = static_cast<long long>(std::floor(wallSeconds()));
  if (seconds % publishPeriodSeconds < tickInterval.count()) publish();
}

void AnywhereAccess::publish() {
  corvel::cloud::CloudMac mac = describe_ ? describe_() : corvel::cloud::CloudMac{};
  mac.id = macID_;
  if (portMapper_ && portMapper_->external()) {
    mac.publicAddress = portMapper_->external()->address;
    mac.publicPort = portMapper_->external()->port;
  }
  if (puncher_ && puncher_->reflexive()) {
    mac.natHost = puncher_->reflexive()->host;
    mac.natPort = puncher_->reflexive()->port;
  }
  mac.lastSeen = corvel::Date::fromTimePoint(context_.clock->wallNow());
  auto back = backHere();
  std::weak_ptr<Waker> waker = waker_;
  queue_.post([cloud = cloud_, setUp = setUp_, back, waker, mac, this] {
    auto failures = setUpOnQueue(*cloud, *setUp, waker);
    auto ec = cloud->publish(mac);
    const bool sealed = cloud->hasOwnerKey();
    back([this, ec, mac, failures, sealed]() mutable {
      if (ec) {
        // A zone that could not be made explains the failed save better than the save does.
        const std::string error = failures.empty() ? ec.message() : failures.front();
        status_ = "iCloud: " + error;
        failed("publish failed", error);
        return;
      }
      if (!sealed) {  // what went out
        mac.accessCode.reset();
        mac.identity.reset();
        mac.authToken.reset();
        mac.relayAlloc.reset();
      }
      published_ = mac;
      bool reachable = mac.publicAddress.has_value() || !mac.ipv6Addresses.empty();
      status_ = reachable ? "Reachable from anywhere" : "Home network only (router didn't open a port)";
      log().info("published: {} public {} ipv6 {}", status_, mac.publicAddress.value_or("–"),
                 mac.ipv6Addresses.size());
    });
  });
}

void AnywhereAccess::poll() {
  auto back = backHere();
  std::weak_ptr<Waker> waker = waker_;
  // A viewer that wants to come in through a punched hole has left its address (fresh: within
  // two minutes).
  const bool punching = puncher_ && puncher_->reflexive();
  const auto now = corvel::Date::fromTimePoint(context_.clock->wallNow());
  queue_.post([cloud = cloud_, setUp = setUp_, back, waker, punching, now, this] {
    (void)setUpOnQueue(*cloud, *setUp, waker);  // a failure shows in the fetch that follows
    auto fetched = cloud->fetchAll();
    auto account = cloud->accountStatus();
    auto viewer = punching ? cloud->viewerCandidate(macID_, viewerFreshness, now) : std::nullopt;
    back([this, fetched = std::move(fetched), account, viewer]() mutable {
      if (viewer && puncher_) puncher_->punch(*viewer);
      handle(std::move(fetched), account);
    });
  });
}

void AnywhereAccess::handle(
    corvel::Expected<corvel::cloud::CorvelCloud::Everything, std::error_code> fetched,
    corvel::cloud::AccountStatus account) {
  accountStatus_ = account;
  if (!fetched) {
    status_ = "iCloud: " + fetched.error().message();
    failed("commands failed", fetched.error().message());
    pollFailed_ = true;
    return;
  }
  // The database is back: show it now rather than at the next scheduled publish.
  if (std::exchange(pollFailed_, false)) publish();
  std::string names;
  for (const auto& m : fetched->macs) names += (names.empty() ? "" : ", ") + m.name;
  log().info("fetched {} Mac(s) [{}], {} command(s)", fetched->macs.size(), names,
             fetched->commands.size());
  const double now = wallSeconds() - corvel::Date::referenceDateUnixSeconds;
  std::vector<corvel::cloud::CloudCommand> ours;
  std::vector<corvel::cloud::CloudCommand> due;
  for (const auto& c : fetched->commands) {
    if (c.macID != macID_) continue;
    ours.push_back(c);
    if (handledCommands_.contains(c.id)) continue;
    if (now - c.createdAt.secondsSinceReferenceDate() >= commandLifetimeSeconds) continue;  // stale
    handledCommands_.insert(c.id);
    due.push_back(c);
  }
  // Executed, stale or already handled: every command for this computer goes.
  if (!ours.empty()) {
    queue_.post([cloud = cloud_, ours = std::move(ours)] {
      // Left for the next poll, which finds them handled and deletes them again.
      if (auto ec = cloud->remove(ours)) log().error("commands failed: {}", ec.message());
    });
  }
  // Last, and through a copy: the host's handling may reach back into this object.
  auto perform = perform_;
  for (const auto& c : due) {
    log().info("command {} from {}", corvel::net::rawValue(c.action), c.sender);
    if (perform) perform(c.action, c.sender);
  }
}

}  // namespace ambrel
