#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the programs need, and nothing that
# is already there, then the tests' npm packages. Safe to run again: it only calls apt-get when a
# package is missing, and npm when a folder's packages are missing or out of date.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build clang libclang-rt-14-dev pkg-config git ca-certificates
  # test and benchmark frameworks
  libgtest-dev libgmock-dev libbenchmark-dev
  # core libraries
  libboost1.81-dev libssl-dev nlohmann-json3-dev libspdlog-dev libfmt-dev
  # the openssl command, for the reference figures of the security benchmark
  openssl
  # PQClean arrives through its npm package at build time
  nodejs npm
  # local advertisement
  libavahi-client-dev
  # video coding and movie files (FFmpeg with libx264 and libx265)
  libavcodec-dev libavformat-dev libavutil-dev
  # remote input through XTest
  libx11-dev libxtst-dev
  # virtual display for the host and the tests
  xvfb
  # screen capture
  libxcb1-dev libxcb-randr0-dev libxcb-shm0-dev libxcb-damage0-dev libxcb-xfixes0-dev libyuv-dev
  # screen text (Tesseract with its English data) and screenshots (TurboJPEG)
  libtesseract-dev tesseract-ocr-eng libturbojpeg0-dev
  # D-Bus (notifications, logind) through sd-bus; a private bus daemon for the tests
  libsystemd-dev dbus-daemon
  # desktop actions: display off, opening apps and web addresses
  x11-xserver-utils libglib2.0-bin xdg-utils
  # the command-line client's viewer window
  libsdl2-dev
  # tests with several monitors: Xorg with the dummy video driver
  xserver-xorg-core xserver-xorg-video-dummy
  # the ffmpeg command (x11grab), for the reference figures of the video benchmark
  ffmpeg
  # the owner's cloud database: SQLite, PostgreSQL's client library, and a server for the tests
  libsqlite3-dev libpq-dev postgresql
  # the desktop interface: Qt 6 Widgets and the pairing QR codes
  qt6-base-dev libqrencode-dev
  # the browser viewer page's end-to-end test (Playwright itself comes from npm, below)
  chromium
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

# npm may come with Node.js from elsewhere (the machine's image); don't fight it.
if command -v npm >/dev/null 2>&1; then
  filtered=()
  for p in "${missing[@]}"; do
    case "$p" in nodejs|npm) ;; *) filtered+=("$p") ;; esac
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

if [ "${#missing[@]}" -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# npm packages, pinned by each folder's package-lock.json and installed into its node_modules
# (git-ignored) when that is missing or older than the lock. Playwright drives Debian's Chromium,
# so it must not download browsers of its own.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
for folder in "$root/tests/browser_e2e"; do
  stamp="$folder/node_modules/.package-lock.json"
  if [ ! -f "$stamp" ] || [ "$folder/package-lock.json" -nt "$stamp" ]; then
    echo "Installing npm packages in ${folder#"$root"/}"
    (cd "$folder" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
  fi
done
