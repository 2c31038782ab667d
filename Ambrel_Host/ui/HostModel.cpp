#include "Ambrel_Host/ui/HostModel.h"

#include <mutex>
#include <unordered_set>

#include <QMetaObject>
#include <QObject>
#include <boost/asio/post.hpp>

#include "Ambrel_Host/controller/HostController.h"
#include "Ambrel_Host/shell/UpdateChecker.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("ui"); }
}  // namespace

// Where the executor leaves snapshots for the interface thread; closed when the model goes.
struct HostModel::Mailbox {
  std::mutex mutex;
  QObject* receiver = nullptr;
  HostModel* model = nullptr;

  void deliver(std::shared_ptr<HostSnapshot> snapshot) {
    std::lock_guard lock(mutex);
    if (receiver == nullptr) return;
    // Queued to the receiver: Qt drops the call if the receiver is gone by then, and the model
    // lives exactly as long as its receiver.
    QMetaObject::invokeMethod(
        receiver, [model = model, snapshot] { model->accept(std::move(*snapshot)); },
        Qt::QueuedConnection);
  }
  void deliverUpdateAlert(const UpdateAlert& alert) {
    std::lock_guard lock(mutex);
    if (receiver == nullptr) return;
    QMetaObject::invokeMethod(
        receiver, [model = model, alert] { model->acceptUpdateAlert(alert); }, Qt::QueuedConnection);
  }
  void close() {
    std::lock_guard lock(mutex);
    receiver = nullptr;
    model = nullptr;
  }
};

// The executor's side: the subscription, and a refresh that coalesces bursts of changes into
// one snapshot taken once the change is complete.
struct HostModel::Link : std::enable_shared_from_this<HostModel::Link> {
  std::weak_ptr<HostController> host;
  corvel::Executor executor;
  std::shared_ptr<SessionHistory> history;
  std::weak_ptr<UpdateChecker> updates;
  std::shared_ptr<Mailbox> mailbox;
  std::optional<int> token;
  std::optional<int> updatesToken;
  bool scheduled = false;

  void start() {
    auto h = host.lock();
    if (!h) return;
    std::weak_ptr<Link> weak = weak_from_this();
    token = h->subscribe([weak](const HostChange&) {
      if (auto link = weak.lock()) link->schedule();
    });
    if (history) {
      history->setOnChange([weak] {
        if (auto link = weak.lock()) link->schedule();
      });
    }
    if (auto checker = updates.lock()) {
      updatesToken = checker->subscribe([weak](const UpdateStatus&) {
        if (auto link = weak.lock()) link->schedule();
      });
      checker->setAlert([weak](const UpdateAlert& alert) {
        if (auto link = weak.lock()) link->mailbox->deliverUpdateAlert(alert);
      });
    }
    refresh();
  }
  void stop() {
    if (auto h = host.lock(); h && token) h->unsubscribe(*token);
    if (history) history->setOnChange({});
    if (auto checker = updates.lock(); checker && updatesToken) {
      checker->unsubscribe(*updatesToken);
      checker->setAlert({});
    }
    token.reset();
    updatesToken.reset();
  }
  void schedule() {
    if (scheduled) return;
    scheduled = true;
    boost::asio::post(executor, [weak = weak_from_this()] {
      if (auto link = weak.lock()) link->refresh();
    });
  }
  void refresh() {
    scheduled = false;
    auto h = host.lock();
    if (!h) return;
    auto checker = updates.lock();
    mailbox->deliver(std::make_shared<HostSnapshot>(HostSnapshot::of(*h, history.get(), checker.get())));
  }
};

HostModel::HostModel(std::weak_ptr<HostController> host, corvel::Executor executor,
                     std::shared_ptr<SessionHistory> history, std::weak_ptr<UpdateChecker> updates)
    : receiver_(std::make_unique<QObject>()),
      mailbox_(std::make_shared<Mailbox>()),
      link_(std::make_shared<Link>()),
      checksForUpdates_(!updates.expired()) {
  mailbox_->receiver = receiver_.get();
  mailbox_->model = this;
  link_->host = std::move(host);
  link_->executor = executor;
  link_->history = std::move(history);
  link_->updates = std::move(updates);
  link_->mailbox = mailbox_;
  boost::asio::post(executor, [link = link_] { link->start(); });
}

HostModel::~HostModel() {
  mailbox_->close();
  boost::asio::post(link_->executor, [link = link_] { link->stop(); });
}

int HostModel::addListener(std::function<void()> listener) {
  listeners_.emplace(nextToken_, std::move(listener));
  return nextToken_++;
}

void HostModel::removeListener(int token) { listeners_.erase(token); }

void HostModel::accept(HostSnapshot snapshot) {
  snapshot_ = std::move(snapshot);
  ready_ = true;
  // A listener may add or remove listeners: call a copy.
  auto listeners = listeners_;
  for (auto& [token, listener] : listeners) {
    if (listeners_.contains(token)) listener();
  }
}

void HostModel::acceptUpdateAlert(const UpdateAlert& alert) {
  if (!updateAlertHandler_) return;
  auto handler = updateAlertHandler_;
  handler(alert);
}

void HostModel::setUpdateAlertHandler(std::function<void(const UpdateAlert&)> handler) {
  updateAlertHandler_ = std::move(handler);
}

void HostModel::checkForUpdates() {
  boost::asio::post(link_->executor, [updates = link_->updates] {
    if (auto checker = updates.lock()) checker->check(true);
  });
}

void HostModel::answerUpdate(UpdateAlert alert, std::size_t button) {
  boost::asio::post(link_->executor, [updates = link_->updates, alert = std::move(alert), button] {
    if (auto checker = updates.lock()) checker->respond(alert, button);
  });
}

void HostModel::perform(std::function<void(HostController&)> work) {
  boost::asio::post(link_->executor, [host = link_->host, work = std::move(work)] {
    if (auto h = host.lock()) work(*h);
  });
}

void HostModel::set(Setting setting, SettingValue value) {
  perform([setting, value = std::move(value)](HostController& host) {
    if (auto error = host.set(setting, value)) {
      log().warn("couldn't change {}: {}", SettingsTable::spec(setting).key, *error);
    }
  });
}

void HostModel::setLaunchAtLogin(bool on) {
  perform([on](HostController& host) {
    if (auto error = host.setLaunchAtLogin(on)) log().warn("open at login: {}", *error);
  });
}

void HostModel::regenerateAccessCode() {
  perform([](HostController& host) { host.regenerateAccessCode(); });
}

void HostModel::setCanControl(const corvel::UUID& client, bool on) {
  perform([client, on](HostController& host) {
    if (auto c = host.client(client); c && c->authorized()) host.setCanControl(c, on);
  });
}

void HostModel::disconnect(const corvel::UUID& client) {
  perform([client](HostController& host) {
    if (auto c = host.client(client)) host.stopClient(c, "Disconnected by the host.");
  });
}

void HostModel::answer(const corvel::UUID& client, ApprovalAnswer answer) {
  perform([client, answer](HostController& host) { host.answerApproval(client, answer); });
}

void HostModel::startSupport() {
  perform([](HostController& host) {
    if (!host.supportCode()) host.startSupport();
  });
}

void HostModel::endSupport() {
  perform([](HostController& host) {
    if (host.supportCode()) host.endSupport();
  });
}

void HostModel::sendChat(std::string text) {
  perform([text = std::move(text)](HostController& host) {
    if (auto error = host.chatLog().sendChat(text)) log().warn("chat: {}", *error);
  });
}

void HostModel::markChatRead() {
  perform([](HostController& host) { host.chatLog().markChatRead(); });
}

void HostModel::sendFiles(std::vector<std::filesystem::path> files) {
  perform([files = std::move(files)](HostController& host) { host.files().sendToEveryone(files); });
}

void HostModel::forgetTrustedDevice(std::string id) {
  perform([id = std::move(id)](HostController& host) { host.forgetTrustedDevice(id); });
}

void HostModel::clearHistory() {
  boost::asio::post(link_->executor, [host = link_->host, history = link_->history] {
    auto h = host.lock();
    if (!h || !history) return;
    std::unordered_set<corvel::UUID> keeping;
    for (const auto& c : h->clients()) keeping.insert(c->id());
    history->clear(keeping);
  });
}

}  // namespace ambrel
