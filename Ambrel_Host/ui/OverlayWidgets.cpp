#include "Ambrel_Host/ui/OverlayWidgets.h"

#include <mutex>

#include <QMetaObject>
#include <QObject>

#include "Ambrel_Host/ui/AnnotationLayer.h"
#include "Ambrel_Host/ui/BorderWindow.h"
#include "Ambrel_Host/ui/ControlPill.h"

namespace ambrel {

struct OverlayWidgets::Mailbox {
  std::mutex mutex;
  QObject* receiver = nullptr;
  OverlayWidgets* widgets = nullptr;

  void post(std::function<void(OverlayWidgets&)> work) {
    std::lock_guard lock(mutex);
    if (receiver == nullptr) return;
    QMetaObject::invokeMethod(
        receiver, [widgets = widgets, work = std::move(work)] { work(*widgets); }, Qt::QueuedConnection);
  }
};

namespace {

class PostedWindows final : public OverlayWindows {
 public:
  using Post = std::function<void(std::function<void(OverlayWidgets&)>)>;
  explicit PostedWindows(Post post) : post_(std::move(post)) {}

  void showControl(const DisplayBounds& display, const std::string& text, bool isSupport) override {
    post_([=](OverlayWidgets& w) { w.showControl(display, text, isSupport); });
  }
  void hideControl() override {
    post_([](OverlayWidgets& w) { w.hideControl(); });
  }
  void showAnnotations(const DisplayBounds& display,
                       const std::vector<corvel::protocol::AnnotationStroke>& strokes) override {
    post_([=](OverlayWidgets& w) { w.showAnnotations(display, strokes); });
  }
  void hideAnnotations() override {
    post_([](OverlayWidgets& w) { w.hideAnnotations(); });
  }

 private:
  Post post_;
};

}  // namespace

OverlayWidgets::OverlayWidgets(std::function<void()> stop)
    : stop_(std::move(stop)), receiver_(std::make_unique<QObject>()), mailbox_(std::make_shared<Mailbox>()) {
  mailbox_->receiver = receiver_.get();
  mailbox_->widgets = this;
}

OverlayWidgets::~OverlayWidgets() {
  std::lock_guard lock(mailbox_->mutex);
  mailbox_->receiver = nullptr;
  mailbox_->widgets = nullptr;
}

std::shared_ptr<OverlayWindows> OverlayWidgets::windows() {
  return std::make_shared<PostedWindows>(
      [mailbox = mailbox_](std::function<void(OverlayWidgets&)> work) { mailbox->post(std::move(work)); });
}

void OverlayWidgets::showControl(const DisplayBounds& display, const std::string& text, bool isSupport) {
  if (!border_) border_ = std::make_unique<BorderWindow>();
  if (!pill_) pill_ = std::make_unique<ControlPill>(stop_);
  border_->showAround(display, isSupport);
  pill_->showOn(display, QString::fromStdString(text), isSupport);
}

void OverlayWidgets::hideControl() {
  if (border_) border_->hide();
  if (pill_) pill_->hide();
}

void OverlayWidgets::showAnnotations(const DisplayBounds& display,
                                     const std::vector<corvel::protocol::AnnotationStroke>& strokes) {
  if (!annotations_) annotations_ = std::make_unique<AnnotationLayer>();
  annotations_->showOver(display, strokes);
}

void OverlayWidgets::hideAnnotations() {
  if (annotations_) annotations_->hide();
}

}  // namespace ambrel
