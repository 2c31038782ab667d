#include "tests/support/NetworkNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <cstdlib>
#include <future>

namespace corvel::test {

namespace {
std::atomic<int> made{0};
}  // namespace

NetworkNamespace::NetworkNamespace() {
  if (!create()) return;
  startThread();
}

NetworkNamespace::NetworkNamespace(std::string outside, std::string inside) {
  if (!create()) return;
  const std::string insideLink = "ai" + name_.substr(name_.rfind('-') + 1);
  outsideLink_ = "ao" + name_.substr(name_.rfind('-') + 1);
  const bool linked = sh("ip link add " + outsideLink_ + " type veth peer name " + insideLink +
                         " netns " + name_) &&
                      sh("ip addr add " + outside + "/24 dev " + outsideLink_) &&
                      sh("ip link set " + outsideLink_ + " up") &&
                      shInside("ip addr add " + inside + "/24 dev " + insideLink) &&
                      shInside("ip link set " + insideLink + " up") &&
                      shInside("ip route add default via " + outside);
  if (!linked) return;
  startThread();
}

bool NetworkNamespace::create() {
  name_ = "ambrel-test-" + std::to_string(::getpid() % 100000) + "x" + std::to_string(made++);
  if (::geteuid() != 0) {
    errors_ = "network namespaces need root";
    return false;
  }
  return sh("ip netns add " + name_) && shInside("ip link set lo up");
}

void NetworkNamespace::startThread() {
  work_ = std::make_unique<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>>(
      io_.get_executor());
  std::promise<std::string> entered;
  thread_ = std::thread([this, &entered] {
    const int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    const bool joined = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    entered.set_value(joined ? "" : "can't enter the namespace");
    if (joined) io_.run();
  });
  errors_ = entered.get_future().get();
  ready_ = errors_.empty();
}

NetworkNamespace::~NetworkNamespace() {
  work_.reset();
  io_.stop();
  if (thread_.joinable()) thread_.join();
  // Deleting the namespace takes its ends of the links, and with them the other ends.
  if (!outsideLink_.empty()) (void)std::system(("ip link del " + outsideLink_ + " 2>/dev/null").c_str());
  if (!name_.empty()) (void)std::system(("ip netns del " + name_ + " 2>/dev/null").c_str());
}

void NetworkNamespace::run(const std::function<void()>& work) {
  std::promise<void> done;
  boost::asio::post(io_, [&] {
    work();
    done.set_value();
  });
  done.get_future().get();
}

bool NetworkNamespace::shInside(const std::string& command) {
  return sh("ip netns exec " + name_ + " " + command);
}

bool NetworkNamespace::sh(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) == 0) return true;
  errors_ += "failed: " + command + "\n";
  return false;
}

}  // namespace corvel::test
