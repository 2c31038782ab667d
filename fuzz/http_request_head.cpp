// The browser server's request head: finding its end, parsing it and deciding the answer, as the
// server does for the bytes a peer sends before any upgrade.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "Ambrel_Host/browser/BrowserRequest.h"
#include "Ambrel_Host/browser/HttpRequestHead.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace ambrel;
  const corvel::ByteView bytes(data, size);
  const auto end = HttpRequestHead::findEnd(bytes);
  const auto text = corvel::asString(bytes.first(end ? *end : size));
  auto head = HttpRequestHead::parse(text);
  if (!head) return 0;
  const auto answer = BrowserRequest::route(*head, "ABCDEFGHJKLM");
  switch (answer.kind) {
    case BrowserRequest::Kind::page:
      if (head->path != "/" && head->path != "/index.html") std::abort();
      break;
    case BrowserRequest::Kind::upgrade:
      if (head->path != "/ws" || answer.accept.size() != 28) std::abort();
      break;
    case BrowserRequest::Kind::status:
      if (answer.status.empty()) std::abort();
      break;
  }
  (void)BrowserRequest::codeParameter(head->query());
  (void)BrowserRequest::percentDecode(text);
  return 0;
}
