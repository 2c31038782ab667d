#pragma once

#include <memory>
#include <optional>
#include <string>

namespace ambrel {

class AwakeAssertion;
class HostObservers;

// Whether any pipeline sends video, the last user-facing error, and the keep-awake assertion
// that follows streaming. Controller's executor only.
class StreamingStatus {
 public:
  StreamingStatus(HostObservers& observers, std::shared_ptr<AwakeAssertion> keepAwake)
      : observers_(observers), keepAwake_(std::move(keepAwake)) {}

  bool isStreaming() const { return isStreaming_; }
  const std::optional<std::string>& lastError() const { return lastError_; }

  // The pipelines were brought in line: streaming clears the last error; the keep-awake
  // assertion begins when streaming starts and ends when it stops.
  void update(bool streaming);
  void setLastError(std::optional<std::string> error);

 private:
  HostObservers& observers_;
  std::shared_ptr<AwakeAssertion> keepAwake_;
  bool isStreaming_ = false;
  std::optional<std::string> lastError_;
};

}  // namespace ambrel
