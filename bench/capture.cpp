// Screen capture costs on a private 1920×1080 Xvfb: the MIT-SHM read plus NV12 conversion, the
// conversion alone (straight and scaled), and the time from a drawing to its frame.
#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>
#include <xcb/xcb.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <vector>

#include <libyuv/convert_from_argb.h>
#include <libyuv/scale.h>
#include <libyuv/scale_argb.h>

#include "Ambrel_Host/capture/DisplaySource.h"
#include "Ambrel_Host/capture/FrameConverter.h"
#include "Ambrel_Host/capture/ScreenCapturer.h"
#include "Ambrel_Host/capture/VirtualDisplay.h"

namespace {

using ambrel::FrameConverter;
using ambrel::FrameSize;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

std::vector<std::uint8_t> testPicture() {
  std::vector<std::uint8_t> bgrx(static_cast<std::size_t>(kWidth * kHeight * 4));
  for (std::size_t i = 0; i < bgrx.size(); ++i) bgrx[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 11));
  return bgrx;
}

ambrel::VirtualDisplay& virtualDisplay() {
  static auto display = [] {
    auto started = ambrel::VirtualDisplay::start();
    if (!started) std::abort();
    return std::move(*started);
  }();
  return *display;
}

// Conversion only: state.range(0) is the output width (1920 = no scaling).
void BM_ConvertToNV12(benchmark::State& state) {
  const auto picture = testPicture();
  const auto size = FrameSize::forCapture(kWidth, kHeight, static_cast<int>(state.range(0)));
  FrameConverter converter;
  for (auto _ : state) {
    const auto& frame = converter.convert(picture.data(), kWidth * 4, kWidth, kHeight, size);
    benchmark::DoNotOptimize(frame.y);
  }
  state.SetLabel(std::to_string(size.width) + "x" + std::to_string(size.height));
}
BENCHMARK(BM_ConvertToNV12)->Arg(1920)->Arg(1600)->Arg(1280)->Unit(benchmark::kMillisecond);

// The two orders of scaling with libyuv: scale the 32-bit picture, then convert (ARGBScale +
// ARGBToNV12), or convert at full size, then scale the 12-bit planes (ARGBToNV12 + NV12Scale).
void BM_ScaleThenConvert(benchmark::State& state) {
  const auto picture = testPicture();
  const auto size = FrameSize::forCapture(kWidth, kHeight, static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> scaled(static_cast<std::size_t>(size.width * size.height * 4));
  std::vector<std::uint8_t> y(static_cast<std::size_t>(size.width * size.height));
  std::vector<std::uint8_t> uv(y.size() / 2);
  for (auto _ : state) {
    libyuv::ARGBScale(picture.data(), kWidth * 4, kWidth, kHeight, scaled.data(), size.width * 4, size.width,
                      size.height, libyuv::kFilterBilinear);
    libyuv::ARGBToNV12(scaled.data(), size.width * 4, y.data(), size.width, uv.data(), size.width, size.width,
                       size.height);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(BM_ScaleThenConvert)->Arg(1600)->Arg(1280)->Unit(benchmark::kMillisecond);

void BM_ConvertThenScale(benchmark::State& state) {
  const auto picture = testPicture();
  const auto size = FrameSize::forCapture(kWidth, kHeight, static_cast<int>(state.range(0)));
  std::vector<std::uint8_t> fullY(static_cast<std::size_t>(kWidth * kHeight)), fullUV(fullY.size() / 2);
  std::vector<std::uint8_t> y(static_cast<std::size_t>(size.width * size.height)), uv(y.size() / 2);
  for (auto _ : state) {
    libyuv::ARGBToNV12(picture.data(), kWidth * 4, fullY.data(), kWidth, fullUV.data(), kWidth, kWidth, kHeight);
    libyuv::NV12Scale(fullY.data(), kWidth, fullUV.data(), kWidth, kWidth, kHeight, y.data(), size.width,
                      uv.data(), size.width, size.width, size.height, libyuv::kFilterBilinear);
    benchmark::DoNotOptimize(y.data());
  }
}
BENCHMARK(BM_ConvertThenScale)->Arg(1600)->Arg(1280)->Unit(benchmark::kMillisecond);

// One MIT-SHM read of the whole screen, then the conversion, as the capture loop does it.
void BM_ShmReadAndConvert(benchmark::State& state) {
  xcb_connection_t* c = xcb_connect(virtualDisplay().name().c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const std::size_t bytes = static_cast<std::size_t>(kWidth * kHeight * 4);
  const int fd = memfd_create("bench-capture", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) std::abort();
  auto* data = static_cast<std::uint8_t*>(mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
  const xcb_shm_seg_t segment = xcb_generate_id(c);
  std::free(xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, fd, 0)));
  const auto size = FrameSize::forCapture(kWidth, kHeight, static_cast<int>(state.range(0)));
  FrameConverter converter;
  for (auto _ : state) {
    std::free(xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, root, 0, 0, kWidth, kHeight, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
        nullptr));
    const auto& frame = converter.convert(data, kWidth * 4, kWidth, kHeight, size);
    benchmark::DoNotOptimize(frame.y);
  }
  xcb_shm_detach(c, segment);
  munmap(data, bytes);
  xcb_disconnect(c);
}
BENCHMARK(BM_ShmReadAndConvert)->Arg(1920)->Arg(1280)->Unit(benchmark::kMillisecond);

// The read alone, for comparison with the line above.
void BM_ShmReadOnly(benchmark::State& state) {
  xcb_connection_t* c = xcb_connect(virtualDisplay().name().c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const std::size_t bytes = static_cast<std::size_t>(kWidth * kHeight * 4);
  const int fd = memfd_create("bench-capture", MFD_CLOEXEC);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) std::abort();
  void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  const xcb_shm_seg_t segment = xcb_generate_id(c);
  std::free(xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, fd, 0)));
  for (auto _ : state) {
    std::free(xcb_shm_get_image_reply(
        c, xcb_shm_get_image(c, root, 0, 0, kWidth, kHeight, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, segment, 0),
        nullptr));
  }
  xcb_shm_detach(c, segment);
  munmap(data, bytes);
  xcb_disconnect(c);
}
BENCHMARK(BM_ShmReadOnly)->Unit(benchmark::kMillisecond);

// From a drawing request to the frame that shows it, through the real capturer (fps 1000, so
// the pacing adds at most a millisecond).
void BM_DrawingToFrame(benchmark::State& state) {
  auto& display = virtualDisplay();
  auto source = ambrel::DisplaySource::create(display.name());
  if (!source) std::abort();
  auto displays = (*source)->displays();
  if (!displays || displays->empty()) std::abort();
  auto capturer = ambrel::ScreenCapturer::create(display.name());
  std::mutex mutex;
  std::condition_variable cv;
  int frames = 0;
  capturer->setFrameHandler([&](const corvel::media::VideoFrame&, std::chrono::steady_clock::time_point) {
    std::lock_guard lock(mutex);
    ++frames;
    cv.notify_all();
  });
  if (capturer->start(displays->front().id, 0, 1000)) std::abort();
  {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return frames > 0; });
  }
  xcb_connection_t* c = xcb_connect(display.name().c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  const xcb_gcontext_t gc = xcb_generate_id(c);
  std::uint32_t colour = 0;
  xcb_create_gc(c, gc, root, XCB_GC_FOREGROUND, &colour);
  for (auto _ : state) {
    int before;
    {
      std::lock_guard lock(mutex);
      before = frames;
    }
    colour = (colour + 0x010203) & 0xFFFFFF;
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
    const xcb_rectangle_t r{100, 100, 64, 64};
    xcb_poly_fill_rectangle(c, root, gc, 1, &r);
    xcb_flush(c);
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return frames > before; });
  }
  capturer->stop();
  xcb_disconnect(c);
}
BENCHMARK(BM_DrawingToFrame)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
