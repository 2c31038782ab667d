#include "CorvelKit/media/VideoReceiver.h"

#include "CorvelKit/base/Log.h"
#include "CorvelKit/media/FFmpeg.h"

namespace corvel::media {

namespace {
spdlog::logger& log() {
  static auto& logger = Log::core("video");
  return logger;
}

DecodedPicture::Layout layoutOf(int format) {
  switch (format) {
    case AV_PIX_FMT_YUV420P:
    case AV_PIX_FMT_YUVJ420P:
      return DecodedPicture::Layout::yuv420p;
    case AV_PIX_FMT_NV12:
      return DecodedPicture::Layout::nv12;
    default:
      return DecodedPicture::Layout::other;
  }
}
}  // namespace

struct VideoReceiver::Decoder {
  std::shared_ptr<const VideoFormat> format;
  ffmpeg::CodecContextPtr context;
  ffmpeg::PacketPtr packet{av_packet_alloc()};
  ffmpeg::FramePtr frame{av_frame_alloc()};

  static std::unique_ptr<Decoder> open(std::shared_ptr<const VideoFormat> format) {
    const AVCodec* codec = avcodec_find_decoder(
        format->codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264);
    if (!codec) {
      log().error("no {} decoder available", wireName(format->codec));
      return nullptr;
    }
    auto decoder = std::make_unique<Decoder>();
    decoder->context.reset(avcodec_alloc_context3(codec));
    if (!decoder->context || !decoder->packet || !decoder->frame) return nullptr;
    AVCodecContext* c = decoder->context.get();
    c->flags |= AV_CODEC_FLAG_LOW_DELAY;
    c->thread_count = 2;
    c->thread_type = FF_THREAD_SLICE;  // frame threads would hold pictures back
    // The parameter sets were checked; this keeps a decoder from allocating beyond them (with
    // room for the coded size's alignment).
    c->max_pixels = static_cast<std::int64_t>(format->width + 128) * (format->height + 128);
    const int rc = avcodec_open2(c, codec, nullptr);
    if (rc < 0) {
      log().error("opening the {} decoder failed: {}", wireName(format->codec),
                  ffmpeg::errorText(rc));
      return nullptr;
    }
    decoder->format = std::move(format);
    return decoder;
  }
};

VideoReceiver::VideoReceiver() = default;
VideoReceiver::~VideoReceiver() = default;

void VideoReceiver::receive(ByteView payload) {
  auto packet = VideoPacket::parse(payload);
  if (!packet) return;
  auto sample = depacketizer_.sample(std::move(*packet));
  if (!sample) {
    needKeyframe();
    return;
  }
  if (depacketizer_.width() != lastWidth_ || depacketizer_.height() != lastHeight_) {
    lastWidth_ = depacketizer_.width();
    lastHeight_ = depacketizer_.height();
    if (onSizeChange) onSizeChange(lastWidth_, lastHeight_);
  }
  decode(*sample);
}

void VideoReceiver::needKeyframe() {
  if (onNeedKeyframe) onNeedKeyframe();
}

void VideoReceiver::decode(const VideoSample& sample) {
  if (waitingForKeyframe_ && !sample.isKeyframe) {
    needKeyframe();
    return;
  }
  // A new codec or picture size gets a decoder of its own, bounded by the new size.
  if (!decoder_ || decoder_->format->codec != sample.format->codec ||
      decoder_->format->width != sample.format->width ||
      decoder_->format->height != sample.format->height) {
    decoder_ = Decoder::open(sample.format);
    if (!decoder_) {
      needKeyframe();
      return;
    }
  }
  decoder_->format = sample.format;
  if (onSample) onSample(sample);

  Bytes stream = sample.annexB();
  AVPacket* pkt = decoder_->packet.get();
  av_packet_unref(pkt);
  if (av_new_packet(pkt, static_cast<int>(stream.size())) < 0) return;
  std::copy(stream.begin(), stream.end(), pkt->data);
  pkt->pts = static_cast<std::int64_t>(sample.timestampMicros & 0x7fffffffffffffff);
  if (sample.isKeyframe) pkt->flags |= AV_PKT_FLAG_KEY;

  AVCodecContext* c = decoder_->context.get();
  bool failed = avcodec_send_packet(c, pkt) < 0;
  while (!failed) {
    AVFrame* f = decoder_->frame.get();
    const int rc = avcodec_receive_frame(c, f);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) break;
    if (rc < 0) {
      failed = true;
      break;
    }
    if ((f->flags & AV_FRAME_FLAG_CORRUPT) != 0 || f->decode_error_flags != 0) {
      av_frame_unref(f);
      failed = true;
      break;
    }
    DecodedPicture picture;
    picture.width = f->width;
    picture.height = f->height;
    picture.layout = layoutOf(f->format);
    for (std::size_t i = 0; i < picture.planes.size(); ++i) {
      picture.planes[i] = f->data[i];
      picture.strides[i] = f->linesize[i];
    }
    picture.timestampMicros = f->pts >= 0 ? static_cast<std::uint64_t>(f->pts) : 0;
    frames_.fetch_add(1);
    if (onPicture) onPicture(picture);
    av_frame_unref(f);
  }
  if (failed) {
    avcodec_flush_buffers(c);
    waitingForKeyframe_ = true;
    needKeyframe();
    return;
  }
  if (sample.isKeyframe) waitingForKeyframe_ = false;
}

void VideoReceiver::stop() {
  onNeedKeyframe = nullptr;
  onSample = nullptr;
  onPicture = nullptr;
  decoder_.reset();
  frames_.store(0);
}

}  // namespace corvel::media
