#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "CorvelKit/base/Bytes.h"

namespace ambrel {

class Clipboard;
class MessageDispatch;
class RemoteClient;
struct HostContext;

// Clipboard sharing while `shareClipboard` is on. Text copied on this computer goes to every
// admitted client (read at each poll tick, when the clipboard changed hands since the last one);
// text from a controlling viewer lands on the clipboard, and the change that makes is recorded
// so that it isn't sent back. Controller's executor only.
class ClipboardSync {
 public:
  // Longest text sent to clients, in UTF-8 bytes; longer text isn't sent at all.
  static constexpr std::size_t maximumTextBytes = 999'999;

  ClipboardSync(HostContext& context, MessageDispatch& dispatch);

  // Takes the clipboard's change count as already seen: what was copied before isn't sent.
  void start();
  // One poll tick.
  void tick();
  // The change count last seen or written.
  std::int64_t changeCount() const { return changeCount_; }

 private:
  void received(const std::shared_ptr<RemoteClient>& client, const corvel::Bytes& payload);
  Clipboard* clipboard() const;

  HostContext& context_;
  std::int64_t changeCount_ = 0;
};

}  // namespace ambrel
