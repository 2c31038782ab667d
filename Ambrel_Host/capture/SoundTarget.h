#pragma once

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"

namespace ambrel {

// Something the host's sound goes to: a client that watches the screen.
class SoundTarget {
 public:
  virtual ~SoundTarget() = default;
  // Whether it may hear the computer now: admitted and watching, not only sharing its own screen.
  // Any thread.
  virtual bool hearsSound() const = 0;
  // One `audioFormat` message, then `audio` messages with one packet each. Any thread.
  virtual void sendAudioFormat(const corvel::protocol::AudioStreamFormat& format) = 0;
  virtual void sendAudio(corvel::ByteView packet) = 0;
};

}  // namespace ambrel
