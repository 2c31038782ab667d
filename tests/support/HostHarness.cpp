#include "tests/support/HostHarness.h"

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/capture/DisplayStreams.h"

#include "CorvelKit/protocol/ProtocolConstants.h"

namespace ambrel::test {

HostHarness::HostHarness(HostServices services) { begin(std::move(services)); }

HostHarness::HostHarness(const std::function<HostServices(corvel::Executor)>& makeServices) {
  begin(makeServices(loop.executor()));
}

void HostHarness::begin(HostServices services) {
  loop.start();
  history = std::make_shared<SessionHistory>(home.path() / "SessionHistory.json", clock);
  HostEnvironment env;
  env.executor = loop.executor();
  env.clock = clock;
  env.defaults = std::make_shared<corvel::Defaults>(home.path() / "settings.json");
  env.identity = &identity;
  env.notifier = notifier;
  env.computerName = "Test Host";
  services.history = history;
  env.services = std::move(services);
  host = std::make_shared<HostController>(std::move(env));
  onMain([&] {
    host->start();
    return 0;
  });
}

HostHarness::~HostHarness() {
  onMain([&] {
    host.reset();
    return 0;
  });
  history->flush();
  loop.stop();
}

void HostHarness::advance(std::chrono::milliseconds by, std::chrono::milliseconds step) {
  while (by.count() > 0) {
    auto d = std::min(by, step);
    clock->advance(d);
    by -= d;
    settle();
  }
  settle();
}

bool HostHarness::waitFor(const std::function<bool()>& condition,
                          std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return condition();
}

TestDevice::TestDevice(std::string deviceName, std::string code)
    : name(std::move(deviceName)), identity("test.device." + name) {
  connection = corvel::net::CorvelConnection::client({"127.0.0.1", 5895}, code, events.handlers(),
                                                     {.identity = &identity});
  events.track(connection);
  connection->start();
}

TestDevice::~TestDevice() = default;

void TestDevice::sendHello(std::optional<std::string> token,
                           std::optional<corvel::protocol::ClientRole> role) {
  corvel::protocol::Hello hello;
  hello.deviceName = name;
  hello.platform = corvel::protocol::ClientPlatform::iPad;
  hello.protocolVersion = static_cast<int>(corvel::protocol::corvelProtocolVersion);
  hello.iCloudToken = std::move(token);
  hello.role = role;
  connection->sendJSON(corvel::protocol::MessageType::hello, hello);
}

std::optional<std::string> TestDevice::waitForMessage(corvel::protocol::MessageType type,
                                                      std::chrono::milliseconds timeout) {
  std::optional<std::string> found;
  events.waitFor(
      [&] {
        for (auto& [t, payload] : events.messages) {
          if (t == type) {
            found = std::string(corvel::asString(payload));
            return true;
          }
        }
        return false;
      },
      timeout);
  return found;
}

bool TestDevice::heard(corvel::protocol::MessageType type) {
  std::lock_guard lock(events.mutex);
  for (auto& [t, payload] : events.messages) {
    if (t == type) return true;
  }
  return false;
}

HostServices videoServices(corvel::Executor executor, const std::string& displayName,
                           std::int64_t bitrate, int fps) {
  HostServices services;
  auto source = DisplaySource::create(displayName);
  if (source) services.displays = std::move(*source);
  services.streams = std::make_shared<DisplayStreams>(executor, DisplayStreams::x11Parts(displayName),
                                                      1600, bitrate, fps);
  return services;
}

}  // namespace ambrel::test
