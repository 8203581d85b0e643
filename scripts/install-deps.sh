#!/usr/bin/env bash
# Installs the Debian packages dvrcore needs to build and test. Does nothing when all are present.
# Runs as root (apt-get); otherwise it only says what is missing.
set -euo pipefail

packages=(g++ cmake make pkg-config ccache
          libboost-system-dev libboost-filesystem-dev
          libtinyxml-dev libwxgtk3.2-dev
          libgtest-dev libbenchmark-dev locales
          libavformat-dev libavcodec-dev libavutil-dev ffmpeg
          # The web view: HTTP on Boost.Beast (header-only), JSON, TLS and password hashes.
          libboost-dev nlohmann-json3-dev libssl-dev libcrypt-dev
          # The media process tests: an RTSP server (H.264 test pattern, A-law tone) and a slow disk.
          python3-gi gir1.2-gst-rtsp-server-1.0 gstreamer1.0-plugins-base gstreamer1.0-plugins-good
          gstreamer1.0-plugins-ugly libfuse3-dev fuse3
          # The browser tests: headless Chromium driven by Selenium.
          chromium chromium-driver python3-selenium "$@")

# The status line groups digits the way the device's en_US.UTF-8 locale does.
has_locale() { locale -a 2>/dev/null | grep -qi '^en_US\.utf-\?8$'; }

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && has_locale && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
if ! has_locale; then
  echo "install-deps: generating the en_US.UTF-8 locale"
  localedef -i en_US -f UTF-8 en_US.UTF-8
fi
