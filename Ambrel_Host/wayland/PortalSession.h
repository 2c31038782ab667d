#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Ambrel_Host/capture/ScreenDisplay.h"
#include "Ambrel_Host/wayland/SdBusHandles.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// One remote-desktop session of the desktop portal (org.freedesktop.portal.RemoteDesktop with its
// ScreenCast sources): the owner is asked once which screens to share and whether to allow input,
// and the portal's restore token, kept in a file of the host's, lets later sessions start without
// asking again. Gives the shared screens as PipeWire nodes with their place in the desktop,
// connections to PipeWire that reach them, and sends input into the desktop. Thread-safe: the
// session's bus connection is used under one lock.
class PortalSession {
 public:
  struct Options {
    // The bus of the caller's choice; none: the login session's bus.
    std::optional<std::string> busAddress;
    // Where the restore token is kept (mode 0600); empty: none is kept or sent.
    std::filesystem::path tokenFile;
    // How long the portal may take to answer a request, and to answer Start, where the owner may
    // be looking at the portal's dialog.
    std::chrono::milliseconds requestTimeout{std::chrono::seconds(30)};
    std::chrono::milliseconds startTimeout{std::chrono::minutes(3)};
  };

  // One shared screen.
  struct Stream {
    std::uint32_t node = 0;  // its PipeWire node
    // As the host lists it: its place and size in the desktop's layout (the coordinates of absolute
    // pointer motion on it), an identifier that stays the same across sessions of the same screens.
    ScreenDisplay display;
  };

  // Input devices the owner allowed (the portal's device types).
  static constexpr std::uint32_t keyboard = 1;
  static constexpr std::uint32_t pointer = 2;

  // Sets the session up, or says why it can't: no portal, the owner declined, the portal gave no
  // answer in time.
  [[nodiscard]] static corvel::Expected<std::shared_ptr<PortalSession>, std::string> open(Options options);
  // Closes the session.
  ~PortalSession();
  PortalSession(const PortalSession&) = delete;
  PortalSession& operator=(const PortalSession&) = delete;

  const std::vector<Stream>& streams() const { return streams_; }
  std::uint32_t devices() const { return devices_; }

  // A new connection to PipeWire restricted to the session's streams (the caller owns it), or -1.
  [[nodiscard]] int openPipeWireRemote();

  // Sends RemoteDesktop's `method` for this session, with empty options and then `signature`'s
  // arguments, without awaiting the reply (it goes out on flush()).
  void notify(const char* method, const char* signature, ...);
  void flush();

  // Whether the portal closed the session (the owner stopped sharing) or its bus went away.
  bool isClosed();

 private:
  PortalSession() = default;
  corvel::Expected<SdBusMessage, std::string> request(const char* interface, const char* method,
                                                      const std::function<int(sd_bus_message*, const char*)>& append,
                                                      std::chrono::milliseconds timeout);
  // The session's handshake after CreateSession; the reason it failed, or nothing.
  std::optional<std::string> start(const Options& options);
  void readBus();  // under mutex_

  std::mutex mutex_;  // guards the fields below
  SdBus bus_;
  SdBusSlot closedMatch_;
  std::string sessionPath_;
  std::string senderPart_;  // this connection's unique name as request paths carry it
  unsigned requests_ = 0;
  bool closed_ = false;
  // Set once open() is done.
  std::vector<Stream> streams_;
  std::uint32_t devices_ = 0;
};

}  // namespace ambrel
