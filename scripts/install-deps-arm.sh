#!/usr/bin/env bash
# Installs what the armhf cross build and its emulated test run need, on top of install-deps.sh:
# Debian's armhf cross compiler, the armhf builds of the core's libraries and of FFmpeg's (for the
# media plugins) through multiarch, qemu-user, wxBase's armhf configuration, and the binfmt_misc
# entry that lets the kernel start armhf executables through qemu-arm. Does nothing when all is
# present. Runs as root.
set -euo pipefail

# wxBase: the armhf runtime library is enough to link against; its compile-time configuration
# (wx-config and setup.h) ships only in libwxgtk3.2-dev:armhf, whose dependencies would bring a
# whole armhf GTK tree. So that one package is unpacked, not installed, into WX_ROOT, and the
# toolchain file points CMake's wxWidgets search at it.
WX_ROOT=${DVRCORE_ARMHF_WX_ROOT:-/opt/dvrcore-armhf/wx}
WX_CONFIG=$WX_ROOT/usr/lib/arm-linux-gnueabihf/wx/config/gtk3-unicode-3.2
WX_LIB=/usr/lib/arm-linux-gnueabihf/libwx_baseu-3.2.so.0

packages=(g++-arm-linux-gnueabihf qemu-user
          libboost-system-dev:armhf libboost-filesystem-dev:armhf
          libtinyxml-dev:armhf libgtest-dev:armhf
          libwxbase3.2-1:armhf wx3.2-headers
          libavformat-dev:armhf libavcodec-dev:armhf libavutil-dev:armhf)
# FFmpeg's armhf libraries bring their codec and network libraries, about 115 armhf packages; the
# multiarch rule that a library of two architectures has one version may upgrade the host's copies.

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
binfmt_ready() { [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] && grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-arm; }

has_armhf=1
dpkg --print-foreign-architectures | grep -qx armhf || has_armhf=0
missing=()
if [ $has_armhf = 1 ]; then
  for p in "${packages[@]}"; do installed "$p" || missing+=("$p"); done
else
  missing=("${packages[@]}")
fi
[ ${#missing[@]} -eq 0 ] && [ -f "$WX_CONFIG" ] && binfmt_ready && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps-arm: missing: ${missing[*]:-} ${WX_CONFIG} or the qemu-arm binfmt entry" \
       "(run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  if [ $has_armhf = 0 ]; then
    echo "install-deps-arm: adding the armhf architecture"
    dpkg --add-architecture armhf
  fi
  echo "install-deps-arm: installing ${missing[*]}"
  # A mirror caught mid-sync fails the update of one index; the lists already present still serve.
  apt-get update -qq || echo "install-deps-arm: apt-get update failed; installing from the package lists present" >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -f "$WX_CONFIG" ]; then
  echo "install-deps-arm: unpacking wxBase's armhf configuration into $WX_ROOT"
  version=$(dpkg-query -W -f='${Version}' libwxbase3.2-1:armhf)
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  # _apt downloads into a folder it can write; the package must match the installed library.
  chmod 755 "$tmp"
  chown _apt "$tmp" 2>/dev/null || true
  (cd "$tmp" && apt-get download -qq "libwxgtk3.2-dev:armhf=$version")
  rm -rf "$WX_ROOT"
  mkdir -p "$WX_ROOT"
  dpkg-deb -x "$tmp"/libwxgtk3.2-dev_*_armhf.deb "$WX_ROOT"
  # wx-config derives every path from its prefix: headers from the shared wx3.2-headers, the
  # library from the installed runtime package.
  ln -sfn /usr/include "$WX_ROOT/usr/include"
  ln -sfn "$WX_LIB" "$WX_ROOT/usr/lib/arm-linux-gnueabihf/libwx_baseu-3.2.so"
fi

if ! binfmt_ready; then
  echo "install-deps-arm: registering qemu-arm with binfmt_misc"
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] && echo 1 > /proc/sys/fs/binfmt_misc/qemu-arm
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
    # 32-bit little-endian ARM ELF executables and shared objects (e_machine 40). The kernel
    # starts them as "qemu-arm <path>"; the armhf loader and libraries come from multiarch.
    printf '%s' ':qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-arm:' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  binfmt_ready || { echo "install-deps-arm: could not register qemu-arm with binfmt_misc" >&2; exit 1; }
fi
