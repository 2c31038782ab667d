#include "tools/corvel/SoundPlayer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iostream>
#include <sstream>

#include <SDL.h>

#include "CorvelKit/base/JSONCoding.h"

namespace corvel::tool {

namespace {
// Above this much queued sound the queue is dropped: late sound is worse than a gap.
constexpr double kMaxQueuedSeconds = 0.2;
// A decoded packet this loud or louder is where sound starts.
constexpr float kHeardLevel = 0.05f;
constexpr long kQuietPackets = 20;

void putLE(std::FILE* f, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) std::fputc(static_cast<int>((v >> (8 * i)) & 0xFF), f);
}
}  // namespace

SoundPlayer::SoundPlayer(bool play, std::optional<std::string> wavFile)
    : play_(play), wavPath_(std::move(wavFile)) {}

SoundPlayer::~SoundPlayer() {
  finishWav();
  if (device_ != 0) {
    SDL_CloseAudioDevice(device_);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
}

void SoundPlayer::receiveFormat(ByteView payload) {
  ++formats_;
  auto format = JSONCoding::decode<protocol::AudioStreamFormat>(payload);
  if (!format) {
    std::cout << "sound: unreadable format" << std::endl;
    decoder_.reset();
    return;
  }
  decoder_ = media::AudioDecoder::create(*format);
  std::cout << "sound " << format->sampleRate << " Hz, " << format->channels << " channels, "
            << format->framesPerPacket << " frames a packet"
            << (decoder_ ? "" : " (can't decode it)") << std::endl;
  if (decoder_ && play_) openOutput(*format);
}

void SoundPlayer::openOutput(const protocol::AudioStreamFormat& format) {
  if (device_ != 0) {
    SDL_CloseAudioDevice(device_);
    device_ = 0;
  } else if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
    std::cerr << "corvel: no sound output (" << SDL_GetError() << ")\n";
    return;
  }
  SDL_AudioSpec want{};
  want.freq = static_cast<int>(std::lround(format.sampleRate));
  want.format = AUDIO_F32SYS;
  want.channels = static_cast<Uint8>(format.channels);
  want.samples = 512;
  SDL_AudioSpec have{};
  device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
  if (device_ == 0) {
    std::cerr << "corvel: no sound output (" << SDL_GetError() << ")\n";
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return;
  }
  deviceChannels_ = want.channels;
  SDL_PauseAudioDevice(device_, 0);
}

void SoundPlayer::receivePacket(ByteView payload) {
  ++packets_;
  ++secondPackets_;
  const auto now = Clock::now();
  if (lastArrival_) gapsMs_.push_back(std::chrono::duration<double, std::milli>(now - *lastArrival_).count());
  lastArrival_ = now;
  if (!decoder_) return;
  auto pcm = decoder_->decode(payload);
  if (!pcm) return;
  ++decoded_;
  frames_ += pcm->frames();
  // Sound that starts after a fifth of a second of quiet is announced, with when it arrived.
  const bool loud = std::any_of(pcm->samples.begin(), pcm->samples.end(),
                                [](float s) { return std::fabs(s) >= kHeardLevel; });
  if (loud && quietPackets_ >= kQuietPackets) {
    // On the monotonic clock, so that another program on this computer can compare.
    std::cout << "sound heard at "
              << std::chrono::duration_cast<std::chrono::nanoseconds>(now.time_since_epoch()).count()
              << " ns" << std::endl;
  }
  quietPackets_ = loud ? 0 : quietPackets_ + 1;
  if (device_ != 0 && pcm->channels == deviceChannels_) {
    const auto bytesPerSecond = pcm->sampleRate * pcm->channels * sizeof(float);
    if (static_cast<double>(SDL_GetQueuedAudioSize(device_)) > kMaxQueuedSeconds * bytesPerSecond) {
      SDL_ClearQueuedAudio(device_);
    }
    SDL_QueueAudio(device_, pcm->samples.data(),
                   static_cast<Uint32>(pcm->samples.size() * sizeof(float)));
  }
  if (wavPath_) writeWav(*pcm);
}

// 32-bit float WAV; the sizes in the header are filled in at the end.
void SoundPlayer::writeWav(const media::PcmBuffer& pcm) {
  if (!wav_) {
    if (wavSamples_ > 0) return;  // written once already, or could not be opened
    wav_ = std::fopen(wavPath_->c_str(), "wb");
    if (!wav_) {
      std::cerr << "corvel: can't write " << *wavPath_ << ": " << std::strerror(errno) << "\n";
      wavSamples_ = 1;
      return;
    }
    wavChannels_ = pcm.channels;
    wavRate_ = pcm.sampleRate;
    std::fwrite("RIFF\0\0\0\0WAVEfmt ", 1, 16, wav_);
    putLE(wav_, 16, 4);
    putLE(wav_, 3, 2);  // IEEE float
    putLE(wav_, static_cast<std::uint32_t>(wavChannels_), 2);
    putLE(wav_, static_cast<std::uint32_t>(std::lround(wavRate_)), 4);
    putLE(wav_, static_cast<std::uint32_t>(std::lround(wavRate_)) * 4u * static_cast<std::uint32_t>(wavChannels_), 4);
    putLE(wav_, 4u * static_cast<std::uint32_t>(wavChannels_), 2);
    putLE(wav_, 32, 2);
    std::fwrite("data\0\0\0\0", 1, 8, wav_);
  }
  // The file keeps the first stream's layout.
  if (pcm.channels != wavChannels_ || pcm.sampleRate != wavRate_) return;
  std::fwrite(pcm.samples.data(), sizeof(float), pcm.samples.size(), wav_);
  wavSamples_ += pcm.samples.size();
}

void SoundPlayer::finishWav() {
  if (!wav_) return;
  const auto dataBytes = static_cast<std::uint32_t>(std::min<std::uint64_t>(wavSamples_ * 4, 0xFFFFFFF0u));
  std::fseek(wav_, 4, SEEK_SET);
  putLE(wav_, 36 + dataBytes, 4);
  std::fseek(wav_, 40, SEEK_SET);
  putLE(wav_, dataBytes, 4);
  std::fclose(wav_);
  wav_ = nullptr;
}

std::string SoundPlayer::summary() const {
  if (formats_ == 0 && packets_ == 0) return {};
  std::ostringstream out;
  out << "sound: " << packets_ << " packets, " << decoded_ << " decoded, " << frames_ << " frames";
  if (!gapsMs_.empty()) {
    auto gaps = gapsMs_;
    std::sort(gaps.begin(), gaps.end());
    out.setf(std::ios::fixed);
    out.precision(1);
    out << ", gap median " << gaps[gaps.size() / 2] << " ms, p95 "
        << gaps[std::min(gaps.size() - 1, gaps.size() * 95 / 100)] << " ms";
  }
  return out.str();
}

}  // namespace corvel::tool
