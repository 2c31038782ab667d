#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/DecodedPicture.h"
#include "CorvelKit/media/VideoDepacketizer.h"

namespace corvel::media {

// Receives a video stream: parses each `video` payload, depacketizes it and decodes it with the
// platform's decoder, handing out every picture. It is fed from one receive path; the callbacks
// run on that path, inside `receive`, and must not destroy the receiver. Set them before the
// first `receive`.
class VideoReceiver {
 public:
  VideoReceiver();
  ~VideoReceiver();
  VideoReceiver(const VideoReceiver&) = delete;
  VideoReceiver& operator=(const VideoReceiver&) = delete;

  // The stream's picture size changed (also called for the first format).
  std::function<void(int width, int height)> onSizeChange;
  // The stream cannot be shown until a new keyframe arrives: ask the sender for one.
  std::function<void()> onNeedKeyframe;
  // Every sample that goes to the decoder (a recorder listens here).
  std::function<void(const VideoSample&)> onSample;
  // Every decoded picture.
  std::function<void(const DecodedPicture&)> onPicture;

  // Handles one payload; a malformed one is ignored.
  void receive(ByteView payload);

  // Pictures decoded since the last call.
  [[nodiscard]] int takeFrameCount() { return frames_.exchange(0); }

  // Drops the callbacks and the decoder and resets the picture count.
  void stop();

 private:
  struct Decoder;

  void decode(const VideoSample& sample);
  void needKeyframe();

  VideoDepacketizer depacketizer_;
  std::unique_ptr<Decoder> decoder_;
  int lastWidth_ = 0;
  int lastHeight_ = 0;
  // After a decoding failure, frames that depend on earlier ones are not worth decoding.
  bool waitingForKeyframe_ = false;
  std::atomic<int> frames_{0};
};

}  // namespace corvel::media
