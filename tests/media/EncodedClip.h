#pragma once

#include <chrono>
#include <vector>

#include "CorvelKit/media/AvcodecVideoEncoder.h"
#include "SyntheticVideo.h"

namespace corvel::media::testing {

// A software encoder whose packets land in a vector.
struct RecordingEncoder {
  explicit RecordingEncoder(VideoCodec codec, int bitrate = 1'000'000, int fps = 30)
      : encoder(bitrate, fps) {
    encoder.configure(bitrate, fps, codec, std::nullopt);
    encoder.setOnPacket([this](VideoPacket p) { packets.push_back(std::move(p)); });
  }

  // Encodes `count` frames of a moving gradient, 1/30 s apart from `firstStep` on.
  void encodeFrames(int width, int height, int count, int firstStep = 0, bool noise = false) {
    SyntheticPicture picture(width, height);
    for (int i = firstStep; i < firstStep + count; ++i) {
      picture.draw(i, noise);
      encoder.encode(picture.frame(), std::chrono::microseconds(i * 33'333));
    }
  }

  AvcodecVideoEncoder encoder;
  std::vector<VideoPacket> packets;
};

// A short clip: a keyframe followed by delta frames.
inline std::vector<VideoPacket> encodedClip(VideoCodec codec, int width = 320, int height = 240,
                                            int count = 4) {
  RecordingEncoder r(codec);
  r.encodeFrames(width, height, count);
  return r.packets;
}

}  // namespace corvel::media::testing
