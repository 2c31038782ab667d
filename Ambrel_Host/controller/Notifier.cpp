#include "Ambrel_Host/controller/Notifier.h"

#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
class LogNotifier final : public Notifier {
 public:
  void post(const std::string& title, const std::string& body) override {
    corvel::Log::host("app").info("notification: {} — {}", title, body);
  }
};
}  // namespace

std::unique_ptr<Notifier> Notifier::logOnly() { return std::make_unique<LogNotifier>(); }

}  // namespace ambrel
