#include "Ambrel_Host/controller/PrintDelivery.h"

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

auto& log() { return corvel::Log::host("print"); }

void deleteDocument(const std::filesystem::path& document) {
  std::error_code ec;
  std::filesystem::remove(document, ec);
}

}  // namespace

std::shared_ptr<RemoteClient> PrintDelivery::target(const std::vector<std::shared_ptr<RemoteClient>>& clients) {
  std::shared_ptr<RemoteClient> first;
  for (const auto& client : clients) {
    if (!client->authorized()) continue;
    if (!first) first = client;
    const auto hello = client->hello();
    const bool sharer = hello && hello->role == corvel::protocol::ClientRole::screenSharer;
    const bool computer = hello && hello->platform == corvel::protocol::ClientPlatform::mac;
    if (!sharer && !computer) return client;
  }
  return first;
}

void PrintDelivery::deliver(HostController& host, const std::filesystem::path& document) {
  auto& context = host.context();
  auto client = target(host.clients());
  if (!client) {
    context.notifier->post("Nothing to print to",
                           "Connect from your iPhone or iPad first, then print with Ambrel again.");
    deleteDocument(document);
    return;
  }
  log().info("sending a print job to {}", client->displayName());
  host.files().sendDocument(document, client, "print", [document](std::error_code error) {
    if (error) log().warn("a print job didn't reach its device: {}", error.message());
    deleteDocument(document);
  });
  context.notifier->post("Printing on " + client->displayName(), document.stem().string());
}

}  // namespace ambrel
