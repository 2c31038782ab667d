#include "Ambrel_Host/wayland/PipeWireStream.h"

// PipeWire's and SPA's inline helpers and pod-building macros are written with GNU statement
// expressions and C99 compound literals.
#pragma clang diagnostic ignored "-Wgnu-statement-expression"
#pragma clang diagnostic ignored "-Wc99-extensions"
#pragma clang diagnostic ignored "-Wgnu-zero-variadic-macro-arguments"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/param/video/type-info.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <utility>

#include <unistd.h>

#include "Ambrel_Host/capture/CaptureError.h"
#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {

spdlog::logger& log() {
  static auto& logger = corvel::Log::host("video");
  return logger;
}

constexpr int kMaxDamageRegions = 16;

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

struct PipeWireStream::State {
  Handlers handlers;
  int maxFps = 60;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook streamListener{};
  spa_hook coreListener{};
  spa_source* timer = nullptr;
  spa_video_info_raw format{};
  bool haveFormat = false;
  bool failed = false;

  void fail(const char* why) {
    if (failed) return;
    failed = true;
    log().warn("screen cast stream failed: {}", why);
    if (handlers.failed) handlers.failed();
  }

  ~State() {
    if (loop != nullptr) pw_thread_loop_stop(loop);
    handlers = {};  // tearing the stream down calls no one back
    failed = true;  // and is no failure
    if (timer != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(loop), timer);
    if (stream != nullptr) pw_stream_destroy(stream);
    if (core != nullptr) pw_core_disconnect(core);
    if (context != nullptr) pw_context_destroy(context);
    if (loop != nullptr) pw_thread_loop_destroy(loop);
  }
};

namespace {

void onStateChanged(void* data, pw_stream_state /*old*/, pw_stream_state state, const char* error) {
  auto& s = *static_cast<PipeWireStream::State*>(data);
  if (state == PW_STREAM_STATE_ERROR) s.fail(error != nullptr ? error : "error");
  if (state == PW_STREAM_STATE_UNCONNECTED) s.fail("the producer went away");
}

void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto& s = *static_cast<PipeWireStream::State*>(data);
  if (param == nullptr || id != SPA_PARAM_Format) return;
  std::uint32_t mediaType = 0, mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return;
  }
  spa_video_info_raw format{};
  if (spa_format_video_raw_parse(param, &format) < 0) return;
  s.format = format;
  s.haveFormat = true;
  log().info("screen cast stream: {}x{}, format {}", format.size.width, format.size.height,
             static_cast<unsigned>(format.format));

  // Buffers in shared memory (or DMA-BUFs the stream maps), a header and damage regions.
  std::uint8_t buffer[1024];
  spa_pod_builder b{};
  spa_pod_builder_init(&b, buffer, sizeof buffer);
  const spa_pod* params[3];
  const int dataTypes = (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_DmaBuf);
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(4, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int(dataTypes)));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMaxDamageRegions, sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * kMaxDamageRegions)));
  pw_stream_update_params(s.stream, params, 3);
}

// The damaged rows of a buffer, from its damage regions; none when it carries none.
std::optional<std::pair<int, int>> damagedRows(spa_buffer* buffer, int height) {
  auto* meta = static_cast<spa_meta*>(spa_buffer_find_meta(buffer, SPA_META_VideoDamage));
  if (meta == nullptr) return std::nullopt;
  int first = height, end = 0;
  bool any = false;
  spa_meta_region* region = nullptr;
  spa_meta_for_each(region, meta) {
    if (!spa_meta_region_is_valid(region)) break;
    any = true;
    const int top = std::clamp(region->region.position.y, 0, height);
    const int bottom =
        std::clamp(region->region.position.y + static_cast<int>(region->region.size.height), 0, height);
    first = std::min(first, top);
    end = std::max(end, bottom);
  }
  if (!any) return std::nullopt;
  return std::make_pair(first, std::max(first, end));
}

// Whether a buffer holds a whole, readable picture (not only metadata, nor a broken one).
bool holdsPicture(const PipeWireStream::State& s, spa_buffer* buffer) {
  if (!s.haveFormat || buffer->n_datas == 0 || buffer->datas == nullptr) return false;
  const spa_data& d = buffer->datas[0];
  auto* header =
      static_cast<spa_meta_header*>(spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
  const bool corrupted = header != nullptr && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) != 0;
  return !corrupted && d.data != nullptr && d.chunk != nullptr && d.chunk->size > 0 &&
         (d.chunk->flags & SPA_CHUNK_FLAG_CORRUPTED) == 0;
}

void onProcess(void* data) {
  auto& s = *static_cast<PipeWireStream::State*>(data);
  // Only the newest picture matters: older ones queued meanwhile go straight back, their damage
  // added to the newest one's (what changed in them is compared in the newest), and buffers that
  // hold no picture (metadata alone) never displace one that does.
  pw_buffer* newest = nullptr;
  int pictures = 0;
  bool wholeDamage = false;
  int damageFirst = 0, damageEnd = 0;
  const int height = static_cast<int>(s.format.size.height);
  while (pw_buffer* b = pw_stream_dequeue_buffer(s.stream)) {
    if (!holdsPicture(s, b->buffer)) {
      pw_stream_queue_buffer(s.stream, b);
      continue;
    }
    const auto rows = damagedRows(b->buffer, height);
    if (!rows) {
      wholeDamage = true;
    } else if (pictures == 0) {
      damageFirst = rows->first;
      damageEnd = rows->second;
    } else {
      damageFirst = std::min(damageFirst, rows->first);
      damageEnd = std::max(damageEnd, rows->second);
    }
    ++pictures;
    if (newest != nullptr) pw_stream_queue_buffer(s.stream, newest);
    newest = b;
  }
  if (newest == nullptr) return;
  PipeWireStream::Picture picture;
  picture.width = static_cast<int>(s.format.size.width);
  picture.height = height;
  const spa_data& d = newest->buffer->datas[0];
  picture.stride = d.chunk->stride != 0 ? d.chunk->stride : std::ptrdiff_t{picture.width} * 4;
  const std::size_t needed = static_cast<std::size_t>(picture.stride) * static_cast<std::size_t>(picture.height);
  const std::size_t offset = d.chunk->offset % std::max<std::uint32_t>(d.maxsize, 1);
  if (picture.stride >= std::ptrdiff_t{picture.width} * 4 && offset + needed <= d.maxsize) {
    picture.pixels = static_cast<const std::uint8_t*>(d.data) + offset;
    if (!wholeDamage) picture.damagedRows = std::make_pair(damageFirst, std::max(damageFirst, damageEnd));
  }
  if (picture.pixels != nullptr && s.handlers.picture) s.handlers.picture(picture);
  pw_stream_queue_buffer(s.stream, newest);
}

void onCoreError(void* data, std::uint32_t id, int /*seq*/, int /*res*/, const char* message) {
  auto& s = *static_cast<PipeWireStream::State*>(data);
  if (id == PW_ID_CORE) s.fail(message != nullptr ? message : "the PipeWire daemon failed");
}

void onTimer(void* data, std::uint64_t /*expirations*/) {
  auto& s = *static_cast<PipeWireStream::State*>(data);
  if (s.handlers.timer) s.handlers.timer();
}

const pw_stream_events kStreamEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .state_changed = onStateChanged,
    .param_changed = onParamChanged,
    .process = onProcess,
};

const pw_core_events kCoreEvents = {
    .version = PW_VERSION_CORE_EVENTS,
    .error = onCoreError,
};

}  // namespace

std::unique_ptr<PipeWireStream> PipeWireStream::open(std::uint32_t node, int maxFps, Handlers handlers,
                                                     std::error_code& error) {
  return connect(-1, node, maxFps, std::move(handlers), error);
}

std::unique_ptr<PipeWireStream> PipeWireStream::openOnRemote(int remoteFd, std::uint32_t node, int maxFps,
                                                             Handlers handlers, std::error_code& error) {
  if (remoteFd < 0) {
    error = CaptureErrc::streamFailed;
    return nullptr;
  }
  return connect(remoteFd, node, maxFps, std::move(handlers), error);
}

std::unique_ptr<PipeWireStream> PipeWireStream::connect(int remoteFd, std::uint32_t node, int maxFps,
                                                        Handlers handlers, std::error_code& error) {
  // Until PipeWire takes the connection, it is ours to close.
  struct Remote {
    int fd;
    ~Remote() {
      if (fd >= 0) ::close(fd);
    }
  } remote{remoteFd};
  initPipeWire();
  auto s = std::make_unique<State>();
  s->handlers = std::move(handlers);
  s->maxFps = std::max(1, maxFps);
  error = CaptureErrc::streamFailed;
  s->loop = pw_thread_loop_new("ambrel-screencast", nullptr);
  if (s->loop == nullptr) return nullptr;
  s->context = pw_context_new(pw_thread_loop_get_loop(s->loop), nullptr, 0);
  if (s->context == nullptr) return nullptr;
  if (pw_thread_loop_start(s->loop) < 0) return nullptr;

  pw_thread_loop_lock(s->loop);
  bool ok = false;
  do {
    if (remote.fd >= 0) {
      s->core = pw_context_connect_fd(s->context, std::exchange(remote.fd, -1), nullptr, 0);
    } else {
      s->core = pw_context_connect(s->context, nullptr, 0);
    }
    if (s->core == nullptr) {
      log().warn("can't reach the PipeWire daemon: {}", std::strerror(errno));
      break;
    }
    pw_core_add_listener(s->core, &s->coreListener, &kCoreEvents, s.get());
    s->stream = pw_stream_new(s->core, "ambrel-screencast",
                              pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (s->stream == nullptr) break;
    pw_stream_add_listener(s->stream, &s->streamListener, &kStreamEvents, s.get());
    s->timer = pw_loop_add_timer(pw_thread_loop_get_loop(s->loop), onTimer, s.get());
    // The first tick comes soon; the owner arms the next ones.
    timespec first{0, 250'000'000};
    if (s->timer != nullptr) pw_loop_update_timer(pw_thread_loop_get_loop(s->loop), s->timer, &first, nullptr, false);

    std::uint8_t buffer[1024];
    spa_pod_builder b{};
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    spa_rectangle defaultSize{1920, 1080}, minSize{1, 1}, maxSize{16384, 16384};
    spa_fraction variableRate{0, 1}, defaultMax{static_cast<std::uint32_t>(s->maxFps), 1}, minMax{0, 1},
        maxMax{static_cast<std::uint32_t>(s->maxFps), 1};
    const spa_pod* params[1];
    params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
        SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&defaultSize, &minSize, &maxSize),
        SPA_FORMAT_VIDEO_framerate, SPA_POD_Fraction(&variableRate), SPA_FORMAT_VIDEO_maxFramerate,
        SPA_POD_CHOICE_RANGE_Fraction(&defaultMax, &minMax, &maxMax)));
    const int r = pw_stream_connect(
        s->stream, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (r < 0) {
      log().warn("can't connect to the screen cast's node {}: {}", node, std::strerror(-r));
      break;
    }
    ok = true;
  } while (false);
  pw_thread_loop_unlock(s->loop);
  if (!ok) return nullptr;
  error = {};
  return std::unique_ptr<PipeWireStream>(new PipeWireStream(std::move(s)));
}

PipeWireStream::PipeWireStream(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireStream::~PipeWireStream() = default;

void PipeWireStream::armTimer(std::chrono::nanoseconds delay) {
  if (state_->timer == nullptr) return;
  timespec value{};
  const auto ns = std::max<std::int64_t>(delay.count(), 1);
  value.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
  value.tv_nsec = static_cast<long>(ns % 1'000'000'000);
  pw_loop_update_timer(pw_thread_loop_get_loop(state_->loop), state_->timer, &value, nullptr, false);
}

bool PipeWireStream::onLoopThread() const { return pw_thread_loop_in_thread(state_->loop); }

}  // namespace ambrel
