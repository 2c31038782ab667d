#pragma once

#include <memory>
#include <set>
#include <thread>
#include <utility>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include "CorvelKit/base/UUID.h"

namespace ambrel {

class MessageDispatch;
class RemoteClient;
struct HostContext;

// Screen text and screenshots for viewers: made from the latest picture of the pipeline that
// already captures the viewer's display (no second capture), on a worker thread of their own,
// so that neither a connection's queue nor the controller waits for recognition. A viewer has
// at most one request of each kind under way; more of the same are dropped meanwhile.
// Controller's executor, apart from the work itself.
class ScreenReading {
 public:
  ScreenReading(HostContext& context, MessageDispatch& dispatch);
  // Waits for the work under way; what is queued is dropped.
  ~ScreenReading();

 private:
  enum class Kind { text, screenshot };
  void request(const std::shared_ptr<RemoteClient>& client, Kind kind);

  HostContext& context_;
  std::set<std::pair<corvel::UUID, Kind>> underWay_;
  boost::asio::io_context work_;
  boost::asio::executor_work_guard<boost::asio::io_context::executor_type> keep_{work_.get_executor()};
  std::thread thread_;
};

}  // namespace ambrel
