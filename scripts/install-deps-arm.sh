#!/usr/bin/env bash
# Installs what the armhf cross build and its emulated test run need, on top of install-deps.sh,
# without touching the host's own packages: on the host only Debian's armhf cross compiler and
# qemu-user (with the binfmt_misc entry that lets the kernel start armhf programs through
# qemu-arm); every armhf library (Boost, TinyXML, GoogleTest, wxBase, FFmpeg and what they need)
# goes into a sysroot of its own, made from Debian's armhf packages with a private apt state and
# kept in a cache folder for the next build. The host never gets the armhf architecture, so its
# packages and the sysroot's are free to be at different versions.
#
#   install-deps-arm.sh [--print-sysroot]
#
# The sysroot is DVRCORE_ARMHF_SYSROOT (default /var/cache/dvrcore-armhf/sysroot). Beside the
# files of its packages it holds a dpkg database of them (var/lib/dpkg), so that dpkg-shlibdeps
# finds the packages behind the armhf libraries and `dpkg --root` can install the armhf packages of
# dvrcore into it for their test. Nothing is done when the sysroot is complete for this package
# list. Runs as root.
set -euo pipefail

SYSROOT=${DVRCORE_ARMHF_SYSROOT:-/var/cache/dvrcore-armhf/sysroot}
if [ "${1:-}" = --print-sysroot ]; then
  echo "$SYSROOT"
  exit 0
fi
CACHE=$(dirname "$SYSROOT")/apt
MULTIARCH=arm-linux-gnueabihf

host_packages=(g++-arm-linux-gnueabihf qemu-user)
# The armhf packages the build links against; apt adds everything they depend on.
armhf_packages=(libboost-system-dev libboost-filesystem-dev libtinyxml-dev libgtest-dev
                libwxbase3.2-1 wx3.2-headers
                libavformat-dev libavcodec-dev libavutil-dev)
# wxBase's compile-time configuration (wx-config and setup.h) ships only in libwxgtk3.2-dev,
# whose dependencies are a whole GTK tree: that one package is unpacked without them.
armhf_unpacked_only=(libwxgtk3.2-dev)
# The sysroot is made again whenever this script changes.
stamp_text="$(sha256sum "$0" | cut -d" " -f1)"

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
binfmt_ready() { [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] && grep -q '^enabled' /proc/sys/fs/binfmt_misc/qemu-arm; }
sysroot_ready() { [ -f "$SYSROOT/.dvrcore-sysroot" ] && [ "$(cat "$SYSROOT/.dvrcore-sysroot")" = "$stamp_text" ]; }

missing=()
for p in "${host_packages[@]}"; do installed "$p" || missing+=("$p"); done
[ ${#missing[@]} -eq 0 ] && sysroot_ready && binfmt_ready && exit 0

if [ "$(id -u)" != 0 ]; then
  echo "install-deps-arm: missing: ${missing[*]:-} the armhf sysroot $SYSROOT or the qemu-arm binfmt entry" \
       "(run as root to install them)" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive

if [ ${#missing[@]} -gt 0 ]; then
  echo "install-deps-arm: installing ${missing[*]}"
  apt-get update -qq || echo "install-deps-arm: apt-get update failed; installing from the package lists present" >&2
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if ! binfmt_ready; then
  echo "install-deps-arm: registering qemu-arm with binfmt_misc"
  [ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  [ -e /proc/sys/fs/binfmt_misc/qemu-arm ] && echo 1 > /proc/sys/fs/binfmt_misc/qemu-arm
  if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
    # 32-bit little-endian ARM ELF executables and shared objects (e_machine 40). The kernel
    # starts them as "qemu-arm <path>"; qemu-arm finds the armhf loader and libraries under
    # QEMU_LD_PREFIX, the sysroot, which the build and the tests set.
    printf '%s' ':qemu-arm:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-arm:' \
      > /proc/sys/fs/binfmt_misc/register
  fi
  binfmt_ready || { echo "install-deps-arm: could not register qemu-arm with binfmt_misc" >&2; exit 1; }
fi

sysroot_ready && exit 0
echo "install-deps-arm: making the armhf sysroot $SYSROOT"

# A private apt: the host's sources and keys, but its own lists, cache and an empty package
# status, with armhf as its only architecture. The host's apt state is never written.
mkdir -p "$CACHE/etc/sources.list.d" "$CACHE/state/lists/partial" "$CACHE/cache/archives/partial" "$CACHE/unpacked-only"
rm -f "$CACHE/etc/sources.list.d/"*
for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -f "$f" ] && cp "$f" "$CACHE/etc/sources.list.d/"
done
if [ -f /etc/apt/sources.list ]; then cp /etc/apt/sources.list "$CACHE/etc/sources.list"; else : >"$CACHE/etc/sources.list"; fi
: >"$CACHE/state/status"
# _apt downloads into folders it can write.
chown -R _apt "$CACHE/state/lists" "$CACHE/cache/archives" "$CACHE/unpacked-only" 2>/dev/null || true
apt_private=(-o "Dir::Etc::SourceList=$CACHE/etc/sources.list" -o "Dir::Etc::SourceParts=$CACHE/etc/sources.list.d"
             -o "Dir::State=$CACHE/state" -o "Dir::State::status=$CACHE/state/status"
             -o "Dir::Cache=$CACHE/cache" -o "APT::Architecture=armhf" -o "APT::Architectures::=armhf"
             -o "APT::Install-Recommends=false" -o "Debug::NoLocking=true")

# A mirror caught mid-sync (or an index that fails its size check) leaves that index out; the
# indexes that did download still make a consistent set of packages, so the build goes on with them.
if ! apt-get "${apt_private[@]}" update -qq >"$CACHE/update.log" 2>&1; then
  failed=$(grep -E '^(E|W): Failed to fetch' "$CACHE/update.log" | sed -E 's/^.: Failed to fetch ([^ ]+).*/\1/' | tr '\n' ' ')
  echo "install-deps-arm: these indexes failed to download, the sysroot uses the others: ${failed:-see $CACHE/update.log}"
fi
apt-get "${apt_private[@]}" install -y -qq --download-only "${armhf_packages[@]/%/:armhf}" >"$CACHE/install.log" 2>&1 ||
  { cat "$CACHE/install.log" >&2; echo "install-deps-arm: apt could not gather the armhf packages" >&2; exit 1; }
rm -f "$CACHE/unpacked-only/"*.deb
(cd "$CACHE/unpacked-only" && apt-get "${apt_private[@]}" download -qq "${armhf_unpacked_only[@]/%/:armhf}" >>"$CACHE/install.log" 2>&1) ||
  { cat "$CACHE/install.log" >&2; echo "install-deps-arm: apt could not download ${armhf_unpacked_only[*]}" >&2; exit 1; }

# The files of every package, unpacked afresh, and a dpkg database that lists them: a status
# entry per package and its file list, symbols and shlibs files. Maintainer scripts are not run;
# libraries need none to be linked against or loaded.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
rm -rf "$SYSROOT"
mkdir -p "$SYSROOT/var/lib/dpkg/info" "$SYSROOT/var/lib/dpkg/updates" "$SYSROOT/var/lib/dpkg/triggers"
printf 'armhf\n' >"$SYSROOT/var/lib/dpkg/arch"
printf '1\n' >"$SYSROOT/var/lib/dpkg/info/format"
: >"$SYSROOT/var/lib/dpkg/status"
: >"$SYSROOT/var/lib/dpkg/available"
count=0
for deb in "$CACHE"/cache/archives/*.deb; do
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$SYSROOT"
  rm -rf "$tmp/control"
  dpkg-deb -e "$deb" "$tmp/control"
  package=$(dpkg-deb -f "$deb" Package)
  name=$package
  [ "$(dpkg-deb -f "$deb" Multi-Arch)" = same ] && name="$package:armhf"
  # Each file twice: as it stands on the device, for dpkg --root, and under the sysroot, which is
  # the path dpkg-shlibdeps asks about when it looks up the package behind a library.
  dpkg-deb -c "$deb" | awk '{ p = $6; sub(/^\./, "", p); sub(/\/$/, "", p); print (p == "" ? "/." : p) }' >"$tmp/list"
  { cat "$tmp/list"; grep -vx '/\.' "$tmp/list" | sed "s|^|$SYSROOT|"; } >"$SYSROOT/var/lib/dpkg/info/$name.list"
  for extra in symbols shlibs triggers; do
    [ -f "$tmp/control/$extra" ] && cp "$tmp/control/$extra" "$SYSROOT/var/lib/dpkg/info/$name.$extra"
  done
  awk '/^Package:/ { print; print "Status: install ok installed"; next } { print }' "$tmp/control/control" >>"$SYSROOT/var/lib/dpkg/status"
  echo >>"$SYSROOT/var/lib/dpkg/status"
  count=$((count + 1))
done
for deb in "$CACHE"/unpacked-only/*.deb; do
  dpkg-deb --fsys-tarfile "$deb" | tar -x -C "$SYSROOT"
done

# Links that point at absolute paths would lead out of the sysroot into the host's folders: make
# them relative. Linker scripts (libc.so, libm.so) name their libraries by absolute paths too.
while IFS= read -r link; do
  target=$(readlink "$link")
  ln -sfn "$(realpath -m --relative-to="$(dirname "$link")" "$SYSROOT$target")" "$link"
done < <(find "$SYSROOT" -type l -lname '/*')
for script in "$SYSROOT"/usr/lib/$MULTIARCH/*.so; do
  if [ -f "$script" ] && [ ! -L "$script" ] && head -c 64 "$script" | grep -q 'GNU ld script'; then
    sed -i -E "s@([ (])/(usr/)?lib/@\1$SYSROOT/\2lib/@g" "$script"
  fi
done
# wx-config derives every path from its prefix (given as the sysroot's /usr): the library's
# development link is not in the unpacked package.
wx_lib=$(cd "$SYSROOT/usr/lib/$MULTIARCH" && ls libwx_baseu-3.2.so.* | sort | head -n 1)
ln -sfn "$wx_lib" "$SYSROOT/usr/lib/$MULTIARCH/libwx_baseu-3.2.so"

echo "$stamp_text" >"$SYSROOT/.dvrcore-sysroot"
echo "install-deps-arm: the armhf sysroot holds $count packages ($(du -sh "$SYSROOT" | cut -f1))"
