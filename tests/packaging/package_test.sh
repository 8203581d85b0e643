#!/usr/bin/env bash
# The Debian packages as a person on a fresh machine uses them: check their fields and contents,
# install both with dpkg -i, build the example plugin against the installed SDK with pkg-config and
# with find_package, run the packaged core with it, then remove both with dpkg -r and check that
# nothing of them is left. Needs root; refuses to run when either package is installed already,
# and removes what it installed whatever happens, so the machine is left as it was found.
# Packages of a foreign architecture (armhf) need that architecture's libraries through multiarch,
# a way to run its programs (qemu-user with binfmt_misc) and its C compiler for the plugin.
#   package_test.sh PACKAGE_FOLDER [PLUGIN_C_COMPILER]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
packages=$(cd "$1" && pwd)
plugin_cc=${2:-cc}
work=$(mktemp -d)
names=(dvrcore dvrcore-plugin-dev)
installed_by_us=0

fail()
{
    echo "FAILED: $*"
    exit 1
}

installed()
{
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

cleanup()
{
    # The example plugin is no file of the packages: dpkg would leave it, and its folder, behind.
    rm -f /usr/lib/dvrcore/plugins/Heartbeat.so
    if [ "$installed_by_us" = 1 ]; then
        dpkg -P "${names[@]}" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}

[ "$(id -u)" = 0 ] || fail "dpkg -i needs root"
for name in "${names[@]}"; do
    ! installed "$name" || fail "$name is installed already; remove it first (dpkg -r $name)"
done
shopt -s nullglob
core_debs=("$packages"/dvrcore_*.deb)
sdk_debs=("$packages"/dvrcore-plugin-dev_*_all.deb)
[ ${#core_debs[@]} -eq 1 ] && [ ${#sdk_debs[@]} -eq 1 ] || fail "expected one dvrcore and one dvrcore-plugin-dev package in $packages"
core_deb=${core_debs[0]}
sdk_deb=${sdk_debs[0]}

echo "== package fields and contents"
[ "$(dpkg-deb -f "$core_deb" Package)" = dvrcore ] || fail "the core package is not named dvrcore"
architecture=$(dpkg-deb -f "$core_deb" Architecture)
[ "$architecture" = "$(dpkg --print-architecture)" ] || dpkg --print-foreign-architectures | grep -qx "$architecture" ||
    fail "the core package is for $architecture, which this machine does not take"
depends=$(dpkg-deb -f "$core_deb" Depends)
for library in libboost-filesystem libtinyxml libwxbase libstdc++6 libc6; do
    grep -q "$library" <<<"$depends" || fail "the core package's dependencies lack $library: $depends"
done
[ "$(dpkg-deb -f "$sdk_deb" Architecture)" = all ] || fail "the SDK package is not architecture-independent"
dpkg-deb -c "$core_deb" | awk '{print $6}' >"$work/core.list"
dpkg-deb -c "$sdk_deb" | awk '{print $6}' >"$work/sdk.list"
for file in ./usr/lib/dvrcore/dvrcore ./usr/lib/dvrcore/plugins/LogPI.so ./usr/lib/dvrcore/protected-plugins/ ./usr/bin/dvrcore; do
    grep -qx "$file" "$work/core.list" || fail "the core package lacks $file"
done
! grep -q 'Demo' "$work/core.list" || fail "the core package holds a demo plugin"
for file in ./usr/include/dvrcore/plugin_api.h ./usr/share/pkgconfig/dvrcore-plugin.pc \
            ./usr/share/cmake/dvrcore/dvrcoreConfig.cmake ./usr/share/doc/dvrcore-plugin-dev/writing-plugins.md \
            ./usr/share/doc/dvrcore-plugin-dev/example-plugin/Heartbeat.c; do
    grep -qx "$file" "$work/sdk.list" || fail "the SDK package lacks $file"
done

echo "== dpkg -i"
trap cleanup EXIT
installed_by_us=1
dpkg -i "$core_deb" "$sdk_deb" >/dev/null
/usr/bin/dvrcore -h 2>"$work/usage.txt" || fail "dvrcore -h failed"
grep -q 'Usage' "$work/usage.txt" || fail "dvrcore -h printed no usage"
[ "$(pkg-config --modversion dvrcore-plugin)" = "$(dpkg-deb -f "$sdk_deb" Version)" ] ||
    fail "pkg-config does not find the SDK of the package"

echo "== example plugin against the packaged SDK"
cp -r /usr/share/doc/dvrcore-plugin-dev/example-plugin "$work/with-pkg-config"
make -s -C "$work/with-pkg-config" CC="$plugin_cc" CFLAGS="-O2 -Werror"
cp -r /usr/share/doc/dvrcore-plugin-dev/example-plugin "$work/with-cmake"
cmake -S "$work/with-cmake" -B "$work/with-cmake/build" -DCMAKE_C_COMPILER="$plugin_cc" -DCMAKE_C_FLAGS="-Werror" >/dev/null
cmake --build "$work/with-cmake/build" >/dev/null
cmake --install "$work/with-cmake/build" >/dev/null
[ -f /usr/lib/dvrcore/plugins/Heartbeat.so ] || fail "cmake --install put no Heartbeat.so into /usr/lib/dvrcore/plugins"
echo -n "find_package build: "
"$here/heartbeat_run.sh" /usr/bin/dvrcore "$work/run-find-package"
rm /usr/lib/dvrcore/plugins/Heartbeat.so
make -s -C "$work/with-pkg-config" install
echo -n "pkg-config build: "
"$here/heartbeat_run.sh" /usr/bin/dvrcore "$work/run-pkg-config"
rm /usr/lib/dvrcore/plugins/Heartbeat.so

echo "== dpkg -r"
dpkg -r dvrcore-plugin-dev dvrcore >/dev/null
installed_by_us=0
for name in "${names[@]}"; do
    ! installed "$name" || fail "$name is still installed"
done
for path in /usr/lib/dvrcore /usr/bin/dvrcore /usr/include/dvrcore /usr/share/pkgconfig/dvrcore-plugin.pc \
            /usr/share/cmake/dvrcore /usr/share/doc/dvrcore-plugin-dev; do
    [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path is left after dpkg -r"
done
echo "package test passed ($architecture): $(basename "$core_deb") and $(basename "$sdk_deb") install, serve a plugin and remove cleanly"
