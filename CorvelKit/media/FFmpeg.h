#pragma once

// Handles of the FFmpeg libraries. Included by .cpp files of this folder only: no public header
// of ours shows FFmpeg types.

#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/opt.h>
}

namespace corvel::media::ffmpeg {

struct CodecContextDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct BufferRefDeleter {
  void operator()(AVBufferRef* p) const { av_buffer_unref(&p); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

inline std::string errorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace corvel::media::ffmpeg

#include <mutex>

#include "CorvelKit/base/Log.h"

namespace corvel::media::ffmpeg {

// Sends FFmpeg's own messages to the "video" log at debug level instead of stderr.
inline void routeLogging() {
  static std::once_flag once;
  std::call_once(once, [] {
    av_log_set_callback([](void* avcl, int level, const char* format, va_list args) {
      if (level > AV_LOG_WARNING) return;
      char line[512];
      int prefix = 1;
      va_list copy;
      va_copy(copy, args);
      av_log_format_line2(avcl, level, format, copy, line, sizeof line, &prefix);
      va_end(copy);
      std::string_view text(line);
      while (!text.empty() && text.back() == '\n') text.remove_suffix(1);
      static auto& log = Log::core("video");
      log.debug("ffmpeg: {}", text);
    });
  });
}

}  // namespace corvel::media::ffmpeg
