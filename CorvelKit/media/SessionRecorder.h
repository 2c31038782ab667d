#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>

#include "CorvelKit/base/Bytes.h"
#include "CorvelKit/media/VideoSample.h"
#include "CorvelKit/protocol/AudioStreamFormat.h"

namespace corvel::media {

enum class SessionRecorderError {
  cannotCreateFile = 1,  // the movie file or its writer could not be made
  cannotAddTrack,        // the stream's format cannot go into a movie track
  writeFailed,           // writing a sample or finishing the file failed
};
const std::error_category& sessionRecorderCategory();
inline std::error_code make_error_code(SessionRecorderError e) {
  return {static_cast<int>(e), sessionRecorderCategory()};
}

// Writes a received stream into a QuickTime movie without re-encoding: samples are copied into
// the file from the first keyframe on, and the file is finished on request. Samples of another
// format than the first (a new picture size, say) are dropped, so the file keeps one format.
// Each sample lasts until the next; the last one until the file is finished.
//
// Sound goes along when its format is known by the first keyframe: the movie then has an AAC
// track too, whose packets are placed by their arrival from the first keyframe on and then
// follow one another without gaps (a pause of more than a fifth of a second starts them afresh
// at their arrival). Sound before the first keyframe is dropped; a later format does not change
// the file.
// `append`, `appendAudio` and `finish` may be called from any thread.
class SessionRecorder {
 public:
  // Creates the parent folders and opens the file; throws std::system_error with
  // `cannotCreateFile` when the writer cannot be made.
  explicit SessionRecorder(std::filesystem::path path);
  // Finishes the file if that was not done.
  ~SessionRecorder();
  SessionRecorder(const SessionRecorder&) = delete;
  SessionRecorder& operator=(const SessionRecorder&) = delete;

  // Offers one sample. Errors do not throw; they are kept for `lastError`.
  void append(const VideoSample& sample);
  // The received sound stream's format, for a track made with the first keyframe.
  void setAudioFormat(const protocol::AudioStreamFormat& format);
  // Offers one compressed sound packet of that format.
  void appendAudio(ByteView packet);

  // Completes the file and returns its path; nothing when no playable file was written (no
  // keyframe ever came, in which case the file is removed, or writing failed).
  [[nodiscard]] std::optional<std::filesystem::path> finish();

  std::error_code lastError() const;
  // Samples offered before the track existed (dropped while waiting for a keyframe).
  int samplesSeen() const;
  // Samples written so far.
  int samplesWritten() const;
  // Sound packets written so far.
  int audioPacketsWritten() const;

 private:
  struct Writer;

  void cancelLocked();
  // Writes the sample that waits, lasting `duration` (stream time base); false on failure.
  bool writePendingLocked(std::int64_t duration);

  const std::filesystem::path path_;
  mutable std::mutex lock_;
  std::unique_ptr<Writer> writer_;
  std::error_code lastError_;
  int samplesSeen_ = 0;
  int samplesWritten_ = 0;
  int audioPacketsWritten_ = 0;
  std::optional<protocol::AudioStreamFormat> audioFormat_;
};

}  // namespace corvel::media

template <>
struct std::is_error_code_enum<corvel::media::SessionRecorderError> : std::true_type {};
