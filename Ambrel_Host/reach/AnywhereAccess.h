#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "CorvelKit/base/Clock.h"
#include "CorvelKit/cloud/CloudDatabase.h"
#include "CorvelKit/base/SerialQueue.h"
#include "CorvelKit/cloud/CloudMac.h"
#include "CorvelKit/cloud/CorvelCloud.h"
#include "CorvelKit/net/CloudAction.h"

namespace ambrel {

struct HostContext;
class PortMapper;
class NatHostPuncher;

// The host's presence in the owner's cloud database: it publishes this computer's CloudMac record
// at start and about every five minutes, and polls (every 30 seconds and whenever the database
// signals a change) for commands addressed to it, which it performs once each and deletes.
// Commands older than ten minutes are deleted without being performed. With the owner secret the
// record also carries the sealed fields (access code, identity, owner token).
//
// A database that cannot be reached or set up shows in the status and the last error, and every
// tick tries again: the set-up first, then the poll; the first poll that works publishes at once.
//
// Lives on the host's executor. The database calls block, so they run on a serial queue of their
// own and their results come back to the executor.
class AnywhereAccess {
 public:
  static constexpr std::chrono::seconds tickInterval{30};
  static constexpr double commandLifetimeSeconds = 600;
  static constexpr long long publishPeriodSeconds = 300;
  static constexpr double viewerFreshness = 120;

  // What the host does with a command; `sender` names the device that sent it.
  using Perform = std::function<void(corvel::net::CloudAction action, const std::string& sender)>;
  // This computer as it should be published (name, model, addresses); id and time are filled in.
  using Describe = std::function<corvel::cloud::CloudMac()>;

  AnywhereAccess(HostContext& context, std::shared_ptr<corvel::cloud::CloudDatabase> database,
                 std::string macID, Describe describe, Perform perform);
  ~AnywhereAccess();
  AnywhereAccess(const AnywhereAccess&) = delete;
  AnywhereAccess& operator=(const AnywhereAccess&) = delete;

  // The router's forwarding of `port` (the listening one) goes into the record as its public
  // endpoint, and every change of it is published at once. Set before start().
  void usePortMapper(std::shared_ptr<PortMapper> mapper, std::uint16_t port);
  // Hole punching: the puncher's public address goes into the record, and each poll that finds a
  // fresh viewer candidate (less than two minutes old) punches toward it. Set before start().
  void useHolePunching(std::shared_ptr<NatHostPuncher> puncher);

  void start();
  void stop();
  // Reads the commands now (also what a change signal of the database does).
  void poll();
  void publish();

  const std::string& macID() const { return macID_; }
  // The owner secret, or none: the key derived from it seals the private fields from the next
  // publish on, which follows at once. Nothing of the secret is kept here but the key.
  void useOwnerSecret(std::optional<std::string> secret);

  // For the interface: "Starting…", then the outcome of the last set-up, publish or failed poll.
  const std::string& status() const { return status_; }
  // The record as last published (its sealed fields as they were before sealing), if any was.
  const std::optional<corvel::cloud::CloudMac>& published() const { return published_; }
  // The last failure of any database operation, as the log showed it.
  const std::optional<std::string>& lastError() const { return lastError_; }
  // As the last poll or set-up found it.
  corvel::cloud::AccountStatus accountStatus() const { return accountStatus_; }
  bool hasOwnerKey() const { return hasOwnerKey_; }

 private:
  // Lets the database's change signal reach the executor until stop() cuts it off.
  struct Waker {
    std::mutex mutex;
    std::function<void()> wake;
  };
  // The way back from the queue to the executor, closed when this object goes: work finishing
  // on the queue afterwards must not touch the executor (it may be gone with its owner).
  struct Way {
    std::mutex mutex;
    std::optional<corvel::Executor> executor;
  };
  // Whether the zone and the change signal are in place; only the queue touches it.
  struct SetUp {
    bool done = false;
  };

  // On the queue: sets up the zone and the change signal unless done; the failures, if any.
  static std::vector<std::string> setUpOnQueue(corvel::cloud::CorvelCloud& cloud, SetUp& setUp,
                                               const std::weak_ptr<Waker>& waker);
  void failed(const std::string& what, const std::string& error);

  void bringUp();
  void tick();
  void scheduleTick();
  void handle(corvel::Expected<corvel::cloud::CorvelCloud::Everything, std::error_code> fetched,
              corvel::cloud::AccountStatus account);
  double wallSeconds() const;
  // Posts `work` back to the executor; it runs only while this object lives.
  std::function<void(std::function<void()>)> backHere();

  HostContext& context_;
  const std::shared_ptr<corvel::cloud::CorvelCloud> cloud_;
  const std::string macID_;
  Describe describe_;
  Perform perform_;
  corvel::SerialQueue queue_{"cloud"};
  std::shared_ptr<Waker> waker_ = std::make_shared<Waker>();
  std::shared_ptr<Way> way_;
  std::shared_ptr<SetUp> setUp_ = std::make_shared<SetUp>();
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
  std::unique_ptr<corvel::Timer> timer_;
  std::shared_ptr<PortMapper> portMapper_;
  std::uint16_t mappedPort_ = 0;
  std::shared_ptr<NatHostPuncher> puncher_;
  std::set<std::string> handledCommands_;
  std::string status_ = "Starting…";
  std::optional<corvel::cloud::CloudMac> published_;
  std::optional<std::string> lastError_;
  corvel::cloud::AccountStatus accountStatus_ = corvel::cloud::AccountStatus::undetermined;
  bool hasOwnerKey_ = false;
  bool pollFailed_ = false;
  bool running_ = false;
};

}  // namespace ambrel
