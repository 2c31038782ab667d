#include "tests/support/FakeDisplaySource.h"

namespace corvel::test {

FakeDisplaySource::FakeDisplaySource(std::vector<ambrel::ScreenDisplay> displays)
    : displays_(std::move(displays)) {}

corvel::Expected<std::vector<ambrel::ScreenDisplay>, std::error_code> FakeDisplaySource::displays() {
  std::lock_guard lock(mutex_);
  ++reads_;
  if (error_) return corvel::Unexpected{error_};
  return displays_;
}

void FakeDisplaySource::setChangeHandler(std::function<void()> handler) {
  std::lock_guard lock(mutex_);
  handler_ = std::move(handler);
}

void FakeDisplaySource::change(std::vector<ambrel::ScreenDisplay> displays) {
  std::function<void()> handler;
  {
    std::lock_guard lock(mutex_);
    displays_ = std::move(displays);
    handler = handler_;
  }
  if (handler) handler();
}

void FakeDisplaySource::failWith(std::error_code error) {
  std::lock_guard lock(mutex_);
  error_ = error;
}

int FakeDisplaySource::readCount() const {
  std::lock_guard lock(mutex_);
  return reads_;
}

}  // namespace corvel::test
