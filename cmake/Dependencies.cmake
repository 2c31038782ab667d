# Every third-party library the build links, found in one place.
find_package(Threads REQUIRED)
find_package(OpenSSL 3.0 REQUIRED)
find_package(nlohmann_json 3.10 REQUIRED)
find_package(fmt REQUIRED)
find_package(spdlog REQUIRED)
find_package(Boost 1.81 REQUIRED)
find_package(GTest REQUIRED)
find_package(benchmark REQUIRED)

# Boost.Asio is used header-only; keep it off the deprecated interfaces.
add_library(corvel_asio INTERFACE)
target_link_libraries(corvel_asio INTERFACE Boost::headers Threads::Threads)
target_compile_definitions(corvel_asio INTERFACE BOOST_ASIO_NO_DEPRECATED BOOST_ASIO_NO_TS_EXECUTORS)

find_package(PkgConfig REQUIRED)
pkg_check_modules(AVAHI REQUIRED IMPORTED_TARGET avahi-client)
# Screen capture: XCB with its RandR, MIT-SHM, DAMAGE and XFIXES extensions; libyuv (no .pc file).
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb xcb-randr xcb-shm xcb-damage xcb-xfixes)
find_path(LIBYUV_INCLUDE_DIR libyuv.h REQUIRED)
find_library(LIBYUV_LIBRARY yuv REQUIRED)
# Video coding and movie files (FFmpeg 5.1: libx264, libx265 and the hardware encoders).
pkg_check_modules(LIBAVCODEC REQUIRED IMPORTED_TARGET libavcodec)
pkg_check_modules(LIBAVFORMAT REQUIRED IMPORTED_TARGET libavformat)
pkg_check_modules(LIBAVUTIL REQUIRED IMPORTED_TARGET libavutil)
pkg_check_modules(SYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
# The picture of Wayland desktops (mutter's screen casts) arrives through PipeWire.
pkg_check_modules(PIPEWIRE REQUIRED IMPORTED_TARGET libpipewire-0.3)
# The owner's cloud database: SQLite on this machine, or a shared PostgreSQL server.
pkg_check_modules(SQLITE3 REQUIRED IMPORTED_TARGET sqlite3)
pkg_check_modules(LIBPQ REQUIRED IMPORTED_TARGET libpq)
# The update feed, fetched over HTTPS.
pkg_check_modules(LIBCURL REQUIRED IMPORTED_TARGET libcurl)

# QUIC on hole-punched paths: ngtcp2 with its GnuTLS crypto helper (TLS 1.3 with a pre-shared key).
pkg_check_modules(NGTCP2 REQUIRED IMPORTED_TARGET libngtcp2 libngtcp2_crypto_gnutls gnutls)

# Screen text (Tesseract 5 with Leptonica) and screenshots (TurboJPEG).
pkg_check_modules(TESSERACT REQUIRED IMPORTED_TARGET tesseract lept)
pkg_check_modules(TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)

# Remote input: XTest over Xlib.
pkg_check_modules(XTEST REQUIRED IMPORTED_TARGET x11 xtst)

# The viewer window of the command-line client.
pkg_check_modules(SDL2 REQUIRED IMPORTED_TARGET sdl2)

# Sound: AAC-ELD through libfdk-aac (Debian's non-free section) and capture through the sound
# server's client library. Both are optional: without them the host builds and runs without sound.
option(CORVEL_SOUND "Build the sound path where its libraries are present" ON)
if(CORVEL_SOUND)
  pkg_check_modules(FDKAAC IMPORTED_TARGET fdk-aac)
  pkg_check_modules(LIBPULSE IMPORTED_TARGET libpulse)
  pkg_check_modules(LIBPULSE_SIMPLE IMPORTED_TARGET libpulse-simple)
endif()
if(FDKAAC_FOUND)
  message(STATUS "Sound coding: libfdk-aac ${FDKAAC_VERSION}")
else()
  message(STATUS "Sound coding: libfdk-aac not found, the host goes without sound")
endif()
if(LIBPULSE_FOUND)
  message(STATUS "Sound capture: libpulse ${LIBPULSE_VERSION}")
else()
  message(STATUS "Sound capture: libpulse not found, the host goes without sound")
endif()
# The desktop interface (optional): Qt 6 Widgets, and libqrencode for the pairing QR codes.
option(AMBREL_WITH_UI "Build the desktop interface when Qt 6 is there" ON)
set(AMBREL_DESKTOP_UI OFF)
if(AMBREL_WITH_UI)
  find_package(Qt6 6.2 QUIET COMPONENTS Widgets Test)
  pkg_check_modules(QRENCODE QUIET IMPORTED_TARGET libqrencode)
  if(Qt6_FOUND AND QRENCODE_FOUND)
    set(AMBREL_DESKTOP_UI ON)
  else()
    message(STATUS "Qt 6 Widgets or libqrencode missing: building without the desktop interface")
  endif()
endif()
