#pragma once

#include <filesystem>
#include <memory>
#include <vector>

namespace ambrel {

class HostController;
class RemoteClient;

// Sends a printed document (a PDF from the print inbox) to one connected device, which prints it.
// The device is the first authorized client that neither shares its own screen nor is a
// computer, else the first authorized client at all. The document is deleted once its transfer
// ended, well or not; with nobody connected the person hears "Nothing to print to" and the
// document is deleted at once (it is not queued). On the controller's executor.
struct PrintDelivery {
  static void deliver(HostController& host, const std::filesystem::path& document);
  // The client a document goes to among `clients` (in the controller's order), or none.
  static std::shared_ptr<RemoteClient> target(const std::vector<std::shared_ptr<RemoteClient>>& clients);
};

}  // namespace ambrel
