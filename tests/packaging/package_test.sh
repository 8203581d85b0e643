#!/usr/bin/env bash
# The Debian packages as a person on a fresh machine uses them: check their fields and contents,
# install the core, SDK and tools packages with dpkg -i, build the example plugin against the
# installed SDK with pkg-config and with find_package and run its harness test against the installed
# kit, inspect and validate plugins with the installed tools, run the packaged core with the example,
# add the media plugins' package and have the installed loader load its plugins, then remove the
# packages with dpkg -r and check that nothing of them is left. Needs root; refuses to run when any
# of the packages is installed already, and removes what it installed whatever happens, so the
# machine is left as it was found.
# Packages of a foreign architecture (armhf) are installed with dpkg --root into a copy of that
# architecture's sysroot (scripts/install-deps-arm.sh: its libraries and a dpkg database of them),
# so the host's packages stay as they are; their programs run through qemu-user (binfmt_misc) with
# the copy as the library prefix, and the plugin is built with that architecture's C compiler.
#   package_test.sh PACKAGE_FOLDER [PLUGIN_C_COMPILER SYSROOT]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
packages=$(cd "$1" && pwd)
plugin_cc=${2:-cc}
sysroot=${3:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Where the packages are installed: "" for the host itself, else the sysroot's copy in $work.
root=
dpkg_root=(dpkg)
names=(dvrcore dvrcore-plugin-dev dvrcore-plugin-tools dvrcore-plugins-media)
installed_by_us=0

fail()
{
    echo "FAILED: $*"
    exit 1
}

installed()
{
    "${dpkg_root[@]}" -s "$1" 2>/dev/null | grep -q '^Status: install ok installed'
}

cleanup()
{
    # The example plugin is no file of the packages: dpkg would leave it, and its folder, behind.
    rm -f "$root/usr/lib/dvrcore/plugins/Heartbeat.so"
    if [ "$installed_by_us" = 1 ]; then
        "${dpkg_root[@]}" -P "${names[@]}" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}

[ "$(id -u)" = 0 ] || fail "dpkg -i needs root"
architecture=$(dpkg-deb -f "$(ls "$packages"/dvrcore_*.deb | head -n 1)" Architecture)
if [ "$architecture" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$architecture"; then
    [ -n "$sysroot" ] && [ -d "$sysroot/var/lib/dpkg" ] || fail "packages for $architecture need its sysroot with a dpkg database"
    # A copy of hard links: dpkg replaces files by renaming new ones into place, so the sysroot
    # itself is never written.
    root=$work/root
    chmod 755 "$work" # the inspector loads plugins as nobody when run as root
    cp -al "$sysroot" "$root"
    dpkg_root=(dpkg "--root=$root" --force-not-root --force-script-chrootless)
    export QEMU_LD_PREFIX=$root
    export PKG_CONFIG_SYSROOT_DIR=$root
    echo "== installing into a copy of the $architecture sysroot ($sysroot); the host's packages are left alone"
fi
for name in "${names[@]}"; do
    ! installed "$name" || fail "$name is installed already; remove it first (dpkg -r $name)"
done
shopt -s nullglob
core_debs=("$packages"/dvrcore_*.deb)
sdk_debs=("$packages"/dvrcore-plugin-dev_*_all.deb)
tools_debs=("$packages"/dvrcore-plugin-tools_*.deb)
media_debs=("$packages"/dvrcore-plugins-media_*.deb)
[ ${#core_debs[@]} -eq 1 ] && [ ${#sdk_debs[@]} -eq 1 ] && [ ${#tools_debs[@]} -eq 1 ] && [ ${#media_debs[@]} -eq 1 ] ||
    fail "expected one dvrcore, one dvrcore-plugin-dev, one dvrcore-plugin-tools and one dvrcore-plugins-media package in $packages"
core_deb=${core_debs[0]}
sdk_deb=${sdk_debs[0]}
tools_deb=${tools_debs[0]}
media_deb=${media_debs[0]}

echo "== package fields and contents"
[ "$(dpkg-deb -f "$core_deb" Package)" = dvrcore ] || fail "the core package is not named dvrcore"
depends=$(dpkg-deb -f "$core_deb" Depends)
for library in libboost-filesystem libtinyxml libwxbase libstdc++6 libc6; do
    grep -q "$library" <<<"$depends" || fail "the core package's dependencies lack $library: $depends"
done
! grep -q 'libav' <<<"$depends" || fail "the core package depends on FFmpeg's libraries, which only the media plugins use: $depends"
[ "$(dpkg-deb -f "$sdk_deb" Architecture)" = all ] || fail "the SDK package is not architecture-independent"
[ "$(dpkg-deb -f "$tools_deb" Architecture)" = "$architecture" ] || fail "the tools package is not for $architecture"
grep -q "dvrcore-plugin-dev (= $(dpkg-deb -f "$sdk_deb" Version))" <<<"$(dpkg-deb -f "$tools_deb" Recommends)" ||
    fail "the tools package does not recommend the SDK package of its version"
[ "$(dpkg-deb -f "$media_deb" Architecture)" = "$architecture" ] || fail "the media plugins' package is not for $architecture"
media_depends=$(dpkg-deb -f "$media_deb" Depends)
for dependency in "dvrcore (= $(dpkg-deb -f "$core_deb" Version))" libavformat libavcodec libavutil libc6; do
    grep -qF "$dependency" <<<"$media_depends" || fail "the media plugins' package's dependencies lack $dependency: $media_depends"
done
multiarch=$(dpkg-architecture -a "$architecture" -qDEB_HOST_MULTIARCH 2>/dev/null)
dpkg-deb -c "$core_deb" | awk '{print $6}' >"$work/core.list"
dpkg-deb -c "$sdk_deb" | awk '{print $6}' >"$work/sdk.list"
dpkg-deb -c "$tools_deb" | awk '{print $6}' >"$work/tools.list"
dpkg-deb -c "$media_deb" | awk '$6 ~ /[^\/]$/ {print $6}' >"$work/media.list"
for file in ./usr/lib/dvrcore/dvrcore ./usr/lib/dvrcore/plugins/LogPI.so ./usr/lib/dvrcore/protected-plugins/ ./usr/bin/dvrcore; do
    grep -qx "$file" "$work/core.list" || fail "the core package lacks $file"
done
! grep -q 'Demo' "$work/core.list" || fail "the core package holds a demo plugin"
for file in ./usr/include/dvrcore/plugin_api.h ./usr/share/pkgconfig/dvrcore-plugin.pc \
            ./usr/share/cmake/dvrcore/dvrcoreConfig.cmake ./usr/share/doc/dvrcore-plugin-dev/writing-plugins.md \
            ./usr/share/doc/dvrcore-plugin-dev/example-plugin/Heartbeat.c ./usr/include/dvrcore/harness.h \
            ./usr/share/doc/dvrcore-plugin-dev/example-plugin/heartbeat_test.c; do
    grep -qx "$file" "$work/sdk.list" || fail "the SDK package lacks $file"
done
for file in ./usr/bin/dvrcore-inspect ./usr/bin/dvrcore-validate "./usr/lib/$multiarch/libdvrcore-harness.so.1" \
            "./usr/lib/$multiarch/libdvrcore-harness.so" "./usr/lib/$multiarch/pkgconfig/dvrcore-harness.pc" \
            "./usr/lib/$multiarch/cmake/dvrcore-harness/dvrcore-harnessConfig.cmake"; do
    grep -qx "$file" "$work/tools.list" || fail "the tools package lacks $file"
done
media_plugins=(/usr/lib/dvrcore/plugins/MediaSource.so /usr/lib/dvrcore/plugins/SegmentRecorder.so)
# The web view is built where its libraries are: always natively (install-deps.sh installs them);
# the armhf sysroot does not carry them yet.
if [ $# -lt 2 ] || grep -qx ./usr/lib/dvrcore/plugins/WebView.so "$work/media.list"; then
    media_plugins+=(/usr/lib/dvrcore/plugins/WebView.so)
fi
[ "$(sort "$work/media.list")" = "$(printf '.%s\n' "${media_plugins[@]}" | sort)" ] ||
    fail "the media plugins' package holds other files than ${media_plugins[*]##*/}: $(cat "$work/media.list")"
! grep -q -e MediaSource -e SegmentRecorder -e WebView "$work/core.list" || fail "the core package holds a media plugin"

echo "== dpkg -i"
trap cleanup EXIT
installed_by_us=1
"${dpkg_root[@]}" -i "$core_deb" "$sdk_deb" "$tools_deb" >/dev/null
"$root/usr/bin/dvrcore" -h 2>"$work/usage.txt" || fail "dvrcore -h failed"
grep -q 'Usage' "$work/usage.txt" || fail "dvrcore -h printed no usage"
# pkg-config and CMake look in the installed tree's folders ($root's for a foreign architecture).
export PKG_CONFIG_LIBDIR=$root/usr/lib/$multiarch/pkgconfig:$root/usr/share/pkgconfig:$root/usr/lib/pkgconfig
[ "$(pkg-config --modversion dvrcore-plugin)" = "$(dpkg-deb -f "$sdk_deb" Version)" ] ||
    fail "pkg-config does not find the SDK of the package"

echo "== example plugin against the packaged SDK"
cp -r "$root/usr/share/doc/dvrcore-plugin-dev/example-plugin" "$work/with-pkg-config"
make -s -C "$work/with-pkg-config" CC="$plugin_cc" CFLAGS="-O2 -Werror"
echo -n "pkg-config harness test: "
make -s -C "$work/with-pkg-config" CC="$plugin_cc" CFLAGS="-O2 -Werror" check
cp -r "$root/usr/share/doc/dvrcore-plugin-dev/example-plugin" "$work/with-cmake"
cmake_root=()
[ -z "$root" ] || cmake_root=(-DCMAKE_PREFIX_PATH="$root/usr" -DCMAKE_LIBRARY_ARCHITECTURE="$multiarch")
cmake -S "$work/with-cmake" -B "$work/with-cmake/build" -DCMAKE_C_COMPILER="$plugin_cc" -DCMAKE_C_FLAGS="-Werror" \
    "${cmake_root[@]}" >/dev/null
cmake --build "$work/with-cmake/build" >/dev/null
[ -f "$work/with-cmake/build/heartbeat_test" ] || fail "find_package(dvrcore-harness) did not find the installed harness"
ctest --test-dir "$work/with-cmake/build" --output-on-failure >"$work/ctest.txt" || { cat "$work/ctest.txt"; fail "the example's harness test failed (CMake build)"; }
echo "find_package harness test: $(grep -o '100% tests passed.*' "$work/ctest.txt")"

echo "== the installed tools"
"$root/usr/bin/dvrcore-inspect" "$root/usr/lib/dvrcore/plugins/LogPI.so" >"$work/inspect.txt" ||
    { cat "$work/inspect.txt"; fail "dvrcore-inspect does not load the packaged LogPI.so"; }
grep -q 'verdict: loaded' "$work/inspect.txt" || fail "dvrcore-inspect gave no verdict for LogPI.so"
"$root/usr/bin/dvrcore-validate" "$work/with-pkg-config/Heartbeat.so" >"$work/validate.txt" ||
    { cat "$work/validate.txt"; fail "dvrcore-validate finds a violation in the example plugin"; }
echo "dvrcore-validate: $(tail -n 1 "$work/validate.txt")"
cmake --install "$work/with-cmake/build" >/dev/null
[ -f "$root/usr/lib/dvrcore/plugins/Heartbeat.so" ] || fail "cmake --install put no Heartbeat.so into $root/usr/lib/dvrcore/plugins"
echo -n "find_package build: "
"$here/heartbeat_run.sh" "$root/usr/bin/dvrcore" "$work/run-find-package"
rm "$root/usr/lib/dvrcore/plugins/Heartbeat.so"
make -s -C "$work/with-pkg-config" install
echo -n "pkg-config build: "
"$here/heartbeat_run.sh" "$root/usr/bin/dvrcore" "$work/run-pkg-config"
rm "$root/usr/lib/dvrcore/plugins/Heartbeat.so"

# Installed after the example's runs, so that those runs load no plugin that needs a configuration.
echo "== the media plugins' package"
"${dpkg_root[@]}" -i "$media_deb" >/dev/null
for plugin in "${media_plugins[@]}"; do
    "$root/usr/bin/dvrcore-inspect" "$root$plugin" >"$work/inspect-media.txt" 2>&1 ||
        { cat "$work/inspect-media.txt"; fail "dvrcore-inspect does not load the packaged $(basename "$plugin")"; }
    grep -q 'verdict: loaded' "$work/inspect-media.txt" || fail "dvrcore-inspect gave no verdict for $(basename "$plugin")"
done
! "${dpkg_root[@]}" -r dvrcore >"$work/remove-core.txt" 2>&1 || fail "dpkg removed the core while the media plugins' package needs it"
"${dpkg_root[@]}" -r dvrcore-plugins-media >/dev/null
for plugin in "${media_plugins[@]}"; do
    [ ! -e "$root$plugin" ] || fail "$plugin is left after dpkg -r dvrcore-plugins-media"
done
[ -f "$root/usr/lib/dvrcore/plugins/LogPI.so" ] || fail "dpkg -r dvrcore-plugins-media took the core's LogPI.so"
echo "media plugins: $(basename "$media_deb") loads ${media_plugins[*]##*/}; depends on $media_depends"

echo "== dpkg -r"
"${dpkg_root[@]}" -r dvrcore-plugin-tools dvrcore-plugin-dev dvrcore >/dev/null
installed_by_us=0
for name in "${names[@]}"; do
    ! installed "$name" || fail "$name is still installed"
done
for path in /usr/lib/dvrcore /usr/bin/dvrcore /usr/include/dvrcore /usr/share/pkgconfig/dvrcore-plugin.pc \
            /usr/share/cmake/dvrcore /usr/share/doc/dvrcore-plugin-dev /usr/bin/dvrcore-inspect /usr/bin/dvrcore-validate \
            "/usr/lib/$multiarch/libdvrcore-harness.so.1" "/usr/lib/$multiarch/pkgconfig/dvrcore-harness.pc" \
            "/usr/lib/$multiarch/cmake/dvrcore-harness"; do
    [ ! -e "$root$path" ] && [ ! -L "$root$path" ] || fail "$path is left after dpkg -r"
done
echo "package test passed ($architecture): $(basename "$core_deb"), $(basename "$sdk_deb"), $(basename "$tools_deb") and $(basename "$media_deb") install, serve and test plugins and remove cleanly"
