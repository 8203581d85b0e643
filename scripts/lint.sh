#!/usr/bin/env bash
# Static checks, clean or failing: clang-tidy (checks in .clang-tidy) over src/ and tools/ with the
# compile commands of a configured build folder, and cppcheck over src/, tools/, plugins/ and the
# example plugin.
#   lint.sh BUILD_DIR [JOBS]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
jobs=${2:-2}
if [ ! -f "$build_dir/compile_commands.json" ]; then
    echo "lint: no $build_dir/compile_commands.json; configure $build_dir first" >&2
    exit 2
fi

status=0
start=$SECONDS
mapfile -t sources < <(find src tools -name '*.cpp' | sort)
echo "lint: clang-tidy over ${#sources[@]} files of src/ and tools/"
# clang-tidy writes its findings to standard output, its counts of suppressed warnings to standard
# error. The compile commands are gcc's: clang is told to ignore warning options it does not know.
printf '%s\n' "${sources[@]}" |
    xargs -P "$jobs" -n 1 clang-tidy -p "$build_dir" --quiet --extra-arg=-Wno-unknown-warning-option 2>/dev/null ||
    status=1

echo "lint: cppcheck over src/ tools/ plugins/ docs/example-plugin/"
common=(--quiet --error-exitcode=1 --inline-suppr --enable=warning,performance,portability
        --suppress=missingIncludeSystem -j "$jobs" -I include)
cppcheck "${common[@]}" --std=c++20 -I src src tools || status=1
cppcheck "${common[@]}" --std=c99 plugins docs/example-plugin || status=1

if [ "$status" -eq 0 ]; then
    echo "lint: clean ($((SECONDS - start)) s)"
else
    echo "lint: findings above ($((SECONDS - start)) s)"
fi
exit "$status"
