#include "Ambrel_Host/ui/ShareWindowSet.h"

#include <mutex>

#include <QMetaObject>
#include <QObject>

namespace ambrel {

struct ShareWindowSet::Mailbox {
  std::mutex mutex;
  QObject* receiver = nullptr;
  ShareWindowSet* set = nullptr;

  void post(std::function<void(ShareWindowSet&)> work) {
    std::lock_guard lock(mutex);
    if (receiver == nullptr) return;
    QMetaObject::invokeMethod(
        receiver, [set = set, work = std::move(work)] { work(*set); }, Qt::QueuedConnection);
  }
};

namespace {

class PostedShareWindows final : public ShareWindows {
 public:
  using Post = std::function<void(std::function<void(ShareWindowSet&)>)>;
  explicit PostedShareWindows(Post post) : post_(std::move(post)) {}

  void open(const corvel::UUID& id, const std::string& title, Closed closed) override {
    post_([=](ShareWindowSet& s) { s.open(id, title, closed); });
  }
  void setOrientation(const corvel::UUID& id, std::uint32_t orientation) override {
    post_([=](ShareWindowSet& s) { s.setOrientation(id, orientation); });
  }
  void show(const corvel::UUID& id, std::shared_ptr<const SharedPicture> picture) override {
    post_([id, picture = std::move(picture)](ShareWindowSet& s) { s.show(id, picture); });
  }
  void close(const corvel::UUID& id) override {
    post_([=](ShareWindowSet& s) { s.close(id); });
  }

 private:
  Post post_;
};

}  // namespace

ShareWindowSet::ShareWindowSet() : receiver_(std::make_unique<QObject>()), mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->receiver = receiver_.get();
  mailbox_->set = this;
}

ShareWindowSet::~ShareWindowSet() {
  std::lock_guard lock(mailbox_->mutex);
  mailbox_->receiver = nullptr;
  mailbox_->set = nullptr;
}

std::shared_ptr<ShareWindows> ShareWindowSet::windows() {
  return std::make_shared<PostedShareWindows>(
      [mailbox = mailbox_](std::function<void(ShareWindowSet&)> work) { mailbox->post(std::move(work)); });
}

ScreenShareWindow* ShareWindowSet::window(const corvel::UUID& clientID) const {
  auto it = windows_.find(clientID);
  return it != windows_.end() ? it->second.get() : nullptr;
}

void ShareWindowSet::open(const corvel::UUID& clientID, const std::string& title, ShareWindows::Closed closed) {
  if (windows_.contains(clientID)) return;
  auto window = std::make_unique<ScreenShareWindow>(QString::fromStdString(title),
                                                    [closed, clientID] { if (closed) closed(clientID); });
  window->show();
  window->raise();
  window->activateWindow();
  windows_.emplace(clientID, std::move(window));
}

void ShareWindowSet::setOrientation(const corvel::UUID& clientID, std::uint32_t orientation) {
  if (auto* w = window(clientID)) w->setOrientation(orientation);
}

void ShareWindowSet::show(const corvel::UUID& clientID, std::shared_ptr<const SharedPicture> picture) {
  if (auto* w = window(clientID)) w->setPicture(std::move(picture));
}

void ShareWindowSet::close(const corvel::UUID& clientID) {
  auto it = windows_.find(clientID);
  if (it == windows_.end()) return;
  it->second->closeFromHost();
  windows_.erase(it);
}

}  // namespace ambrel
