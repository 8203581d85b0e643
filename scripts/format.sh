#!/usr/bin/env bash
# Applies .clang-format to every C and C++ file under src include tools tests plugins bench fuzz
# docs. With --check it changes nothing, names the files that differ and fails if there are any.
set -euo pipefail
cd "$(dirname "$0")/.."

folders=()
for folder in src include tools tests plugins bench fuzz docs; do
    [ -d "$folder" ] && folders+=("$folder")
done
mapfile -t files < <(find "${folders[@]}" -type f \( -name '*.c' -o -name '*.h' -o -name '*.cc' -o -name '*.cpp' \
                          -o -name '*.hpp' \) | sort)

if [ "${1:-}" != --check ]; then
    clang-format -i "${files[@]}"
    echo "format: ${#files[@]} files formatted"
    exit 0
fi
differing=()
for file in "${files[@]}"; do
    clang-format --dry-run --Werror "$file" >/dev/null 2>&1 || differing+=("$file")
done
if [ ${#differing[@]} -gt 0 ]; then
    printf 'format: %s differs from .clang-format\n' "${differing[@]}"
    echo "format: ${#differing[@]} of ${#files[@]} files need \`make format\`"
    exit 1
fi
echo "format: ${#files[@]} files match .clang-format"
