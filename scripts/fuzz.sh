#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build-fuzz/ and runs each for a while.
#   scripts/fuzz.sh SECONDS [TARGET...]
# Each target starts from its seed corpus in fuzz/corpus/<target>/ (never written) and keeps what
# it finds in build-fuzz/corpus/<target>/; a finding is left as build-fuzz/findings/<target>-*
# and makes the script fail. The summary line of each run (executions, rate, coverage) is printed.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(parent_link_fuzzer xml_file_fuzzer xml_depth_fuzzer config_change_fuzzer plugin_event_fuzzer
                                 web_request_fuzzer rtsp_messages_fuzzer)
jobs=${JOBS:-2}

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DDVRCORE_FUZZ=ON -DDVRCORE_TESTS=OFF -DDVRCORE_WERROR=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j "$jobs" --target fuzz_targets

# Longest input per target: the XML targets need room for deep nesting and the parent link for
# receives of a whole packet.
max_len() {
    case $1 in
    xml_file_fuzzer | xml_depth_fuzzer | config_change_fuzzer) echo 70000 ;;
    parent_link_fuzzer) echo 140000 ;;
    *) echo 16384 ;;
    esac
}

# The XML targets get a dictionary of markup, encoding bytes and the core's names.
dictionary() {
    case $1 in
    xml_file_fuzzer | xml_depth_fuzzer | config_change_fuzzer) echo "-dict=$root/fuzz/xml.dict" ;;
    esac
}

# Absolute paths: every target works in a folder of its own under /dev/shm.
root=$PWD
status=0
for target in "${targets[@]}"; do
    mkdir -p "build-fuzz/corpus/$target" build-fuzz/findings
    log="build-fuzz/$target.log"
    echo "fuzz: $target for ${seconds}s"
    if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "build-fuzz/fuzz/$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
        -max_len="$(max_len "$target")" $(dictionary "$target") -print_final_stats=1 -artifact_prefix="$root/build-fuzz/findings/$target-" \
        "$root/build-fuzz/corpus/$target" "$root/fuzz/corpus/$target" >"$log" 2>&1; then
        echo "fuzz: $target FOUND A PROBLEM, see $log and build-fuzz/findings/"
        tail -n 40 "$log"
        status=1
        continue
    fi
    grep -E 'DONE|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb' "$log" |
        sed "s/^/fuzz: $target: /"
done
exit $status
