#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "Ambrel_Host/controller/AwakeAssertion.h"
#include "Ambrel_Host/controller/Clipboard.h"
#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/controller/Notifier.h"
#include "Ambrel_Host/controller/ScreenReader.h"
#include "Ambrel_Host/capture/CapturedFrame.h"
#include "Ambrel_Host/controller/SessionLog.h"
#include "Ambrel_Host/controller/SystemActions.h"
#include "Ambrel_Host/reach/ServiceAdvertiser.h"
#include "CorvelKit/base/ManualClock.h"
#include "tests/support/FakeClientConnection.h"
#include "tests/support/FakeEventPoster.h"
#include "tests/support/TemporaryFolder.h"

namespace ambrel::test {

// Pipelines that record what they are asked: which viewers are attached, and the key frames.
class FakeVideoStreams final : public VideoStreams {
 public:
  bool attach(const std::shared_ptr<StreamViewer>& viewer) override;
  bool detach(const StreamViewer& viewer) override;
  bool update() override { return streaming(); }
  void requestKeyframe(std::uint32_t displayID) override { keyframeRequests.push_back(displayID); }
  bool hasPipeline(std::uint32_t displayID) const override;
  void stopAll() override { viewers.clear(); }
  std::shared_ptr<const CapturedFrame> lastFrame(std::uint32_t displayID) const override {
    return hasPipeline(displayID) ? frame : nullptr;
  }
  void setShareSound(bool on) override { shareSound.push_back(on); }

  // Whether any attached viewer watches.
  bool streaming() const;
  bool isAttached(const StreamViewer& viewer) const;

  std::vector<std::weak_ptr<StreamViewer>> viewers;
  std::vector<std::uint32_t> keyframeRequests;
  std::shared_ptr<const CapturedFrame> frame;  // every pipeline's latest picture
  std::vector<bool> shareSound;                // what the setting told the streams, in order
};

// Reads "screens" by their size: the lines and the JPEG name the frame's width and height.
class FakeScreenReader final : public ScreenReader {
 public:
  std::optional<std::vector<std::string>> recognizeText(const CapturedFrame& f) override {
    return std::vector<std::string>{"text of " + std::to_string(f.width) + "x" + std::to_string(f.height)};
  }
  std::optional<corvel::Bytes> jpeg(const CapturedFrame& f) override {
    return corvel::toBytes("jpeg of " + std::to_string(f.width) + "x" + std::to_string(f.height));
  }
  std::optional<std::string> frontmostApp() override { return "Editor"; }
};

// The session history as a list of lines: "start NAME", "end NAME: OUTCOME", "declined NAME",
// "wrongCode ADDRESS".
class RecordingSessionLog final : public SessionLog {
 public:
  void start(const Participant& client) override;
  void end(const corvel::UUID& clientID, std::string outcome) override;
  void declined(const Participant& client) override;
  void wrongCode(std::string address) override { lines.push_back("wrongCode " + address); }

  std::vector<std::string> lines;

 private:
  std::vector<std::pair<corvel::UUID, std::string>> names_;
};

class RecordingSystemActions final : public SystemActions {
 public:
  void lockScreen() override { calls.push_back("lockScreen"); }
  void sleepDisplay() override { calls.push_back("sleepDisplay"); }
  void restart() override { calls.push_back("restart"); }
  void openApp(std::string name, Reply reply) override;
  void openURL(std::string text, Reply reply) override;
  void runShortcut(std::string name, Reply reply) override;

  std::vector<std::string> calls;
};

class RecordingAwake final : public AwakeAssertion {
 public:
  void begin() override { held = true; }
  void end() override { held = false; }
  bool held = false;
};

// A clipboard that other programs "copy" to through copy(), and that records what the host wrote.
class FakeClipboard final : public Clipboard {
 public:
  Snapshot read() override { return now; }
  std::int64_t write(std::string text) override {
    writes.push_back(text);
    now = {now.changeCount + 1, std::move(text), false};
    return now.changeCount;
  }
  void copy(std::optional<std::string> text) { now = {now.changeCount + 1, std::move(text), false}; }

  Snapshot now;
  std::vector<std::string> writes;
};

class CountingAdvertiser final : public ServiceAdvertiser {
 public:
  void advertise(const std::string&, const std::string&, std::uint16_t) override { ++advertised; }
  void stop() override {}
  int advertised = 0;
};

class ListNotifier final : public Notifier {
 public:
  void post(const std::string& title, const std::string&) override { titles.push_back(title); }
  bool saw(const std::string& title) const;
  std::vector<std::string> titles;
};

// A host controller with every service faked and no network: its executor is polled by the test
// thread and its time is a manual clock, so every rule runs deterministically and at once.
// Clients are fake connections that the test drives as their peers.
class HostRig {
 public:
  static constexpr std::uint32_t mainDisplay = 1;
  static constexpr std::uint32_t sideDisplay = 2;

  struct Options {
    // Runs once the home folder exists, before the host starts (keychain items, settings).
    std::function<void()> beforeStart;
    // The listening port; 0: one of the system's choice.
    std::uint16_t port = 0;
  };
  HostRig() : HostRig(Options{}) {}
  // The host's cloud database, made in the rig's home folder.
  using CloudMaker =
      std::function<std::shared_ptr<corvel::cloud::CloudDatabase>(const std::filesystem::path& home)>;
  // Without a cloud maker the host has no cloud database. `sessionLog` is the session record the
  // host keeps; without one, `history` records it.
  explicit HostRig(Options options, const CloudMaker& cloud = nullptr,
                   std::shared_ptr<SessionLog> sessionLog = nullptr);
  ~HostRig();

  // Runs everything the executor has to do now.
  void settle();
  // Moves the clock in steps, settling after each.
  void advance(corvel::Clock::Duration by,
               corvel::Clock::Duration step = std::chrono::milliseconds(500));

  struct Peer {
    std::shared_ptr<FakeClientConnection> connection;
    std::shared_ptr<RemoteClient> client;
  };
  // A new connection, keyed with the code `source` names, proving `fingerprint`.
  Peer connect(std::optional<std::string> fingerprint = std::nullopt,
               KeySource source = KeySource::accessCode, std::string address = "192.168.1.20");
  // connect() and a hello; settles.
  Peer join(const std::string& name, std::optional<std::string> fingerprint = std::nullopt,
            KeySource source = KeySource::accessCode, std::optional<std::string> token = {},
            corvel::protocol::ClientRole role = corvel::protocol::ClientRole::viewer);
  static void sayHello(const Peer& peer, const std::string& name,
                       std::optional<std::string> token = {},
                       corvel::protocol::ClientRole role = corvel::protocol::ClientRole::viewer);
  bool listed(const Peer& peer) const;

  corvel::test::TemporaryHome home;
  boost::asio::io_context io;
  std::shared_ptr<corvel::ManualClock> clock = std::make_shared<corvel::ManualClock>();
  std::shared_ptr<FakeVideoStreams> streams = std::make_shared<FakeVideoStreams>();
  std::shared_ptr<RecordingSessionLog> history = std::make_shared<RecordingSessionLog>();
  std::shared_ptr<RecordingSystemActions> actions = std::make_shared<RecordingSystemActions>();
  std::shared_ptr<RecordingAwake> awake = std::make_shared<RecordingAwake>();
  std::shared_ptr<ListNotifier> notifier = std::make_shared<ListNotifier>();
  std::shared_ptr<FakeClipboard> clipboard = std::make_shared<FakeClipboard>();
  std::shared_ptr<FakeScreenReader> screenReader = std::make_shared<FakeScreenReader>();
  std::shared_ptr<CountingAdvertiser> advertiser = std::make_shared<CountingAdvertiser>();
  FakeEventPoster* poster = nullptr;  // owned by the injector
  std::shared_ptr<HostController> host;
};

}  // namespace ambrel::test
