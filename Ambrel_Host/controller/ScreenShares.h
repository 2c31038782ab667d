#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "Ambrel_Host/controller/RemoteClient.h"

namespace ambrel {

class MessageDispatch;
class SessionSupervision;
class ShareWindows;
struct HostContext;

// The screens devices share with this computer: for each admitted screen sharer a decoder fed
// from its `video` messages on the connection's queue and a window that shows the pictures,
// turned as its `sharerInfo` says. The window closes when the sharer leaves; closing it stops the
// sharer. Without share windows (no desktop interface) nothing is decoded.
class ScreenShares {
 public:
  ScreenShares(HostContext& context, MessageDispatch& dispatch, SessionSupervision& supervision);
  ~ScreenShares();

  // The windows, once the desktop interface runs (it comes after the host); executor only.
  void setWindows(std::shared_ptr<ShareWindows> windows);

 private:
  struct Share;

  void clientsChanged();
  std::shared_ptr<Share> find(const corvel::UUID& id) const;

  HostContext& context_;
  SessionSupervision& supervision_;
  std::shared_ptr<ShareWindows> windows_;
  int subscription_ = -1;
  mutable std::mutex mutex_;  // guards shares_, read from the connections' queues
  std::map<corvel::UUID, std::shared_ptr<Share>> shares_;
};

}  // namespace ambrel
