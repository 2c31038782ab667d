#pragma once

namespace ambrel {

// Keeps the computer from idling into the screen saver or sleep while sessions stream.
class AwakeAssertion {
 public:
  virtual ~AwakeAssertion() = default;
  virtual void begin() = 0;  // a second begin() keeps the one assertion
  virtual void end() = 0;
};

}  // namespace ambrel
