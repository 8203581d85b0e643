#!/usr/bin/env bash
# The plugin author's path, end to end: install the built tree into a temporary prefix, build the
# guide's example plugin out of tree against the installed SDK (once with pkg-config and make, once
# with CMake's find_package), run the installed core with each build, and check that the plugin's
# events flow through the core and back and that the core shuts down cleanly.
#   install_test.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build_dir=$(cd "$1" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail()
{
    echo "FAILED: $*"
    exit 1
}

prefix="$work/prefix"
echo "== install into $prefix"
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
for file in lib/dvrcore/dvrcore lib/dvrcore/plugins/LogPI.so include/dvrcore/plugin_api.h \
            share/pkgconfig/dvrcore-plugin.pc share/cmake/dvrcore/dvrcoreConfig.cmake \
            share/cmake/dvrcore/dvrcoreConfigVersion.cmake share/doc/dvrcore-plugin-dev/writing-plugins.md \
            share/doc/dvrcore-plugin-dev/example-plugin/Heartbeat.c; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ -x "$prefix/lib/dvrcore/dvrcore" ] || fail "the installed core is not executable"
[ "$(readlink -f "$prefix/bin/dvrcore")" = "$(readlink -f "$prefix/lib/dvrcore/dvrcore")" ] ||
    fail "bin/dvrcore does not lead to lib/dvrcore/dvrcore"
[ -d "$prefix/lib/dvrcore/protected-plugins" ] && [ -z "$(ls -A "$prefix/lib/dvrcore/protected-plugins")" ] ||
    fail "lib/dvrcore/protected-plugins is not an empty folder"

echo "== DESTDIR and prefix"
DESTDIR="$work/stage" cmake --install "$build_dir" --prefix /opt/dvrcore >/dev/null
[ -x "$work/stage/opt/dvrcore/lib/dvrcore/dvrcore" ] || fail "DESTDIR install missed the core"
grep -qx 'prefix=/opt/dvrcore' "$work/stage/opt/dvrcore/share/pkgconfig/dvrcore-plugin.pc" ||
    fail "the pkg-config file does not name the final prefix"

export PKG_CONFIG_PATH="$prefix/share/pkgconfig"
[ "$(pkg-config --variable=plugindir dvrcore-plugin)" = "$prefix/lib/dvrcore/plugins" ] ||
    fail "pkg-config's plugindir is not the installed plugin folder"

echo "== example plugin with pkg-config"
cp -r "$prefix/share/doc/dvrcore-plugin-dev/example-plugin" "$work/with-pkg-config"
make -s -C "$work/with-pkg-config" CFLAGS="-O2 -Werror"
make -s -C "$work/with-pkg-config" install
cmp -s "$work/with-pkg-config/Heartbeat.so" "$prefix/lib/dvrcore/plugins/Heartbeat.so" ||
    fail "make install did not put Heartbeat.so into the core's plugin folder"

echo "== example plugin with find_package"
cp -r "$prefix/share/doc/dvrcore-plugin-dev/example-plugin" "$work/with-cmake"
cmake -S "$work/with-cmake" -B "$work/with-cmake/build" -DCMAKE_PREFIX_PATH="$prefix" \
      -DCMAKE_C_FLAGS="-Werror" >/dev/null
cmake --build "$work/with-cmake/build" >/dev/null
[ -f "$work/with-cmake/build/Heartbeat.so" ] || fail "CMake built no Heartbeat.so"

echo "== the installed core with each build"
# Through bin/: the core must resolve the link to find its plugins beside the real file.
echo -n "pkg-config build: "
"$here/heartbeat_run.sh" "$prefix/bin/dvrcore" "$work/run-pkg-config"
rm "$prefix/lib/dvrcore/plugins/Heartbeat.so"
cmake --install "$work/with-cmake/build" >/dev/null
cmp -s "$work/with-cmake/build/Heartbeat.so" "$prefix/lib/dvrcore/plugins/Heartbeat.so" ||
    fail "cmake --install did not put Heartbeat.so into dvrcore_PLUGIN_DIR"
echo -n "find_package build: "
"$here/heartbeat_run.sh" "$prefix/bin/dvrcore" "$work/run-find-package"
echo "install test passed"
