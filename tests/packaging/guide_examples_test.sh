#!/usr/bin/env bash
# Every C block of the plugin author's guide is a complete file: each must build, on its own, into
# a plugin (a shared object with no undefined symbols of its own) against the SDK header, with the
# warnings the project uses turned into errors.
#   guide_examples_test.sh SOURCE_DIR C_COMPILER
set -euo pipefail
source_dir=$1
cc=$2
guide="$source_dir/docs/writing-plugins.md"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes block N of the guide to $work/example-N.c, one file per fenced ```c block.
awk -v dir="$work" '
    /^```c$/ { inside = 1; ++count; file = sprintf("%s/example-%02d.c", dir, count); next }
    /^```/   { inside = 0; next }
    inside   { print > file }
' "$guide"

shopt -s nullglob
examples=("$work"/example-*.c)
if [ ${#examples[@]} -eq 0 ]; then
    echo "no C examples found in $guide"
    exit 1
fi
failed=0
for example in "${examples[@]}"; do
    if ! "$cc" -std=c99 -pedantic-errors -Wall -Wextra -Werror -fPIC -shared -Wl,--no-undefined \
         -I"$source_dir/include" -o "${example%.c}.so" "$example" -pthread; then
        name=$(basename "$example" .c)
        echo "FAILED: the guide's C block number $((10#${name#example-}))"
        failed=$((failed + 1))
    fi
done
echo "${#examples[@]} guide examples: $(( ${#examples[@]} - failed )) built, $failed failed"
[ "$failed" -eq 0 ]
