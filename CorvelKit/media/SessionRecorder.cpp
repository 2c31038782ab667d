#include "CorvelKit/media/SessionRecorder.h"

#include <algorithm>
#include <chrono>

#include "CorvelKit/base/Log.h"
#include "CorvelKit/media/FFmpeg.h"
#include "CorvelKit/media/NalUnits.h"

namespace corvel::media {

namespace {

spdlog::logger& log() {
  static auto& logger = Log::core("video");
  return logger;
}

class RecorderCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "corvel.recorder"; }
  std::string message(int code) const override {
    switch (static_cast<SessionRecorderError>(code)) {
      case SessionRecorderError::cannotCreateFile: return "The movie file could not be created.";
      case SessionRecorderError::cannotAddTrack: return "The video cannot be added to the movie.";
      case SessionRecorderError::writeFailed: return "Writing the movie failed.";
    }
    return "Unknown recorder error.";
  }
};

constexpr std::int64_t kLastSampleMinimumMicros = 16'667;  // one frame at 60 per second
// Sound that arrives this much later than the packets before it reach starts afresh there.
constexpr double kAudioResyncSeconds = 0.2;

}  // namespace

const std::error_category& sessionRecorderCategory() {
  static const RecorderCategory category;
  return category;
}

struct SessionRecorder::Writer {
  AVFormatContext* context = nullptr;
  AVStream* stream = nullptr;
  std::shared_ptr<const VideoFormat> format;
  std::uint64_t startMicros = 0;
  std::int64_t lastPts = -1;
  ffmpeg::PacketPtr packet{av_packet_alloc()};
  // Each sample waits for the next one, which tells how long it stays on screen; the last one
  // lasts until the file is finished.
  ffmpeg::PacketPtr pending{av_packet_alloc()};
  std::int64_t pendingPts = -1;  // microseconds from the first keyframe; -1: nothing waits
  std::chrono::steady_clock::time_point startedAt;
  AVStream* audio = nullptr;
  std::int64_t audioNext = -1;   // where the next sound packet goes, in samples; -1: none yet
  std::int64_t audioFrames = 0;  // frames in one sound packet

  ~Writer() {
    if (!context) return;
    if (context->pb) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};

SessionRecorder::SessionRecorder(std::filesystem::path path) : path_(std::move(path)) {
  ffmpeg::routeLogging();
  std::error_code ignored;
  if (path_.has_parent_path()) std::filesystem::create_directories(path_.parent_path(), ignored);
  auto writer = std::make_unique<Writer>();
  const std::string file = path_.string();
  if (!writer->packet || !writer->pending ||
      avformat_alloc_output_context2(&writer->context, nullptr, "mov", file.c_str()) < 0 ||
      !writer->context ||
      avio_open(&writer->context->pb, file.c_str(), AVIO_FLAG_WRITE) < 0) {
    throw std::system_error(SessionRecorderError::cannotCreateFile, file);
  }
  writer_ = std::move(writer);
}

SessionRecorder::~SessionRecorder() {
  if (writer_) (void)finish();
}

void SessionRecorder::append(const VideoSample& sample) {
  std::lock_guard guard(lock_);
  if (!sample.format || !writer_) return;
  Writer& w = *writer_;
  if (!w.stream) {
    ++samplesSeen_;
    // The file must start with a keyframe; and a writer that already failed takes nothing.
    if (!sample.isKeyframe || lastError_) return;
    AVStream* stream = avformat_new_stream(w.context, nullptr);
    if (!stream) {
      lastError_ = SessionRecorderError::cannotAddTrack;
      return;
    }
    const VideoFormat& format = *sample.format;
    AVCodecParameters* par = stream->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = format.codec == VideoCodec::hevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    // 'hvc1' keeps the parameter sets in the sample description, where every player finds them.
    if (format.codec == VideoCodec::hevc) par->codec_tag = MKTAG('h', 'v', 'c', '1');
    par->width = format.width;
    par->height = format.height;
    Bytes extradata;
    for (const auto& set : format.parameterSets) NalUnits::appendAnnexB(extradata, set);
    par->extradata = static_cast<std::uint8_t*>(
        av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) {
      lastError_ = SessionRecorderError::cannotAddTrack;
      return;
    }
    std::copy(extradata.begin(), extradata.end(), par->extradata);
    par->extradata_size = static_cast<int>(extradata.size());
    stream->time_base = AVRational{1, 1'000'000};
    if (audioFormat_) {
      const auto& a = *audioFormat_;
      AVStream* audio = avformat_new_stream(w.context, nullptr);
      const auto rate = static_cast<int>(a.sampleRate);
      if (audio && a.magicCookie && !a.magicCookie->empty()) {
        AVCodecParameters* ap = audio->codecpar;
        ap->codec_type = AVMEDIA_TYPE_AUDIO;
        ap->codec_id = AV_CODEC_ID_AAC;
        ap->sample_rate = rate;
        av_channel_layout_default(&ap->ch_layout, static_cast<int>(a.channels));
        ap->frame_size = static_cast<int>(a.framesPerPacket);
        ap->extradata = static_cast<std::uint8_t*>(
            av_mallocz(a.magicCookie->size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (ap->extradata) {
          std::copy(a.magicCookie->begin(), a.magicCookie->end(), ap->extradata);
          ap->extradata_size = static_cast<int>(a.magicCookie->size());
        }
        audio->time_base = AVRational{1, rate};
        w.audio = audio;
        w.audioFrames = a.framesPerPacket;
      }
    }
    const int rc = avformat_write_header(w.context, nullptr);
    if (rc < 0) {
      log().error("starting the movie failed: {}", ffmpeg::errorText(rc));
      lastError_ = SessionRecorderError::cannotAddTrack;
      return;
    }
    w.stream = stream;
    w.format = sample.format;
    w.startMicros = sample.timestampMicros;
    w.startedAt = std::chrono::steady_clock::now();
  } else if (!(*sample.format == *w.format)) {
    return;  // the file keeps its first format
  }

  // Timestamps run from the first keyframe and must rise; a sample that goes back is dropped.
  if (sample.timestampMicros < w.startMicros) return;
  const auto pts = static_cast<std::int64_t>(sample.timestampMicros - w.startMicros);
  if (pts <= w.lastPts) return;
  Bytes data;
  data.reserve(sample.data.size() + 16);
  if (auto units = NalUnits::splitLengthPrefixed(sample.data)) {
    for (auto unit : *units) {
      if (!NalUnits::isParameterSet(w.format->codec, NalUnits::type(w.format->codec, unit)))
        NalUnits::appendAnnexB(data, unit);
    }
  }
  if (data.empty()) return;
  AVPacket* pkt = w.packet.get();
  av_packet_unref(pkt);
  if (av_new_packet(pkt, static_cast<int>(data.size())) < 0) return;
  std::copy(data.begin(), data.end(), pkt->data);
  pkt->stream_index = w.stream->index;
  pkt->pts = pkt->dts = av_rescale_q(pts, AVRational{1, 1'000'000}, w.stream->time_base);
  if (w.lastPts >= 0 &&
      pkt->dts <= av_rescale_q(w.lastPts, AVRational{1, 1'000'000}, w.stream->time_base)) {
    return;  // too close to the last one at the file's time scale
  }
  if (sample.isKeyframe) pkt->flags |= AV_PKT_FLAG_KEY;
  if (w.pendingPts >= 0 && !writePendingLocked(pkt->dts - w.pending->dts)) return;
  av_packet_move_ref(w.pending.get(), pkt);
  w.pendingPts = pts;
  w.lastPts = pts;
  ++samplesWritten_;
}

void SessionRecorder::setAudioFormat(const protocol::AudioStreamFormat& format) {
  std::lock_guard guard(lock_);
  // Sound rates a movie can carry and a cookie to describe it; the tracks are fixed once started.
  if (!(format.sampleRate >= 8000 && format.sampleRate <= 96000) || format.channels < 1 ||
      format.channels > 8 || format.framesPerPacket < 1 || format.framesPerPacket > 8192) {
    return;
  }
  if (writer_ && !writer_->stream) audioFormat_ = format;
}

void SessionRecorder::appendAudio(ByteView packet) {
  std::lock_guard guard(lock_);
  if (!writer_ || !writer_->stream || !writer_->audio || packet.empty() || lastError_) return;
  Writer& w = *writer_;
  const int rate = w.audio->codecpar->sample_rate;
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - w.startedAt).count();
  const auto arrival = static_cast<std::int64_t>(elapsed * rate);
  if (w.audioNext < 0 || arrival - w.audioNext > static_cast<std::int64_t>(kAudioResyncSeconds * rate)) {
    w.audioNext = std::max(arrival, w.audioNext);
  }
  AVPacket* pkt = w.packet.get();
  av_packet_unref(pkt);
  if (av_new_packet(pkt, static_cast<int>(packet.size())) < 0) return;
  std::copy(packet.begin(), packet.end(), pkt->data);
  pkt->stream_index = w.audio->index;
  pkt->pts = pkt->dts = w.audioNext;
  pkt->duration = w.audioFrames;
  pkt->flags |= AV_PKT_FLAG_KEY;
  const int rc = av_write_frame(w.context, pkt);
  av_packet_unref(pkt);
  if (rc < 0) {
    log().error("writing a movie's sound failed: {}", ffmpeg::errorText(rc));
    lastError_ = SessionRecorderError::writeFailed;
    return;
  }
  w.audioNext += w.audioFrames;
  ++audioPacketsWritten_;
}

bool SessionRecorder::writePendingLocked(std::int64_t duration) {
  Writer& w = *writer_;
  w.pending->duration = duration;
  const int rc = av_write_frame(w.context, w.pending.get());
  av_packet_unref(w.pending.get());
  w.pendingPts = -1;
  if (rc < 0) {
    log().error("writing a movie sample failed: {}", ffmpeg::errorText(rc));
    lastError_ = SessionRecorderError::writeFailed;
    return false;
  }
  return true;
}

void SessionRecorder::cancelLocked() {
  writer_.reset();
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

std::optional<std::filesystem::path> SessionRecorder::finish() {
  std::lock_guard guard(lock_);
  if (!writer_) return std::nullopt;
  if (!writer_->stream) {
    cancelLocked();
    return std::nullopt;
  }
  Writer& w = *writer_;
  if (w.pendingPts >= 0) {
    // The last picture stays until now, and at least one frame time, so that a still screen
    // (one keyframe) still makes a movie that shows it.
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - w.startedAt).count();
    const std::int64_t micros = std::max<std::int64_t>(elapsed - w.pendingPts, kLastSampleMinimumMicros);
    (void)writePendingLocked(av_rescale_q(micros, AVRational{1, 1'000'000}, w.stream->time_base));
  }
  const int rc = av_write_trailer(writer_->context);
  const int closed = avio_closep(&writer_->context->pb);
  writer_.reset();
  if (rc < 0 || closed < 0) {
    log().error("finishing the movie failed: {}", ffmpeg::errorText(rc < 0 ? rc : closed));
    lastError_ = SessionRecorderError::writeFailed;
    return std::nullopt;
  }
  return path_;
}

std::error_code SessionRecorder::lastError() const {
  std::lock_guard guard(lock_);
  return lastError_;
}

int SessionRecorder::samplesSeen() const {
  std::lock_guard guard(lock_);
  return samplesSeen_;
}

int SessionRecorder::audioPacketsWritten() const {
  std::lock_guard guard(lock_);
  return audioPacketsWritten_;
}

int SessionRecorder::samplesWritten() const {
  std::lock_guard guard(lock_);
  return samplesWritten_;
}

}  // namespace corvel::media
