#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>

namespace corvel::test {

// A network namespace of its own for one test, joined to this one by a pair of virtual Ethernet
// links: this side has `outside`/24, the namespace `inside`/24 and a default route through
// `outside`, as a computer behind its home router would. An executor runs on a thread that lives
// in the namespace, so sockets made there (and the routing table read there) are the namespace's.
// Needs root; removed with everything in it at the end.
class NetworkNamespace {
 public:
  // A namespace with nothing but its loopback, for a test to wire (see sh()).
  NetworkNamespace();
  NetworkNamespace(std::string outside, std::string inside);
  ~NetworkNamespace();
  NetworkNamespace(const NetworkNamespace&) = delete;
  NetworkNamespace& operator=(const NetworkNamespace&) = delete;

  bool isReady() const { return ready_; }
  const std::string& errors() const { return errors_; }
  const std::string& name() const { return name_; }

  // Runs on the namespace's thread.
  boost::asio::io_context::executor_type executor() { return io_.get_executor(); }
  // Runs `work` there and waits for it.
  void run(const std::function<void()>& work);
  // Runs a shell command in this namespace ("ip netns exec"); false (noted in errors()) when it
  // fails.
  bool shInside(const std::string& command);
  // Runs a shell command in the test's own namespace; false (noted in errors()) when it fails.
  bool sh(const std::string& command);

 private:
  bool create();
  void startThread();

  std::string name_;
  std::string outsideLink_;
  bool ready_ = false;
  std::string errors_;
  boost::asio::io_context io_;
  std::unique_ptr<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_;
  std::thread thread_;
};

}  // namespace corvel::test
