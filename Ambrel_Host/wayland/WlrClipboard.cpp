#include "Ambrel_Host/wayland/WlrClipboard.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/controller/ClipboardText.h"
#include "Ambrel_Host/wayland/WaylandConnection.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"
#include "wlr-data-control-unstable-v1-client-protocol.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("clipboard"); }

using SteadyClock = std::chrono::steady_clock;

// Most bytes read from another program's selection: anything longer isn't shared anyway.
constexpr std::size_t kReadLimit = 16u << 20;
// How long another program gets to hand over its text, and a reader to take ours.
constexpr auto kFetchTimeout = std::chrono::seconds(5);
constexpr auto kSendTimeout = std::chrono::seconds(10);

// The host's own selection carries this type too.
constexpr const char* kOwnType = "application/x-ambrel-host-selection";
// Text types in order of preference; the last is ISO Latin-1.
constexpr std::array<const char*, 5> kTextTypes = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain",
                                                   "TEXT", "STRING"};

bool setNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

struct WlrClipboard::Impl {
  std::unique_ptr<WaylandConnection> connection;
  wl_seat* seat = nullptr;
  zwlr_data_control_manager_v1* manager = nullptr;
  zwlr_data_control_device_v1* device = nullptr;
  corvel::UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
  std::thread thread;

  // Shared with read() and write().
  std::mutex mutex;
  std::int64_t count = 0;
  std::optional<std::string> text;
  bool pending = false;
  std::optional<std::shared_ptr<const std::string>> toOffer;  // written, not yet offered
  bool stopping = false;

  // The thread's own: offers announced and their types…
  std::map<zwlr_data_control_offer_v1*, std::set<std::string>> offers;
  // …the text being read from another program…
  struct Fetch {
    std::int64_t count = 0;
    corvel::UniqueFd fd;
    std::string bytes;
    bool latin1 = false;
    SteadyClock::time_point deadline;
  };
  std::optional<Fetch> fetch;
  // …and what this host offers, with the readers being served.
  zwlr_data_control_source_v1* source = nullptr;
  std::shared_ptr<const std::string> served;
  struct Send {
    corvel::UniqueFd fd;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    SteadyClock::time_point deadline;
  };
  std::deque<Send> sends;

  ~Impl() {
    if (thread.joinable()) {
      {
        std::lock_guard lock(mutex);
        stopping = true;
      }
      poke();
      thread.join();
    }
    for (auto& [offer, types] : offers) zwlr_data_control_offer_v1_destroy(offer);
    if (source != nullptr) zwlr_data_control_source_v1_destroy(source);
    if (device != nullptr) zwlr_data_control_device_v1_destroy(device);
    if (manager != nullptr) zwlr_data_control_manager_v1_destroy(manager);
    if (seat != nullptr) wl_seat_destroy(seat);
    if (connection) (void)connection->flush();
  }

  void poke() {
    const std::uint64_t one = 1;
    if (::write(wake.get(), &one, sizeof one) < 0) log().warn("couldn't wake the clipboard thread");
  }

  void selection(zwlr_data_control_offer_v1* offer);
  void offer(std::shared_ptr<const std::string> data);
  void run();
  void readFetch();
  void finishFetch();
  void writeSends();
};

namespace {

using Impl = WlrClipboard::Impl;

const zwlr_data_control_offer_v1_listener kOfferListener = {
    // offer: one type the selection comes in
    [](void* data, zwlr_data_control_offer_v1* offer, const char* type) {
      static_cast<Impl*>(data)->offers[offer].insert(type);
    },
};

const zwlr_data_control_source_v1_listener kSourceListener = {
    // send: a reader wants the text
    [](void* data, zwlr_data_control_source_v1* source, const char* type, std::int32_t fd) {
      auto* impl = static_cast<Impl*>(data);
      corvel::UniqueFd target(fd);
      if (source != impl->source || !impl->served || !setNonBlocking(fd)) return;
      auto text = impl->served;
      if (std::string_view(type) == "STRING") {
        text = std::make_shared<const std::string>(ClipboardText::toLatin1(*text));
      }
      impl->sends.push_back({std::move(target), std::move(text), 0, SteadyClock::now() + kSendTimeout});
    },
    // cancelled: another program took the clipboard
    [](void* data, zwlr_data_control_source_v1* source) {
      auto* impl = static_cast<Impl*>(data);
      zwlr_data_control_source_v1_destroy(source);
      if (source == impl->source) impl->source = nullptr;
    },
};

const zwlr_data_control_device_v1_listener kDeviceListener = {
    // data_offer: a new offer, whose types follow
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      auto* impl = static_cast<Impl*>(data);
      impl->offers[offer];
      zwlr_data_control_offer_v1_add_listener(offer, &kOfferListener, impl);
    },
    // selection
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      static_cast<Impl*>(data)->selection(offer);
    },
    // finished: the seat went away
    [](void* data, zwlr_data_control_device_v1* device) {
      auto* impl = static_cast<Impl*>(data);
      log().error("the clipboard's seat went away; no more clipboard changes");
      zwlr_data_control_device_v1_destroy(device);
      impl->device = nullptr;
    },
    // primary_selection: not shared
    [](void* data, zwlr_data_control_device_v1*, zwlr_data_control_offer_v1* offer) {
      auto* impl = static_cast<Impl*>(data);
      // (Only an offer not already let go as stale.)
      if (offer == nullptr || impl->offers.erase(offer) == 0) return;
      zwlr_data_control_offer_v1_destroy(offer);
    },
};

}  // namespace

void WlrClipboard::Impl::selection(zwlr_data_control_offer_v1* offer) {
  std::set<std::string> types;
  if (offer != nullptr) {
    types = std::move(offers[offer]);
    offers.erase(offer);
  }
  // Offers other than this one are stale now.
  for (auto& [stale, unused] : offers) zwlr_data_control_offer_v1_destroy(stale);
  offers.clear();
  if (types.count(kOwnType) != 0) {
    // This host's own selection: counted when it was written.
    zwlr_data_control_offer_v1_destroy(offer);
    return;
  }
  fetch.reset();
  const char* chosen = nullptr;
  for (const char* type : kTextTypes) {
    if (types.count(type) != 0) {
      chosen = type;
      break;
    }
  }
  std::int64_t change = 0;
  {
    std::lock_guard lock(mutex);
    change = ++count;
    text.reset();
    pending = chosen != nullptr;
  }
  if (chosen != nullptr) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      log().error("no pipe for the clipboard's text");
    } else {
      corvel::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
      zwlr_data_control_offer_v1_receive(offer, chosen, writeEnd.get());
      fetch = Fetch{change, std::move(readEnd), {}, std::string_view(chosen) == "STRING",
                    SteadyClock::now() + kFetchTimeout};
    }
    if (!fetch) {
      std::lock_guard lock(mutex);
      pending = false;
    }
  }
  if (offer != nullptr) zwlr_data_control_offer_v1_destroy(offer);
}

void WlrClipboard::Impl::offer(std::shared_ptr<const std::string> data) {
  if (device == nullptr) return;
  if (source != nullptr) zwlr_data_control_source_v1_destroy(source);
  sends.clear();
  served = std::move(data);
  source = zwlr_data_control_manager_v1_create_data_source(manager);
  zwlr_data_control_source_v1_add_listener(source, &kSourceListener, this);
  zwlr_data_control_source_v1_offer(source, kOwnType);
  for (const char* type : kTextTypes) zwlr_data_control_source_v1_offer(source, type);
  zwlr_data_control_device_v1_set_selection(device, source);
}

void WlrClipboard::Impl::readFetch() {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fetch->fd.get(), buffer, sizeof buffer);
    if (n > 0) {
      const auto room = kReadLimit - std::min(kReadLimit, fetch->bytes.size());
      fetch->bytes.append(buffer, std::min(static_cast<std::size_t>(n), room));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    finishFetch();  // the end, or an error: what came is what there is
    return;
  }
}

void WlrClipboard::Impl::finishFetch() {
  const auto bytes = corvel::asBytes(fetch->bytes);
  auto result = fetch->latin1 ? ClipboardText::fromLatin1(bytes) : ClipboardText::fromUTF8(bytes);
  {
    std::lock_guard lock(mutex);
    if (fetch->count == count) {
      text = std::move(result);
      pending = false;
    }
  }
  fetch.reset();
}

void WlrClipboard::Impl::writeSends() {
  for (auto it = sends.begin(); it != sends.end();) {
    bool done = false;
    for (;;) {
      const auto& data = *it->data;
      if (it->offset >= data.size()) {
        done = true;
        break;
      }
      const ssize_t n = ::write(it->fd.get(), data.data() + it->offset, data.size() - it->offset);
      if (n > 0) {
        it->offset += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno == EAGAIN) break;
      done = true;  // the reader went away
      break;
    }
    if (done || SteadyClock::now() > it->deadline) {
      it = sends.erase(it);
    } else {
      ++it;
    }
  }
}

void WlrClipboard::Impl::run() {
  for (;;) {
    std::vector<pollfd> fds;
    fds.push_back({wake.get(), POLLIN, 0});
    if (fetch) fds.push_back({fetch->fd.get(), POLLIN, 0});
    for (const auto& s : sends) fds.push_back({s.fd.get(), POLLOUT, 0});
    const bool waiting = fetch || !sends.empty();
    if (!connection->pump(std::chrono::milliseconds(waiting ? 500 : -1), fds)) {
      log().error("the compositor closed the connection; the clipboard is no longer shared");
      return;
    }
    std::uint64_t woken = 0;
    while (::read(wake.get(), &woken, sizeof woken) > 0) {
    }
    std::optional<std::shared_ptr<const std::string>> written;
    {
      std::lock_guard lock(mutex);
      if (stopping) return;
      written.swap(toOffer);
    }
    if (written) offer(std::move(*written));
    if (fetch && fds.size() > 1 && fds[1].fd == fetch->fd.get() && fds[1].revents != 0) readFetch();
    if (fetch && SteadyClock::now() > fetch->deadline) {
      log().warn("the clipboard's owner took too long to hand over its text");
      finishFetch();
    }
    writeSends();
  }
}

corvel::Expected<std::shared_ptr<WlrClipboard>, std::error_code> WlrClipboard::open(const std::string& display) {
  auto connection = WaylandConnection::open(display);
  if (!connection) return corvel::Unexpected{connection.error()};
  auto impl = std::make_unique<Impl>();
  impl->connection = std::move(*connection);
  auto& c = *impl->connection;
  impl->seat = static_cast<wl_seat*>(c.bindFirst(&wl_seat_interface, 1));
  impl->manager =
      static_cast<zwlr_data_control_manager_v1*>(c.bindFirst(&zwlr_data_control_manager_v1_interface, 2));
  if (impl->seat == nullptr || impl->manager == nullptr) {
    return corvel::Unexpected{std::error_code(CaptureErrc::extensionMissing)};
  }
  impl->device = zwlr_data_control_manager_v1_get_data_device(impl->manager, impl->seat);
  zwlr_data_control_device_v1_add_listener(impl->device, &kDeviceListener, impl.get());
  if (!c.roundtrip()) return corvel::Unexpected{c.error()};
  auto* raw = impl.get();
  impl->thread = std::thread([raw] { raw->run(); });
  return std::make_shared<WlrClipboard>(std::move(impl));
}

WlrClipboard::WlrClipboard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

WlrClipboard::~WlrClipboard() = default;

Clipboard::Snapshot WlrClipboard::read() {
  std::lock_guard lock(impl_->mutex);
  return {impl_->count, impl_->text, impl_->pending};
}

std::int64_t WlrClipboard::write(std::string text) {
  auto data = std::make_shared<const std::string>(std::move(text));
  std::int64_t change = 0;
  {
    std::lock_guard lock(impl_->mutex);
    change = ++impl_->count;
    impl_->text = *data;
    impl_->pending = false;
    impl_->toOffer = std::move(data);
  }
  impl_->poke();
  return change;
}

}  // namespace ambrel
