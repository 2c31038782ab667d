#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace ambrel {

// The desktop's clipboard, as clipboard sharing uses it: a change count that moves each time the
// clipboard changes hands (this host taking it included), the plain text of the latest change,
// and a way to put text on it. Thread-safe.
class Clipboard {
 public:
  struct Snapshot {
    std::int64_t changeCount = 0;
    std::optional<std::string> text;  // nothing when the clipboard holds no text
    bool pending = false;             // the latest change's text is still on its way
  };

  virtual ~Clipboard() = default;

  virtual Snapshot read() = 0;
  // Takes the clipboard with `text`; the change count that this is.
  virtual std::int64_t write(std::string text) = 0;
};

}  // namespace ambrel
