#include "Ambrel_Host/shell/HostActivity.h"

#include "Ambrel_Host/capture/VideoPipeline.h"
#include "Ambrel_Host/controller/HostController.h"

namespace ambrel {

HostActivity::HostActivity(std::shared_ptr<HostController> host) : host_(std::move(host)) {
  subscription_ = host_->subscribe([this](const HostChange& change) {
    if (change.property == HostProperty::clients) count();
  });
}

HostActivity::~HostActivity() { host_->unsubscribe(subscription_); }

void HostActivity::count() {
  std::unordered_set<corvel::UUID> listed;
  for (const auto& client : host_->clients()) {
    if (!client->wasAdmitted()) continue;
    listed.insert(client->id());
    if (!admitted_.contains(client->id())) ++sessions_;
  }
  admitted_ = std::move(listed);
}

corvel::diagnostics::MetricsRecorder::Activity HostActivity::read() {
  count();
  return {VideoPipeline::framesEncoded(), sessions_};
}

}  // namespace ambrel
