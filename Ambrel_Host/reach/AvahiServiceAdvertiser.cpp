#include "Ambrel_Host/reach/AvahiServiceAdvertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>

#include <optional>
#include <string>

#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("net"); }
}  // namespace

struct AvahiServiceAdvertiser::Impl {
  AvahiThreadedPoll* poll = nullptr;
  AvahiClient* client = nullptr;
  AvahiEntryGroup* group = nullptr;
  struct Service {
    std::string name, type;
    std::uint16_t port;
  };
  std::optional<Service> service;  // guarded by the threaded poll's lock
  bool loggedMissingDaemon = false;

  bool ensureClient();

  // All of these run on Avahi's thread, or with its lock held.
  void registerService() {
    if (!service || client == nullptr || avahi_client_get_state(client) != AVAHI_CLIENT_S_RUNNING) {
      return;
    }
    if (group == nullptr) {
      group = avahi_entry_group_new(client, &Impl::groupCallback, this);
      if (group == nullptr) {
        log().error("couldn't create the advertisement: {}",
                    avahi_strerror(avahi_client_errno(client)));
        return;
      }
    }
    avahi_entry_group_reset(group);
    int rc = avahi_entry_group_add_service(group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                           AvahiPublishFlags(0), service->name.c_str(),
                                           service->type.c_str(), nullptr, nullptr, service->port,
                                           nullptr);
    if (rc == AVAHI_ERR_COLLISION) {
      rename();
      return;
    }
    if (rc < 0 || (rc = avahi_entry_group_commit(group)) < 0) {
      log().error("couldn't advertise {}: {}", service->type, avahi_strerror(rc));
      return;
    }
    log().info("advertising \"{}\" as {} on port {}", service->name, service->type, service->port);
  }

  void rename() {
    char* alternative = avahi_alternative_service_name(service->name.c_str());
    log().info("service name \"{}\" is taken; trying \"{}\"", service->name, alternative);
    service->name = alternative;
    avahi_free(alternative);
    registerService();
  }

  void withdraw() {
    if (group != nullptr) avahi_entry_group_reset(group);
  }

  static void groupCallback(AvahiEntryGroup* g, AvahiEntryGroupState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    self->group = g;
    if (state == AVAHI_ENTRY_GROUP_COLLISION && self->service) self->rename();
    if (state == AVAHI_ENTRY_GROUP_FAILURE) {
      log().error("advertisement failed: {}",
                  avahi_strerror(avahi_client_errno(avahi_entry_group_get_client(g))));
    }
  }

  static void clientCallback(AvahiClient* c, AvahiClientState state, void* userdata) {
    auto* self = static_cast<Impl*>(userdata);
    self->client = c;
    switch (state) {
      case AVAHI_CLIENT_S_RUNNING:
        self->loggedMissingDaemon = false;
        self->registerService();
        break;
      case AVAHI_CLIENT_S_COLLISION:
      case AVAHI_CLIENT_S_REGISTERING:
        if (self->group != nullptr) avahi_entry_group_reset(self->group);
        break;
      case AVAHI_CLIENT_CONNECTING:
        if (!self->loggedMissingDaemon) {
          log().warn("no Avahi daemon is running; the host is not advertised until one starts");
          self->loggedMissingDaemon = true;
        }
        break;
      case AVAHI_CLIENT_FAILURE:
        log().warn("Avahi client failed: {}", avahi_strerror(avahi_client_errno(c)));
        break;
    }
  }
};

AvahiServiceAdvertiser::AvahiServiceAdvertiser() : impl_(std::make_unique<Impl>()) {
  impl_->poll = avahi_threaded_poll_new();
  if (impl_->poll == nullptr) {
    log().error("couldn't start Avahi's event loop; the host is not advertised");
    return;
  }
  avahi_threaded_poll_start(impl_->poll);
}

// With the poll's lock held. Without a system bus the client can't even be created; each new
// advertisement tries again, so a daemon that starts later is still used.
bool AvahiServiceAdvertiser::Impl::ensureClient() {
  if (client != nullptr) return true;
  int error = 0;
  // NO_FAIL: once created, the client waits for a daemon that restarts or isn't up yet.
  client = avahi_client_new(avahi_threaded_poll_get(poll), AVAHI_CLIENT_NO_FAIL,
                            &Impl::clientCallback, this, &error);
  if (client == nullptr && !loggedMissingDaemon) {
    log().warn("couldn't reach Avahi ({}); the host is not advertised", avahi_strerror(error));
    loggedMissingDaemon = true;
  }
  return client != nullptr;
}

AvahiServiceAdvertiser::~AvahiServiceAdvertiser() {
  if (impl_->poll == nullptr) return;
  avahi_threaded_poll_stop(impl_->poll);
  if (impl_->client != nullptr) avahi_client_free(impl_->client);  // frees the group as well
  avahi_threaded_poll_free(impl_->poll);
}

void AvahiServiceAdvertiser::advertise(const std::string& name, const std::string& type,
                                       std::uint16_t port) {
  if (impl_->poll == nullptr) return;
  avahi_threaded_poll_lock(impl_->poll);
  impl_->service = Impl::Service{name, type, port};
  if (impl_->ensureClient()) impl_->registerService();
  avahi_threaded_poll_unlock(impl_->poll);
}

void AvahiServiceAdvertiser::stop() {
  if (impl_->poll == nullptr) return;
  avahi_threaded_poll_lock(impl_->poll);
  impl_->service.reset();
  impl_->withdraw();
  avahi_threaded_poll_unlock(impl_->poll);
}

std::unique_ptr<ServiceAdvertiser> ServiceAdvertiser::create() {
  return std::make_unique<AvahiServiceAdvertiser>();
}

}  // namespace ambrel
