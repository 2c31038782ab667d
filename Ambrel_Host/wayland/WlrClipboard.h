#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "Ambrel_Host/controller/Clipboard.h"
#include "CorvelKit/base/Expected.h"

namespace ambrel {

// The clipboard of a wlroots compositor through wlr-data-control, on a connection and a thread of
// its own. Each new selection counts as a change, and another program's text is read at once
// (UTF-8 text types preferred). Writing offers the text as the usual text types, with a private
// type of the host's beside them that tells its own selection apart when the compositor announces
// it back.
class WlrClipboard final : public Clipboard {
 public:
  // `display` as WaylandConnection::open takes it; fails without wlr-data-control.
  [[nodiscard]] static corvel::Expected<std::shared_ptr<WlrClipboard>, std::error_code> open(
      const std::string& display);
  ~WlrClipboard() override;

  Snapshot read() override;
  std::int64_t write(std::string text) override;

  struct Impl;
  explicit WlrClipboard(std::unique_ptr<Impl> impl);

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ambrel
