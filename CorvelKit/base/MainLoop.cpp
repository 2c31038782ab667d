#include "CorvelKit/base/MainLoop.h"

namespace corvel {

MainLoop::MainLoop() : work_(asio::make_work_guard(context_)) {}

MainLoop::~MainLoop() {
  stop();
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void MainLoop::run() { context_.run(); }

void MainLoop::start() {
  thread_ = std::thread([this] { context_.run(); });
}

void MainLoop::stop() {
  work_.reset();
  context_.stop();
}

}  // namespace corvel
