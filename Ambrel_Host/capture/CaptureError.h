#pragma once

#include <system_error>

namespace ambrel {

// Why screen capture could not start or had to stop.
enum class CaptureErrc {
  noDisplayServer = 1,      // the X server could not be reached
  extensionMissing,         // RandR 1.5, MIT-SHM, DAMAGE or XFIXES is not there
  displayNotFound,          // no display with the requested identifier
  unsupportedPixelFormat,   // the screen is not 24/32-bit true colour at 32 bits per pixel
  sharedMemoryFailed,       // the shared image segment could not be made or attached
  displayRemoved,           // the display went away while it was captured
  connectionLost,           // the X server closed the connection
  virtualDisplayFailed,     // no private Xvfb could be started
  screenCastRefused,        // the Wayland compositor refused or never started the screen cast
  streamFailed,             // the picture stream (PipeWire) could not be set up or broke off
};

const std::error_category& captureCategory();
std::error_code make_error_code(CaptureErrc e);

}  // namespace ambrel

template <>
struct std::is_error_code_enum<ambrel::CaptureErrc> : std::true_type {};
