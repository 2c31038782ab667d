#pragma once

#include <string>
#include <utility>

#include "CorvelKit/base/Executors.h"

namespace corvel {

// A named serial queue: work posted to it runs one item at a time, in order, on some thread of the
// underlying executor (the shared pool by default). The label names the queue in logs.
class SerialQueue {
 public:
  explicit SerialQueue(std::string label, Executor executor = sharedPool().get_executor())
      : label_(std::move(label)), strand_(asio::make_strand(std::move(executor))) {}

  const std::string& label() const { return label_; }
  const asio::strand<Executor>& executor() const { return strand_; }

  template <class F>
  void post(F&& work) const {
    asio::post(strand_, std::forward<F>(work));
  }

  // True when called from work that this queue is running.
  bool isCurrent() const { return strand_.running_in_this_thread(); }

 private:
  std::string label_;
  asio::strand<Executor> strand_;
};

}  // namespace corvel
