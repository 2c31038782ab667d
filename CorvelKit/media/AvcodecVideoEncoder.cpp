#include "CorvelKit/media/AvcodecVideoEncoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/media/FFmpeg.h"
#include "CorvelKit/media/NalUnits.h"
#include "CorvelKit/media/SequenceParameterSet.h"

extern "C" {
#include <libavutil/hwcontext.h>
}

namespace corvel::media {

namespace {

spdlog::logger& log() {
  static auto& logger = Log::core("video");
  return logger;
}

constexpr std::int64_t kMaxKeyframeIntervalMicros = 10'000'000;

enum class Backend { nvenc, vaapi, software };

// NAL unit types that carry nothing a viewer needs (access unit delimiters).
bool isDelimiter(VideoCodec codec, int type) {
  return codec == VideoCodec::h264 ? type == 9 : type == 35;
}

bool supportsFormat(const AVCodec* codec, AVPixelFormat format) {
  if (!codec->pix_fmts) return false;
  for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p) {
    if (*p == format) return true;
  }
  return false;
}

void noFree(void*, std::uint8_t*) {}

}  // namespace

struct AvcodecVideoEncoder::Session {
  Backend backend = Backend::software;
  VideoCodec codec = VideoCodec::h264;
  std::string name;
  int width = 0;
  int height = 0;
  // Whether the encoder takes a new average bit rate without being rebuilt.
  bool liveBitrate = false;
  // The encoder wants planar 4:2:0, so NV12's chroma is split into its own planes first.
  bool splitChroma = false;
  ffmpeg::CodecContextPtr context;
  ffmpeg::BufferRefPtr hwFrames;
  ffmpeg::FramePtr frame{av_frame_alloc()};
  ffmpeg::FramePtr planar;
  ffmpeg::PacketPtr packet{av_packet_alloc()};
  // The parameter sets of this session's last keyframe, for keyframes that do not repeat them.
  std::vector<Bytes> parameterSets;
  std::int64_t framesSent = 0;
  std::int64_t lastPts = 0;
};

std::unique_ptr<VideoEncoder> VideoEncoder::make(int bitsPerSecond, int fps,
                                                 HardwareEncoders hardware) {
  return std::make_unique<AvcodecVideoEncoder>(
      bitsPerSecond, fps, AvcodecVideoEncoder::Options{.hardware = std::move(hardware)});
}

AvcodecVideoEncoder::AvcodecVideoEncoder(int bitsPerSecond, int fps)
    : AvcodecVideoEncoder(bitsPerSecond, fps, Options{}) {}

AvcodecVideoEncoder::AvcodecVideoEncoder(int bitsPerSecond, int fps, Options options)
    : options_(std::move(options)), bitrate_(bitsPerSecond), fps_(fps) {
  ffmpeg::routeLogging();
}

AvcodecVideoEncoder::~AvcodecVideoEncoder() {
  // Whoever owned the handler is going away with us: pending frames go nowhere.
  onPacket_ = nullptr;
  invalidate();
}

void AvcodecVideoEncoder::setOnPacket(PacketHandler handler) { onPacket_ = std::move(handler); }

void AvcodecVideoEncoder::requestKeyframe() {
  std::lock_guard guard(lock_);
  forceKeyframe_ = true;
}

void AvcodecVideoEncoder::setBitrate(int bitsPerSecond) {
  {
    std::lock_guard guard(lock_);
    bitrate_ = bitsPerSecond;
  }
  if (!session_) return;
  if (!session_->liveBitrate) {
    // This encoder cannot change its rate in flight: the next frame starts a new session.
    invalidate();
    return;
  }
  // libx264 picks these up before its next frame (a reconfiguration, not a new session).
  AVCodecContext* c = session_->context.get();
  c->bit_rate = bitsPerSecond;
  c->rc_max_rate = 2 * static_cast<std::int64_t>(bitsPerSecond);
  c->rc_buffer_size = bitsPerSecond;
}

void AvcodecVideoEncoder::configure(int bitsPerSecond, int fps, std::optional<VideoCodec> codec,
                                    std::optional<bool> hdr) {
  {
    std::lock_guard guard(lock_);
    bitrate_ = bitsPerSecond;
    fps_ = fps;
    if (codec) codec_ = *codec;
    if (hdr) hdr_ = *hdr;
  }
  invalidate();
}

void AvcodecVideoEncoder::invalidate() {
  if (session_) {
    // Complete whatever the encoder still holds, then drop it.
    if (avcodec_send_frame(session_->context.get(), nullptr) >= 0) drain(*session_);
    session_.reset();
  }
  lastKeyframeMicros_.reset();
  std::lock_guard guard(lock_);
  forceKeyframe_ = true;
}

void AvcodecVideoEncoder::buildSession(int width, int height) {
  invalidate();
  VideoCodec codec;
  int bitrate, fps;
  {
    std::lock_guard guard(lock_);
    // HDR is stored but never honoured: this platform captures no HDR, so no 10-bit session
    // and no extra bit rate for one.
    codec = codec_;
    bitrate = bitrate_;
    fps = std::max(1, fps_);
  }
  const bool hevc = codec == VideoCodec::hevc;

  std::vector<Backend> backends;
  if (options_.hardware.nvenc && !nvencFailed_) backends.push_back(Backend::nvenc);
  if (options_.hardware.vaapiDevice && !vaapiFailed_) backends.push_back(Backend::vaapi);
  backends.push_back(Backend::software);

  for (Backend backend : backends) {
    const char* name = nullptr;
    switch (backend) {
      case Backend::nvenc: name = hevc ? "hevc_nvenc" : "h264_nvenc"; break;
      case Backend::vaapi: name = hevc ? "hevc_vaapi" : "h264_vaapi"; break;
      case Backend::software: name = hevc ? "libx265" : "libx264"; break;
    }
    const AVCodec* encoder = avcodec_find_encoder_by_name(name);
    if (!encoder) {
      if (backend == Backend::software) log().error("the {} encoder is not available", name);
      continue;
    }
    auto session = std::make_unique<Session>();
    session->backend = backend;
    session->codec = codec;
    session->name = name;
    session->width = width;
    session->height = height;
    session->context.reset(avcodec_alloc_context3(encoder));
    if (!session->context || !session->frame || !session->packet) return;
    AVCodecContext* c = session->context.get();
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, 1'000'000};
    c->framerate = AVRational{fps, 1};
    c->gop_size = fps * 10;
    c->max_b_frames = 0;
    c->bit_rate = bitrate;
    c->color_range = AVCOL_RANGE_MPEG;
    // The capture converts with the BT.601 matrix (libyuv's ARGB→NV12); the stream says so, so
    // that decoders which follow the label show the screen's own colours. Screens are sRGB, whose
    // primaries and transfer are BT.709's.
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    AVDictionary* opts = nullptr;
    switch (backend) {
      case Backend::nvenc:
        c->pix_fmt = AV_PIX_FMT_NV12;
        av_dict_set(&opts, "preset", "p1", 0);
        av_dict_set(&opts, "tune", "ull", 0);
        av_dict_set(&opts, "zerolatency", "1", 0);
        av_dict_set(&opts, "delay", "0", 0);
        av_dict_set(&opts, "forced-idr", "1", 0);
        av_dict_set(&opts, "rc", "vbr", 0);
        break;
      case Backend::vaapi: {
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, AV_HWDEVICE_TYPE_VAAPI,
                                   options_.hardware.vaapiDevice->c_str(), nullptr, 0) < 0) {
          log().info("no working VAAPI device; not trying it again");
          vaapiFailed_ = true;
          continue;
        }
        ffmpeg::BufferRefPtr deviceRef(device);
        session->hwFrames.reset(av_hwframe_ctx_alloc(device));
        if (!session->hwFrames) continue;
        auto* frames = reinterpret_cast<AVHWFramesContext*>(session->hwFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = width;
        frames->height = height;
        frames->initial_pool_size = 4;
        if (av_hwframe_ctx_init(session->hwFrames.get()) < 0) {
          vaapiFailed_ = true;
          continue;
        }
        c->pix_fmt = AV_PIX_FMT_VAAPI;
        c->hw_frames_ctx = av_buffer_ref(session->hwFrames.get());
        av_dict_set(&opts, "rc_mode", "VBR", 0);
        av_dict_set(&opts, "async_depth", "1", 0);
        break;
      }
      case Backend::software:
        if (hevc) {
          av_dict_set(&opts, "preset", "ultrafast", 0);
          av_dict_set(&opts, "tune", "zerolatency", 0);
          av_dict_set(&opts, "forced-idr", "1", 0);
          av_dict_set(&opts, "x265-params",
                      "log-level=error:repeat-headers=1:open-gop=0:bframes=0:rc-lookahead=0:scenecut=0", 0);
        } else {
          av_dict_set(&opts, "preset", options_.x264Preset.c_str(), 0);
          av_dict_set(&opts, "tune", "zerolatency", 0);
          av_dict_set(&opts, "profile", "high", 0);
          av_dict_set(&opts, "forced-idr", "1", 0);
          // Keyframes come when asked for and every ten seconds, never on a guess.
          av_dict_set(&opts, "x264-params", "scenecut=0", 0);
          // A rate ceiling lets libx264 take a new average rate in flight; it is generous
          // (twice the average, one second of buffer) so that keyframes are not starved.
          c->rc_max_rate = 2 * static_cast<std::int64_t>(bitrate);
          c->rc_buffer_size = bitrate;
          session->liveBitrate = true;
        }
        if (supportsFormat(encoder, AV_PIX_FMT_NV12)) {
          c->pix_fmt = AV_PIX_FMT_NV12;
        } else {
          c->pix_fmt = AV_PIX_FMT_YUV420P;
          session->splitChroma = true;
        }
        break;
    }
    const int rc = avcodec_open2(c, encoder, &opts);
    av_dict_free(&opts);
    if (rc < 0) {
      log().error("opening the {} encoder at {}x{} failed: {}", name, width, height,
                  ffmpeg::errorText(rc));
      if (backend == Backend::nvenc) nvencFailed_ = true;
      if (backend == Backend::vaapi) vaapiFailed_ = true;
      continue;
    }
    if (session->splitChroma) {
      session->planar.reset(av_frame_alloc());
      if (!session->planar) continue;
      session->planar->format = AV_PIX_FMT_YUV420P;
      session->planar->width = width;
      session->planar->height = height;
      if (av_frame_get_buffer(session->planar.get(), 0) < 0) continue;
    }
    if (loggedEncoder_ != session->name) {
      log().info("video encoder: {}", session->name);
      loggedEncoder_ = session->name;
    }
    session_ = std::move(session);
    ++sessionsBuilt_;
    return;
  }
}

void AvcodecVideoEncoder::encode(const VideoFrame& frame, std::chrono::microseconds pts) {
  if (!frame.isValid()) return;
  // 4:2:0 needs even sizes: an odd last row or column is left out.
  const int width = frame.width & ~1;
  const int height = frame.height & ~1;
  if (width < 2 || height < 2 || width > SequenceParameterSet::kMaxDimension ||
      height > SequenceParameterSet::kMaxDimension)
    return;
  if (!session_ || session_->width != width || session_->height != height)
    buildSession(width, height);
  if (!session_) return;
  Session& s = *session_;

  bool keyframe;
  {
    std::lock_guard guard(lock_);
    keyframe = forceKeyframe_;
    forceKeyframe_ = false;
  }
  const std::int64_t micros = pts.count();
  if (!lastKeyframeMicros_ || micros - *lastKeyframeMicros_ >= kMaxKeyframeIntervalMicros)
    keyframe = true;
  // The encoders want rising timestamps; a frame that repeats one is nudged forward.
  const std::int64_t encoderPts = s.framesSent > 0 ? std::max(micros, s.lastPts + 1) : micros;
  s.lastPts = encoderPts;
  ++s.framesSent;

  AVFrame* in = s.frame.get();
  av_frame_unref(in);
  in->format = AV_PIX_FMT_NV12;
  in->width = width;
  in->height = height;
  const std::size_t chromaRows = static_cast<std::size_t>(height / 2);
  // The caller's planes are lent, not copied: every encoder here copies or uploads the picture
  // before `avcodec_send_frame` returns, and the frame is released before `encode` does.
  in->buf[0] = av_buffer_create(const_cast<std::uint8_t*>(frame.y),
                                frame.yStride * height, noFree, nullptr, AV_BUFFER_FLAG_READONLY);
  in->buf[1] = av_buffer_create(const_cast<std::uint8_t*>(frame.uv),
                                frame.uvStride * static_cast<std::ptrdiff_t>(chromaRows), noFree,
                                nullptr, AV_BUFFER_FLAG_READONLY);
  if (!in->buf[0] || !in->buf[1]) {
    av_frame_unref(in);
    return;
  }
  in->data[0] = const_cast<std::uint8_t*>(frame.y);
  in->data[1] = const_cast<std::uint8_t*>(frame.uv);
  in->linesize[0] = static_cast<int>(frame.yStride);
  in->linesize[1] = static_cast<int>(frame.uvStride);

  AVFrame* submit = in;
  ffmpeg::FramePtr hw;
  if (s.splitChroma) {
    AVFrame* p = s.planar.get();
    if (av_frame_make_writable(p) < 0) return;
    for (int row = 0; row < height; ++row)
      std::memcpy(p->data[0] + row * p->linesize[0], frame.y + row * frame.yStride,
                  static_cast<std::size_t>(width));
    for (std::size_t row = 0; row < chromaRows; ++row) {
      const std::uint8_t* uv = frame.uv + static_cast<std::ptrdiff_t>(row) * frame.uvStride;
      std::uint8_t* cb = p->data[1] + static_cast<std::ptrdiff_t>(row) * p->linesize[1];
      std::uint8_t* cr = p->data[2] + static_cast<std::ptrdiff_t>(row) * p->linesize[2];
      for (int x = 0; x < width / 2; ++x) {
        cb[x] = uv[2 * x];
        cr[x] = uv[2 * x + 1];
      }
    }
    av_frame_unref(in);
    submit = p;
  } else if (s.backend == Backend::vaapi) {
    hw.reset(av_frame_alloc());
    if (!hw || av_hwframe_get_buffer(s.hwFrames.get(), hw.get(), 0) < 0 ||
        av_hwframe_transfer_data(hw.get(), in, 0) < 0) {
      av_frame_unref(in);
      return;
    }
    av_frame_unref(in);
    submit = hw.get();
  }
  submit->pts = encoderPts;
  submit->pict_type = keyframe ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  submit->key_frame = keyframe ? 1 : 0;

  const int rc = avcodec_send_frame(s.context.get(), submit);
  av_frame_unref(in);
  if (rc < 0) {
    // Dropped; the next frame tries again with a keyframe.
    log().debug("{} refused a frame: {}", s.name, ffmpeg::errorText(rc));
    requestKeyframe();
    return;
  }
  drain(s);
}

void AvcodecVideoEncoder::drain(Session& s) {
  for (;;) {
    const int rc = avcodec_receive_packet(s.context.get(), s.packet.get());
    if (rc < 0) return;  // EAGAIN, end of stream or a failed frame: nothing more now
    emit(s, s.packet.get());
    av_packet_unref(s.packet.get());
  }
}

void AvcodecVideoEncoder::emit(Session& s, const void* avPacket) {
  const auto* pkt = static_cast<const AVPacket*>(avPacket);
  VideoPacket packet;
  packet.codec = s.codec;
  packet.isKeyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
  packet.timestampMicros = pkt->pts > 0 ? static_cast<std::uint64_t>(pkt->pts) : 0;
  packet.avcc.reserve(static_cast<std::size_t>(pkt->size) + 16);
  std::vector<Bytes> inBand;
  for (ByteView unit : NalUnits::splitAnnexB(ByteView(pkt->data, static_cast<std::size_t>(pkt->size)))) {
    const int type = NalUnits::type(s.codec, unit);
    if (NalUnits::isParameterSet(s.codec, type)) {
      if (inBand.size() < VideoPacket::kMaxParameterSets &&
          unit.size() <= VideoPacket::kMaxParameterSetSize)
        inBand.emplace_back(unit.begin(), unit.end());
      continue;
    }
    if (isDelimiter(s.codec, type)) continue;
    NalUnits::appendLengthPrefixed(packet.avcc, unit);
  }
  if (packet.avcc.empty()) return;
  if (packet.isKeyframe) {
    if (!inBand.empty()) {
      s.parameterSets = std::move(inBand);
    } else if (s.parameterSets.empty() && s.context->extradata_size > 0) {
      for (ByteView unit : NalUnits::splitAnnexB(ByteView(
               s.context->extradata, static_cast<std::size_t>(s.context->extradata_size)))) {
        if (NalUnits::isParameterSet(s.codec, NalUnits::type(s.codec, unit)))
          s.parameterSets.emplace_back(unit.begin(), unit.end());
      }
    }
    packet.parameterSets = s.parameterSets;
    lastKeyframeMicros_ = pkt->pts;
  }
  if (onPacket_) onPacket_(std::move(packet));
}

int AvcodecVideoEncoder::bitrate() const {
  std::lock_guard guard(lock_);
  return bitrate_;
}
int AvcodecVideoEncoder::fps() const {
  std::lock_guard guard(lock_);
  return fps_;
}
VideoCodec AvcodecVideoEncoder::codec() const {
  std::lock_guard guard(lock_);
  return codec_;
}
bool AvcodecVideoEncoder::hdr() const {
  std::lock_guard guard(lock_);
  return hdr_;
}
int AvcodecVideoEncoder::sessionWidth() const { return session_ ? session_->width : 0; }
int AvcodecVideoEncoder::sessionHeight() const { return session_ ? session_->height : 0; }
int AvcodecVideoEncoder::sessionsBuilt() const { return sessionsBuilt_; }
std::string AvcodecVideoEncoder::encoderName() const { return session_ ? session_->name : ""; }

}  // namespace corvel::media
