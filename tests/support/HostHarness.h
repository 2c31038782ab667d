#pragma once

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/shell/SessionHistory.h"
#include "CorvelKit/base/MainLoop.h"
#include "CorvelKit/base/ManualClock.h"
#include "CorvelKit/protocol/Hello.h"
#include "CorvelKit/security/SecureIdentity.h"
#include "tests/support/ConnectionRecorder.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel::test {

class RecordingNotifier final : public Notifier {
 public:
  void post(const std::string& title, const std::string& body) override {
    std::lock_guard lock(mutex);
    posted.emplace_back(title, body);
  }
  std::size_t count() {
    std::lock_guard lock(mutex);
    return posted.size();
  }
  bool saw(const std::string& title) {
    std::lock_guard lock(mutex);
    for (auto& p : posted)
      if (p.first == title) return true;
    return false;
  }
  std::mutex mutex;
  std::vector<std::pair<std::string, std::string>> posted;
};

// What a host needs to stream the X display `displayName` with the real capture and encoder:
// its display source and its pipelines (at most 1600 pixels wide).
HostServices videoServices(corvel::Executor executor, const std::string& displayName,
                           std::int64_t bitrate, int fps);

// A real host controller on its own main loop, listening on port 5895, with a manual clock, a
// private home folder and a recording notifier. Tests reach the controller through `onMain`.
class HostHarness {
 public:
  explicit HostHarness(HostServices services = {});
  // For services that need the controller's executor.
  explicit HostHarness(const std::function<HostServices(corvel::Executor)>& makeServices);
  ~HostHarness();

  // Runs `work` on the controller's executor and waits for its result.
  template <class F>
  auto onMain(F work) {
    std::packaged_task<decltype(work())()> task(std::move(work));
    auto result = task.get_future();
    boost::asio::post(loop.executor(), [&task] { task(); });
    return result.get();
  }
  // Lets the controller's executor run everything posted so far.
  void settle() {
    onMain([] { return 0; });
  }
  // Moves the manual clock in steps, letting the controller act after each.
  void advance(std::chrono::milliseconds by, std::chrono::milliseconds step = std::chrono::seconds(1));

  std::size_t clientCount() {
    return onMain([&] { return host->clients().size(); });
  }
  bool waitFor(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

  corvel::test::TemporaryHome home;
  corvel::MainLoop loop;
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>();
  corvel::security::SecureIdentity identity{"test.host"};
  std::shared_ptr<RecordingNotifier> notifier = std::make_shared<RecordingNotifier>();
  std::shared_ptr<SessionHistory> history;
  std::shared_ptr<HostController> host;

 private:
  void begin(HostServices services);
};

// A device connecting to the harness's host: its own identity, its connection and what it heard.
class TestDevice {
 public:
  TestDevice(std::string name, std::string code);
  ~TestDevice();

  bool waitReady() { return events.waitForState(corvel::net::ConnectionState::Kind::ready); }
  bool waitEnded() {
    return events.waitFor([&] { return events.ended(); });
  }
  void sendHello(std::optional<std::string> token = {},
                 std::optional<corvel::protocol::ClientRole> role = {});
  // The payload of the first message of that type heard so far (waiting for it).
  std::optional<std::string> waitForMessage(corvel::protocol::MessageType type,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(10));
  bool heard(corvel::protocol::MessageType type);
  std::string fingerprint() const { return identity.fingerprint(); }

  std::string name;
  corvel::security::SecureIdentity identity;
  corvel::test::ConnectionRecorder events;
  std::shared_ptr<corvel::net::CorvelConnection> connection;
};

}  // namespace ambrel::test
