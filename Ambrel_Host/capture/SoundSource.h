#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "CorvelKit/media/PcmBuffer.h"

namespace ambrel {

// What the computer plays: the mix of its default output, as interleaved float PCM (48 kHz
// stereo where the sound server allows). A missing or restarting sound server is not an error:
// the source keeps trying and says so through its status.
//
// Blocks and status come on the source's own thread, with no lock of the source held. Install
// the handlers before start(). stop() waits for that thread and must not be called from a
// handler; once it returns no handler runs any more.
class SoundSource {
 public:
  // `pcm` is a view of the source's buffers: valid only during the call.
  using BlockHandler = std::function<void(const corvel::media::PcmView& pcm,
                                          std::chrono::steady_clock::time_point capturedAt)>;
  // A sentence for people ("capturing …", "no sound server …"), and whether sound flows.
  using StatusHandler = std::function<void(const std::string& status, bool capturing)>;

  virtual ~SoundSource() = default;

  virtual void setBlockHandler(BlockHandler handler) = 0;
  virtual void setStatusHandler(StatusHandler handler) = 0;

  // Returns at once; capture begins as soon as the sound server answers.
  virtual void start() = 0;
  virtual void stop() = 0;

  // The monitor of the default output of the sound server that the environment names (the
  // server's own default otherwise); nothing when this build has no sound capture.
  static std::unique_ptr<SoundSource> create();
};

}  // namespace ambrel
