#include "tests/support/SelectionClient.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <thread>

namespace corvel::test {

namespace {

struct Pending {
  Atom type;
  std::string data;
  std::size_t offset = 0;
};

// Waits for an event of `type` on `window`, up to the deadline.
bool waitFor(Display* d, Window window, int type, XEvent& event, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    if (XCheckTypedWindowEvent(d, window, type, &event)) return true;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd fd{ConnectionNumber(d), POLLIN, 0};
    ::poll(&fd, 1, static_cast<int>(std::min<long>(left.count(), 50)));
  }
}

}  // namespace

struct SelectionClient::Impl {
  // The owner's connection, driven by its thread; the paster's, by the caller.
  Display* owner = nullptr;
  Display* paster = nullptr;
  Window ownerWindow = 0, pasterWindow = 0;
  Atom clipboard = 0, utf8 = 0, targets = 0, incr = 0, property = 0;
  std::thread thread;
  std::atomic<bool> stop{false};

  std::mutex mutex;  // guards the two below
  std::string text;
  std::size_t incrAbove = 0;
  std::map<std::pair<Window, Atom>, Pending> pending;  // the thread's own

  void serve();
  void request(const XSelectionRequestEvent& e);
};

SelectionClient::SelectionClient(const std::string& displayName) : impl_(std::make_unique<Impl>()) {
  auto& m = *impl_;
  XInitThreads();
  m.owner = XOpenDisplay(displayName.c_str());
  m.paster = XOpenDisplay(displayName.c_str());
  if (m.owner == nullptr || m.paster == nullptr) return;
  m.clipboard = XInternAtom(m.owner, "CLIPBOARD", False);
  m.utf8 = XInternAtom(m.owner, "UTF8_STRING", False);
  m.targets = XInternAtom(m.owner, "TARGETS", False);
  m.incr = XInternAtom(m.owner, "INCR", False);
  m.property = XInternAtom(m.owner, "TEST_PASTE", False);
  m.ownerWindow = XCreateSimpleWindow(m.owner, DefaultRootWindow(m.owner), 0, 0, 1, 1, 0, 0, 0);
  m.pasterWindow = XCreateSimpleWindow(m.paster, DefaultRootWindow(m.paster), 0, 0, 1, 1, 0, 0, 0);
  XSelectInput(m.paster, m.pasterWindow, PropertyChangeMask);
  XSync(m.owner, False);
  XSync(m.paster, False);
  m.thread = std::thread([&m] { m.serve(); });
}

SelectionClient::~SelectionClient() {
  auto& m = *impl_;
  m.stop = true;
  if (m.thread.joinable()) m.thread.join();
  if (m.owner != nullptr) XCloseDisplay(m.owner);
  if (m.paster != nullptr) XCloseDisplay(m.paster);
}

bool SelectionClient::isConnected() const { return impl_->owner != nullptr && impl_->paster != nullptr; }

void SelectionClient::copy(std::string text, std::size_t incrAbove) {
  auto& m = *impl_;
  {
    std::lock_guard lock(m.mutex);
    m.text = std::move(text);
    m.incrAbove = incrAbove;
  }
  // Xlib isn't shared between threads here: the thread takes the selection.
  XLockDisplay(m.owner);
  XSetSelectionOwner(m.owner, m.clipboard, m.ownerWindow, CurrentTime);
  XFlush(m.owner);
  XUnlockDisplay(m.owner);
}

void SelectionClient::Impl::serve() {
  while (!stop) {
    XLockDisplay(owner);
    while (XPending(owner) > 0) {
      XEvent e;
      XNextEvent(owner, &e);
      if (e.type == SelectionRequest) {
        request(e.xselectionrequest);
      } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
        auto it = pending.find({e.xproperty.window, e.xproperty.atom});
        if (it == pending.end()) continue;
        auto& p = it->second;
        const auto n = std::min<std::size_t>(16 * 1024, p.data.size() - p.offset);
        XChangeProperty(owner, e.xproperty.window, e.xproperty.atom, p.type, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(p.data.data() + p.offset), static_cast<int>(n));
        p.offset += n;
        if (n == 0) pending.erase(it);
      }
    }
    XFlush(owner);
    XUnlockDisplay(owner);
    pollfd fd{ConnectionNumber(owner), POLLIN, 0};
    ::poll(&fd, 1, 20);
  }
}

void SelectionClient::Impl::request(const XSelectionRequestEvent& e) {
  XSelectionEvent reply{};
  reply.type = SelectionNotify;
  reply.requestor = e.requestor;
  reply.selection = e.selection;
  reply.target = e.target;
  reply.time = e.time;
  reply.property = None;
  std::string data;
  std::size_t threshold = 0;
  {
    std::lock_guard lock(mutex);
    data = text;
    threshold = incrAbove;
  }
  if (e.target == targets) {
    Atom list[] = {targets, utf8};
    XChangeProperty(owner, e.requestor, e.property, XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(list), 2);
    reply.property = e.property;
  } else if (e.target == utf8) {
    if (data.size() > threshold) {
      XSelectInput(owner, e.requestor, PropertyChangeMask);
      long size = static_cast<long>(data.size());
      XChangeProperty(owner, e.requestor, e.property, incr, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(&size), 1);
      pending[{e.requestor, e.property}] = Pending{utf8, std::move(data)};
    } else {
      XChangeProperty(owner, e.requestor, e.property, utf8, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    }
    reply.property = e.property;
  }
  XSendEvent(owner, e.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
}

std::optional<std::string> SelectionClient::paste(std::chrono::milliseconds timeout) {
  auto& m = *impl_;
  Display* d = m.paster;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  XDeleteProperty(d, m.pasterWindow, m.property);
  XConvertSelection(d, m.clipboard, m.utf8, m.property, m.pasterWindow, CurrentTime);
  XFlush(d);
  XEvent e;
  for (;;) {
    if (!waitFor(d, m.pasterWindow, SelectionNotify, e, deadline)) return std::nullopt;
    if (e.xselection.selection == m.clipboard) break;
  }
  if (e.xselection.property == None) return std::nullopt;

  auto take = [&](std::string& out, Atom& type) {
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* value = nullptr;
    XGetWindowProperty(d, m.pasterWindow, m.property, 0, 0x1FFFFFFF, True, AnyPropertyType, &type,
                       &format, &items, &after, &value);
    if (value != nullptr) {
      if (type != m.incr) out.append(reinterpret_cast<const char*>(value), items * static_cast<unsigned long>(format / 8));
      XFree(value);
    }
    XFlush(d);
    return items;
  };
  std::string text;
  Atom type = None;
  take(text, type);
  if (type != m.incr) return text;
  // Pieces follow, each after the last was deleted; an empty one ends them.
  for (;;) {
    if (!waitFor(d, m.pasterWindow, PropertyNotify, e, deadline)) return std::nullopt;
    if (e.xproperty.atom != m.property || e.xproperty.state != PropertyNewValue) continue;
    if (take(text, type) == 0) return text;
  }
}

}  // namespace corvel::test
