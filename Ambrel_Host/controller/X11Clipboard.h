#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "Ambrel_Host/controller/Clipboard.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The X11 CLIPBOARD selection through XCB, on a connection and a thread of its own. XFixes
// tells it each time the clipboard changes hands: each new owner counts as a change, and another
// program's text is read at once (UTF8_STRING, else STRING; INCR transfers too). Writing takes
// the selection and serves TARGETS, UTF8_STRING, TEXT and STRING to whoever asks, in INCR pieces
// when the text is large.
class X11Clipboard final : public Clipboard {
 public:
  // The clipboard of `displayName` ($DISPLAY when empty); fails without an X server or XFixes.
  [[nodiscard]] static corvel::Expected<std::shared_ptr<X11Clipboard>, std::error_code> create(
      const std::string& displayName = {});
  ~X11Clipboard() override;

  Snapshot read() override;
  std::int64_t write(std::string text) override;

  struct Impl;
  explicit X11Clipboard(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ambrel
