// A viewer's WebSocket bytes as the browser server consumes them: frames parsed one after the
// other from a buffer, text frames decoded as page messages; and frames written back parse again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Ambrel_Host/browser/BrowserInput.h"
#include "Ambrel_Host/browser/WebSocketFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ambrel;
  const corvel::ByteView bytes(data, size);
  // A small bound, so that the fuzzer reaches it.
  constexpr std::size_t bound = 4096;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    auto frame = WebSocketFrame::parse(bytes.subspan(offset), bound);
    if (frame.status != WebSocketFrame::Status::complete) break;
    if (frame.size > bytes.size() - offset || frame.payload.size() > bound || frame.size < 2) {
      std::abort();
    }
    offset += frame.size;
    if (frame.opcode == WebSocketFrame::text) (void)BrowserInput::parse(corvel::asString(frame.payload));
    // What the server writes back parses to the same frame.
    const auto echoed = WebSocketFrame::encode(frame.opcode, frame.payload);
    auto again = WebSocketFrame::parse(echoed, bound);
    if (again.status != WebSocketFrame::Status::complete || again.payload != frame.payload ||
        again.opcode != frame.opcode || again.size != echoed.size()) {
      std::abort();
    }
  }
  return 0;
}
