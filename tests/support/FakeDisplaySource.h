#pragma once

#include <functional>
#include <mutex>
#include <system_error>
#include <vector>

#include "Ambrel_Host/capture/DisplaySource.h"

namespace corvel::test {

// A DisplaySource whose displays a test sets; `change` replaces them and calls the change
// handler as a screen change would. `failWith` makes `displays()` fail.
class FakeDisplaySource final : public ambrel::DisplaySource {
 public:
  explicit FakeDisplaySource(std::vector<ambrel::ScreenDisplay> displays = {});

  corvel::Expected<std::vector<ambrel::ScreenDisplay>, std::error_code> displays() override;
  void setChangeHandler(std::function<void()> handler) override;

  void change(std::vector<ambrel::ScreenDisplay> displays);
  void failWith(std::error_code error);
  int readCount() const;

 private:
  mutable std::mutex mutex_;
  std::vector<ambrel::ScreenDisplay> displays_;
  std::error_code error_;
  std::function<void()> handler_;
  int reads_ = 0;
};

}  // namespace corvel::test
