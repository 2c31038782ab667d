#include "tests/support/RecordedMovie.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "CorvelKit/media/DecodedPicture.h"
#include "tests/support/ScreenPainter.h"

namespace corvel::test {

std::optional<FirstPicture> firstRecordedPicture(const std::filesystem::path& movie) {
  AVFormatContext* format = nullptr;
  if (avformat_open_input(&format, movie.c_str(), nullptr, nullptr) != 0) return std::nullopt;
  std::optional<FirstPicture> result;
  if (avformat_find_stream_info(format, nullptr) >= 0 && format->nb_streams == 1) {
    const AVCodecParameters* stream = format->streams[0]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(stream->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    if (avcodec_parameters_to_context(decoder, stream) >= 0 && avcodec_open2(decoder, codec, nullptr) >= 0) {
      while (!result && av_read_frame(format, packet) >= 0) {
        if (avcodec_send_packet(decoder, packet) >= 0 && avcodec_receive_frame(decoder, frame) >= 0) {
          media::DecodedPicture picture;
          picture.width = frame->width;
          picture.height = frame->height;
          picture.layout = media::DecodedPicture::Layout::yuv420p;
          for (std::size_t i = 0; i < 3; ++i) {
            picture.planes[i] = frame->data[i];
            picture.strides[i] = frame->linesize[i];
          }
          result = FirstPicture{frame->width, frame->height,
                                rgbAt(picture, frame->width / 2, frame->height / 2)};
        }
        av_packet_unref(packet);
      }
    }
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&decoder);
  }
  avformat_close_input(&format);
  return result;
}

}  // namespace corvel::test
