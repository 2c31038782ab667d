#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Ambrel_Host/capture/SoundSource.h"
#include "Ambrel_Host/capture/SoundStream.h"
#include "Ambrel_Host/capture/VideoPipeline.h"
#include "Ambrel_Host/capture/VideoStreams.h"
#include "CorvelKit/base/Executors.h"
#include "CorvelKit/media/VideoCodec.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"

namespace ambrel {

// One VideoPipeline per display that a viewer watches. Runs on its owner's executor; requestKeyframe(), refresh(), hasPipeline() and lastFrame() may be called from any
// thread.
class DisplayStreams final : public VideoStreams,
                             public std::enable_shared_from_this<DisplayStreams> {
 public:
  // How pipelines get their capturer and encoder (tests pass fakes).
  struct Parts {
    std::function<std::unique_ptr<ScreenCapturer>()> capturer;
    std::function<std::unique_ptr<corvel::media::VideoEncoder>(int bitrate, int fps)> encoder;
    // Whether HEVC may be chosen at all. HEVC in software costs about three times H.264's CPU
    // per frame and cannot hold 60 frames a second on a small machine, so it is offered only
    // where a hardware encoder may take it.
    bool hevcEncoder = true;
    // Where the computer's sound comes from; none: the streams carry no sound.
    std::function<std::unique_ptr<SoundSource>()> sound;
  };

  // The sound as the host sends it: 48 kHz stereo AAC-ELD at 128 kbit/s.
  static constexpr double soundSampleRate = 48000;
  static constexpr int soundChannels = 2;
  static constexpr int soundBitrate = 128000;

  // Capture from the X server `displayName` (empty: $DISPLAY); encoders try the hardware this
  // machine offers (presentHardwareEncoders()) before software.
  static Parts x11Parts(std::string displayName);
  // The same with capturers from `capturer` (a desktop backend's).
  static Parts parts(std::function<std::unique_ptr<ScreenCapturer>()> capturer);

  DisplayStreams(corvel::Executor executor, Parts parts, int maxWidth, std::int64_t bitrate,
                 int fps);
  ~DisplayStreams() override;

  bool attach(const std::shared_ptr<StreamViewer>& viewer) override;
  bool detach(const StreamViewer& viewer) override;
  void requestKeyframe(std::uint32_t displayID) override;
  bool hasPipeline(std::uint32_t displayID) const override;
  void stopAll() override;
  void setStopHandler(StopHandler handler) override;
  void setPreset(int maxWidth, std::int64_t bitrate, int fps) override;
  void setCodecPreferences(bool preferHEVC, bool preferHDR) override;
  void refresh(std::uint32_t displayID) override;

  bool update() override;
  void setBitrate(std::int64_t bitrate, int fps);
  void setCodec(corvel::media::VideoCodec codec, bool hdr);
  std::shared_ptr<const CapturedFrame> lastFrame(std::uint32_t displayID) const override;
  // While sound is shared and some display streams, the computer's sound goes to every viewer
  // that watches (not to screen sharers, nor to clients not yet admitted). Turning it off stops
  // the sound path; turning it on starts a new one, whose format every viewer then gets again.
  void setShareSound(bool on) override;
  std::string soundStatus() const override;
  // The running sound stream's format, if sound runs.
  std::optional<corvel::protocol::AudioStreamFormat> audioFormat() const;
  std::shared_ptr<SoundStream> soundStream() const;

  corvel::media::VideoCodec codec() const { return codec_; }
  std::shared_ptr<VideoPipeline> pipeline(std::uint32_t displayID) const;

 private:
  void report(std::error_code error);
  void captureStopped(std::uint32_t displayID, const std::shared_ptr<VideoPipeline>& pipeline,
                      std::error_code error);
  std::vector<std::shared_ptr<StreamViewer>> liveViewers();
  std::vector<std::shared_ptr<VideoPipeline>> running() const;
  // Starts or stops the sound path to match the setting and the running pipelines, and hands it
  // the viewers that may hear it.
  void updateSound(const std::vector<std::shared_ptr<StreamViewer>>& watching, bool streaming);
  void stopSound();
  bool hasAnyPipeline() const;

  const corvel::Executor executor_;
  const Parts parts_;

  // Executor only.
  std::vector<std::weak_ptr<StreamViewer>> viewers_;
  StopHandler onStop_;
  int maxWidth_;
  std::int64_t bitrate_;
  int fps_;
  bool preferHEVC_ = false;
  bool preferHDR_ = false;
  corvel::media::VideoCodec codec_ = corvel::media::VideoCodec::h264;
  bool hdr_ = false;

  mutable std::mutex mutex_;  // guards the fields below (changed on the executor only)
  std::map<std::uint32_t, std::shared_ptr<VideoPipeline>> pipelines_;
  bool shareSound_ = true;
  std::shared_ptr<SoundStream> sound_;  // set and cleared on the executor
  std::string soundProblem_;            // why sound does not run, when it should
};

}  // namespace ambrel
