#include "Ambrel_Host/controller/X11Clipboard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "Ambrel_Host/controller/ClipboardText.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/base/UniqueFd.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("clipboard"); }

using SteadyClock = std::chrono::steady_clock;

// Most bytes read from another program's selection: anything longer isn't shared anyway.
constexpr std::size_t kReadLimit = 16u << 20;
// Text above this goes out in INCR pieces of this size.
constexpr std::size_t kIncrPiece = 256u << 10;
// How long another program gets to hand over its text, and a requestor to take a piece.
constexpr auto kFetchTimeout = std::chrono::seconds(5);
constexpr auto kSendTimeout = std::chrono::seconds(10);

struct Free {
  void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, Free>;

struct Disconnect {
  void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
  Reply<xcb_intern_atom_reply_t> reply(
      xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
  return reply ? reply->atom : XCB_ATOM_NONE;
}

}  // namespace

struct X11Clipboard::Impl {
  std::unique_ptr<xcb_connection_t, Disconnect> connection;
  xcb_window_t window = 0;
  std::uint8_t xfixesEvent = 0;
  struct {
    xcb_atom_t clipboard, utf8, text, string, targets, incr, property;
  } atom{};
  corvel::UniqueFd wake;  // written to stop the thread
  std::thread thread;

  // Shared with read() and write().
  std::mutex mutex;
  std::int64_t count = 0;
  std::optional<std::string> text;
  bool pending = false;
  std::shared_ptr<const std::string> served;  // what this program offers while it owns the selection

  // The thread's own: the text being read from another owner…
  struct Fetch {
    std::int64_t count = 0;
    xcb_timestamp_t time = 0;
    std::size_t target = 0;  // index into the targets tried
    bool incremental = false;
    std::string data;
    SteadyClock::time_point deadline;
  };
  std::optional<Fetch> fetch;
  // …and the INCR transfers to requestors, by (requestor, property).
  struct Send {
    xcb_atom_t type = 0;
    std::shared_ptr<const std::string> data;
    std::size_t offset = 0;
    SteadyClock::time_point deadline;
  };
  std::map<std::pair<xcb_window_t, xcb_atom_t>, Send> sends;

  xcb_connection_t* c() const { return connection.get(); }

  void run();
  void handle(xcb_generic_event_t* event);
  void ownerChanged(const xcb_xfixes_selection_notify_event_t& e);
  void askFor(std::size_t target);
  void converted(const xcb_selection_notify_event_t& e);
  void propertyChanged(const xcb_property_notify_event_t& e);
  void finishFetch(std::optional<std::string> result);
  void serve(const xcb_selection_request_event_t& e);
  void sendPiece(xcb_window_t requestor, xcb_atom_t property);
  void expire();
};

// ---- Creation and the thread -------------------------------------------------------------------

corvel::Expected<std::shared_ptr<X11Clipboard>, std::error_code> X11Clipboard::create(
    const std::string& displayName) {
  auto impl = std::make_unique<Impl>();
  impl->connection.reset(xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), nullptr));
  auto* c = impl->c();
  if (xcb_connection_has_error(c)) {
    return corvel::Unexpected{std::make_error_code(std::errc::connection_refused)};
  }
  const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
  if (xfixes == nullptr || !xfixes->present) {
    return corvel::Unexpected{std::make_error_code(std::errc::function_not_supported)};
  }
  impl->xfixesEvent = xfixes->first_event;
  Reply<xcb_xfixes_query_version_reply_t>(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));

  auto& a = impl->atom;
  a.clipboard = intern(c, "CLIPBOARD");
  a.utf8 = intern(c, "UTF8_STRING");
  a.text = intern(c, "TEXT");
  a.string = XCB_ATOM_STRING;
  a.targets = intern(c, "TARGETS");
  a.incr = intern(c, "INCR");
  a.property = intern(c, "AMBREL_CLIPBOARD");

  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  impl->window = xcb_generate_id(c);
  const std::uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_create_window(c, XCB_COPY_FROM_PARENT, impl->window, screen->root, 0, 0, 1, 1, 0,
                    XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
  xcb_xfixes_select_selection_input(c, impl->window, a.clipboard,
                                    XCB_XFIXES_SELECTION_EVENT_MASK_SET_SELECTION_OWNER |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_WINDOW_DESTROY |
                                        XCB_XFIXES_SELECTION_EVENT_MASK_SELECTION_CLIENT_CLOSE);
  xcb_flush(c);

  impl->wake.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!impl->wake) return corvel::Unexpected{std::error_code(errno, std::system_category())};
  auto* raw = impl.get();
  impl->thread = std::thread([raw] { raw->run(); });
  return std::make_shared<X11Clipboard>(std::move(impl));
}

X11Clipboard::X11Clipboard(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

X11Clipboard::~X11Clipboard() {
  const std::uint64_t one = 1;
  (void)!::write(impl_->wake.get(), &one, sizeof one);
  if (impl_->thread.joinable()) impl_->thread.join();
}

void X11Clipboard::Impl::run() {
  const int fd = xcb_get_file_descriptor(c());
  for (;;) {
    while (auto* event = xcb_poll_for_event(c())) {
      handle(event);
      std::free(event);
    }
    if (xcb_connection_has_error(c())) {
      log().warn("the X connection of the clipboard broke; clipboard sharing stops");
      return;
    }
    expire();
    xcb_flush(c());
    std::array<pollfd, 2> fds{{{fd, POLLIN, 0}, {wake.get(), POLLIN, 0}}};
    if (::poll(fds.data(), fds.size(), 250) < 0 && errno != EINTR) return;
    if (fds[1].revents != 0) return;
  }
}

void X11Clipboard::Impl::handle(xcb_generic_event_t* event) {
  const auto type = event->response_type & 0x7F;
  if (type == xfixesEvent + XCB_XFIXES_SELECTION_NOTIFY) {
    ownerChanged(*reinterpret_cast<xcb_xfixes_selection_notify_event_t*>(event));
  } else if (type == XCB_SELECTION_NOTIFY) {
    converted(*reinterpret_cast<xcb_selection_notify_event_t*>(event));
  } else if (type == XCB_PROPERTY_NOTIFY) {
    propertyChanged(*reinterpret_cast<xcb_property_notify_event_t*>(event));
  } else if (type == XCB_SELECTION_REQUEST) {
    serve(*reinterpret_cast<xcb_selection_request_event_t*>(event));
  }
}

// ---- The interface ------------------------------------------------------------------------------

Clipboard::Snapshot X11Clipboard::read() {
  std::lock_guard lock(impl_->mutex);
  return {impl_->count, impl_->text, impl_->pending};
}

std::int64_t X11Clipboard::write(std::string text) {
  std::int64_t count = 0;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->served = std::make_shared<const std::string>(text);
    impl_->text = std::move(text);
    impl_->pending = false;
    // Taking the selection is a change like any other; XFixes' word of it isn't counted again.
    count = ++impl_->count;
  }
  auto* c = impl_->c();
  xcb_set_selection_owner(c, impl_->window, impl_->atom.clipboard, XCB_CURRENT_TIME);
  xcb_flush(c);
  return count;
}

// ---- Reading another program's text -------------------------------------------------------------

void X11Clipboard::Impl::ownerChanged(const xcb_xfixes_selection_notify_event_t& e) {
  if (e.selection != atom.clipboard || e.owner == window) return;
  std::int64_t now = 0;
  {
    std::lock_guard lock(mutex);
    now = ++count;
    text.reset();
    pending = e.owner != XCB_NONE;
  }
  fetch.reset();
  if (e.owner == XCB_NONE) return;
  fetch = Fetch{now, e.selection_timestamp, 0, false, {}, SteadyClock::now() + kFetchTimeout};
  askFor(0);
}

void X11Clipboard::Impl::askFor(std::size_t target) {
  const xcb_atom_t targets[] = {atom.utf8, atom.string};
  if (target >= std::size(targets)) return finishFetch(std::nullopt);
  fetch->target = target;
  xcb_delete_property(c(), window, atom.property);
  xcb_convert_selection(c(), window, atom.clipboard, targets[target], atom.property, fetch->time);
  xcb_flush(c());
}

void X11Clipboard::Impl::converted(const xcb_selection_notify_event_t& e) {
  if (!fetch || e.requestor != window || e.selection != atom.clipboard || e.time != fetch->time) return;
  if (e.property == XCB_NONE) return askFor(fetch->target + 1);
  const auto words = static_cast<std::uint32_t>(kReadLimit / 4 + 1);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c(), xcb_get_property(c(), 0, window, atom.property, XCB_GET_PROPERTY_TYPE_ANY, 0, words), nullptr));
  if (!reply) return finishFetch(std::nullopt);
  if (reply->type == atom.incr) {
    // The owner sends pieces, each after the last one was taken: deleting asks for the first.
    fetch->incremental = true;
    xcb_delete_property(c(), window, atom.property);
    xcb_flush(c());
    return;
  }
  xcb_delete_property(c(), window, atom.property);
  if (reply->bytes_after > 0) return finishFetch(std::nullopt);  // too long to share
  fetch->data.assign(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
  finishFetch(std::move(fetch->data));
}

void X11Clipboard::Impl::propertyChanged(const xcb_property_notify_event_t& e) {
  if (e.state == XCB_PROPERTY_DELETE) {
    if (sends.contains({e.window, e.atom})) sendPiece(e.window, e.atom);
    return;
  }
  if (!fetch || !fetch->incremental || e.window != window || e.atom != atom.property) return;
  const auto words = static_cast<std::uint32_t>(kReadLimit / 4 + 1);
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(
      c(), xcb_get_property(c(), 1, window, atom.property, XCB_GET_PROPERTY_TYPE_ANY, 0, words), nullptr));
  xcb_flush(c());
  if (!reply) return finishFetch(std::nullopt);
  const auto length = static_cast<std::size_t>(xcb_get_property_value_length(reply.get()));
  if (length == 0) return finishFetch(std::move(fetch->data));
  if (fetch->data.size() + length > kReadLimit) return finishFetch(std::nullopt);
  fetch->data.append(static_cast<const char*>(xcb_get_property_value(reply.get())), length);
  fetch->deadline = SteadyClock::now() + kFetchTimeout;
}

void X11Clipboard::Impl::finishFetch(std::optional<std::string> result) {
  if (!fetch) return;
  if (result) {
    const corvel::ByteView bytes = corvel::asBytes(*result);
    result = fetch->target == 0 ? ClipboardText::fromUTF8(bytes) : ClipboardText::fromLatin1(bytes);
  }
  {
    std::lock_guard lock(mutex);
    if (fetch->count == count) {
      text = std::move(result);
      pending = false;
    }
  }
  fetch.reset();
}

// ---- Serving this program's text ----------------------------------------------------------------

void X11Clipboard::Impl::serve(const xcb_selection_request_event_t& e) {
  // Old clients name no property: the target stands for it.
  const xcb_atom_t property = e.property == XCB_NONE ? e.target : e.property;
  std::shared_ptr<const std::string> data;
  {
    std::lock_guard lock(mutex);
    data = served;
  }
  bool answered = false;
  if (data && e.selection == atom.clipboard) {
    if (e.target == atom.targets) {
      const xcb_atom_t targets[] = {atom.targets, atom.utf8, atom.text, atom.string};
      xcb_change_property(c(), XCB_PROP_MODE_REPLACE, e.requestor, property, XCB_ATOM_ATOM, 32,
                          std::size(targets), targets);
      answered = true;
    } else if (e.target == atom.utf8 || e.target == atom.text || e.target == atom.string) {
      xcb_atom_t type = atom.utf8;
      if (e.target == atom.string) {
        data = std::make_shared<const std::string>(ClipboardText::toLatin1(*data));
        type = atom.string;
      }
      if (data->size() > kIncrPiece) {
        const std::uint32_t size = static_cast<std::uint32_t>(std::min<std::size_t>(data->size(), UINT32_MAX));
        const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
        xcb_change_window_attributes(c(), e.requestor, XCB_CW_EVENT_MASK, &mask);
        xcb_change_property(c(), XCB_PROP_MODE_REPLACE, e.requestor, property, atom.incr, 32, 1, &size);
        sends[{e.requestor, property}] = Send{type, data, 0, SteadyClock::now() + kSendTimeout};
      } else {
        xcb_change_property(c(), XCB_PROP_MODE_REPLACE, e.requestor, property, type, 8,
                            static_cast<std::uint32_t>(data->size()), data->data());
      }
      answered = true;
    }
  }
  xcb_selection_notify_event_t notify{};
  notify.response_type = XCB_SELECTION_NOTIFY;
  notify.time = e.time;
  notify.requestor = e.requestor;
  notify.selection = e.selection;
  notify.target = e.target;
  notify.property = answered ? property : XCB_NONE;
  std::array<char, 32> raw{};
  std::memcpy(raw.data(), &notify, std::min(sizeof notify, raw.size()));
  xcb_send_event(c(), 0, e.requestor, XCB_EVENT_MASK_NO_EVENT, raw.data());
  xcb_flush(c());
}

// The requestor took the last piece (or the INCR announcement): the next one, and after the
// last a piece of nothing that ends the transfer.
void X11Clipboard::Impl::sendPiece(xcb_window_t requestor, xcb_atom_t property) {
  auto it = sends.find({requestor, property});
  auto& s = it->second;
  const auto n = std::min(kIncrPiece, s.data->size() - s.offset);
  xcb_change_property(c(), XCB_PROP_MODE_REPLACE, requestor, property, s.type, 8,
                      static_cast<std::uint32_t>(n), s.data->data() + s.offset);
  xcb_flush(c());
  if (n == 0) {
    sends.erase(it);
    return;
  }
  s.offset += n;
  s.deadline = SteadyClock::now() + kSendTimeout;
}

void X11Clipboard::Impl::expire() {
  const auto now = SteadyClock::now();
  if (fetch && now > fetch->deadline) {
    log().info("the clipboard's owner didn't hand over its text in time");
    finishFetch(std::nullopt);
  }
  std::erase_if(sends, [&](const auto& entry) { return now > entry.second.deadline; });
}

}  // namespace ambrel
