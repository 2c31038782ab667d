#include "CorvelKit/base/Executors.h"

#include <openssl/ssl.h>

#include <algorithm>
#include <memory>
#include <thread>

namespace corvel {

asio::thread_pool& sharedPool() {
  // OpenSSL frees each thread's own state when the thread ends, but only while it has not been
  // cleaned up itself at exit. Starting OpenSSL before the pool puts its exit-time cleanup after
  // the pool's destruction (they run in reverse order), so the pool's threads end first.
  [[maybe_unused]] static const bool openssl = OPENSSL_init_ssl(0, nullptr) == 1;
  static asio::thread_pool pool(std::max(2u, std::thread::hardware_concurrency()));
  return pool;
}

void joinOrHandOff(std::thread& thread) {
  if (!thread.joinable()) return;
  if (thread.get_id() != std::this_thread::get_id()) {
    thread.join();
    return;
  }
  struct Joiner {
    std::thread thread;
    ~Joiner() {
      if (thread.joinable()) thread.detach();
    }
  };
  auto joiner = std::make_shared<Joiner>();
  joiner->thread = std::move(thread);
  asio::post(sharedPool(), [joiner] { joiner->thread.join(); });
}

}  // namespace corvel
