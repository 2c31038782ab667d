#include "Ambrel_Host/controller/ClipboardSync.h"

#include "Ambrel_Host/controller/Clipboard.h"
#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/MessageDispatch.h"
#include "Ambrel_Host/wayland/WaylandDesktopSwitch.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/base/Log.h"
#include "CorvelKit/protocol/Clipboard.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("clipboard"); }
}  // namespace

using corvel::protocol::MessageType;

ClipboardSync::ClipboardSync(HostContext& context, MessageDispatch& dispatch) : context_(context) {
  // Admitted is enough to be heard; who may write is checked there, so that a refusal is logged.
  dispatch.route(MessageType::clipboard, MessageDispatch::Stage::main, MessageDispatch::admitted,
                 [this](const std::shared_ptr<RemoteClient>& c, corvel::Bytes& payload) {
                   received(c, payload);
                 });
}

Clipboard* ClipboardSync::clipboard() const {
  if (const auto* wayland = WaylandDesktopSwitch::chosen()) return wayland->clipboard.get();
  return context_.services.clipboard.get();
}

void ClipboardSync::start() {
  if (auto* board = clipboard()) changeCount_ = board->read().changeCount;
}

void ClipboardSync::tick() {
  auto* board = clipboard();
  if (!board || !context_.settings.flag(Setting::shareClipboard)) return;
  auto now = board->read();
  // Its text is still being read: the next tick takes the change.
  if (now.changeCount == changeCount_ || now.pending) return;
  changeCount_ = now.changeCount;
  if (!now.text) return;
  if (now.text->size() > maximumTextBytes) {
    log().info("not sharing {} bytes of copied text (more than {})", now.text->size(), maximumTextBytes);
    return;
  }
  const auto encoded = corvel::JSONCoding::encode(corvel::protocol::Clipboard{std::move(*now.text)});
  if (!encoded) return;
  for (auto& c : context_.clients.all()) {
    if (c->authorized()) c->connection()->send(MessageType::clipboard, *encoded);
  }
}

void ClipboardSync::received(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload) {
  if (!client->canControl() || client->isScreenSharer()) {
    log().warn("refused clipboard text from {}: it doesn't control this computer", client->displayName());
    return;
  }
  auto* board = clipboard();
  if (!board || !context_.settings.flag(Setting::shareClipboard)) return;
  auto text = corvel::JSONCoding::decode<corvel::protocol::Clipboard>(payload);
  if (!text) return;
  changeCount_ = board->write(std::move(text->text));
}

}  // namespace ambrel
