#include "CorvelKit/base/Executors.h"

#include <algorithm>
#include <thread>

namespace corvel {

asio::thread_pool& sharedPool() {
  static asio::thread_pool pool(std::max(2u, std::thread::hardware_concurrency()));
  return pool;
}

}  // namespace corvel
