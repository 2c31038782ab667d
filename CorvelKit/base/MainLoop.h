#pragma once

#include <thread>

#include "CorvelKit/base/Executors.h"

namespace corvel {

// The host's main executor: one io_context run by one thread, where the controller's state lives.
// `run()` blocks the calling thread until `stop()`; `start()` runs it on a thread of its own
// (tests, or when another toolkit owns the main thread).
class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  Executor executor() { return context_.get_executor(); }
  asio::io_context& context() { return context_; }

  void run();
  void start();
  void stop();
  bool isCurrent() { return context_.get_executor().running_in_this_thread(); }

 private:
  asio::io_context context_{1};
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::thread thread_;
};

}  // namespace corvel
