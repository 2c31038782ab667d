#pragma once

#include <memory>
#include <optional>
#include <string>

#include "Ambrel_Host/controller/AwakeAssertion.h"
#include "CorvelKit/base/SerialQueue.h"

namespace ambrel {

// Keeps the computer from idling into the screen saver or sleep while sessions run: a logind
// inhibitor ("idle:sleep", who "Ambrel Host", why "Ambrel remote session", mode "block") held
// from begin() until end(). Without a system bus or logind it logs once and does nothing.
// begin() and end() return at once; the bus is reached on a queue of their own.
class KeepAwake final : public AwakeAssertion {
 public:
  // The system bus, or the bus at `busAddress`.
  explicit KeepAwake(std::optional<std::string> busAddress = std::nullopt);
  // Ends the inhibitor.
  ~KeepAwake() override;
  KeepAwake(const KeepAwake&) = delete;
  KeepAwake& operator=(const KeepAwake&) = delete;

  void begin() override;  // a second begin() keeps the one inhibitor
  void end() override;

  // Blocks until earlier begin() and end() calls took effect; then tells whether an inhibitor
  // is held (tests, diagnostics).
  bool flush();

 private:
  struct State;
  std::shared_ptr<State> state_;
  corvel::SerialQueue queue_{"keep-awake"};
};

}  // namespace ambrel
