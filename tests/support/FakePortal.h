#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvel::test {

class HeadlessMutter;

// A stand-in for the desktop portal (org.freedesktop.portal.Desktop with RemoteDesktop and
// ScreenCast) on a HeadlessMutter's bus, answering as a portal whose owner allows everything at
// once: each session is a remote-desktop session of that mutter recording all its monitors, so the
// PipeWire nodes, their pictures and the input are real. OpenPipeWireRemote connects to the
// desktop's PipeWire daemon. Serves on a thread of its own.
class FakePortal {
 public:
  struct Options {
    // The owner cancels Start (the answer is "cancelled", code 1).
    bool cancelStart = false;
  };

  FakePortal(const HeadlessMutter& desktop, Options options);
  ~FakePortal();
  FakePortal(const FakePortal&) = delete;
  FakePortal& operator=(const FakePortal&) = delete;

  // The portal's name is on the bus.
  bool isRunning() const;
  std::string errors() const;

  // What SelectDevices was given, one entry per call.
  struct DeviceSelection {
    std::uint32_t types = 0;
    std::uint32_t persistMode = 0;
    std::optional<std::string> restoreToken;
  };
  std::vector<DeviceSelection> deviceSelections() const;
  // The cursor mode SelectSources asked for (0: none), per call.
  std::vector<std::uint32_t> cursorModes() const;
  // The restore tokens handed out by Start, in order.
  std::vector<std::string> restoreTokens() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace corvel::test
