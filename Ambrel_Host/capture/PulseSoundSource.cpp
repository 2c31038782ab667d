#include "Ambrel_Host/capture/PulseSoundSource.h"

#include <utility>

#include <pulse/pulseaudio.h>

#include "CorvelKit/base/Log.h"

namespace ambrel {

namespace {
auto& log() { return corvel::Log::host("video"); }

std::string errorText(pa_context* context) { return pa_strerror(pa_context_errno(context)); }
}  // namespace

// One connection to the server and its record stream, on the capture thread.
struct PulseSoundSource::Session {
  PulseSoundSource& owner;
  pa_mainloop* mainloop = nullptr;
  pa_context* context = nullptr;
  pa_stream* stream = nullptr;
  std::string defaultSink;     // as the server last named it
  std::string recording;       // the monitor the stream records
  bool askedServer = false;
  bool serverAnswered = false;
  bool capturing = false;

  explicit Session(PulseSoundSource& o) : owner(o) {}
  ~Session() {
    dropStream();
    if (context) {
      pa_context_disconnect(context);
      pa_context_unref(context);
    }
  }

  void dropStream() {
    if (!stream) return;
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    stream = nullptr;
    capturing = false;
  }

  static void onServerInfo(pa_context*, const pa_server_info* info, void* self) {
    auto& s = *static_cast<Session*>(self);
    s.serverAnswered = true;
    s.defaultSink = info && info->default_sink_name ? info->default_sink_name : "";
  }

  static void onServerEvent(pa_context* context, pa_subscription_event_type_t, std::uint32_t,
                            void* self) {
    // The default output may have changed: ask again, and follow it if it did.
    pa_operation* op = pa_context_get_server_info(context, &Session::onServerInfo, self);
    if (op) pa_operation_unref(op);
  }

  static void onRead(pa_stream* stream, std::size_t, void* self) {
    auto& s = *static_cast<Session*>(self);
    const auto now = std::chrono::steady_clock::now();
    const void* data = nullptr;
    std::size_t bytes = 0;
    while (pa_stream_readable_size(stream) > 0) {
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
      // A hole (nothing recorded for a stretch) has no data: it is skipped.
      if (data && s.owner.onBlock_ && !s.owner.stopping_) {
        const corvel::media::PcmView pcm{
            static_cast<double>(sampleRate), channels,
            std::span(static_cast<const float*>(data), bytes / sizeof(float))};
        s.owner.onBlock_(pcm, now);
      }
      pa_stream_drop(stream);
    }
  }

  // Records the monitor of the default output; false when the stream cannot even be made.
  bool record() {
    dropStream();
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, static_cast<std::uint32_t>(sampleRate),
                              static_cast<std::uint8_t>(channels)};
    stream = pa_stream_new(context, "Screen sharing sound", &spec, nullptr);
    if (!stream) {
      owner.report("Sound capture failed: " + errorText(context), false);
      return false;
    }
    pa_stream_set_read_callback(stream, &Session::onRead, this);
    pa_buffer_attr attr{};
    attr.maxlength = static_cast<std::uint32_t>(-1);
    attr.fragsize = framesPerBlock * channels * sizeof(float);
    recording = defaultSink.empty() ? std::string("@DEFAULT_MONITOR@") : defaultSink + ".monitor";
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
    if (pa_stream_connect_record(stream, recording.c_str(), &attr, flags) < 0) {
      owner.report("Sound capture failed: " + errorText(context), false);
      return false;
    }
    return true;
  }
};

PulseSoundSource::PulseSoundSource() = default;

PulseSoundSource::~PulseSoundSource() { stop(); }

void PulseSoundSource::setBlockHandler(BlockHandler handler) { onBlock_ = std::move(handler); }
void PulseSoundSource::setStatusHandler(StatusHandler handler) { onStatus_ = std::move(handler); }

void PulseSoundSource::start() {
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void PulseSoundSource::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (mainloop_) pa_mainloop_wakeup(mainloop_);
  }
  wake_.notify_all();
  thread_.join();
}

void PulseSoundSource::report(const std::string& status, bool capturing) {
  if (status == lastStatus_) return;
  lastStatus_ = status;
  log().info("{}", status);
  if (onStatus_) onStatus_(status, capturing);
}

void PulseSoundSource::run() {
  while (!stopping_) {
    runSession();
    std::unique_lock lock(mutex_);
    wake_.wait_for(lock, retryDelay, [&] { return stopping_.load(); });
  }
}

void PulseSoundSource::runSession() {
  pa_mainloop* mainloop = pa_mainloop_new();
  if (!mainloop) return;
  {
    std::lock_guard lock(mutex_);
    if (stopping_) {
      pa_mainloop_free(mainloop);
      return;
    }
    mainloop_ = mainloop;
  }
  {
    Session session(*this);
    session.mainloop = mainloop;
    session.context = pa_context_new(pa_mainloop_get_api(mainloop), "Ambrel Host");
    if (session.context &&
        pa_context_connect(session.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) >= 0) {
      std::string recordingSink;
      while (!stopping_) {
        if (pa_mainloop_iterate(mainloop, 1, nullptr) < 0) break;
        const auto state = pa_context_get_state(session.context);
        if (state == PA_CONTEXT_FAILED || state == PA_CONTEXT_TERMINATED) {
          report(lastStatus_.rfind("Sound: capturing", 0) == 0
                     ? "Sound: the sound server went away (" + errorText(session.context) +
                           "); reconnecting"
                     : "Sound: no sound server (" + errorText(session.context) +
                           "); trying again every second",
                 false);
          break;
        }
        if (state != PA_CONTEXT_READY) continue;
        if (!session.askedServer) {
          session.askedServer = true;
          pa_context_set_subscribe_callback(session.context, &Session::onServerEvent, &session);
          if (auto* op = pa_context_subscribe(session.context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr)) {
            pa_operation_unref(op);
          }
          if (auto* op = pa_context_get_server_info(session.context, &Session::onServerInfo, &session)) {
            pa_operation_unref(op);
          }
          continue;
        }
        if (!session.serverAnswered) continue;
        // First answer, or the default output changed: record (again) from its monitor.
        if (!session.stream || session.defaultSink != recordingSink) {
          recordingSink = session.defaultSink;
          if (!session.record()) break;
          continue;
        }
        const auto streamState = pa_stream_get_state(session.stream);
        if (streamState == PA_STREAM_FAILED || streamState == PA_STREAM_TERMINATED) {
          report("Sound: recording from " + session.recording + " failed (" +
                     errorText(session.context) + "); trying again every second",
                 false);
          break;
        }
        if (streamState == PA_STREAM_READY && !session.capturing) {
          session.capturing = true;
          const char* device = pa_stream_get_device_name(session.stream);
          report(std::string("Sound: capturing ") + (device ? device : "the default output"), true);
        }
      }
    } else {
      report("Sound: no sound server (" +
                 std::string(session.context ? errorText(session.context) : "out of memory") +
                 "); trying again every second",
             false);
    }
  }
  std::lock_guard lock(mutex_);
  mainloop_ = nullptr;
  pa_mainloop_free(mainloop);
}

}  // namespace ambrel
