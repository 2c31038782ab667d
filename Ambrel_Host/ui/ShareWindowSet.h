#pragma once

#include <map>
#include <memory>

#include "Ambrel_Host/controller/ShareWindows.h"
#include "Ambrel_Host/ui/ScreenShareWindow.h"

class QObject;

namespace ambrel {

// The share windows of the desktop interface, one per sharing device. Interface thread only;
// windows() hands the host a way to drive them from its own threads.
class ShareWindowSet {
 public:
  ShareWindowSet();
  ~ShareWindowSet();
  ShareWindowSet(const ShareWindowSet&) = delete;
  ShareWindowSet& operator=(const ShareWindowSet&) = delete;

  std::shared_ptr<ShareWindows> windows();
  // The window of that device, if it is open.
  ScreenShareWindow* window(const corvel::UUID& clientID) const;

  void open(const corvel::UUID& clientID, const std::string& title, ShareWindows::Closed closed);
  void setOrientation(const corvel::UUID& clientID, std::uint32_t orientation);
  void show(const corvel::UUID& clientID, std::shared_ptr<const SharedPicture> picture);
  void close(const corvel::UUID& clientID);

 private:
  struct Mailbox;
  std::map<corvel::UUID, std::unique_ptr<ScreenShareWindow>> windows_;
  std::unique_ptr<QObject> receiver_;
  std::shared_ptr<Mailbox> mailbox_;
};

}  // namespace ambrel
