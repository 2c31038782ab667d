#include "Ambrel_Host/wayland/WlrDisplaySource.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Ambrel_Host/capture/CaptureError.h"
#include "Ambrel_Host/wayland/WaylandConnection.h"
#include "Ambrel_Host/wayland/WaylandOutputs.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("video"); }
}  // namespace

corvel::Expected<std::unique_ptr<WlrDisplaySource>, std::error_code> WlrDisplaySource::open(
    const std::string& display) {
  auto connection = WaylandConnection::open(display);
  if (!connection) return corvel::Unexpected{connection.error()};
  auto outputs = std::make_unique<WaylandOutputs>(**connection);
  // One round for the outputs' descriptions, one more for xdg-output's made on the way.
  if (!(*connection)->roundtrip() || !(*connection)->roundtrip()) {
    return corvel::Unexpected{std::error_code(CaptureErrc::connectionLost)};
  }
  return std::unique_ptr<WlrDisplaySource>(new WlrDisplaySource(std::move(*connection), std::move(outputs)));
}

WlrDisplaySource::WlrDisplaySource(std::unique_ptr<WaylandConnection> connection,
                                   std::unique_ptr<WaylandOutputs> outputs)
    : connection_(std::move(connection)), outputs_(std::move(outputs)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  known_ = outputs_->displays();
  watcher_ = std::thread([this] { watch(); });
}

WlrDisplaySource::~WlrDisplaySource() {
  const std::uint64_t one = 1;
  if (::write(wake_.get(), &one, sizeof one) < 0) {
    log().error("couldn't wake the display watcher: {}", std::strerror(errno));
  }
  if (watcher_.joinable()) watcher_.join();
}

corvel::Expected<std::vector<ScreenDisplay>, std::error_code> WlrDisplaySource::displays() {
  std::lock_guard lock(mutex_);
  if (broken_) return corvel::Unexpected{std::error_code(CaptureErrc::connectionLost)};
  return known_;
}

void WlrDisplaySource::setChangeHandler(std::function<void()> handler) {
  auto next = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
  std::unique_lock lock(mutex_);
  handler_.swap(next);
  // A call of the earlier handler still under way ends first (not awaited from the handler).
  if (std::this_thread::get_id() != watcher_.get_id()) {
    handlerIdle_.wait(lock, [&] { return !calling_; });
  }
}

void WlrDisplaySource::watch() {
  // The outputs report each part of a change; the list is compared once the events that came
  // together are dispatched.
  bool touched = false;
  outputs_->setChangeHandler([&touched] { touched = true; });
  for (;;) {
    if (!connection_->pump(std::chrono::milliseconds(-1), wake_.get())) {
      log().error("the compositor closed the connection; no more display changes");
      std::lock_guard lock(mutex_);
      broken_ = true;
      return;
    }
    std::uint64_t value = 0;
    if (::read(wake_.get(), &value, sizeof value) == sizeof value) return;
    if (!touched) continue;
    touched = false;
    auto now = outputs_->displays();
    std::shared_ptr<const std::function<void()>> handler;
    {
      std::lock_guard lock(mutex_);
      if (now == known_) continue;
      known_ = std::move(now);
      handler = handler_;
      calling_ = handler != nullptr;
    }
    if (handler) {
      (*handler)();
      handler.reset();  // a replaced handler goes before its replacer returns
      std::lock_guard lock(mutex_);
      calling_ = false;
      handlerIdle_.notify_all();
    }
  }
}

}  // namespace ambrel
