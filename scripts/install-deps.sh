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
  # the reference of the browser viewer's benchmark: noVNC's page, websockify and x11vnc
  x11vnc novnc websockify
  # the owner's cloud database: SQLite, PostgreSQL's client library, and a server for the tests
  libsqlite3-dev libpq-dev postgresql
  # reach from outside the home network: a STUN server for the tests, and the network namespaces
  # and masquerading router the port-mapping and hole-punching tests build
  coturn iproute2 nftables
  # QUIC for hole-punched paths: ngtcp2 with its GnuTLS crypto helper, and GnuTLS itself
  libngtcp2-dev libngtcp2-crypto-gnutls-dev libgnutls28-dev
  # the desktop interface: Qt 6 Widgets and the pairing QR codes
  qt6-base-dev libqrencode-dev
  # the browser viewer page's end-to-end test (Playwright itself comes from npm, below)
  chromium
  # sound: capture through the sound server's client library, AAC-ELD through libfdk-aac (in
  # Debian's non-free section, enabled below), and a sound server for the tests
  libpulse-dev libfdk-aac-dev pulseaudio
  # the update check (libcurl over OpenSSL); the print queue (CUPS, and its lp/lpadmin for the test)
  libcurl4-openssl-dev cups cups-client cups-bsd
  # GNOME on Wayland: mutter's remote-desktop interfaces with the picture through PipeWire; for the
  # tests a headless mutter, a PipeWire daemon with its session manager, and a small Wayland client
  # (xdg-shell from wayland-protocols, keymaps through xkbcommon)
  libpipewire-0.3-dev mutter pipewire wireplumber libwayland-dev wayland-protocols libxkbcommon-dev
  # Wayland desktops on wlroots compositors (with the client library, xkbcommon and
  # wayland-protocols above): the wlr protocol descriptions from the Rust bindings' package, the
  # only one that ships them, and for the tests a headless sway with grim and wl-clipboard
  librust-wayland-protocols-dev sway grim wl-clipboard
)

# libfdk-aac lives in Debian's non-free section. When apt knows no candidate for it, add a source
# entry for that section next to every entry the machine already has for main: same addresses,
# suites and keys, only the section differs, so no mirror is written down here.
enable_non_free() {
  local SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  local dir=/etc/apt/sources.list.d
  local deb822 classic
  local own_sources="$dir/ambrel-non-free.sources" own_list="$dir/ambrel-non-free.list"
  # Each file read on its own, with a blank line after it, so stanzas of two files never merge.
  deb822="$(for f in "$dir"/*.sources; do
      if [ -f "$f" ] && [ "$f" != "$own_sources" ]; then cat "$f"; echo; fi
    done | awk '
    function flush() {
      # Binary entries only (a deb-src stanza has nothing for apt-get install).
      if (has_main && !has_non_free && uris != "" && types != "") {
        print "Types: " types
        print "URIs: " uris
        print "Suites: " suites
        print "Components: non-free"
        if (signed != "") print "Signed-By: " signed
        print ""
      }
      types = uris = suites = signed = ""; has_main = has_non_free = 0
    }
    /^[ \t]*$/ { flush(); next }
    /^#/ { next }
    /^Types:/ { $1 = ""; sub(/^ /, ""); types = $0; gsub(/deb-src/, "", types); gsub(/  +/, " ", types); sub(/^ /, "", types); next }
    /^URIs:/ { $1 = ""; sub(/^ /, ""); uris = $0; next }
    /^Suites:/ { $1 = ""; sub(/^ /, ""); suites = $0; next }
    /^Signed-By:/ { $1 = ""; sub(/^ /, ""); signed = $0; next }
    /^Enabled:/ { if ($2 == "no") uris = ""; next }
    /^Components:/ {
      for (i = 2; i <= NF; i++) { if ($i == "main") has_main = 1; if ($i == "non-free") has_non_free = 1 }
      next
    }
    END { flush() }')"
  classic="$(for f in /etc/apt/sources.list "$dir"/*.list; do
      if [ -f "$f" ] && [ "$f" != "$own_list" ]; then cat "$f"; fi
    done | awk '
    /^[ \t]*deb[ \t]/ {
      main = 0; non_free = 0
      for (i = 2; i <= NF; i++) { if ($i == "main") main = 1; if ($i == "non-free") non_free = 1 }
      if (!main || non_free) next
      line = "deb"; i = 2
      if ($2 ~ /^\[/) { while (i <= NF) { line = line " " $i; if ($i ~ /\]$/) { i++; break } i++ } }
      line = line " " $i " " $(i + 1) " non-free"
      print line
    }')"
  if [ -n "$deb822" ]; then
    printf '%s\n' "$deb822" | $SUDO tee "$own_sources" >/dev/null
  fi
  if [ -n "$classic" ]; then
    printf '%s\n' "$classic" | $SUDO tee "$own_list" >/dev/null
  fi
  if [ -z "$deb822$classic" ]; then
    echo "No source entry for Debian's main section found; libfdk-aac-dev stays out (no sound)."
    return 1
  fi
  $SUDO apt-get update -qq
}

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

has_candidate() {
  # Read the whole answer first: grep -q leaving early would fail the pipe under pipefail.
  local policy
  policy="$(apt-cache policy "$1" 2>/dev/null || true)"
  [[ "$policy" =~ Candidate:\ [^\(] ]]
}
for p in "${missing[@]+"${missing[@]}"}"; do
  if [ "$p" = libfdk-aac-dev ] && ! has_candidate libfdk-aac-dev; then
    if ! enable_non_free || ! has_candidate libfdk-aac-dev; then
      # The build detects the library and goes without sound when it is missing.
      filtered=()
      for q in "${missing[@]}"; do [ "$q" = libfdk-aac-dev ] || filtered+=("$q"); done
      missing=("${filtered[@]+"${filtered[@]}"}")
    fi
  fi
done

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
