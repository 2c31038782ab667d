#include "tests/support/HostRig.h"

#include <algorithm>

#include "Ambrel_Host/input/InputInjector.h"
#include "CorvelKit/protocol/Hello.h"

namespace ambrel::test {

using corvel::protocol::MessageType;

// ---- FakeVideoStreams -------------------------------------------------------------------------

bool FakeVideoStreams::attach(const std::shared_ptr<StreamViewer>& viewer) {
  if (!isAttached(*viewer)) viewers.push_back(viewer);
  return streaming();
}

bool FakeVideoStreams::detach(const StreamViewer& viewer) {
  std::erase_if(viewers, [&](const auto& weak) {
    auto v = weak.lock();
    return !v || v.get() == &viewer;
  });
  return streaming();
}

bool FakeVideoStreams::hasPipeline(std::uint32_t displayID) const {
  return std::any_of(viewers.begin(), viewers.end(), [&](const auto& weak) {
    auto v = weak.lock();
    return v && v->describe().watching && v->describe().displayID == displayID;
  });
}

bool FakeVideoStreams::streaming() const {
  return std::any_of(viewers.begin(), viewers.end(), [](const auto& weak) {
    auto v = weak.lock();
    return v && v->describe().watching;
  });
}

bool FakeVideoStreams::isAttached(const StreamViewer& viewer) const {
  return std::any_of(viewers.begin(), viewers.end(),
                     [&](const auto& weak) { return weak.lock().get() == &viewer; });
}

// ---- Recorders ----------------------------------------------------------------------------------

void RecordingSessionLog::start(const Participant& client) {
  names_.emplace_back(client.id, client.device);
  lines.push_back("start " + client.device);
}

void RecordingSessionLog::end(const corvel::UUID& clientID, std::string outcome) {
  for (const auto& [id, name] : names_) {
    if (id == clientID) lines.push_back("end " + name + ": " + outcome);
  }
}

void RecordingSessionLog::declined(const Participant& client) {
  lines.push_back("declined " + client.device);
}

void RecordingSystemActions::openApp(std::string name, Reply reply) {
  calls.push_back("openApp " + name);
  reply(openedApp(name));
}

void RecordingSystemActions::openURL(std::string text, Reply reply) {
  calls.push_back("openURL " + text);
  reply(openedURL(text));
}

void RecordingSystemActions::runShortcut(std::string name, Reply) {
  calls.push_back("runShortcut " + name);
}

bool ListNotifier::saw(const std::string& title) const {
  return std::find(titles.begin(), titles.end(), title) != titles.end();
}

// ---- HostRig ------------------------------------------------------------------------------------

HostRig::HostRig(Options options, const CloudMaker& cloud, std::shared_ptr<SessionLog> sessionLog) {
  if (options.beforeStart) options.beforeStart();
  HostEnvironment env;
  env.executor = io.get_executor();
  env.clock = clock;
  env.defaults = std::make_shared<corvel::Defaults>(home.path() / "settings.json");
  env.notifier = notifier;
  env.computerName = "Test Host";
  env.port = options.port;
  env.advertiser = advertiser;
  env.services.streams = streams;
  env.services.history = sessionLog ? std::move(sessionLog) : history;
  env.services.actions = actions;
  env.services.keepAwake = awake;
  env.services.clipboard = clipboard;
  env.services.screenReader = screenReader;
  if (cloud) env.services.cloud = cloud(home.path());
  {
    auto fake = std::make_unique<FakeEventPoster>();
    poster = fake.get();
    InputInjector::Options input;
    input.executor = io.get_executor();
    input.clock = clock;
    env.services.input = InputInjector::create(std::move(fake), input);
  }
  host = std::make_shared<HostController>(std::move(env));
  host->start();
  host->setDisplays({{mainDisplay, "Main", 1920, 1080, 0, 0, true},
                     {sideDisplay, "Side", 1280, 1024, 1920, 0, false}});
  settle();
}

HostRig::~HostRig() {
  host.reset();
  settle();
}

void HostRig::settle() {
  // Work may post more work: run until nothing is left.
  for (int round = 0; round < 100; ++round) {
    io.restart();
    if (io.poll() == 0) return;
  }
}

void HostRig::advance(corvel::Clock::Duration by, corvel::Clock::Duration step) {
  while (by.count() > 0) {
    auto d = std::min(by, step);
    clock->advance(d);
    by -= d;
    settle();
  }
  settle();
}

HostRig::Peer HostRig::connect(std::optional<std::string> fingerprint, KeySource source,
                               std::string address) {
  Peer peer;
  peer.connection = std::make_shared<FakeClientConnection>(source, std::move(fingerprint));
  peer.client = host->accept(peer.connection, std::move(address));
  settle();
  return peer;
}

void HostRig::sayHello(const Peer& peer, const std::string& name, std::optional<std::string> token,
                       corvel::protocol::ClientRole role) {
  corvel::protocol::Hello hello;
  hello.deviceName = name;
  hello.platform = corvel::protocol::ClientPlatform::iPad;
  hello.protocolVersion = 2;
  hello.iCloudToken = std::move(token);
  hello.role = role;
  peer.connection->deliverJSON(MessageType::hello, hello);
}

HostRig::Peer HostRig::join(const std::string& name, std::optional<std::string> fingerprint,
                            KeySource source, std::optional<std::string> token,
                            corvel::protocol::ClientRole role) {
  auto peer = connect(std::move(fingerprint), source);
  sayHello(peer, name, std::move(token), role);
  settle();
  return peer;
}

bool HostRig::listed(const Peer& peer) const {
  return peer.client && host->client(peer.client->id()) != nullptr;
}

}  // namespace ambrel::test
