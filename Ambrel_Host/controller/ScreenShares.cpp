#include "Ambrel_Host/controller/ScreenShares.h"

#include <libyuv/convert_argb.h>

#include "Ambrel_Host/controller/HostContext.h"
#include "Ambrel_Host/controller/MessageDispatch.h"
#include "Ambrel_Host/controller/SessionSupervision.h"
#include "Ambrel_Host/controller/ShareWindows.h"
#include "CorvelKit/base/JSONCoding.h"
#include "CorvelKit/media/VideoReceiver.h"
#include "CorvelKit/protocol/SharerInfo.h"

namespace ambrel {

using corvel::protocol::MessageType;

namespace {

// A decoded picture as 32-bit pixels; nothing for a layout this side can't convert.
std::shared_ptr<SharedPicture> convert(const corvel::media::DecodedPicture& p) {
  using Layout = corvel::media::DecodedPicture::Layout;
  if (p.width <= 0 || p.height <= 0 || p.planes[0] == nullptr) return nullptr;
  auto out = std::make_shared<SharedPicture>();
  out->width = p.width;
  out->height = p.height;
  out->pixels.resize(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 4);
  const int stride = p.width * 4;
  int failed = -1;
  if (p.layout == Layout::yuv420p) {
    failed = libyuv::I420ToARGB(p.planes[0], p.strides[0], p.planes[1], p.strides[1], p.planes[2], p.strides[2],
                                out->pixels.data(), stride, p.width, p.height);
  } else if (p.layout == Layout::nv12) {
    failed = libyuv::NV12ToARGB(p.planes[0], p.strides[0], p.planes[1], p.strides[1], out->pixels.data(), stride,
                                p.width, p.height);
  }
  return failed == 0 ? out : nullptr;
}

}  // namespace

struct ScreenShares::Share {
  std::mutex mutex;  // the decoder is fed from the sharer's connection queue
  corvel::media::VideoReceiver receiver;
};

ScreenShares::ScreenShares(HostContext& context, MessageDispatch& dispatch, SessionSupervision& supervision)
    : context_(context), supervision_(supervision) {
  dispatch.route(MessageType::video, MessageDispatch::Stage::fast, MessageDispatch::admitted,
                 [this](const std::shared_ptr<RemoteClient>& c, corvel::Bytes& payload) {
                   if (!c->isScreenSharer()) return;
                   auto share = find(c->id());
                   if (!share) return;
                   std::lock_guard lock(share->mutex);
                   share->receiver.receive(payload);
                 });
  dispatch.route(MessageType::sharerInfo, MessageDispatch::Stage::main, MessageDispatch::admitted,
                 [this](const std::shared_ptr<RemoteClient>& c, corvel::Bytes& payload) {
                   if (!c->isScreenSharer() || !windows_ || !find(c->id())) return;
                   auto info = corvel::JSONCoding::decode<corvel::protocol::SharerInfo>(payload);
                   if (info) windows_->setOrientation(c->id(), info->orientation);
                 });
  supervision_.addEndHook([this](const RemoteClient& c) {
    std::shared_ptr<Share> share;
    {
      std::lock_guard lock(mutex_);
      auto it = shares_.find(c.id());
      if (it == shares_.end()) return;
      share = std::move(it->second);
      shares_.erase(it);
    }
    {
      // No picture of it reaches the window after this.
      std::lock_guard lock(share->mutex);
      share->receiver.stop();
    }
    if (windows_) windows_->close(c.id());
  });
  subscription_ = context_.observers.subscribe([this](const HostChange& change) {
    if (change.property == HostProperty::clients) clientsChanged();
  });
}

ScreenShares::~ScreenShares() {
  context_.observers.unsubscribe(subscription_);
  std::lock_guard lock(mutex_);
  for (auto& [id, share] : shares_) {
    std::lock_guard shareLock(share->mutex);
    share->receiver.stop();
  }
}

void ScreenShares::setWindows(std::shared_ptr<ShareWindows> windows) {
  windows_ = std::move(windows);
  clientsChanged();
}

std::shared_ptr<ScreenShares::Share> ScreenShares::find(const corvel::UUID& id) const {
  std::lock_guard lock(mutex_);
  auto it = shares_.find(id);
  return it != shares_.end() ? it->second : nullptr;
}

void ScreenShares::clientsChanged() {
  if (!windows_) return;
  for (const auto& c : context_.clients.all()) {
    if (!c->authorized() || !c->isScreenSharer() || c->isStopped() || find(c->id())) continue;
    auto share = std::make_shared<Share>();
    const auto id = c->id();
    share->receiver.onPicture = [windows = windows_, id](const corvel::media::DecodedPicture& picture) {
      if (auto converted = convert(picture)) windows->show(id, std::move(converted));
    };
    {
      std::lock_guard lock(mutex_);
      shares_.emplace(id, share);
    }
    windows_->open(id, c->displayName() + "'s Screen", [this](const corvel::UUID& closed) {
      // The person closed the window: that sharer stops.
      context_.post([this, closed] {
        if (auto client = context_.clients.find(closed)) {
          supervision_.stopClient(client, "The computer closed the shared screen.");
        }
      });
    });
  }
}

}  // namespace ambrel
